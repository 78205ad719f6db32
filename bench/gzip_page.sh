# Sourced by the benchmarks that capture a compressed page.
# gzip_page FOLDER MiB: FOLDER/page.txt, page-like text (markup around random words, about 3:1
# in gzip), and beside it page.txt.gz, which nginx's gzip_static sends for
# "Accept-Encoding: gzip"; both readable by the unprivileged nginx workers.
gzip_page() {
  mkdir -p "$1"
  head -c "${2}M" < <(paste -d '\n' <(yes '<div class="row"><span class="label">item</span>') \
    <(base64 -w 40 /dev/urandom)) >"$1/page.txt"
  gzip -1 -c "$1/page.txt" >"$1/page.txt.gz"
  chmod -R 755 "$1"
  # Written back now: otherwise the first round timed shares the disk and a core with it.
  sync
}

#!/usr/bin/env bash
# End to end with real programs: nginx as the origin on 127.0.0.1, trovanexd in a temporary
# program folder with its own Search.cfg and settings, and curl as the browser.
# Usage: capture_e2e.sh path/to/trovanexd
set -uo pipefail
# shellcheck source=../support/loopback_nginx.sh
source "$(dirname "$0")/../support/loopback_nginx.sh"
# shellcheck source=../support/checks.sh
source "$(dirname "$0")/../support/checks.sh"
# shellcheck source=../support/search_rules.sh
source "$(dirname "$0")/../support/search_rules.sh"

trovanexd="$1"
work="$(mktemp -d /tmp/trovanex-e2e.XXXXXX)"
chmod 755 "$work"  # nginx workers run unprivileged
origin_port=$((20000 + RANDOM % 20000))
proxy_port=$((origin_port + 1))
tls_port=$((origin_port + 5))
tiny_port=$((origin_port + 6))
chained_port=$((origin_port + 7))
nginx_pid=""
proxy_pid=""
tiny_pid=""
chained_pid=""
opened_pid=""
user_pid=""
full_pid=""

cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null
  [ -n "$chained_pid" ] && kill "$chained_pid" 2>/dev/null
  [ -n "$opened_pid" ] && kill "$opened_pid" 2>/dev/null
  [ -n "$user_pid" ] && kill "$user_pid" 2>/dev/null
  [ -n "$tiny_pid" ] && kill "$tiny_pid" 2>/dev/null
  [ -n "$full_pid" ] && kill "$full_pid" 2>/dev/null
  [ -n "${cli_pid:-}" ] && kill "$cli_pid" 2>/dev/null
  mountpoint -q "$work/full" 2>/dev/null && { wait "$full_pid" 2>/dev/null; umount "$work/full"; }
  [ -n "$nginx_pid" ] && kill -CONT "$nginx_pid" 2>/dev/null
  stop_origin
  wait 2>/dev/null
  [ -n "${KEEP_E2E:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

same_file() { cmp -s "$1" "$2"; }
md5_of() { md5sum "$1" | cut -d' ' -f1; }
# kept_line LINE FILE: true once FILE has LINE (CR LF ended), waiting up to two seconds: a copy
# is listed a moment after its last byte reached the browser.
kept_line() {
  for _ in $(seq 200); do
    grep -qxF "$1"$'\r' "$2" && return 0
    sleep 0.01
  done
  return 1
}

# --- the origin -----------------------------------------------------------------------------
mkdir -p "$work/www/img" "$work/www/pages" "$work/www/copy" "$work/www/big" "$work/logs"
chmod -R 755 "$work/www"
head -c 150000 /dev/urandom >"$work/www/img/photo.jpg"
head -c 4096 /dev/urandom >"$work/www/img/noext"
head -c 2048 /dev/urandom >"$work/www/img/other.bin"
cp "$work/www/img/photo.jpg" "$work/www/copy/same.jpg"
for i in $(seq 400); do echo "<p>line $i of a page that compresses well</p>"; done >"$work/www/pages/index.html"
head -c 30000000 /dev/urandom >"$work/www/big/slow.bin"
mkdir -p "$work/www/fresh" "$work/www/blocked" && chmod 755 "$work/www/fresh" "$work/www/blocked"
head -c 5000 /dev/urandom >"$work/www/fresh/a.jpg"
head -c 5001 /dev/urandom >"$work/www/blocked/b.jpg"
chmod 644 "$work/www/fresh/a.jpg" "$work/www/blocked/b.jpg"

# A TLS origin beside it, with a certificate made here, taking uploads under /upload/. It
# names victim.test too, as a shared origin would: only the proxy can refuse that name inside a
# tunnel to localhost.
mkdir -p "$work/tls" "$work/www/tls" "$work/www/upload"
chmod 777 "$work/www/upload"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,DNS:victim.test,IP:127.0.0.1" \
  -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
head -c 20000000 /dev/urandom >"$work/www/tls/big.bin"
head -c 5000000 /dev/urandom >"$work/upload.bin"
echo '<html><body><p id="m">tunnelled page 7f3a</p></body></html>' >"$work/www/tls/page.html"
# What HTTPS capture keeps: images on a page, one of them again under another address.
mkdir -p "$work/www/tls/img" "$work/www/tls/again"
for i in 1 2 3; do head -c $((30000 + i)) /dev/urandom >"$work/www/tls/img/shot$i.jpg"; done
cp "$work/www/tls/img/shot1.jpg" "$work/www/tls/again/shot1-copy.jpg"
printf '<html><body><p>gallery 51c2</p><img src="img/shot1.jpg"><img src="img/shot2.jpg"><img src="img/shot3.jpg"></body></html>\n' \
  >"$work/www/tls/gallery.html"
# Scripts kept inside the tunnel, each its own content; compressed pages; a page whose module
# script writes into it; images kept once over each scheme under one address.
mkdir -p "$work/www/tls/smuggle" "$work/www/tls/gz" "$work/www/tls/mod" "$work/www/plain"
echo 'var real2 = "b71e";' >"$work/www/tls/smuggle/real2.js"
echo 'var real3 = "c9d0 a longer body than real2";' >"$work/www/tls/smuggle/real3.js"
for i in 1 2 3; do
  for j in $(seq 300); do echo "<p>page $i, line $j of a page that compresses well</p>"; done >"$work/www/tls/gz/p$i.html"
done
echo '<html><body><p id="m">module page</p><script type="module" src="app.mjs"></script></body></html>' \
  >"$work/www/tls/mod/index.html"
echo "document.getElementById('m').textContent = 'module ran ' + (0x4e1b).toString(16);" >"$work/www/tls/mod/app.mjs"
head -c 20001 /dev/urandom >"$work/www/tls/img/scheme-a.jpg"
head -c 20002 /dev/urandom >"$work/www/tls/img/scheme-b.jpg"
head -c 20003 /dev/urandom >"$work/www/tls/img/sni.jpg"
echo 'a plain page' >"$work/www/plain/host.txt"
chmod -R 755 "$work/www/tls" "$work/www/plain"
# A TLS origin whose certificate nobody trusts.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
  -keyout "$work/tls/untrusted-key.pem" -out "$work/tls/untrusted.pem" 2>/dev/null
untrusted_port=$((origin_port + 9))

start_origin "$origin_port" "$work/www" \
  'location /pages/ { gzip on; gzip_types text/html; gzip_min_length 1; gzip_http_version 1.0; }
    location /big/ { limit_rate 2m; }
    location /img/long/ { try_files /img/other.bin =404; }
    access_log '"$work/logs/origin-access.log"' connections;' \
  "server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $work/tls/cert.pem;
    ssl_certificate_key $work/tls/key.pem;
    root $work/www;
    access_log $work/logs/tls-access.log connections;
    location /upload/ { dav_methods PUT; client_max_body_size 50m; }
    location /tls/gz/ { gzip on; gzip_min_length 1; }
    location /tls/mod/ { types { text/html html; text/javascript mjs; } charset utf-8; charset_types text/javascript; }
  }
  server {
    listen 127.0.0.1:$untrusted_port ssl;
    ssl_certificate $work/tls/untrusted.pem;
    ssl_certificate_key $work/tls/untrusted-key.pem;
    root $work/www;
  }" || { echo "FAILED: nginx did not start" >&2; exit 1; }

# --- the proxy's program folder ---------------------------------------------------------------
folder="$work/prog"
mkdir -p "$folder" "$work/saved/img" "$work/saved/pages" "$work/saved/big"
cp "$trovanexd" "$folder/trovanexd"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=1500\r\n' "$proxy_port" >"$folder/trovanexd.ini"
{
  search_rule images /img/ Standard Save "pics/$work/saved/img"
  search_rule same /copy/ Standard Save "/$work/saved/img"
  search_rule pages '/pages/.*\.html$' Regexp SaveAsk "/$work/saved/pages"
  search_rule big /big/ Standard Save "/$work/saved/big"
  search_rule fresh /fresh/ Standard Save "/$work/saved/new/deep"
  search_rule blocked /blocked/ Standard Save "/$work/saved/afile/sub"
} >"$folder/Search.cfg"
: >"$work/saved/afile"
cp "$folder/Search.cfg" "$work/Search.cfg.before"
# Temporary captures of a run that was killed; a name of another form is not the program's.
: >"$folder/tx0001.tmp"
: >"$folder/tx1A2B.tmp"
: >"$folder/tx1a2b.tmp"

(cd "$folder" && exec ./trovanexd >"$work/logs/http.log" 2>"$work/logs/stderr.log") &
proxy_pid=$!
for _ in $(seq 50); do grep -q listening "$work/logs/stderr.log" 2>/dev/null && break; sleep 0.1; done

proxy=(-s -x "http://127.0.0.1:$proxy_port")
origin="http://127.0.0.1:$origin_port"

check "stale temporary files removed at start" test ! -e "$folder/tx0001.tmp" -a ! -e "$folder/tx1A2B.tmp"
check "other names kept" test -e "$folder/tx1a2b.tmp"
check "removal counted in one log line" \
  grep -qxF "Removed 2 stale temporary files (tx????.tmp) from $folder/" "$work/logs/http.log"
rm -f "$folder/tx1a2b.tmp"
# A second copy of the same executable is refused before it touches the running copy's files.
: >"$folder/tx0F0F.tmp"
(cd "$folder" && exec ./trovanexd >/dev/null 2>&1)
check "second copy refused" test $? -eq 1
check "the refused copy leaves the running copy's temporary files" test -e "$folder/tx0F0F.tmp"
rm -f "$folder/tx0F0F.tmp"

# A transfer coding the proxy cannot read is refused with its own page, and nothing of the
# request reaches the origin.
unknown_coding() {
  exec 3<>"/dev/tcp/127.0.0.1/$proxy_port"
  printf 'POST %s/plain/host.txt?coding HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nTransfer-Encoding: foo\r\n\r\nabc' \
    "$origin" "$origin_port" >&3
  timeout 5 cat <&3
  exec 3<&-
}
unknown_coding >"$work/coding.out"
# The origin answers for the address the request names, whatever Host line the browser wrote;
# the log keeps what the browser sent. The answer says the connection ends with it, as it does.
curl "${proxy[@]}" -H 'Host: other.test' -D "$work/host.head" -o "$work/got-host.txt" "$origin/plain/host.txt"
check "plain: the Host line sent on is the target's own" \
  logged " 200 \"GET /plain/host.txt HTTP/1.1\" host=127.0.0.1:$origin_port " "$work/logs/origin-access.log"
check "plain: ... the log shows the browser's own" grep -qE '^[0-9]+ :Host: other\.test$' "$work/logs/http.log"
check "plain: Proxy-Connection is not passed on" \
  grep -q "\"GET /plain/host.txt HTTP/1.1\" .* pc=-$" "$work/logs/origin-access.log"
check "plain: an unknown transfer coding answered 501 by the proxy" bash -c \
  "test \"\$(head -1 '$work/coding.out')\" = \$'HTTP/1.1 501 Not Implemented\\r' && grep -q '^Trovanex did not relay' '$work/coding.out'"
check "plain: ... nothing of it reached the origin" bash -c "! grep -q 'coding' '$work/logs/origin-access.log'"
check "plain: an answer says the connection ends after it" grep -qx $'Connection: close\r' "$work/host.head"
check "plain: ... and has no other Connection line" test "$(grep -ci '^Connection:' "$work/host.head")" -eq 1

# A browser that has not sent a whole request head within ReadTimeout (1500 ms) is closed:
# one that sends nothing, and one that sends a header line every 400 ms.
closed_after_ms() {
  local start writer=""
  start=$(date +%s%N)
  exec 3<>"/dev/tcp/127.0.0.1/$proxy_port"
  if [ "$1" = dribble ]; then
    { printf 'GET %s/plain/host.txt HTTP/1.1\r\n' "$origin"
      for i in $(seq 15); do sleep 0.4; printf 'X-Slow-%s: 1\r\n' "$i"; done; } >&3 2>/dev/null &
    writer=$!
  fi
  timeout 8 cat <&3 >/dev/null 2>&1
  echo $((($(date +%s%N) - start) / 1000000))
  [ -n "$writer" ] && kill "$writer" 2>/dev/null
  exec 3<&-
}
closed_after_ms silent >"$work/silent.ms" &
silent_pid=$!
closed_after_ms dribble >"$work/dribble.ms"
wait "$silent_pid"
head_timeouts() { grep -c ' : Error; no whole request head within 1500 ms; connection closed\.$' "$work/logs/http.log"; }
for _ in $(seq 100); do [ "$(head_timeouts)" -ge 2 ] && break; sleep 0.02; done
check "plain: a silent browser closed after ReadTimeout" test "$(cat "$work/silent.ms")" -ge 1400 -a "$(cat "$work/silent.ms")" -lt 3500
check "plain: a browser dribbling its head closed after ReadTimeout" test "$(cat "$work/dribble.ms")" -ge 1400 -a "$(cat "$work/dribble.ms")" -lt 3500
check "plain: ... each logged" test "$(head_timeouts)" -eq 2

# An image saved into its rule's folder under its own name, byte for byte.
curl "${proxy[@]}" -o "$work/got.jpg" "$origin/img/photo.jpg"
check "browser got the image unchanged" same_file "$work/got.jpg" "$work/www/img/photo.jpg"
check "image saved as photo.jpg" eventually same_file "$work/saved/img/photo.jpg" "$work/www/img/photo.jpg"

# A name without extension takes none from image/jpeg (not in the table of types).
curl "${proxy[@]}" -o /dev/null "$origin/img/noext"
check "extensionless name kept" eventually same_file "$work/saved/img/noext" "$work/www/img/noext"

# A name longer than the file system takes is shortened to fit, keeping its extension.
long_name="$(printf 'x%.0s' $(seq 300)).jpg"
short_name="$(printf 'x%.0s' $(seq 251)).jpg"
curl "${proxy[@]}" -o "$work/got-long" "$origin/img/long/$long_name"
check "long name relayed" same_file "$work/got-long" "$work/www/img/other.bin"
check "long name saved shortened" eventually same_file "$work/saved/img/$short_name" "$work/www/img/other.bin"
check "no temporary file left by the long name" bash -c "! ls '$folder' | grep -q '^tx.*\.tmp$'"
rm -f "$work/saved/img/$short_name"

# hash.dat lines: digest<>path<>size<>address, CR LF.
expected_line="$(md5_of "$work/www/img/photo.jpg")<>$work/saved/img/photo.jpg<>150000<>127.0.0.1/img/photo.jpg"
check "hash line of the image" eventually grep -qxF "${expected_line}"$'\r' "$folder/hash.dat"
check "three lines in hash.dat" eventually test "$(wc -l <"$folder/hash.dat")" -eq 3

# The same content under another address is not saved twice.
curl "${proxy[@]}" -o "$work/got-copy.jpg" "$origin/copy/same.jpg"
check "copy relayed" same_file "$work/got-copy.jpg" "$work/www/copy/same.jpg"
check "already-saved notice" eventually grep -q "既に保存されているファイルとハッシュが一致したので保存しませんでした" "$work/logs/stderr.log"
check "copy not saved again" test ! -e "$work/saved/img/same.jpg"

# A chunked answer compressed on the fly reaches the browser unchanged, and the page is kept
# decoded of its chunk framing and its gzip coding. SaveAsk is answered by saving, and that
# is reported.
curl "${proxy[@]}" -H 'Accept-Encoding: gzip' -D "$work/chunked.head" -o "$work/got-page.gz" "$origin/pages/index.html"
check "the page came chunked" grep -qi '^Transfer-Encoding: chunked' "$work/chunked.head"
check "the browser got the gzip body" bash -c "gzip -dc '$work/got-page.gz' | cmp -s - '$work/www/pages/index.html'"
check "compressed page kept decoded" eventually same_file "$work/saved/pages/index.html" "$work/www/pages/index.html"
check "its hash line has the decoded size" eventually grep -q "<>$(stat -c %s "$work/www/pages/index.html")<>127.0.0.1/pages/index.html" "$folder/hash.dat"
check "question answered by saving" grep -q "を保存しますか？" "$work/logs/stderr.log"

# An until-close answer (HTTP/1.0, compressed: no length) is relayed whole and not saved.
rm -f "$work/saved/pages/index.html"
curl "${proxy[@]}" --http1.0 -H 'Accept-Encoding: gzip' -D "$work/close.head" -o "$work/got-close.gz" "$origin/pages/index.html"
check "until-close answer has no length" bash -c "! grep -qi '^Content-Length' '$work/close.head'"
check "until-close answer relayed whole" same_file "$work/got-close.gz" "$work/got-page.gz"
check "until-close answer not saved" bash -c "! ls '$work/saved/pages' | grep -q ."

# Kept again; the same page arriving uncompressed under another address is known as stored.
curl "${proxy[@]}" --compressed -o /dev/null "$origin/pages/index.html"
eventually test -e "$work/saved/pages/index.html"
cp "$work/www/pages/index.html" "$work/www/copy/page.html"
known_before=$(grep -c "既に保存されているファイルとハッシュが一致したので保存しませんでした" "$work/logs/stderr.log")
curl "${proxy[@]}" -o /dev/null "$origin/copy/page.html"
eventually test "$(grep -c "既に保存されているファイルとハッシュが一致したので保存しませんでした" "$work/logs/stderr.log")" -gt "$known_before"
check "the page uncompressed is known as stored" test ! -e "$work/saved/img/page.html"

# A rule whose folder is missing gets it made, parents and all; one whose folder cannot be made
# (a file stands in its path) keeps nothing, says so naming the folder, and never says "saving".
lines_before=$(wc -l <"$folder/hash.dat")
curl "${proxy[@]}" -o "$work/got-fresh.jpg" "$origin/fresh/a.jpg"
check "missing folder: made and the file kept" eventually same_file "$work/saved/new/deep/a.jpg" "$work/www/fresh/a.jpg"
check "missing folder: ... and listed" kept_line \
  "$(md5_of "$work/www/fresh/a.jpg")<>$work/saved/new/deep/a.jpg<>5000<>127.0.0.1/fresh/a.jpg" "$folder/hash.dat"
curl "${proxy[@]}" -o "$work/got-blocked.jpg" "$origin/blocked/b.jpg"
check "unmakeable folder: the answer relayed whole" same_file "$work/got-blocked.jpg" "$work/www/blocked/b.jpg"
check "unmakeable folder: status message names it and why" \
  logged "^status: Error: 保存フォルダ$work/saved/afile/subに保存できません (Not a directory)$" "$work/logs/stderr.log"
check "unmakeable folder: ... so does the balloon" bash -c "grep -v '^status:' '$work/logs/stderr.log' | \
  grep -A1 -F '保存フォルダ$work/saved/afile/subに保存できません (Not a directory)' | grep -qxF 'URL=http://127.0.0.1/blocked/b.jpg'"
check "unmakeable folder: never said to be saving" bash -c "! grep -q 'b\.jpgを一時保存しています' '$work/logs/stderr.log'"
check "unmakeable folder: ... nor listed, no temporary file left" bash -c \
  "test \$(wc -l <'$folder/hash.dat') -eq $((lines_before + 1)) && ! ls '$folder' | grep -q '^tx.*\.tmp$'"

# An installed copy run as an ordinary user whose data folder it cannot write, and a hash.dat
# there it cannot read: every answer is relayed whole without saving, nothing is answered
# from the list (its line names a file of other content), and each problem is reported once.
ro="$work/ro"
ro_home="$work/ro-home"
ro_config="$ro_home/.config/trovanex"
ro_data="$ro_home/.local/share/trovanex"
ro_port=$((proxy_port + 2))
mkdir -p "$ro" "$ro_config" "$ro_data" && chmod 755 "$ro"
cp "$trovanexd" "$ro/trovanexd"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=1500\r\n' "$ro_port" >"$ro_config/trovanexd.ini"
# The rule's folder is open to the user: the data folder alone stops the captures.
mkdir -p "$work/saved/ro" && chmod 777 "$work/saved/ro"
search_rule images /img/ Standard Save "pics/$work/saved/ro" >"$ro/Search.cfg"
cp "$ro/Search.cfg" "$ro_config/Search.cfg"
chmod -R a+rwX "$ro_home/.config"
echo stale >"$work/ro-stored.jpg" && chmod 644 "$work/ro-stored.jpg"
printf '%s<>%s<>6<>127.0.0.1/img/photo.jpg\r\n' "$(md5_of "$work/ro-stored.jpg")" "$work/ro-stored.jpg" >"$ro_data/hash.dat"
chmod 600 "$ro_data/hash.dat"
chmod 755 "$ro_home" "$ro_home/.local" "$ro_home/.local/share" "$ro_data"
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
if "${as_nobody[@]}" true 2>/dev/null; then
  (cd "$ro" && exec env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$ro_home" "${as_nobody[@]}" \
    ./trovanexd >"$work/logs/ro-http.log" 2>"$work/logs/ro-stderr.log") &
  ro_pid=$!
  for _ in $(seq 50); do grep -q listening "$work/logs/ro-stderr.log" 2>/dev/null && break; sleep 0.1; done
  ro_proxy=(-s -x "http://127.0.0.1:$ro_port")
  curl "${ro_proxy[@]}" -o "$work/ro-1.jpg" "$origin/img/photo.jpg"
  curl "${ro_proxy[@]}" -o "$work/ro-2.jpg" "$origin/img/photo.jpg"
  curl "${ro_proxy[@]}" -o "$work/ro-3" "$origin/img/noext"
  kill -TERM "$ro_pid"
  wait "$ro_pid"
  check "read-only folder: answers relayed whole, none from the list" bash -c \
    "cmp -s '$work/ro-1.jpg' '$work/www/img/photo.jpg' && cmp -s '$work/ro-2.jpg' '$work/www/img/photo.jpg' && cmp -s '$work/ro-3' '$work/www/img/noext'"
  check "read-only folder: reported once in the log" \
    test "$(grep -c ' : Temporary file error: .*; answers are relayed without saving\.$' "$work/logs/ro-http.log")" -eq 1
  check "read-only folder: status message" \
    grep -qF "status: Error: 一時ファイルを作成できません。保存せずに転送します。" "$work/logs/ro-stderr.log"
  check "unreadable hash.dat: reported once" test "$(grep -c '^Hash list error: ' "$work/logs/ro-http.log")" -eq 1
  check "unreadable hash.dat: status message" \
    grep -qF "status: Error: hash.datを読み込めません。" "$work/logs/ro-stderr.log"
  check "read-only folder: nothing saved" bash -c "! ls '$work/saved/ro' | grep -q ."
else
  echo "skip: read-only program folder and unreadable hash.dat (cannot run as nobody)"
fi

# trovanexd's command lines: arguments | exit status | first line (of standard output when 0,
# else of standard error), as an extended regular expression. None of them starts the proxy.
cli="$work/cli"
mkdir -p "$cli" "$work/cli-config"
cp "$trovanexd" "$cli/trovanexd"
usage='Usage: trovanexd \[-d\] \[-q\] \[--port N\] \[--config DIR\] \[--help\] \[--version\]'
while IFS='|' read -r arguments status first; do
  read -ra argv <<<"$arguments"
  "$cli/trovanexd" "${argv[@]}" >"$work/cli.out" 2>"$work/cli.err"
  got=$?
  [ "$status" -eq 0 ] && shown="$work/cli.out" || shown="$work/cli.err"
  check "command line '$arguments': exit $status" test "$got" -eq "$status"
  check "command line '$arguments': first line" bash -c "head -1 '$shown' | grep -qxE -- \"\$1\"" _ "$first"
  [ "$status" -eq 2 ] && check "command line '$arguments': then the usage" \
    bash -c "sed -n 2p '$work/cli.err' | grep -qxE -- \"\$1\"" _ "$usage"
done <<ROWS
--help|0|$usage
-dq --port 8081 --config $work/cli-config --help|0|$usage
--version|0|trovanexd [0-9]+\.[0-9]+
-q --version|0|trovanexd [0-9]+\.[0-9]+
--bogus|2|trovanexd: unrecognized option '--bogus'
--bogus --help|2|trovanexd: unrecognized option '--bogus'
--debugx|2|trovanexd: unrecognized option '--debugx'
-x|2|trovanexd: invalid option -- 'x'
-dqx|2|trovanexd: invalid option -- 'x'
stray|2|trovanexd: unexpected argument 'stray'
--port|2|trovanexd: option '--port' requires an argument
-q --config|2|trovanexd: option '--config' requires an argument
--config=|2|trovanexd: option '--config' requires a folder
--port abc|2|trovanexd: invalid port 'abc' \(1 to 65535\)
--port 0|2|trovanexd: invalid port '0' \(1 to 65535\)
--port 65536|2|trovanexd: invalid port '65536' \(1 to 65535\)
--port=-1|2|trovanexd: invalid port '-1' \(1 to 65535\)
--help=yes|2|trovanexd: option '--help' doesn't allow an argument
--trust-ca --untrust-ca|2|trovanexd: options '--trust-ca' and '--untrust-ca' exclude each other
--config $work/no-such-folder|1|trovanexd: --config $work/no-such-folder: No such file or directory
--config $cli/trovanexd|1|trovanexd: --config $cli/trovanexd: Not a directory
ROWS
check "a refused command line starts nothing" test "$(ls "$cli")" = trovanexd
# --help names the files of the copy that runs: beside it, or in the folder --config names.
check "--help names the settings beside a portable copy" bash -c "'$cli/trovanexd' --help | grep -qxF '  $cli/trovanexd.ini'"
check "--help names Search.cfg beside it" bash -c "'$cli/trovanexd' --help | grep -qxF '  $cli/Search.cfg'"
check "--help with --config names that folder" bash -c \
  "'$cli/trovanexd' --config '$work/cli-config/' --help | grep -qxF '  $work/cli-config/hash.dat'"

# --config, --port and --quiet at work: the settings, rules and list in that folder, the port
# for this run only, and on standard output only the lines that tell of something.
cli_port=$((origin_port + 11))
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=1500\r\n' "$((origin_port + 12))" >"$work/cli-config/trovanexd.ini"
search_rule images /img/ Standard Save "/$work/saved/cli" >"$work/cli-config/Search.cfg"
"$cli/trovanexd" --config "$work/cli-config" --port "$cli_port" -q >"$work/logs/cli-http.log" 2>"$work/logs/cli-stderr.log" &
cli_pid=$!
for _ in $(seq 50); do grep -q listening "$work/logs/cli-stderr.log" 2>/dev/null && break; sleep 0.1; done
curl -s -x "http://127.0.0.1:$cli_port" -o /dev/null "$origin/img/photo.jpg"
check "--config: the rules of that folder kept the image" eventually same_file "$work/saved/cli/photo.jpg" "$work/www/img/photo.jpg"
check "--config: ... listed in its hash.dat" kept_line \
  "$(md5_of "$work/www/img/photo.jpg")<>$work/saved/cli/photo.jpg<>150000<>127.0.0.1/img/photo.jpg" "$work/cli-config/hash.dat"
check "--quiet: the capture is on standard output" logged ' : Matched! $' "$work/logs/cli-http.log"
check "--quiet: ... not the per-request lines" bash -c "! grep -q 'Request Sent\|Content Length\|^[0-9]* :Host:' '$work/logs/cli-http.log'"
kill -TERM "$cli_pid"
wait "$cli_pid"
check "--port: stopped in order" test $? -eq 0
cli_pid=""
check "--port: not written back" grep -qx "ListenPort=$((origin_port + 12))"$'\r' "$work/cli-config/trovanexd.ini"
check "--config: nothing beside the binary" test "$(ls "$cli")" = trovanexd

# An ordinary user on a fresh folder: port 81 is refused, and the settings file is written
# with the line to change; scripts/run then writes ListenPort=8081 itself and the proxy works,
# and a second start keeps the same binary (rights given to it would last).
if "${as_nobody[@]}" true 2>/dev/null && [ "$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start)" -gt 81 ]; then
  user="$work/user"
  mkdir -p "$user/fresh" "$user/build/src" "$user/scripts" "$user/run"
  cp "$trovanexd" "$user/fresh/trovanexd"
  cp "$trovanexd" "$user/build/src/trovanexd"
  cp "$(dirname "$0")/../../scripts/run" "$user/scripts/run"
  chmod -R a+rwX "$user"
  (cd "$user/fresh" && "${as_nobody[@]}" ./trovanexd >/dev/null 2>"$work/logs/user-fresh.log")
  check "no rights for port 81: the start fails" test $? -eq 1
  check "no rights for port 81: settings file written" grep -q '^ListenPort=81'$'\r''$' "$user/fresh/trovanexd.ini"
  check "no rights for port 81: the message names the file and the line" \
    grep -qF "$user/fresh/trovanexd.ini の ListenPort=81 を" "$work/logs/user-fresh.log"
  start_user_run() {
    env -u DISPLAY -u WAYLAND_DISPLAY BUILD="$user/build" RUN_FOLDER="$user/run" \
      "${as_nobody[@]}" bash "$user/scripts/run" >/dev/null 2>>"$work/logs/user-run.log" &
    user_pid=$!
    for _ in $(seq 50); do grep -q "listening on port 8081" "$work/logs/user-run.log" 2>/dev/null && break; sleep 0.1; done
  }
  stop_user_run() { kill -TERM "$user_pid"; wait "$user_pid"; user_pid=""; : >"$work/logs/user-run.log"; }
  start_user_run
  check "scripts/run as an ordinary user says it chose 8081" grep -q "ListenPort=8081" "$work/logs/user-run.log"
  check "scripts/run as an ordinary user: the proxy serves on 8081" \
    bash -c "curl -s -x http://127.0.0.1:8081 '$origin/img/noext' | cmp -s - '$work/www/img/noext'"
  first_copy=$(stat -c %i "$user/run/trovanexd")
  stop_user_run
  start_user_run
  check "scripts/run keeps an unchanged binary" test "$(stat -c %i "$user/run/trovanexd")" = "$first_copy"
  stop_user_run
else
  echo "skip: a first start without rights (cannot run as nobody, or every port is open to users)"
fi

# An installed copy (its folder not writable by its user) keeps its files in the user's XDG
# folders and nothing beside the binary.
if "${as_nobody[@]}" true 2>/dev/null; then
  installed="$work/installed"
  home="$work/home"
  installed_port=$((origin_port + 8))
  mkdir -p "$installed" "$home/.config/trovanex" "$work/saved/installed"
  cp "$trovanexd" "$installed/trovanexd"
  chmod 755 "$installed"
  printf '[Settings]\r\nListenPort=%s\r\n' "$installed_port" >"$home/.config/trovanex/trovanexd.ini"
  search_rule images /img/ Standard Save "/$work/saved/installed" >"$home/.config/trovanex/Search.cfg"
  chmod -R a+rwX "$home" "$work/saved/installed"
  env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$home" "${as_nobody[@]}" "$installed/trovanexd" \
    >/dev/null 2>"$work/logs/installed.log" &
  installed_pid=$!
  for _ in $(seq 50); do grep -q listening "$work/logs/installed.log" 2>/dev/null && break; sleep 0.1; done
  check "installed copy: its folders named" grep -qF \
    "settings in $home/.config/trovanex/, data in $home/.local/share/trovanex/" "$work/logs/installed.log"
  check "installed copy: serves" bash -c \
    "curl -s -x http://127.0.0.1:$installed_port '$origin/img/photo.jpg' | cmp -s - '$work/www/img/photo.jpg'"
  kill -TERM "$installed_pid"
  wait "$installed_pid"
  check "installed copy: stored by its rule" eventually same_file "$work/saved/installed/photo.jpg" "$work/www/img/photo.jpg"
  check "installed copy: hash.dat in the data folder" grep -q "photo.jpg" "$home/.local/share/trovanex/hash.dat"
  check "installed copy: settings written in the config folder" \
    grep -q '^BufferSize=' "$home/.config/trovanex/trovanexd.ini"
  check "installed copy: nothing beside the binary" test "$(ls "$installed")" = trovanexd
else
  echo "skip: an installed copy (cannot run as nobody)"
fi

# A full disk under the program folder (a small tmpfs without a free inode): no temporary file
# can be made, answers are relayed whole, and that is reported once.
full="$work/full"
mkdir -p "$full"
if mount -t tmpfs -o size=64m,nr_inodes=4 tmpfs "$full" 2>/dev/null; then
  full_port=$((proxy_port + 3))
  cp "$trovanexd" "$full/trovanexd"
  printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=1500\r\n' "$full_port" >"$full/trovanexd.ini"
  cp "$ro/Search.cfg" "$full/Search.cfg"  # the folder's own inode and these three use all four
  (cd "$full" && exec ./trovanexd >"$work/logs/full-http.log" 2>"$work/logs/full-stderr.log") &
  full_pid=$!
  for _ in $(seq 50); do grep -q listening "$work/logs/full-stderr.log" 2>/dev/null && break; sleep 0.1; done
  curl -s -x "http://127.0.0.1:$full_port" -o "$work/full-1" "$origin/img/noext"
  curl -s -x "http://127.0.0.1:$full_port" -o "$work/full-2" "$origin/img/noext"
  kill -TERM "$full_pid"
  wait "$full_pid"
  check "full disk: answers relayed whole" bash -c \
    "cmp -s '$work/full-1' '$work/www/img/noext' && cmp -s '$work/full-2' '$work/www/img/noext'"
  check "full disk: reported once" test "$(grep -c ' : Temporary file error: .*No space left on device; answers are relayed without saving\.$' "$work/logs/full-http.log")" -eq 1
  umount "$full"
else
  echo "skip: full disk (cannot mount a tmpfs here)"
fi

# A stalled origin leaves no file, neither saved nor temporary.
nginx_pid="$(pgrep -P "$(cat "$work/nginx.pid")" | head -1)"
curl "${proxy[@]}" -o "$work/got-slow.bin" "$origin/big/slow.bin" &
curl_pid=$!
for _ in $(seq 100); do [ "$(stat -c %s "$work/got-slow.bin" 2>/dev/null || echo 0)" -gt 100000 ] && break; sleep 0.05; done
kill -STOP "$nginx_pid"
wait "$curl_pid"
kill -CONT "$nginx_pid"
nginx_pid=""
check "stall reported as a read time-out" logged " : Read Timed out" "$work/logs/http.log"
check "stalled capture not saved" bash -c "! ls '$work/saved/big' | grep -q ."
check "no temporary file left" bash -c "! ls '$folder' | grep -q '^tx.*\.tmp$'"

# --- HTTPS through the proxy: CONNECT tunnels ---------------------------------------------
tls="https://localhost:$tls_port"
tls_proxy=(-s --cacert "$work/tls/cert.pem" -x "http://127.0.0.1:$proxy_port")
curl "${tls_proxy[@]}" -o "$work/got-tls.bin" "$tls/tls/big.bin"
check "https body through the tunnel byte for byte" same_file "$work/got-tls.bin" "$work/www/tls/big.bin"
curl "${tls_proxy[@]}" -o /dev/null -T "$work/upload.bin" "$tls/upload/up.bin"
check "https upload through the tunnel byte for byte" same_file "$work/www/upload/up.bin" "$work/upload.bin"
check "tunnel logged with its bytes" logged " : >> Tunnel closed << to origin [0-9]* bytes, to browser [0-9]* bytes" "$work/logs/http.log"
connect_code() { curl -s -x "http://127.0.0.1:$1" -o /dev/null -w '%{http_connect}' "$2"; }
check "CONNECT to an unknown host answered 504" test "$(connect_code "$proxy_port" https://no-such-host.invalid/)" = 504
connect_code "$proxy_port" "https://127.0.0.1:$proxy_port/" >/dev/null
check "no tunnel to the proxy itself" logged " : Error; 127.0.0.1:$proxy_port is this proxy itself; not connected." "$work/logs/http.log"
plain_https() {
  exec 3<>"/dev/tcp/127.0.0.1/$proxy_port"
  printf 'GET %s/ HTTP/1.1\r\nHost: localhost\r\n\r\n' "$tls" >&3
  head -c 200 <&3
  exec 3<&-
}
check "https:// sent as a plain request answered 501" bash -c "$(declare -f plain_https); proxy_port=$proxy_port tls=$tls plain_https | grep -q '^HTTP/1.1 501 '"

# A real browser: headless Chromium loads the page over HTTPS through the proxy. Loopback is
# bypassed by default; "<-loopback>" sends it through the proxy too.
timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/chromium" --proxy-server="http://127.0.0.1:$proxy_port" \
  --proxy-bypass-list='<-loopback>' --ignore-certificate-errors \
  --dump-dom "$tls/tls/page.html" >"$work/chromium.dom" 2>"$work/logs/chromium.log"
check "chromium got the https page whole" grep -q 'tunnelled page 7f3a' "$work/chromium.dom"
check "chromium's page came through a tunnel" logged ":CONNECT localhost:$tls_port HTTP/1.1" "$work/logs/http.log"

# Through an upstream proxy (tinyproxy, which wants a password): its answer decides, and the
# browser's CONNECT head reaches it unchanged, credentials included.
mkdir -p "$work/tiny" "$work/chained"
printf 'Port %s\nListen 127.0.0.1\nTimeout 60\nLogLevel Critical\nBasicAuth user secret\nConnectPort %s\n' \
  "$tiny_port" "$tls_port" >"$work/tiny/tinyproxy.conf"
tinyproxy -d -c "$work/tiny/tinyproxy.conf" >/dev/null 2>&1 &
tiny_pid=$!
cp "$trovanexd" "$work/chained/trovanexd"
printf '[Settings]\r\nListenPort=%s\r\nUseProxy=1\r\nProxyAddress=127.0.0.1\r\nProxyPort=%s\r\n[Https]\r\nCapture=1\r\nHosts=127.0.0.1\r\nExtraCaFile=%s\r\n' \
  "$chained_port" "$tiny_port" "$work/tls/cert.pem" >"$work/chained/trovanexd.ini"
(cd "$work/chained" && exec ./trovanexd >"$work/logs/chained.log" 2>&1) &
chained_pid=$!
for _ in $(seq 50); do grep -q listening "$work/logs/chained.log" 2>/dev/null && (exec 3<>"/dev/tcp/127.0.0.1/$tiny_port") 2>/dev/null && break; sleep 0.1; done
curl -s --cacert "$work/tls/cert.pem" -x "http://127.0.0.1:$chained_port" --proxy-user user:secret \
  -o "$work/got-chained.bin" "$tls/tls/big.bin"
check "https through the upstream proxy byte for byte" same_file "$work/got-chained.bin" "$work/www/tls/big.bin"
check "the upstream proxy's 407 reaches the browser" test "$(connect_code "$chained_port" "$tls/tls/page.html")" = 407
# An opened tunnel through it: the upstream proxy gets the browser's CONNECT head, then TLS
# goes on inside as without it.
curl -s -x "http://127.0.0.1:$chained_port" -o "$work/chained-ca.crt" http://trovanex.internal/ca.crt
curl -s --cacert "$work/chained-ca.crt" -x "http://127.0.0.1:$chained_port" --proxy-user user:secret \
  -o "$work/got-chained-opened.html" "https://127.0.0.1:$tls_port/tls/page.html"
check "an opened tunnel through the upstream proxy" grep -q 'tunnelled page 7f3a' "$work/got-chained-opened.html"
check "... opened by the proxy itself" logged " : >> Tunnel opened for capture << 127.0.0.1" "$work/logs/chained.log"

# --- HTTPS capture for the hosts the user names ---------------------------------------------
# A proxy that opens localhost's tunnels: its own authority, made at the first start, is what
# the browser trusts; the origin's certificate is trusted through ExtraCaFile.
opened="$work/opened"
opened_port=$((origin_port + 10))
mkdir -p "$opened" "$work/saved/https"
cp "$trovanexd" "$opened/trovanexd"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=5000\r\n[Https]\r\nCapture=1\r\nHosts=*.localhost\r\nExtraCaFile=%s\r\n' \
  "$opened_port" "$work/tls/cert.pem" >"$opened/trovanexd.ini"
{
  search_rule shots '/tls/(img|again)/' Regexp Save "/$work/saved/https"
  search_rule scripts '/tls/(smuggle|mod)/.*\.m?js$' Regexp Save "/$work/saved/https"
} >"$opened/Search.cfg"
start_opened() {
  (cd "$opened" && exec ./trovanexd >>"$work/logs/opened.log" 2>>"$work/logs/opened-stderr.log") &
  opened_pid=$!
  for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$opened_port") 2>/dev/null && break; sleep 0.1; done
}
stop_opened() { kill -TERM "$opened_pid"; wait "$opened_pid"; opened_pid=""; }
start_opened
curl -s -x "http://127.0.0.1:$opened_port" -D "$work/ca.head" -o "$work/served-ca.crt" http://trovanex.internal/ca.crt
check "https: the authority made at first need" test -s "$opened/trovanex-ca.crt" -a -s "$opened/trovanex-ca.key"
check "https: its key readable by the owner only" test "$(stat -c %a "$opened/trovanex-ca.key")" = 600
check "https: its certificate served at trovanex.internal" same_file "$work/served-ca.crt" "$opened/trovanex-ca.crt"
check "https: served as a CA certificate" grep -qi '^Content-Type: application/x-x509-ca-cert' "$work/ca.head"
ca_sum=$(md5_of "$opened/trovanex-ca.crt")
key_sum=$(md5_of "$opened/trovanex-ca.key")
stop_opened
start_opened
check "https: the authority kept at the next start" test "$(md5_of "$opened/trovanex-ca.crt")/$(md5_of "$opened/trovanex-ca.key")" = "$ca_sum/$key_sum"
opened_tls=(-s --cacert "$opened/trovanex-ca.crt" -x "http://127.0.0.1:$opened_port")
curl "${opened_tls[@]}" -o "$work/got-shot1.jpg" "$tls/tls/img/shot1.jpg"
check "https: image relayed unchanged" same_file "$work/got-shot1.jpg" "$work/www/tls/img/shot1.jpg"
check "https: image saved in its rule's folder" eventually same_file "$work/saved/https/shot1.jpg" "$work/www/tls/img/shot1.jpg"
check "https: hash line marked as kept over https" eventually grep -qxF "$(md5_of "$work/www/tls/img/shot1.jpg")<>$work/saved/https/shot1.jpg<>30001<>localhost/tls/img/shot1.jpg<>https"$'\r' "$opened/hash.dat"
curl "${opened_tls[@]}" -o "$work/got-shot1-copy.jpg" "$tls/tls/again/shot1-copy.jpg"
check "https: the same content under another address relayed" same_file "$work/got-shot1-copy.jpg" "$work/www/tls/img/shot1.jpg"
check "https: ... and not saved twice" test ! -e "$work/saved/https/shot1-copy.jpg"
# Three requests on one kept-alive TLS connection: one tunnel, one origin connection.
connects=$(curl "${opened_tls[@]}" -o /dev/null -o /dev/null -o /dev/null -w '%{num_connects}\n' \
  "$tls/tls/img/shot2.jpg" "$tls/tls/img/shot3.jpg" "$tls/tls/page.html" | paste -sd' ')
check "https: three requests on one connection" test "$connects" = "1 0 0"
for _ in $(seq 200); do [ "$(grep -c ' : Kept-alive origin connection reused\.$' "$work/logs/opened.log")" -ge 2 ] && break; sleep 0.01; done
check "https: the origin connection kept too" test "$(grep -c ' : Kept-alive origin connection reused\.$' "$work/logs/opened.log")" -eq 2
# A chunked upload (curl sends standard input so, after "Expect: 100-continue"), then a
# request on the same connection.
connects=$(curl "${opened_tls[@]}" -T - -o /dev/null -w '%{num_connects}\n' "$tls/upload/up-chunked.bin" \
  --next "${opened_tls[@]}" -o "$work/got-after-upload.html" -w '%{num_connects}\n' "$tls/tls/page.html" \
  <"$work/upload.bin" | paste -sd' ')
check "https: a chunked upload arrives byte for byte" same_file "$work/www/upload/up-chunked.bin" "$work/upload.bin"
check "https: ... and the same connection serves the next request" bash -c \
  "test '$connects' = '1 0' && grep -q 'tunnelled page 7f3a' '$work/got-after-upload.html'"
check "https: each kept image saved" eventually bash -c "cmp -s '$work/saved/https/shot2.jpg' '$work/www/tls/img/shot2.jpg' && cmp -s '$work/saved/https/shot3.jpg' '$work/www/tls/img/shot3.jpg'"

# Three pages compressed on the fly, so each comes chunked, on one kept-alive connection: each
# answer is read through its last chunk and trailer, and one origin connection serves all three.
connects=$(curl "${opened_tls[@]}" --compressed -D "$work/gz.head" -w '%{num_connects}\n' \
  -o "$work/got-gz1.html" -o "$work/got-gz2.html" -o "$work/got-gz3.html" \
  "$tls/tls/gz/p1.html" "$tls/tls/gz/p2.html" "$tls/tls/gz/p3.html" | paste -sd' ')
gz_came_chunked() {
  test "$connects" = "1 0 0" &&
    test "$(grep -ci '^Transfer-Encoding: chunked' "$work/gz.head")" -eq 3 &&
    test "$(grep -ci '^Content-Encoding: gzip' "$work/gz.head")" -eq 3
}
gz_whole() { for i in 1 2 3; do cmp -s "$work/got-gz$i.html" "$work/www/tls/gz/p$i.html" || return 1; done; }
gz_requests() { grep ' 200 "GET /tls/gz/p[123]\.html ' "$work/logs/tls-access.log"; }
for _ in $(seq 100); do [ "$(gz_requests | wc -l)" -ge 3 ] && break; sleep 0.02; done
check "https: three chunked gzip pages on one connection" gz_came_chunked
check "https: ... each page whole" gz_whole
check "https: ... over one origin connection" \
  test "$(gz_requests | wc -l)/$(gz_requests | cut -d' ' -f1 | sort -u | wc -l)" = "3/1"

# A request framed two ways (a length, and chunked coding whose end leaves a second request in
# the length's bytes) is refused before anything reaches the origin, and its connection ends
# there, the request after it unanswered; the next requests get, and keep, their own answers.
smuggled=$'0\r\n\r\nGET /tls/smuggle/hidden.js HTTP/1.1\r\nHost: localhost\r\n\r\n'
{
  printf 'POST /tls/smuggle/real1.js HTTP/1.1\r\nHost: localhost:%s\r\nContent-Length: %s\r\n' "$tls_port" "${#smuggled}"
  printf 'Transfer-Encoding: chunked\r\n\r\n%s' "$smuggled"
  printf 'GET /tls/smuggle/real2.js HTTP/1.1\r\nHost: localhost:%s\r\n\r\n' "$tls_port"
} | timeout 10 openssl s_client -proxy "127.0.0.1:$opened_port" -connect "localhost:$tls_port" \
  -servername localhost -CAfile "$opened/trovanex-ca.crt" -verify_return_error -quiet \
  >"$work/smuggle.out" 2>"$work/smuggle.err"
smuggle_rc=$?
check "https: a length beside chunked coding answered 400" test "$(head -1 "$work/smuggle.out")" = $'HTTP/1.1 400 Bad Request.\r'
check "https: ... the connection ended with it" test "$smuggle_rc" -ne 124 -a "$(grep -c '^HTTP/' "$work/smuggle.out")" -eq 1
check "https: ... the reason logged" logged " : Error; .*; the request is refused\.$" "$work/logs/opened.log"
curl "${opened_tls[@]}" -o "$work/got-real2.js" -o "$work/got-real3.js" "$tls/tls/smuggle/real2.js" "$tls/tls/smuggle/real3.js"
check "https: ... the next requests get their own answers" bash -c \
  "cmp -s '$work/got-real2.js' '$work/www/tls/smuggle/real2.js' && cmp -s '$work/got-real3.js' '$work/www/tls/smuggle/real3.js'"
check "https: ... and keep them" bash -c \
  "cmp -s '$work/saved/https/real2.js' '$work/www/tls/smuggle/real2.js' && cmp -s '$work/saved/https/real3.js' '$work/www/tls/smuggle/real3.js'"
logged '"GET /tls/smuggle/real3.js ' "$work/logs/tls-access.log"
check "https: ... nothing of the refused one reached the origin" bash -c \
  "! grep -qE 'real1|hidden' '$work/logs/tls-access.log' && test \$(grep -c 'real2.js' '$work/logs/tls-access.log') -eq 1"

# Inside a tunnel to localhost, a request for another host or port is answered 421 and not sent
# on; the tunnel's own host, in capitals and without its port, is served.
host_code() { curl "${opened_tls[@]}" -o /dev/null -w '%{http_code}' "$@"; }
check "https: a Host line naming another host answered 421" \
  test "$(host_code -H 'Host: attacker.test' "$tls/tls/page.html?other-host")" = 421
check "https: ... naming another port 421" \
  test "$(host_code -H "Host: localhost:$((tls_port + 1))" "$tls/tls/page.html?other-port")" = 421
check "https: ... an absolute target naming another host 421" \
  test "$(host_code --request-target "https://attacker.test/tls/page.html?other-target" "$tls/tls/page.html")" = 421
check "https: ... the tunnel's host in capitals, without its port, served" \
  test "$(host_code -H 'Host: LOCALHOST' "$tls/tls/page.html?own-host")" = 200
logged '"GET /tls/page.html?own-host ' "$work/logs/tls-access.log"
check "https: ... none of the others reached the origin" bash -c \
  "! grep -qE 'other-(host|port|target)|attacker' '$work/logs/tls-access.log'"
check "https: ... each logged" test \
  "$(grep -c " : Error; a request for .* inside the tunnel to localhost; not sent on\.$" "$work/logs/opened.log")" -eq 3

# The TLS name must be the tunnel's host: CONNECT localhost with the name victim.test (what
# curl's --connect-to sends) ends the handshake, no certificate is made for that name, and
# nothing is kept under it. The Host line names localhost, so only the TLS name is wrong.
curl -sv --cacert "$opened/trovanex-ca.crt" -x "http://127.0.0.1:$opened_port" \
  --connect-to "victim.test:443:localhost:$tls_port" -H "Host: localhost:$tls_port" \
  -o /dev/null -w '%{http_code}' https://victim.test/tls/img/sni.jpg >"$work/sni.code" 2>"$work/sni.err"
sni_rc=$?
check "https: another TLS name ends the handshake" bash -c \
  "grep -q '^> CONNECT localhost:$tls_port HTTP/1.1' '$work/sni.err' && test $sni_rc -ne 0 -a \"\$(cat '$work/sni.code')\" = 000"
check "https: ... with no certificate sent" bash -c "! grep -q 'TLS handshake, Certificate (11)' '$work/sni.err'"
check "https: ... the log names it, and no tunnel is opened for it" bash -c \
  "$(declare -f logged); logged ' : Error; .*victim\.test' '$work/logs/opened.log' && ! grep -q 'Tunnel opened for capture << victim\.test' '$work/logs/opened.log'"
for _ in $(seq 25); do [ -e "$work/saved/https/sni.jpg" ] && break; sleep 0.02; done  # kept a moment after
check "https: ... nothing kept under it" bash -c "! grep -q '<>victim\.test/' '$opened/hash.dat' && test ! -e '$work/saved/https/sni.jpg'"
# A host not named stays a blind tunnel: the browser sees the origin's own certificate.
check "https: a host not named passes blind" bash -c \
  "curl -s --cacert '$work/tls/cert.pem' -x http://127.0.0.1:$opened_port https://127.0.0.1:$tls_port/tls/page.html | grep -q 'tunnelled page 7f3a'"
# An origin whose certificate does not verify: a 502 page naming the host, nothing relayed.
curl "${opened_tls[@]}" -o "$work/unverified.txt" -w '%{http_code}' "https://localhost:$untrusted_port/tls/page.html" >"$work/unverified.code"
check "https: an unverified origin answered 502" test "$(cat "$work/unverified.code")" = 502
check "https: ... naming the host and the reason" grep -q "the certificate of localhost did not verify (.*self.signed" "$work/unverified.txt"
# A real browser trusting the authority through its NSS database loads a page with images.
home="$work/chromium-home"
mkdir -p "$home/.pki/nssdb"
certutil -d "sql:$home/.pki/nssdb" -N --empty-password
certutil -d "sql:$home/.pki/nssdb" -A -t "C,," -n "Trovanex local CA" -i "$opened/trovanex-ca.crt"
rm -f "$work/saved/https/shot"*.jpg
sed -i '/shot[0-9]/d' "$opened/hash.dat"
HOME="$home" timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/chromium-opened" --proxy-server="http://127.0.0.1:$opened_port" \
  --proxy-bypass-list='<-loopback>' --run-all-compositor-stages-before-draw --virtual-time-budget=5000 \
  --dump-dom "$tls/tls/gallery.html" >"$work/chromium-opened.dom" 2>"$work/logs/chromium-opened.log"
check "chromium: the https page through the opened tunnel" grep -q 'gallery 51c2' "$work/chromium-opened.dom"
# The decision to keep follows the last byte the browser got.
for _ in $(seq 50); do [ "$(ls "$work/saved/https" | wc -l)" -ge 3 ] && break; sleep 0.1; done
kept=0
for i in 1 2 3; do same_file "$work/saved/https/shot$i.jpg" "$work/www/tls/img/shot$i.jpg" && kept=$((kept + 1)); done
check "chromium: its images kept" test "$kept" -eq 3

# A page whose module script is kept: on the second visit the script is answered from disk
# (nginx sees it asked for once), with the type it came with (a charset that its extension
# would not give), and runs. Each visit has a profile of its
# own, so Chromium's cache answers nothing.
module_visit() {
  HOME="$home" timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/chromium-module$1" --proxy-server="http://127.0.0.1:$opened_port" \
    --proxy-bypass-list='<-loopback>' --run-all-compositor-stages-before-draw --virtual-time-budget=5000 \
    --dump-dom "$tls/tls/mod/index.html" >"$work/chromium-module$1.dom" 2>"$work/logs/chromium-module$1.log"
}
module_visit 1
check "chromium: a module script runs" grep -q 'module ran 4e1b' "$work/chromium-module1.dom"
for _ in $(seq 50); do [ -s "$work/saved/https/app.mjs" ] && break; sleep 0.1; done
module_visit 2
logged_twice() { test "$(grep -c "$1" "$2")" -ge 2; }
for _ in $(seq 100); do logged_twice '"GET /tls/mod/index.html ' "$work/logs/tls-access.log" && break; sleep 0.02; done
check "chromium: ... and again, answered from disk" bash -c \
  "grep -q 'module ran 4e1b' '$work/chromium-module2.dom' && test \$(grep -c '\"GET /tls/mod/index.html ' '$work/logs/tls-access.log') -eq 2 && test \$(grep -c '\"GET /tls/mod/app.mjs ' '$work/logs/tls-access.log') -eq 1"
curl "${opened_tls[@]}" -D "$work/module.head" -o /dev/null "$tls/tls/mod/app.mjs"
check "https: ... a copy answered with the type it came with, not its extension's" \
  grep -qix $'Content-Type: text/javascript; charset=utf-8\r' "$work/module.head"

# A damaged key is reported, never replaced, and the named host's tunnel stays blind meanwhile.
stop_opened
cp "$opened/trovanex-ca.key" "$work/ca.key.kept"
head -c 100 "$work/ca.key.kept" >"$opened/trovanex-ca.key"
start_opened
check "https: with a damaged authority the tunnel stays blind" bash -c \
  "curl -s --cacert '$work/tls/cert.pem' -x http://127.0.0.1:$opened_port '$tls/tls/page.html' | grep -q 'tunnelled page 7f3a'"
check "https: ... and the damaged file is named" logged " : Error; $opened/trovanex-ca.key: .*; HTTPS is not opened\.$" "$work/logs/opened.log"
check "https: ... and not replaced" test "$(head -c 100 "$work/ca.key.kept" | md5sum)" = "$(md5sum <"$opened/trovanex-ca.key")"
stop_opened
cp "$work/ca.key.kept" "$opened/trovanex-ca.key"
start_opened

# One scheme per stored copy. An address has neither scheme nor port, so the plain origin and
# the TLS one serve one address: a copy kept over one scheme is answered from disk over it only.
# Each image is kept over one scheme, the origin's content changes, and each is asked for over
# the other: the origin answers and that copy is kept too; with the origin stopped, each scheme
# gets its own copy.
plain_opened=(-s -x "http://127.0.0.1:$opened_port")
plain_localhost="http://localhost:$origin_port"
cp "$work/www/tls/img/scheme-a.jpg" "$work/scheme-a-plain.jpg"
cp "$work/www/tls/img/scheme-b.jpg" "$work/scheme-b-https.jpg"
curl "${plain_opened[@]}" -o /dev/null "$plain_localhost/tls/img/scheme-a.jpg"
curl "${opened_tls[@]}" -o /dev/null "$tls/tls/img/scheme-b.jpg"
check "scheme: a plain copy's line has no mark" kept_line \
  "$(md5_of "$work/scheme-a-plain.jpg")<>$work/saved/https/scheme-a.jpg<>20001<>localhost/tls/img/scheme-a.jpg" "$opened/hash.dat"
check "scheme: an https copy's line is marked" kept_line \
  "$(md5_of "$work/scheme-b-https.jpg")<>$work/saved/https/scheme-b.jpg<>20002<>localhost/tls/img/scheme-b.jpg<>https" "$opened/hash.dat"
head -c 20011 /dev/urandom >"$work/www/tls/img/scheme-a.jpg"
head -c 20012 /dev/urandom >"$work/www/tls/img/scheme-b.jpg"
cp "$work/www/tls/img/scheme-a.jpg" "$work/scheme-a-https.jpg"
cp "$work/www/tls/img/scheme-b.jpg" "$work/scheme-b-plain.jpg"
curl "${opened_tls[@]}" -o "$work/got-scheme-a-https.jpg" "$tls/tls/img/scheme-a.jpg"
curl "${plain_opened[@]}" -o "$work/got-scheme-b-plain.jpg" "$plain_localhost/tls/img/scheme-b.jpg"
check "scheme: a plain copy is not answered inside an opened tunnel" bash -c \
  "cmp -s '$work/got-scheme-a-https.jpg' '$work/scheme-a-https.jpg' && grep -q ' 200 \"GET /tls/img/scheme-a.jpg ' '$work/logs/tls-access.log'"
check "scheme: an https copy is not answered to a plain request" bash -c \
  "cmp -s '$work/got-scheme-b-plain.jpg' '$work/scheme-b-plain.jpg' && grep -q ' 200 \"GET /tls/img/scheme-b.jpg ' '$work/logs/origin-access.log'"
for _ in $(seq 100); do [ "$(grep -c '<>localhost/tls/img/scheme-' "$opened/hash.dat")" -ge 4 ] && break; sleep 0.02; done

# With the origin gone, an address saved before is answered from the stored file.
stop_origin
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$origin_port") 2>/dev/null || break; sleep 0.1; done
curl "${opened_tls[@]}" -o "$work/got-shot2-stored.jpg" "$tls/tls/img/shot2.jpg"
check "https: answered from the stored file with the origin gone" same_file "$work/got-shot2-stored.jpg" "$work/www/tls/img/shot2.jpg"
curl "${plain_opened[@]}" -o "$work/got-scheme-a-plain-stored.jpg" "$plain_localhost/tls/img/scheme-a.jpg"
curl "${opened_tls[@]}" -o "$work/got-scheme-b-https-stored.jpg" "$tls/tls/img/scheme-b.jpg"
curl "${opened_tls[@]}" -o "$work/got-scheme-a-https-stored.jpg" "$tls/tls/img/scheme-a.jpg"
curl "${plain_opened[@]}" -o "$work/got-scheme-b-plain-stored.jpg" "$plain_localhost/tls/img/scheme-b.jpg"
check "scheme: with the origin gone, a plain copy answers a plain request" \
  same_file "$work/got-scheme-a-plain-stored.jpg" "$work/scheme-a-plain.jpg"
check "scheme: ... an https copy a request inside an opened tunnel" \
  same_file "$work/got-scheme-b-https-stored.jpg" "$work/scheme-b-https.jpg"
check "scheme: ... and an address kept over both, each scheme its own copy" bash -c \
  "cmp -s '$work/got-scheme-a-https-stored.jpg' '$work/scheme-a-https.jpg' && cmp -s '$work/got-scheme-b-plain-stored.jpg' '$work/scheme-b-plain.jpg'"
stop_opened
curl "${proxy[@]}" -D "$work/local.head" -o "$work/got-local.jpg" "$origin/img/photo.jpg"
check "answered from the stored file" same_file "$work/got-local.jpg" "$work/www/img/photo.jpg"
check "stored-file answer head" grep -q $'^HTTP/1.1 200 Ok\r$' "$work/local.head"
curl "${proxy[@]}" --compressed -D "$work/local-page.head" -o "$work/got-local-page.html" "$origin/pages/index.html"
check "the stored page answered decoded" same_file "$work/got-local-page.html" "$work/www/pages/index.html"
check "no Content-Encoding with a stored file" bash -c "! grep -qi '^Content-Encoding' '$work/local-page.head'"

# SIGTERM: the proxy stops in order and writes Search.cfg and its settings exactly.
kill -TERM "$proxy_pid"
wait "$proxy_pid"
status=$?
proxy_pid=""
check "stopped cleanly" test "$status" -eq 0
check "Search.cfg written back unchanged" same_file "$folder/Search.cfg" "$work/Search.cfg.before"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=1500\r\nUseProxy=0\r\nProxyAddress=\r\nProxyPort=8080\r\nConnectionTimeout=5000\r\nBufferSize=32767\r\nAllowOuterConnection=0\r\nTrayDoubleClickMode=1\r\n' \
  "$proxy_port" >"$work/expected.ini"
check "settings file written" same_file "$folder/trovanexd.ini" "$work/expected.ini"

# Started with a low soft limit on open files, the proxy raises it to the hard limit.
# SIGHUP (its terminal closed): the same orderly stop; the short settings file comes back whole.
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=1500\r\n' "$proxy_port" >"$folder/trovanexd.ini"
(cd "$folder" &&
  exec prlimit --nofile=256: ./trovanexd >"$work/logs/http-hup.log" 2>"$work/logs/stderr-hup.log") &
proxy_pid=$!
for _ in $(seq 50); do grep -q listening "$work/logs/stderr-hup.log" 2>/dev/null && break; sleep 0.1; done
read -r soft hard < <(awk '/^Max open files/ {print $4, $5}' "/proc/$proxy_pid/limits")
check "open-file limit raised from 256 to the hard limit" test "$soft" = "$hard" -a "$hard" != 256
kill -HUP "$proxy_pid"
wait "$proxy_pid"
status=$?
proxy_pid=""
check "SIGHUP stops cleanly" test "$status" -eq 0
check "SIGHUP stops in order" grep -q "^trovanexd: stopping" "$work/logs/stderr-hup.log"
check "settings file written after SIGHUP" same_file "$folder/trovanexd.ini" "$work/expected.ini"

# Started to outlive its terminal (nohup: SIGHUP ignored), it goes on serving after one.
(cd "$folder" && trap '' HUP && exec ./trovanexd >/dev/null 2>"$work/logs/stderr-nohup.log") &
proxy_pid=$!
for _ in $(seq 50); do grep -q listening "$work/logs/stderr-nohup.log" 2>/dev/null && break; sleep 0.1; done
kill -HUP "$proxy_pid"
check "an ignored SIGHUP leaves it serving" \
  same_file <(curl "${proxy[@]}" "$origin/img/photo.jpg") "$work/www/img/photo.jpg"
kill -TERM "$proxy_pid"
wait "$proxy_pid"
proxy_pid=""

summary "capture end to end"

#!/usr/bin/env bash
# The Debian package (made by `make package`): what it holds, its desktop entry and control
# files, its man pages, the files of /usr/share/doc/trovanex, what lintian says of it, and the
# programs it installs run as an ordinary user from a place that user cannot write, keeping
# their files in that user's XDG folders and nothing beside the binaries.
# Usage: package_e2e.sh build-folder
set -uo pipefail
# shellcheck source=../support/loopback_nginx.sh
source "$(dirname "$0")/../support/loopback_nginx.sh"
# shellcheck source=../support/checks.sh
source "$(dirname "$0")/../support/checks.sh"
# shellcheck source=../support/search_rules.sh
source "$(dirname "$0")/../support/search_rules.sh"

deb="$(ls "$1"/trovanex_*.deb 2>/dev/null | head -1)"
work="$(mktemp -d /tmp/trovanex-package.XXXXXX)"
chmod 755 "$work"
origin_port=$((20000 + RANDOM % 20000))
proxy_port=$((origin_port + 1))
proxy_pid=""
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null
  stop_origin
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$deb" ]; then
  echo "FAILED: no package in $1 (make package makes it)" >&2
  exit 1
fi
contents="$(dpkg-deb -c "$deb" | awk '{ print $6 }')"
for file in usr/bin/trovanex usr/bin/trovanexd usr/share/applications/trovanex.desktop \
  usr/share/man/man1/trovanex.1.gz usr/share/man/man1/trovanexd.1.gz \
  usr/share/man/man5/trovanex.ini.5.gz usr/share/man/man5/trovanex-rules.5.gz \
  usr/share/doc/trovanex/{copyright,changelog.Debian.gz,README.md.gz,examples/Search.cfg} \
  usr/share/lintian/overrides/trovanex usr/lib/systemd/user/trovanexd.service \
  usr/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/trovanex.png; do
  check "the package holds /$file" grep -qxF "./$file" <<<"$contents"
done
check "its dependencies come from the binaries" bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libqt6widgets6.*libcap2-bin\|libcap2-bin.*libqt6widgets6'"
check "certutil comes with it, for trusting the local CA in the browsers" bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libnss3-tools'"
dpkg-deb -e "$deb" "$work/control"
check "postinst lets both programs open port 81" \
  bash -c "grep -q 'setcap cap_net_bind_service=+ep /usr/bin/trovanex ' '$work/control/postinst' && grep -q 'setcap cap_net_bind_service=+ep /usr/bin/trovanexd ' '$work/control/postinst'"

root="$work/root"
dpkg-deb -x "$deb" "$root"
check "the desktop entry is valid" desktop-file-validate "$root/usr/share/applications/trovanex.desktop"

# Each man page as man shows it on 80 columns, in the C locale and in a Japanese UTF-8 one,
# with all of groff's warnings on: not one warning, and the page's own NAME line. The desktop
# program's menu labels are Japanese: in UTF-8 its page shows them, in C only their keys.
ja=ja_JP.UTF-8
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
  export LOCPATH="$work/locale"
  mkdir -p "$LOCPATH"
  localedef -i ja_JP -f UTF-8 "$LOCPATH/$ja"
fi
check "the $ja locale is there" bash -c "[ \"\$(LC_ALL=$ja locale charmap 2>/dev/null)\" = UTF-8 ]"
# render LOCALE PAGE: the page on standard output, its warnings in $work/warnings.
render() {
  LC_ALL="$1" MANWIDTH=80 MAN_KEEP_STDERR=1 man --warnings=w -l "$2" 2>"$work/warnings"
}
for page in man1/trovanex.1 man1/trovanexd.1 man5/trovanex.ini.5 man5/trovanex-rules.5; do
  name="$(basename "$page" | sed 's/\.[15]$//')"
  for locale in C "$ja"; do
    render "$locale" "$root/usr/share/man/$page.gz" | tr -s ' \n' ' ' >"$work/page.txt"
    check "$name($locale) renders without warnings" test ! -s "$work/warnings"
    sed "s/^/  $name($locale): /" "$work/warnings" >&2
    check "$name($locale) has its NAME line" grep -qE "NAME ${name//./\\.}[ ,]" "$work/page.txt"
    case "$name,$locale" in
      trovanex,C) check "trovanex(C) names the exit item by its key" \
        grep -qF 'exit item (X)' "$work/page.txt" ;;
      trovanex,"$ja") check "trovanex($ja) shows the exit item's label" \
        grep -qF 'exit item “終了(X)”' "$work/page.txt" ;;
    esac
  done
done

# /usr/share/doc/trovanex: a copyright file in Debian's machine-readable format, the changelog
# of this very version, the README; lintian finds no error, and no warning but those the
# package overrides with their reason (its report stays in the test's output).
doc="$root/usr/share/doc/trovanex"
check "the copyright file is machine-readable" python3 -c '
import re, sys
paragraphs = []
for block in re.split(r"\n[ \t]*\n", open(sys.argv[1], encoding="utf-8").read().strip()):
    fields, key = {}, None
    for line in block.split("\n"):
        if line[:1] in (" ", "\t") and key:
            fields[key] += "\n" + line.strip()
            continue
        key, colon, value = line.partition(":")
        if not colon or not re.fullmatch(r"[A-Za-z][A-Za-z-]*", key):
            sys.exit("not a field: " + line)
        fields[key] = value.strip()
    paragraphs.append(fields)
header, rest = paragraphs[0], paragraphs[1:]
if header.get("Format") != "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/":
    sys.exit("no Format line first")
files = [p for p in rest if "Files" in p]
if not any(p["Files"].split() == ["*"] for p in files):
    sys.exit("no Files: * paragraph")
texts = {p["License"].split("\n")[0]: p["License"] for p in rest if "Files" not in p}
for p in files:
    name, _, text = p.get("License", "").partition("\n")
    if not p.get("Copyright") or not name or not (text or "\n" in texts.get(name, "")):
        sys.exit("a Files paragraph without its copyright or license text: " + p["Files"])
' "$doc/copyright"
check "changelog.Debian.gz is of this version" bash -c \
  "zcat '$doc/changelog.Debian.gz' | head -1 | grep -qF 'trovanex ($(dpkg-deb -f "$deb" Version)) '"
kinds="$(tr -d '\r' <"$doc/examples/Search.cfg" | grep -E '^(Type|ExecType)=' | sort -u | tr -d ' \n')"
check "the example Search.cfg has a rule of each kind" \
  test "$kinds" = "ExecType=SaveExecType=SaveAskExecType=SaveAskFolderExecType=ViewType=RegexpType=Standard"
check "README.md.gz is the README" bash -c "zcat '$doc/README.md.gz' | head -1 | grep -qx '# Trovanex'"
lintian --fail-on none --show-overrides "$deb" >"$work/lintian.txt" 2>&1
lintian_status=$?
sed 's/^/  lintian: /' "$work/lintian.txt"
check "lintian ran" test "$lintian_status" -eq 0
check "lintian: no errors, no warnings but those overridden" bash -c "! grep -q '^[EW]: ' '$work/lintian.txt'"
for program in trovanex trovanexd; do
  check "$program --help" bash -c "'$root/usr/bin/$program' --help | grep -q '^Usage: $program '"
  check "$program --version" bash -c "'$root/usr/bin/$program' --version | grep -qE '^$program [0-9]'"
done

# The installed trovanexd, as nobody with a home of its own.
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
if ! "${as_nobody[@]}" true 2>/dev/null; then
  echo "skip: the installed program as an ordinary user (cannot run as nobody)"
  summary "package end to end"
  exit
fi
mkdir -p "$work/www/img" "$work/saved" "$work/home/.config/trovanex"
head -c 20000 /dev/urandom >"$work/www/img/a.jpg"
chmod -R 755 "$work/www"
start_origin "$origin_port" "$work/www" || { echo "FAILED: nginx did not start" >&2; exit 1; }
printf '[Settings]\r\nListenPort=%s\r\n' "$proxy_port" >"$work/home/.config/trovanex/trovanexd.ini"
# The test's own rule first, then the package's example rules, which must all be read.
search_rule images /img/ Standard Save "/$work/saved" >"$work/rules.cfg"
grep -v '^#' "$root/usr/share/doc/trovanex/examples/Search.cfg" >>"$work/rules.cfg"
grep '^#' "$root/usr/share/doc/trovanex/examples/Search.cfg" |
  cat - "$work/rules.cfg" >"$work/home/.config/trovanex/Search.cfg"
chmod -R a+rwX "$work/home" "$work/saved"
env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME="$work/home" "${as_nobody[@]}" \
  "$root/usr/bin/trovanexd" >/dev/null 2>"$work/stderr.log" &
proxy_pid=$!
for _ in $(seq 50); do grep -q listening "$work/stderr.log" 2>/dev/null && break; sleep 0.1; done
check "the installed program serves" bash -c \
  "curl -s -x http://127.0.0.1:$proxy_port http://127.0.0.1:$origin_port/img/a.jpg | cmp -s - '$work/www/img/a.jpg'"
kill -TERM "$proxy_pid"
wait "$proxy_pid"
proxy_pid=""
check "it stored by its rule" cmp -s "$work/saved/a.jpg" "$work/www/img/a.jpg"
check "hash.dat in the XDG data folder" grep -q a.jpg "$work/home/.local/share/trovanex/hash.dat"
check "the example rules are read and written back as they were" \
  bash -c "cmp -s '$work/rules.cfg' '$work/home/.config/trovanex/Search.cfg' &&
    ! grep -q '検索設定ファイルがおかしいです' '$work/stderr.log'"
check "settings written in the XDG config folder" grep -q '^BufferSize=' "$work/home/.config/trovanex/trovanexd.ini"
check "nothing beside the binaries" test "$(ls "$root/usr/bin" | tr '\n' ' ')" = "trovanex trovanexd "
summary "package end to end"

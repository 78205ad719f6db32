#!/usr/bin/env bash
# The Debian package (made by `make package`): what it holds, its desktop entry and control
# files, and the programs it installs run as an ordinary user from a place that user cannot
# write, keeping their files in that user's XDG folders and nothing beside the binaries.
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
  usr/lib/systemd/user/trovanexd.service \
  usr/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/trovanex.png; do
  check "the package holds /$file" grep -qxF "./$file" <<<"$contents"
done
check "its dependencies come from the binaries" bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libqt6widgets6.*libcap2-bin\|libcap2-bin.*libqt6widgets6'"
dpkg-deb -e "$deb" "$work/control"
check "postinst lets both programs open port 81" \
  bash -c "grep -q 'setcap cap_net_bind_service=+ep /usr/bin/trovanex ' '$work/control/postinst' && grep -q 'setcap cap_net_bind_service=+ep /usr/bin/trovanexd ' '$work/control/postinst'"

root="$work/root"
dpkg-deb -x "$deb" "$root"
check "the desktop entry is valid" desktop-file-validate "$root/usr/share/applications/trovanex.desktop"
check "the man pages read" bash -c "man -l '$root/usr/share/man/man1/trovanexd.1.gz' | grep -q 'trovanexd *- *an *HTTP'"
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
search_rule images /img/ Standard Save "/$work/saved" >"$work/home/.config/trovanex/Search.cfg"
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
check "settings written in the XDG config folder" grep -q '^BufferSize=' "$work/home/.config/trovanex/trovanexd.ini"
check "nothing beside the binaries" test "$(ls "$root/usr/bin" | tr '\n' ' ')" = "trovanex trovanexd "
summary "package end to end"

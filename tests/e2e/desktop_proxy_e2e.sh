#!/usr/bin/env bash
# The first five minutes, end to end: in a home of its own with GNOME's settings (GSettings'
# keyfile back end), `trovanexd --trust-ca` trusts the local CA in the browser's database, the
# desktop program with "[Desktop] UseAsSystemProxy=1" points the desktop's proxy at itself, and
# headless Chromium, started without any proxy or certificate option, loads an HTTPS page of a
# named host through it; its images are kept. SIGTERM puts the desktop's settings back, and
# --untrust-ca takes the trust out again. Everything listens on 127.0.0.1; the named host is
# 127.0.0.1 for the proxy alone (nss_wrapper's hosts file).
# Usage: desktop_proxy_e2e.sh path/to/trovanex path/to/trovanexd
set -uo pipefail
# shellcheck source=../support/loopback_nginx.sh
source "$(dirname "$0")/../support/loopback_nginx.sh"
# shellcheck source=../support/checks.sh
source "$(dirname "$0")/../support/checks.sh"
# shellcheck source=../support/search_rules.sh
source "$(dirname "$0")/../support/search_rules.sh"

trovanex="$1"
trovanexd="$2"
for tool in chromium certutil gsettings nginx openssl; do
  command -v "$tool" >/dev/null || { echo "skip: $tool is missing (scripts/bootstrap test)"; exit 0; }
done
nss_wrapper="$(ls /usr/lib/*/libnss_wrapper.so 2>/dev/null | head -1)"
[ -n "$nss_wrapper" ] || { echo "skip: libnss-wrapper is missing (scripts/bootstrap test)"; exit 0; }

work="$(mktemp -d /tmp/trovanex-desktop-proxy.XXXXXX)"
chmod 755 "$work"  # nginx workers run unprivileged
tls_port=$((20000 + RANDOM % 20000))
proxy_port=$((tls_port + 1))
host=shop.trovanex.test
program_pid=""

cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  stop_origin
  wait 2>/dev/null
  [ -n "${KEEP_E2E:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

# The desktop session: its own home, GNOME's settings in a key file there.
home="$work/home"
mkdir -p "$home/.config" "$work/logs"
export HOME="$home" XDG_CONFIG_HOME="$home/.config" GSETTINGS_BACKEND=keyfile
export XDG_CURRENT_DESKTOP=GNOME QT_QPA_PLATFORM=offscreen
gsettings_get() { gsettings get "$1" "$2" 2>/dev/null; }

# The named host's TLS origin, with a certificate only ExtraCaFile makes trusted.
mkdir -p "$work/tls" "$work/www/img" "$work/saved"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=$host" \
  -addext "subjectAltName=DNS:$host" \
  -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
for i in 1 2 3; do head -c $((40000 + i)) /dev/urandom >"$work/www/img/shop$i.jpg"; done
printf '<html><body><p>shop 9d41</p><img src="img/shop1.jpg"><img src="img/shop2.jpg"><img src="img/shop3.jpg"></body></html>\n' \
  >"$work/www/index.html"
chmod -R 755 "$work/www"
start_origin "$((tls_port + 2))" "$work/www" "" \
  "server {
    listen 127.0.0.1:$tls_port ssl;
    server_name $host;
    ssl_certificate $work/tls/cert.pem;
    ssl_certificate_key $work/tls/key.pem;
    root $work/www;
  }" || { echo "FAILED: nginx did not start" >&2; exit 1; }

# Both programs in one program folder: one local CA, trusted by trovanexd, used by trovanex.
folder="$work/prog"
mkdir -p "$folder"
cp "$trovanex" "$folder/trovanex"
cp "$trovanexd" "$folder/trovanexd"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=5000\r\n[Https]\r\nCapture=1\r\nHosts=%s\r\nExtraCaFile=%s\r\n[Desktop]\r\nUseAsSystemProxy=1\r\n' \
  "$proxy_port" "$host" "$work/tls/cert.pem" >"$folder/trovanex.ini"
search_rule shop '/img/' Standard Save "/$work/saved" >"$folder/Search.cfg"

"$folder/trovanexd" --trust-ca >"$work/logs/trust.out" 2>&1
check "--trust-ca succeeds" test $? -eq 0
check "--trust-ca names Chromium's database" grep -qxF "Chromium $home/.pki/nssdb: trusted" "$work/logs/trust.out"
check "... which lists the authority" bash -c \
  "certutil -d 'sql:$home/.pki/nssdb' -L | grep -q '^Trovanex local CA  *C,,'"

printf '127.0.0.1 %s\n' "$host" >"$work/hosts"
LD_PRELOAD="$nss_wrapper" NSS_WRAPPER_HOSTS="$work/hosts" "$folder/trovanex" >"$work/logs/trovanex.log" 2>&1 &
program_pid=$!
for _ in $(seq 100); do
  # The mode is set last, once the rest is in place.
  [ "$(gsettings_get org.gnome.system.proxy mode)" = "'manual'" ] && break
  sleep 0.1
done
check "the desktop's proxy is the program" bash -c \
  "[ \"\$(gsettings get org.gnome.system.proxy mode)\" = \"'manual'\" ] && [ \"\$(gsettings get org.gnome.system.proxy.https host)\" = \"'127.0.0.1'\" ] && [ \"\$(gsettings get org.gnome.system.proxy.https port)\" = $proxy_port ]"

# No proxy option, no certificate option: what the desktop says is all Chromium is told.
timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/chromium" --run-all-compositor-stages-before-draw \
  --virtual-time-budget=5000 --dump-dom "https://$host:$tls_port/index.html" \
  >"$work/chromium.dom" 2>"$work/logs/chromium.log"
check "chromium loads the named host's HTTPS page through the program" grep -q 'shop 9d41' "$work/chromium.dom"
for _ in $(seq 50); do [ "$(ls "$work/saved" | wc -l)" -ge 3 ] && break; sleep 0.1; done
kept=0
for i in 1 2 3; do cmp -s "$work/saved/shop$i.jpg" "$work/www/img/shop$i.jpg" && kept=$((kept + 1)); done
check "its images are kept" test "$kept" -eq 3

kill -TERM "$program_pid"
wait "$program_pid"
check "SIGTERM ends the program normally" test $? -eq 0
program_pid=""
check "the desktop's own settings are back" bash -c \
  "[ \"\$(gsettings get org.gnome.system.proxy mode)\" = \"'none'\" ] && ! grep -qs = '$home/.config/glib-2.0/settings/keyfile'"
check "nothing is left saved" test ! -e "$folder/desktop-proxy-before.ini"

"$folder/trovanexd" --untrust-ca >"$work/logs/untrust.out" 2>&1
check "--untrust-ca succeeds" test $? -eq 0
check "--untrust-ca names the database" grep -qxF "Chromium $home/.pki/nssdb: no longer trusted" "$work/logs/untrust.out"
check "... which no longer lists it" bash -c \
  "! certutil -d 'sql:$home/.pki/nssdb' -L | grep -q 'Trovanex local CA'"

summary "desktop proxy end to end"

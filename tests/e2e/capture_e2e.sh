#!/usr/bin/env bash
# End to end with real programs: nginx as the origin on 127.0.0.1, trovanexd in a temporary
# program folder with its own Search.cfg and settings, and curl as the browser.
# Usage: capture_e2e.sh path/to/trovanexd
set -uo pipefail
# shellcheck source=../support/loopback_nginx.sh
source "$(dirname "$0")/../support/loopback_nginx.sh"
# shellcheck source=../support/checks.sh
source "$(dirname "$0")/../support/checks.sh"

trovanexd="$1"
work="$(mktemp -d /tmp/trovanex-e2e.XXXXXX)"
chmod 755 "$work"  # nginx workers run unprivileged
origin_port=$((20000 + RANDOM % 20000))
proxy_port=$((origin_port + 1))
nginx_pid=""
proxy_pid=""

cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill -CONT "$nginx_pid" 2>/dev/null
  stop_origin
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

same_file() { cmp -s "$1" "$2"; }
md5_of() { md5sum "$1" | cut -d' ' -f1; }
backslashed() { printf '%s' "$1" | tr / '\\'; }

# --- the origin -----------------------------------------------------------------------------
mkdir -p "$work/www/img" "$work/www/pages" "$work/www/copy" "$work/www/big" "$work/logs"
chmod -R 755 "$work/www"
head -c 150000 /dev/urandom >"$work/www/img/photo.jpg"
head -c 4096 /dev/urandom >"$work/www/img/noext"
cp "$work/www/img/photo.jpg" "$work/www/copy/same.jpg"
for i in $(seq 400); do echo "<p>line $i of a page that compresses well</p>"; done >"$work/www/pages/index.html"
head -c 30000000 /dev/urandom >"$work/www/big/slow.bin"

start_origin "$origin_port" "$work/www" \
  'location /pages/ { gzip on; gzip_types text/html; gzip_min_length 1; gzip_http_version 1.0; }
    location /big/ { limit_rate 2m; }' || { echo "FAILED: nginx did not start" >&2; exit 1; }

# --- the proxy's program folder ---------------------------------------------------------------
folder="$work/prog"
mkdir -p "$folder" "$work/saved/img" "$work/saved/pages" "$work/saved/big"
cp "$trovanexd" "$folder/trovanexd"
printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=1500\r\n' "$proxy_port" >"$folder/trovanexd.ini"
{
  printf 'Name=images\r\nSearchString=/img/\r\nFolder=pics/%s\r\nType= Standard\r\nExecType= Save\r\n[end]\r\n' \
    "$(backslashed "$work/saved/img")"
  printf 'Name=same\r\nSearchString=/copy/\r\nFolder=/%s\r\nType= Standard\r\nExecType= Save\r\n[end]\r\n' \
    "$(backslashed "$work/saved/img")"
  printf 'Name=pages\r\nSearchString=/pages/.*\\.html$\r\nFolder=/%s\r\nType= Regexp\r\nExecType= SaveAsk\r\n[end]\r\n' \
    "$(backslashed "$work/saved/pages")"
  printf 'Name=big\r\nSearchString=/big/\r\nFolder=/%s\r\nType= Standard\r\nExecType= Save\r\n[end]\r\n' \
    "$(backslashed "$work/saved/big")"
} >"$folder/Search.cfg"
cp "$folder/Search.cfg" "$work/Search.cfg.before"

(cd "$folder" && exec ./trovanexd >"$work/logs/http.log" 2>"$work/logs/stderr.log") &
proxy_pid=$!
for _ in $(seq 50); do grep -q listening "$work/logs/stderr.log" 2>/dev/null && break; sleep 0.1; done

proxy=(-s -x "http://127.0.0.1:$proxy_port")
origin="http://127.0.0.1:$origin_port"

# An image saved into its rule's folder under its own name, byte for byte.
curl "${proxy[@]}" -o "$work/got.jpg" "$origin/img/photo.jpg"
check "browser got the image unchanged" same_file "$work/got.jpg" "$work/www/img/photo.jpg"
check "image saved as photo.jpg" same_file "$work/saved/img/photo.jpg" "$work/www/img/photo.jpg"

# A name without extension takes none from image/jpeg (not in the table of types).
curl "${proxy[@]}" -o /dev/null "$origin/img/noext"
check "extensionless name kept" same_file "$work/saved/img/noext" "$work/www/img/noext"

# hash.dat lines: digest<>path<>size<>address, CR LF.
expected_line="$(md5_of "$work/www/img/photo.jpg")<>$work/saved/img/photo.jpg<>150000<>127.0.0.1/img/photo.jpg"
check "hash line of the image" grep -qxF "${expected_line}"$'\r' "$folder/hash.dat"
check "two lines in hash.dat" test "$(wc -l <"$folder/hash.dat")" -eq 2

# The same content under another address is not saved twice.
curl "${proxy[@]}" -o "$work/got-copy.jpg" "$origin/copy/same.jpg"
check "copy relayed" same_file "$work/got-copy.jpg" "$work/www/copy/same.jpg"
check "copy not saved again" test ! -e "$work/saved/img/same.jpg"
check "already-saved notice" grep -q "既に保存されているファイルとハッシュが一致したので保存しませんでした" "$work/logs/stderr.log"

# A chunked answer (compressed on the fly) is saved decoded of its chunk framing: the file
# equals the body curl received. SaveAsk is answered by saving, and that is reported.
curl "${proxy[@]}" -H 'Accept-Encoding: gzip' -D "$work/chunked.head" -o "$work/got-page.gz" "$origin/pages/index.html"
check "the page came chunked" grep -qi '^Transfer-Encoding: chunked' "$work/chunked.head"
check "chunked page saved decoded" same_file "$work/saved/pages/index.html" "$work/got-page.gz"
check "question answered by saving" grep -q "を保存しますか？" "$work/logs/stderr.log"

# An until-close answer (HTTP/1.0, compressed: no length) is relayed whole and not saved.
rm -f "$work/saved/pages/index.html"
curl "${proxy[@]}" --http1.0 -H 'Accept-Encoding: gzip' -D "$work/close.head" -o "$work/got-close.gz" "$origin/pages/index.html"
check "until-close answer has no length" bash -c "! grep -qi '^Content-Length' '$work/close.head'"
check "until-close answer relayed whole" same_file "$work/got-close.gz" "$work/got-page.gz"
check "until-close answer not saved" bash -c "! ls '$work/saved/pages' | grep -q ."

# A stalled origin leaves no file, neither saved nor temporary.
nginx_pid="$(pgrep -P "$(cat "$work/nginx.pid")" | head -1)"
curl "${proxy[@]}" -o "$work/got-slow.bin" "$origin/big/slow.bin" &
curl_pid=$!
for _ in $(seq 100); do [ "$(stat -c %s "$work/got-slow.bin" 2>/dev/null || echo 0)" -gt 100000 ] && break; sleep 0.05; done
kill -STOP "$nginx_pid"
wait "$curl_pid"
kill -CONT "$nginx_pid"
nginx_pid=""
check "stall reported as a read time-out" grep -q " : Read Timed out" "$work/logs/http.log"
check "stalled capture not saved" bash -c "! ls '$work/saved/big' | grep -q ."
check "no temporary file left" bash -c "! ls '$folder' | grep -q '^tx.*\.tmp$'"

# With the origin gone, an address saved before is answered from the stored file.
stop_origin
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$origin_port") 2>/dev/null || break; sleep 0.1; done
curl "${proxy[@]}" -D "$work/local.head" -o "$work/got-local.jpg" "$origin/img/photo.jpg"
check "answered from the stored file" same_file "$work/got-local.jpg" "$work/www/img/photo.jpg"
check "stored-file answer head" grep -q $'^HTTP/1.1 200 Ok\r$' "$work/local.head"

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

#!/usr/bin/env bash
# How long the browser waits for its connection's close after an answer's last byte when a rule
# keeps the answer: page text, gzip-compressed (nginx's gzip_static), captured and kept decoded
# by a trovanexd on loopback. The browser is a small client that reads the head, the body by its
# Content-Length, and then waits for the close; the time from the last byte to the close is
# printed per round, and the wait for the kept copy to be listed after it.
# Usage: bench/capture_close.sh [size-in-MiB] [rounds]   (default 300 MiB, 3 rounds)
# BASELINE=<another trovanexd> runs that build beside this one, interleaved; PORT_BASE moves the
# ports (default 18390).
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$top/build}"
# shellcheck source=../tests/support/search_rules.sh
source "$top/tests/support/search_rules.sh"
# shellcheck source=../tests/support/loopback_nginx.sh
source "$top/tests/support/loopback_nginx.sh"
# shellcheck source=gzip_page.sh
source "$top/bench/gzip_page.sh"
# shellcheck source=wait_listed.sh
source "$top/bench/wait_listed.sh"
size_mb="${1:-300}"
rounds="${2:-3}"
port_base=${PORT_BASE:-18390}
origin_port=$port_base

work="$(mktemp -d /tmp/trovanex-close.XXXXXX)"
pids=()
cleanup() {
  stop_origin
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/saved"
chmod 755 "$work"  # nginx workers run unprivileged
gzip_page "$work/www/gz" "$size_mb"
start_origin "$origin_port" "$work/www" 'location /gz/ { gzip_static on; }'

declare -A ports
names=(this)
[ -n "${BASELINE:-}" ] && names+=(baseline)
port=$((port_base + 1))
for name in "${names[@]}"; do
  mkdir -p "$work/$name"
  if [ "$name" = this ]; then cp "$build/src/trovanexd" "$work/$name/"; else cp "$BASELINE" "$work/$name/trovanexd"; fi
  printf '[Settings]\r\nListenPort=%s\r\nReadTimeout=60000\r\n' "$port" >"$work/$name/trovanexd.ini"
  search_rule page /gz/page Standard Save "/$work/saved" >"$work/$name/Search.cfg"
  (cd "$work/$name" && exec ./trovanexd >/dev/null 2>"$work/$name/stderr.log") &
  pids+=($!)
  ports[$name]=$port
  port=$((port + 1))
done
for name in "${names[@]}"; do
  for _ in $(seq 100); do grep -q listening "$work/$name/stderr.log" 2>/dev/null && break; sleep 0.05; done
done

cat >"$work/browser.py" <<'PY'
import socket, sys, time
proxy, origin = int(sys.argv[1]), int(sys.argv[2])
s = socket.create_connection(("127.0.0.1", proxy))
s.sendall(("GET http://127.0.0.1:%d/gz/page.txt HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
           "Accept-Encoding: gzip\r\n\r\n" % (origin, origin)).encode())
data = b""
while b"\r\n\r\n" not in data:
    data += s.recv(65536)
head, body = data.split(b"\r\n\r\n", 1)
length = next(int(l.split(b":")[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:"))
got = len(body)
while got < length:
    piece = s.recv(1 << 20)
    if not piece:
        break
    got += len(piece)
last_byte = time.monotonic()
while s.recv(65536):
    pass
print("%.1f %s" % ((time.monotonic() - last_byte) * 1000, "whole" if got == length else "cut"))
PY

coded_mb=$(awk -v b="$(stat -c %s "$work/www/gz/page.txt.gz")" 'BEGIN { printf "%.1f", b / 1048576 }')
echo "Close after the last byte: ${size_mb} MiB of page text, ${coded_mb} MiB gzip, kept decoded, ${rounds} rounds"
for round in $(seq "$rounds"); do
  for name in "${names[@]}"; do
    rm -f "$work/saved/"* "$work/$name/hash.dat"
    read -r close_ms whole < <(python3 "$work/browser.py" "${ports[$name]}" "$origin_port")
    closed_at=$EPOCHREALTIME
    wait_listed "$work/saved/page.txt" "$work/$name/hash.dat" gz/page.txt
    kept=$(awk -v a="$EPOCHREALTIME" -v b="$closed_at" 'BEGIN { printf "%.2f", a - b }')
    printf '  round %d %-8s close %8s ms after the last byte (%s)  kept %5s s after the close\n' \
      "$round" "$name" "$close_ms" "$whole" "$kept"
  done
done

#!/usr/bin/env bash
# How the desktop program answers its window manager during a burst of captures: 2,000 small
# pictures fetched through it, 40 at a time (a gallery page), with the HTTP log and the
# connection list open, on a virtual display with openbox and a tray. Throughout, wm_ping.py
# pings the status window with _NET_WM_PING as a window manager does, one ping at a time, and
# times the answer, which the program gives from its main thread. Reports the answer times
# while the requests ran (median and worst), the worst until it settled, and idle beforehand.
# A measurement, not a test: the figures depend on the machine. Targets: worst <= 500 ms,
# median <= 100 ms.
# Usage: desktop_burst.sh path/to/trovanex [pictures]
set -uo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
trovanex="$(realpath "$1")"
pictures="${2:-2000}"
# shellcheck source=../../tests/support/virtual_desktop.sh
source "$top/tests/support/virtual_desktop.sh"
begin_desktop_script burst
port=$((20000 + RANDOM % 20000))
origin_port=$((port + 1))
now() { python3 -c 'import time; print(time.monotonic())'; }

# shellcheck source=../../tests/support/search_rules.sh
source "$top/tests/support/search_rules.sh"
# shellcheck source=../../tests/support/loopback_nginx.sh
source "$top/tests/support/loopback_nginx.sh"
start_virtual_desktop 1024x768

# Pictures of their own bytes each, so none is taken for one already saved.
mkdir -p "$work/www/img" "$work/saved" "$work/program"
python3 - "$work/www/img" "$pictures" <<'PY'
import os, sys
for i in range(int(sys.argv[2])):
    with open(os.path.join(sys.argv[1], "p%d.jpg" % i), "wb") as f:
        f.write(os.urandom(4096))
PY
chmod -R 755 "$work/www"
start_origin "$origin_port" "$work/www" || fail "nginx did not start"
for i in $(seq 0 $((pictures - 1))); do
  printf 'url = "http://127.0.0.1:%s/img/p%s.jpg"\noutput = "/dev/null"\n' "$origin_port" "$i"
done >"$work/urls.cfg"

cp "$trovanex" "$work/program/trovanex"
printf '[Settings]\r\nListenPort=%s\r\n' "$port" >"$work/program/trovanex.ini"
search_rule pictures /img/ Standard Save "//$work/saved" >"$work/program/Search.cfg"
(cd "$work/program" && exec ./trovanex) >"$work/program.log" 2>&1 &
pids+=($!)
window "Trovanex : status"
status="$id"
# 表示(&V), then HTTPログを表示(&L) and 接続中リストを表示(&C).
xdotool windowactivate --sync "$status" key --delay 200 alt+v l
window LogWindow
xdotool windowactivate --sync "$status" key --delay 200 alt+v c
window ConnectionListFrm
sleep 1

python3 "$top/bench/ui/wm_ping.py" "$status" 3600 "$work/pings" 50 &
pinger=$!
pids+=("$pinger")
sleep 2  # idle answers first
start=$(now)
curl -s --no-progress-meter --parallel --parallel-max 40 -x "http://127.0.0.1:$port" -K "$work/urls.cfg"
end=$(now)
for _ in $(seq 300); do
  [ "$(find "$work/saved" -name '*.jpg' | wc -l)" -ge "$pictures" ] && break
  sleep 0.1
done
saved=$(find "$work/saved" -name '*.jpg' | wc -l)
sleep 5  # the answers of a main thread that is catching up
kill "$pinger"
wait "$pinger" 2>/dev/null

python3 - "$work/pings" "$start" "$end" "$pictures" "$saved" <<'PY'
import statistics, sys
pings = [tuple(map(float, line.split())) for line in open(sys.argv[1])]
start, end = float(sys.argv[2]), float(sys.argv[3])
idle = [ms for at, ms in pings if at < start]
during = [ms for at, ms in pings if start <= at <= end]
after = [ms for at, ms in pings if at >= start]
print("%s pictures fetched in %.2f s, %s captures saved" % (sys.argv[4], end - start, sys.argv[5]))
print("  answers to _NET_WM_PING, status window, one ping at a time, 50 ms apart:")
print("  idle:             %3d pings, median %7.1f ms, worst %7.1f ms"
      % (len(idle), statistics.median(idle), max(idle)))
print("  during the burst: %3d pings, median %7.1f ms, worst %7.1f ms"
      % (len(during), statistics.median(during), max(during)))
print("  burst and 5 s after it: worst %7.1f ms" % max(after))
PY

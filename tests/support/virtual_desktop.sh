# Sourced by the scripts that drive the desktop program: a virtual display of its own, with the
# openbox window manager and a tray, and helpers to find its windows. The caller sources
# loopback_nginx.sh too, and calls begin_desktop_script first.

# begin_desktop_script NAME: $work, a folder of its own that nginx workers (unprivileged) can
# read; `pids`, the processes to end at exit; fail(); and the cleanup at exit, which ends
# those processes and the origin and removes the folder.
begin_desktop_script() {
  work="$(mktemp -d "/tmp/trovanex-$1.XXXXXX")"
  chmod 755 "$work"
  pids=()
  trap end_desktop_script EXIT
}
end_desktop_script() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  stop_origin
  wait 2>/dev/null
  rm -rf "$work"
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# start_virtual_desktop WIDTHxHEIGHT: starts the display (a free number the server picks
# itself), the window manager and the tray, and exports DISPLAY; $display_pid is the server.
start_virtual_desktop() {
  Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  display_pid=$!
  pids+=("$display_pid")
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || fail "the virtual display did not start"
  export DISPLAY=":$(cat "$work/display")"
  openbox >"$work/openbox.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
  done
  xsetroot -solid '#3a6ea5'
  trayer --edge bottom --align right --widthtype request --height 24 --SetDockType true \
    >"$work/trayer.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    xdotool search --onlyvisible --class trayer >/dev/null 2>&1 && break
    sleep 0.1
  done
}

# window "caption": sets $id to the visible window with exactly that caption, waiting up to
# ten seconds for it.
window() {
  id=""
  for _ in $(seq 100); do
    id="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)"
    [ -n "$id" ] && return
    sleep 0.1
  done
  fail "no window \"$1\" appeared"
}

# gone "caption": true once no visible window has that caption (waits up to five seconds).
gone() {
  for _ in $(seq 50); do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}

# tray_menu: opens the tray icon's menu with the right button; sets menu_x and menu_y to its
# top left corner. Waits up to ten seconds for the tray; a click that the desktop drops is
# tried again.
tray_menu() {
  local X="" Y="" WIDTH="" HEIGHT="" menu=""
  # Under load the tray and its icon can come late: the tray is 2 pixels wide until the icon
  # (24 wide, the click aims at its middle) docks.
  for _ in $(seq 100); do
    eval "$(xdotool search --onlyvisible --class trayer getwindowgeometry --shell 2>/dev/null | head -5)"
    [ -n "$X" ] && [ "${WIDTH:-0}" -ge 24 ] && break
    X=""
    sleep 0.1
  done
  [ -n "$X" ] || fail "no tray icon found"
  for _ in 1 2 3 4 5; do
    # As a hand does it: onto the icon first, then press and release.
    xdotool mousemove $((X + WIDTH - 12)) $((Y + HEIGHT / 2))
    sleep 0.2
    xdotool mousedown 3
    sleep 0.15
    xdotool mouseup 3
    for _ in $(seq 10); do
      menu="$(xwininfo -root -children | grep -m1 '"trovanex": ("trovanex"' |
        grep -o '[0-9]*x[0-9]*+[0-9]*+[0-9]*' | head -1)"
      [ -n "$menu" ] && break 2
      sleep 0.1
    done
  done
  [ -n "$menu" ] || fail "the tray menu did not open"
  IFS='x+' read -r _ _ menu_x menu_y <<<"$menu"
}

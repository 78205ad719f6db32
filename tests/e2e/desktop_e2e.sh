#!/usr/bin/env bash
# The desktop program as a user meets it, on a virtual display with a window manager and a
# tray: one copy per program folder, a clear box when the port is taken, closing the status
# window only hides it, the tray menu shows it again and ends the program, which then writes
# its files; a save question answered while a folder question waits; a cancelled rule edit
# that changes nothing, a new folder typed into the folder chooser, a status window of fixed
# size, the open-file limit raised, SIGHUP that ends in order; "-d" gives the debug caption and
# the debug log; the display going away still leaves the files written. curl asks
# the running proxy for its own logo; for the questions, nginx on 127.0.0.1 is the origin.
# Usage: desktop_e2e.sh path/to/trovanex
set -uo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
trovanex="$1"
# shellcheck source=../support/virtual_desktop.sh
source "$top/tests/support/virtual_desktop.sh"
begin_desktop_script desktop
port=$((20000 + RANDOM % 20000))
debug_port=$((port + 1))
capture_port=$((port + 2))
origin_port=$((port + 3))

serves() {  # serves port: the proxy on that port answers with its logo
  [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 -x "http://127.0.0.1:$1" \
    http://trovanex.internal/trovanexlogo.png)" = 200 ]
}
ends_with() {  # ends_with pid status: the process ends within five seconds with that status
  local status
  for _ in $(seq 50); do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1"
      status=$?
      [ "$status" = "$2" ] && return 0
      echo "exit status $status, not $2" >&2
      return 1
    fi
    sleep 0.1
  done
  return 1
}
running() { kill -0 "$1" 2>/dev/null; }
start_copy() {  # start_copy folder log [options]: runs the folder's copy; sets $copy to its pid
  local folder="$1" log="$2"
  shift 2
  (cd "$work/$folder" && exec ./trovanex "$@") >"$work/$log.log" 2>&1 &
  copy=$!
  pids+=("$copy")
}
dismiss() {  # dismiss "caption": presses Enter in the box with that caption once it shows
  window "$1"
  xdotool windowactivate --sync "$id" key Return
}
appears() {  # appears path: the file exists within five seconds
  for _ in $(seq 50); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}
visible() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }

# shellcheck source=../support/checks.sh
source "$top/tests/support/checks.sh"
# shellcheck source=../support/search_rules.sh
source "$top/tests/support/search_rules.sh"
# shellcheck source=../support/loopback_nginx.sh
source "$top/tests/support/loopback_nginx.sh"
start_virtual_desktop 1024x768

# Two program folders on the same port, and a third in debug mode on another.
make_folder() {  # make_folder name port
  mkdir -p "$work/$1"
  cp "$trovanex" "$work/$1/trovanex"
  printf '[Settings]\r\nListenPort=%s\r\n' "$2" >"$work/$1/trovanex.ini"
  search_rule pictures /img/ Standard Save "//tmp" >"$work/$1/Search.cfg"
}
make_folder first "$port"
make_folder second "$port"
make_folder debug "$debug_port"

start_copy first first
first=$copy
window "Trovanex : status"
status="$id"
for _ in $(seq 50); do serves "$port" && break; sleep 0.1; done
check "the first copy serves" serves "$port"

# The same executable again: the warning, then the copy ends; the first one is undisturbed,
# its temporary files too.
: >"$work/first/tx0F0F.tmp"
start_copy first again
window "警告"
# Counted while the warning is up: the refused copy makes no window but the box.
check "the second copy opens no status window of its own" \
  test "$(xdotool search --onlyvisible --name '^Trovanex : status$' | wc -l)" = 1
xdotool windowactivate --sync "$id" key Return
check "a second copy of the same executable ends after its warning" ends_with "$copy" 1
check "the refused copy leaves the running copy's temporary files" test -e "$work/first/tx0F0F.tmp"
rm -f "$work/first/tx0F0F.tmp"
check "the first copy still serves" serves "$port"

# Another folder's copy on the taken port: a box titled "trovanex" names the port.
start_copy second second
dismiss "trovanex"
check "a copy whose port is taken ends after its box" ends_with "$copy" 1

# Closing the status window hides it; the program goes on in the tray.
xdotool windowactivate --sync "$status" key alt+F4
check "closing the status window hides it" gone "Trovanex : status"
check "the program goes on running" running "$first"
check "and serving" serves "$port"

# The tray menu shows it again ("ステータス表示(&T)") and ends the program ("終了(&X)").
rm -f "$work/first/trovanex.ini" "$work/first/Search.cfg"
tray_menu
xdotool key t
check "the tray menu shows the status window again" visible "Trovanex : status"
tray_menu
xdotool key x
check "exit from the tray menu ends the program normally" ends_with "$first" 0
check "exit writes the settings file" grep -q "ListenPort=$port" "$work/first/trovanex.ini"
check "exit writes the rules" grep -q "SearchString=/img/" "$work/first/Search.cfg"

# A folder question and a save question at once: the save question is answered while the
# folder question waits, and ending the program with the folder question open ends it in
# order, the capture that waited for its folder discarded.
mkdir -p "$work/www/files" "$work/www/pages" "$work/saved/pages" "$work/saved/work" "$work/capture"
head -c 100000 /dev/urandom >"$work/www/files/a.zip"
for i in $(seq 50); do echo "<p>line $i</p>"; done >"$work/www/pages/p.html"
chmod -R 755 "$work/www"
start_origin "$origin_port" "$work/www" || fail "nginx did not start"
cp "$trovanex" "$work/capture/trovanex"
printf '[Settings]\r\nListenPort=%s\r\n' "$capture_port" >"$work/capture/trovanex.ini"
{
  search_rule pages /pages/ Standard SaveAsk "/$work/saved/pages"
  search_rule files .zip Standard SaveAskFolder "仕事/$work/saved/work"
} >"$work/capture/Search.cfg"
: >"$work/capture/tx00AB.tmp"  # left by a run that was killed
start_copy capture capture
capture=$copy
window "Trovanex : status"
check "temporary files of a killed run are removed at start" test ! -e "$work/capture/tx00AB.tmp"
browse() {  # browse path: one request through the capture copy, in the background
  curl -s -o /dev/null --max-time 30 -x "http://127.0.0.1:$capture_port" \
    "http://127.0.0.1:$origin_port$1" &
  pids+=($!)
}
browse /files/a.zip
window SelectSaveFolderDlg
browse /pages/p.html
window 'Trovan!'
xdotool windowactivate --sync "$id" key Return
check "the save question is answered while the folder question is open" \
  appears "$work/saved/pages/p.html"
check "the folder question is still open" visible SelectSaveFolderDlg
tray_menu
xdotool key x
check "exit with a folder question open ends the program normally" ends_with "$capture" 0
check "the capture waiting for its folder is not saved" test -z "$(ls -A "$work/saved/work")"
check "no temporary capture file is left" \
  bash -c "! ls '$work/capture' | grep -q '^tx.*\.tmp\$'"

# A copy started with a low open-file limit: the rule editor, the new-folder chooser and the
# status window as a user meets them, then SIGHUP (a session or terminal that ends).
edit_port=$((port + 4))
mkdir -p "$work/edit" "$work/saved/edit"
cp "$trovanex" "$work/edit/trovanex"
printf '[Settings]\r\nListenPort=%s\r\n' "$edit_port" >"$work/edit/trovanex.ini"
{
  search_rule pages /pages/ Standard Save "/$work/saved/edit"
  search_rule files .zip Standard SaveAskFolder "仕事/$work/saved/work"
} >"$work/edit/Search.cfg"
(cd "$work/edit" && exec prlimit --nofile=256: ./trovanex) >"$work/edit.log" 2>&1 &
edit=$!
pids+=("$edit")
window "Trovanex : status"
status="$id"
read -r soft hard < <(awk '/^Max open files/ {print $4, $5}' "/proc/$edit/limits")
check "the open-file limit is raised from 256 to the hard limit" test "$soft" = "$hard" -a "$hard" != 256

# The status window keeps its size: stretching is refused, and so is maximising from the window
# menu (Alt+Space, then Ma_ximize). The window manager acts within the pause or not at all.
width_of() { xwininfo -id "$1" | awk '/Width:/ {print $2}'; }
xdotool windowsize "$status" 700 300
sleep 0.5
check "the status window cannot be stretched" test "$(width_of "$status")" = 316
xdotool windowactivate --sync "$status" key alt+space
sleep 0.3
xdotool key x
sleep 0.5
xdotool key Escape  # the menu stays open when its entry is disabled
check "nor maximised" test "$(width_of "$status")" = 316
check "the desktop offers neither" \
  bash -c "! xprop -id $status _NET_WM_ALLOWED_ACTIONS | grep -qE 'RESIZE|MAXIMIZE'"

# Edit the one-folder rule, switch to 複数から選択..., delete the folder the grid does not show,
# cancel the editor, then OK in the settings: the rule keeps its folder and still saves, and
# the settings open again. Keys only: the second tab, the rule's row, 編集, three steps to the
# folder mode, the arrow to the other mode, 削除, Esc; then &OK.
xdotool windowactivate --sync "$status" key alt+s
window "設定"
xdotool key --delay 150 ctrl+Tab Tab space alt+e
window "ダイアログ"
xdotool key --delay 150 Tab Tab Tab Down alt+d Escape
check "the editor closes on Esc" gone "ダイアログ"
xdotool key alt+o
check "the settings close on OK" gone "設定"
curl -s -o /dev/null --max-time 10 -x "http://127.0.0.1:$edit_port" \
  "http://127.0.0.1:$origin_port/pages/p.html"
check "the rule still saves after a cancelled edit" appears "$work/saved/edit/p.html"
shows() {  # shows "caption": a window with that caption is visible within five seconds
  for _ in $(seq 50); do visible "$1" && return 0; sleep 0.1; done
  return 1
}
xdotool windowactivate --sync "$status" key alt+s
check "the settings open again" shows "設定"
xdotool key Escape
check "and close on Esc" gone "設定"

# 新しくフォルダを作る...: a typed folder that does not exist yet is made, and the capture
# saved in it (the label box answered empty).
curl -s -o /dev/null --max-time 30 -x "http://127.0.0.1:$edit_port" \
  "http://127.0.0.1:$origin_port/files/a.zip" &
pids+=($!)
window SelectSaveFolderDlg
xdotool windowactivate --sync "$id" key --delay 150 Tab space
for _ in $(seq 50); do
  [ "$(xdotool getactivewindow getwindowname 2>/dev/null)" != SelectSaveFolderDlg ] && break
  sleep 0.1
done
xdotool type --delay 20 "$work/saved/made/new"
xdotool key Return
dismiss "保存"
check "a typed new folder is made and the capture saved in it" appears "$work/saved/made/new/a.zip"

rm -f "$work/edit/trovanex.ini"
kill -HUP "$edit"
check "SIGHUP ends the program normally" ends_with "$edit" 0
check "and writes its settings" grep -q "ListenPort=$edit_port" "$work/edit/trovanex.ini"
check "the edited rule is written with its folder" \
  grep -qF "Folder=/$(backslashed "$work/saved/edit")" "$work/edit/Search.cfg"
check "the new folder is written with its rule" \
  grep -qF ";/$(backslashed "$work/saved/made/new")" "$work/edit/Search.cfg"

# Debug mode: its own caption, and the debug log in the working directory.
# Started to outlive its terminal (nohup: SIGHUP ignored), it goes on after a SIGHUP.
(cd "$work/debug" && trap '' HUP && exec ./trovanex -d) >"$work/debug.log" 2>&1 &
debug=$!
pids+=("$debug")
window "trovanex \*\*debug mode\*\*"
for _ in $(seq 50); do serves "$debug_port" && break; sleep 0.1; done
check "the debug copy serves" serves "$debug_port"
kill -HUP "$debug"
sleep 0.5  # a SIGHUP that was taken ends the program well within this
check "an ignored SIGHUP leaves it running" running "$debug"
check "and serving" serves "$debug_port"
kill -TERM "$debug"
check "SIGTERM ends the program normally" ends_with "$debug" 0
check "the debug log names the request" grep -q "trovanexlogo.png" "$work/debug/debug.log.txt"

# The display going away under the program (no session manager asked it to quit): the
# process ends, and its settings and rules are written all the same. Last: the desktop is gone.
start_copy first lost
lost=$copy
window "Trovanex : status"
for _ in $(seq 50); do serves "$port" && break; sleep 0.1; done
rm -f "$work/first/trovanex.ini" "$work/first/Search.cfg"
kill "$display_pid"
check "the program ends when its display goes away" ends_with "$lost" 1
check "and writes its settings" grep -q "ListenPort=$port" "$work/first/trovanex.ini"
check "and its rules" grep -q "SearchString=/img/" "$work/first/Search.cfg"

summary "desktop end to end"

#!/usr/bin/env bash
# The README's commands, run as the README writes them, so that the two cannot drift apart.
# Each block it runs is the fenced block after a marker comment in README.md:
#   <!-- first-try ... -->     the first try: rule, origin, proxy, a kept image, an answer from disk
#   <!-- get-ca ... -->        the local certificate authority fetched through the proxy
#   <!-- trust-nss ... -->     trusted in Chromium's NSS database
#   <!-- trust-firefox ... --> trusted in each Firefox profile
#   <!-- untrust ... -->       the trust removed again ("Uninstalling"): each database then
#                              lists no certificate
# Only what must differ in a test is replaced: the ports (by free ones), /tmp/trovanex-try (by a
# temporary folder), build-run/src/trovanexd (by the trovanexd under test). Each replacement
# must find its text, and no other mention of those ports or that folder may be left. The
# blocks run with bash -e, with HOME in the temporary folder, in a session of their own that is
# ended afterwards.
# Usage: readme_e2e.sh path/to/trovanexd [README.md]
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=../support/checks.sh
source "$here/../support/checks.sh"

readme="$(realpath "${2:-$here/../../README.md}")"
work="$(mktemp -d /tmp/trovanex-readme.XXXXXX)"
# A copy of its own: one executable runs once at a time, and the build's may be running.
mkdir -p "$work/bin"
cp "$1" "$work/bin/trovanexd"
trovanexd="$work/bin/trovanexd"
session=""

cleanup() {
  [ -n "$session" ] && kill -- "-$session" 2>/dev/null
  [ -n "${ca_proxy:-}" ] && kill "$ca_proxy" 2>/dev/null
  wait 2>/dev/null
  [ -n "${KEEP_E2E:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

# free_port: a port nothing listens on now, on 127.0.0.1.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# block MARKER [OLD NEW]...: the fenced block after the line "<!-- MARKER" in the README, its
# fences and the indentation of a list item taken off, with each OLD replaced by NEW. Fails,
# naming why, when the marker is not there once, the block is not fenced, an OLD is not found,
# or 8000, 8090, 81 (as a port) or trovanex-try are still in it afterwards.
block() {
  python3 - "$readme" "$@" <<'PY'
import re, sys
readme, marker, pairs = sys.argv[1], sys.argv[2], sys.argv[3:]
lines = open(readme, encoding="utf-8").read().split("\n")
at = [i for i, line in enumerate(lines)
      if re.match(r"\s*<!-- " + re.escape(marker) + r"(:| |-->)", line)]
if len(at) != 1:
    sys.exit(f"README: {len(at)} markers <!-- {marker} (one expected)")
i = at[0] + 1
while i < len(lines) and not lines[i].strip():
    i += 1
fence = re.match(r"(\s*)```(sh|bash)\s*$", lines[i]) if i < len(lines) else None
if not fence:
    sys.exit(f"README: no ```sh block after <!-- {marker}")
indent = fence.group(1)
body = []
for line in lines[i + 1:]:
    if line.strip() == "```":
        break
    body.append(line[len(indent):] if line.startswith(indent) else line)
else:
    sys.exit(f"README: the block after <!-- {marker} is not closed")
text = "\n".join(body) + "\n"
for old, new in zip(pairs[0::2], pairs[1::2]):
    if old not in text:
        sys.exit(f"README: the block after <!-- {marker} no longer has {old!r}")
    text = text.replace(old, new)
left = re.search(r"\b(8000|8090)\b|127\.0\.0\.1:81\b|trovanex-try", text)
if left:
    sys.exit(f"README: the block after <!-- {marker} still has {left.group(0)!r}, "
             "which this test does not replace")
sys.stdout.write(text)
PY
}

# run_block NAME FOLDER: runs $work/NAME.sh with bash -e in FOLDER, in a session of its own,
# with HOME in the temporary folder; its output in $work/NAME.out. Stops it after 60 seconds.
# Afterwards `left_running` names what of its session still ran 2 s after its end (empty when
# nothing did), and the session is ended. Returns the block's exit status.
run_block() {
  local status
  (cd "$2" && HOME="$work/home" exec setsid bash -e "$work/$1.sh" >"$work/$1.out" 2>&1) &
  session=$!
  for _ in $(seq 600); do kill -0 "$session" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$session" 2>/dev/null && { echo "$1: still running after 60 s; stopped" >&2; kill -- "-$session"; }
  wait "$session"
  status=$?
  for _ in $(seq 20); do
    left_running="$(pgrep -a -s "$session")"
    [ -z "$left_running" ] && break
    sleep 0.1
  done
  [ -n "$left_running" ] && kill -- "-$session" 2>/dev/null
  session=""
  return "$status"
}

# first_line PATTERN FILE: the number of the first line of FILE that matches PATTERN (grep).
first_line() { grep -n -m1 -- "$1" "$2" | cut -d: -f1; }

# trusted DB: the certificates the NSS database DB lists, one line each with its trust (what
# `certutil -L` prints below its three lines of heading); fails when DB cannot be read.
trusted() {
  local listing
  listing="$(certutil -d "sql:$1" -L)" || return 1
  tail -n +4 <<<"$listing" | sed '/^ *$/d'
}
# trusts_one_ca DB: true when DB lists one certificate, trusted to issue server certificates.
trusts_one_ca() {
  local entries
  entries="$(trusted "$1")" || return 1
  [ "$(wc -l <<<"$entries")" -eq 1 ] && grep -qE ' C,, *$' <<<"$entries"
}
# trusts_none DB: true when DB can be read and lists no certificate.
trusts_none() {
  local entries
  entries="$(trusted "$1")" && [ -z "$entries" ]
}

mkdir -p "$work/home" "$work/checkout"
unset XDG_CONFIG_HOME XDG_DATA_HOME
origin_port="$(free_port)"
proxy_port="$(free_port)"
while [ "$proxy_port" = "$origin_port" ]; do proxy_port="$(free_port)"; done
try="$work/try"
try_backslashed="$(printf '%s' "$try" | tr / '\\')"

# --- the first try ---------------------------------------------------------------------------
if block first-try \
    '/tmp/trovanex-try' "$try" '\tmp\trovanex-try' "$try_backslashed" \
    'http.server 8000 ' "http.server $origin_port " '127.0.0.1:8000' "127.0.0.1:$origin_port" \
    '--port 8090' "--port $proxy_port" '127.0.0.1:8090' "127.0.0.1:$proxy_port" \
    'build-run/src/trovanexd' "$trovanexd" >"$work/first-try.sh"; then
  # The proxy reads its rules when it starts: the block must write them before it starts it (a
  # run cannot show this: the proxy may well read the file a moment after the line that follows).
  check "first try: the rule is written before the proxy starts" \
    test "$(first_line '>.*Search\.cfg' "$work/first-try.sh")" -lt "$(first_line "^$trovanexd " "$work/first-try.sh")"
  run_block first-try "$work/checkout"
  check "first try: runs to its end with bash -e (exit $?)" test $? -eq 0
  check "first try: leaves nothing running (${left_running:-nothing})" test -z "$left_running"
  image="$try/site/img/photo.jpg"
  check "first try: the image kept byte for byte in the rule's folder" \
    cmp -s "$try/saved/photo.jpg" "$image"
  expected="$(md5sum "$image" | cut -d' ' -f1)<>$try/saved/photo.jpg<>$(stat -c %s "$image")<>127.0.0.1/img/photo.jpg"
  check "first try: hash.dat lists it with its address" grep -qxF "$expected"$'\r' "$try/conf/hash.dat"
  check "first try: ... and nothing else" test "$(wc -l <"$try/conf/hash.dat" 2>/dev/null)" = 1
  check "first try: the browser got the image" cmp -s "$try/first.jpg" "$image"
  check "first try: the second fetch got it too, with the origin stopped" cmp -s "$try/again.jpg" "$image"
  check "first try: ... answered from the stored file, as the log says" \
    grep -qF 'http://127.0.0.1/img/photo.jpgを実ファイルから読み出し中' "$try/proxy.log"
  check "first try: the origin was asked once" \
    test "$(grep -c '"GET /img/photo.jpg HTTP/1.1" 200' "$try/origin.log")" -eq 1
  check "first try: the proxy stopped in order and wrote the rule back" \
    grep -qx $'SearchString=/img/\r' "$try/conf/Search.cfg"
  check "first try: what the README says it prints" bash -c \
    "grep -qx 'kept: the same bytes' '$work/first-try.out' && grep -qx 'answered from disk: the same bytes' '$work/first-try.out'"
else
  check "first try: the README's block can be run" false
fi

# --- the local CA trusted and untrusted again, with the README's commands ----------------------
ca_folder="$work/ca"
mkdir -p "$ca_folder/conf" "$work/home/.mozilla/firefox/test.default"
certutil -d "sql:$work/home/.mozilla/firefox/test.default" -N --empty-password
nss="$work/home/.pki/nssdb"
firefox="$work/home/.mozilla/firefox/test.default"
"$trovanexd" --config "$ca_folder/conf" --port "$proxy_port" -q >"$work/ca-proxy.log" 2>&1 &
ca_proxy=$!
for _ in $(seq 50); do grep -q listening "$work/ca-proxy.log" 2>/dev/null && break; sleep 0.1; done
if block get-ca '127.0.0.1:81' "127.0.0.1:$proxy_port" >"$work/get-ca.sh" &&
   block trust-nss >"$work/trust-nss.sh" && block trust-firefox >"$work/trust-firefox.sh" &&
   block untrust >"$work/untrust.sh"; then
  run_block get-ca "$ca_folder"
  check "ca: fetched through the proxy (exit $?)" cmp -s "$ca_folder/trovanex-ca.crt" "$ca_folder/conf/trovanex-ca.crt"
  run_block trust-nss "$ca_folder"
  check "ca: trusted in the NSS database (exit $?)" trusts_one_ca "$nss"
  run_block trust-firefox "$ca_folder"
  check "ca: trusted in the Firefox profile (exit $?)" trusts_one_ca "$firefox"
  run_block untrust "$ca_folder"
  check "ca: the untrust block runs to its end (exit $?)" test $? -eq 0
  check "ca: ... no longer in the NSS database" trusts_none "$nss"
  check "ca: ... nor in the Firefox profile" trusts_none "$firefox"
else
  check "ca: the README's blocks can be run" false
fi
kill "$ca_proxy" 2>/dev/null
wait "$ca_proxy"
ca_proxy=""

summary "readme_e2e"

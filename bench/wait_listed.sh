# shellcheck shell=bash
# Sourced by the benchmarks that time how soon a capture is kept.
# wait_listed FILE HASH-LIST TEXT: waits until FILE exists and a line of HASH-LIST holds TEXT;
# fails after five minutes.
# Only shell builtins run while it waits: a loop that started sleep and grep a hundred times a
# second took close to half of one core from the proxy it was timing, on a two-core machine.
wait_listed_tick=
wait_listed() {
  local line tick
  if [ -z "$wait_listed_tick" ]; then
    # A FIFO nobody writes to: read -t on it is a sleep without a process.
    local fifo
    fifo="$(mktemp -u /tmp/trovanex-tick.XXXXXX)"
    mkfifo "$fifo"
    exec {wait_listed_tick}<>"$fifo"
    rm -f "$fifo"
  fi
  for ((tick = 0; tick < 30000; ++tick)); do
    if [ -f "$1" ] && [ -f "$2" ]; then
      while IFS= read -r line; do
        [[ $line == *"$3"* ]] && return 0
      done 2>/dev/null <"$2" || true
    fi
    read -rt 0.01 -u "$wait_listed_tick" line || true
  done
  echo "  $1 was not listed in $2 within five minutes" >&2
  return 1
}

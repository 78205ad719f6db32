# Sourced by the end-to-end scripts: named checks that are counted, and a summary line.
passed=0
failed=0

# check "what" command...: runs the command; its success passes the check.
check() {
  local what="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}

# logged PATTERN FILE: true once a line of FILE matches PATTERN (grep), waiting up to two
# seconds: trovanexd writes its log lines a few milliseconds after they happen.
logged() {
  for _ in $(seq 200); do
    grep -q -- "$1" "$2" && return 0
    sleep 0.01
  done
  return 1
}

# eventually command...: true once the command succeeds, trying for up to five seconds. The
# browser gets its close before the capture's decision, so a kept copy, its hash line and the
# notices about it come a moment after the fetch returns.
eventually() {
  for _ in $(seq 250); do
    "$@" && return 0
    sleep 0.02
  done
  return 1
}

# summary "name": prints the counts; true when nothing failed.
summary() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

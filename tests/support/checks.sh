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

# summary "name": prints the counts; true when nothing failed.
summary() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

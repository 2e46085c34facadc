# Shell helpers of the checks that drive the real service from outside
# (tests/admin/checks.sh, tests/x11_typing.sh). Sourced after TMP and PIDS
# are set; every wait is bounded.

# Kills what the check started and removes its files. Only the sourcing
# shell cleans up: a child killed between fork and exec would otherwise run
# the trap it inherited.
cleanup() {
  exec 3>&- 2>/dev/null
  for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$TMP"
}
MAIN=$BASHPID
trap '[ "$BASHPID" = "$MAIN" ] && cleanup' EXIT

# wait_for TENTHS COMMAND...: true as soon as the command succeeds, false after the bound.
wait_for() {
  local tenths=$1; shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  "$@"
}
gone() { ! kill -0 "$1" 2>/dev/null; }

# Checks record their cases here.
PASS=0 FAIL=0
expect() {
  local what=$1; shift
  if "$@"; then PASS=$((PASS + 1)); else FAIL=$((FAIL + 1)); echo "  failed: $what" >&2; fi
}

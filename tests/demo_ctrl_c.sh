#!/usr/bin/env bash
# demo_ctrl_c.sh BUILD_DIR: the demo in a terminal (tmux) gets one Ctrl-C at
# several moments and must end cleanly each time: the service stopped with
# its LEDs off and its "stopped" event, a summary, the prompt back, and no
# process of the demo left.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: demo_ctrl_c.sh BUILD_DIR}" && pwd)
command -v tmux >/dev/null || { echo "tmux is missing (./run test installs it)"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kpl-demo-test.XXXXXX")
TMUX_SOCKET=kpl-demo-test-$$
PANEL_PID=""
tmux_() { tmux -L "$TMUX_SOCKET" "$@"; }
cleanup() {
  tmux_ kill-server 2>/dev/null
  [ -n "$PANEL_PID" ] && kill "$PANEL_PID" 2>/dev/null && wait "$PANEL_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

FAILED=0
SESSION=0
fail() { echo "  $CASE: $*"; FAILED=1; }

# Output of the pane so far, without terminal controls and carriage returns.
pane() { sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\r//g' "$WORK/pane.log" 2>/dev/null; }
shows() { pane | grep -qE "$1"; }
prompt_back() { pane | tail -n 1 | grep -qxF 'demo-test$ ' && shows '^demo-exit='; }

# await SECONDS COMMAND...: true as soon as COMMAND is.
await() {
  local deadline=$((SECONDS + $1))
  shift
  while [ "$SECONDS" -lt "$deadline" ]; do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# Processes whose command line or environment names the demo's directory.
leftovers() {
  local pid
  for pid in /proc/[0-9]*; do
    grep -qsF "$WORK/tmp" "$pid/cmdline" "$pid/environ" && echo "${pid#/proc/} $(tr '\0' ' ' <"$pid/cmdline" 2>/dev/null)"
  done
}

# run_case NAME MARK STARTED OPTIONS...: starts the demo, sends one Ctrl-C
# once the pane shows MARK, checks the end. STARTED: whether the service
# must have run ("maybe" when the Ctrl-C may come before it started).
run_case() {
  CASE=$1
  local start; start=$(date +%s.%N)
  rm -rf "$WORK/tmp" "$WORK/pane.log"
  mkdir "$WORK/tmp"
  SESSION=$((SESSION + 1))
  tmux_ -f /dev/null new-session -d -s "$SESSION" -x 200 -y 50 "env PS1='demo-test\$ ' bash --norc --noprofile"
  tmux_ pipe-pane -t "$SESSION" "cat >>'$WORK/pane.log'"
  check_case "$@"
  local left; left=$(leftovers)
  [ -z "$left" ] || fail "left running: $left"
  tmux_ kill-session -t "$SESSION"
  # shellcheck disable=SC2046
  [ -z "$left" ] || kill -KILL $(cut -d' ' -f1 <<<"$left") 2>/dev/null
  printf '  %-34s %s s\n' "$CASE" "$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')"
}

check_case() {
  local mark=$2 started=$3; shift 3
  tmux_ send-keys -t "$SESSION" "TMPDIR='$WORK/tmp' '$ROOT/tools/demo.sh' '$BUILD' $*; echo \"demo-exit=\$?\"" Enter
  if ! await 30 shows "$mark"; then
    fail "the demo never showed '$mark'"; pane | tail -n 20; return
  fi
  tmux_ send-keys -t "$SESSION" C-c
  if ! await 30 prompt_back; then
    fail "no prompt 30 s after one Ctrl-C"; pane | tail -n 20; return
  fi
  local out; out=$(pane)
  grep -q '^demo-exit=0' <<<"$out" || fail "the demo ended with $(grep -o 'demo-exit=[0-9]*' <<<"$out")"
  grep -qE '^demo:' <<<"$out" && fail "$(grep -E '^demo:' <<<"$out" | head -n 3)"
  local ran=no
  grep -q 'service | ' <<<"$out" && ran=yes
  [ "$started" = yes ] && [ "$ran" = no ] && fail "the service never started"
  if [ "$ran" = yes ]; then
    grep -q 'service | .*The Keypanel Service has stopped successfully\.' <<<"$out" || fail "no stop event"
    grep -q '^== Summary' <<<"$out" || fail "no summary"
    grep -q 'demo done: clean stop' <<<"$out" || fail "no clean stop"
    # The last LED pattern the panel was sent is dark.
    local leds; leds=$(grep -E 'kplsim  \| +[0-9.]+ (STATUS|LEDS) ' <<<"$out" | tail -n 1)
    grep -qE '(STATUS|LEDS) .*[#sf]' <<<"$leds" && fail "LEDs left on: $leds"
  fi
  [ -z "$(ls -A "$WORK/tmp")" ] || fail "the demo's files were left behind"
}

# A panel of our own for --port.
"$BUILD/tools/kplsim" --link "$WORK/panel" --quiet </dev/null >"$WORK/panel.out" 2>&1 &
PANEL_PID=$!
await 10 test -e "$WORK/panel" || { echo "kplsim did not start: $(cat "$WORK/panel.out")"; exit 1; }

trim() { sed 's/^ *//;s/ *$//' <<<"$1"; }
#  name                       | Ctrl-C once the pane shows | service ran | options
CASES=(
  "at once                    | Keypanel service demo      | maybe       | "
  "service starting           | service . Initialize comm  | yes         | "
  "key repeating              | STATUS ...##               | yes         | "
  "after the script, --keep   | running until Ctrl-C       | yes         | --keep"
  "real port, --port          | has started successfully   | yes         | --port $WORK/panel"
)
for row in "${CASES[@]}"; do
  IFS='|' read -r name mark started options <<<"$row"
  # shellcheck disable=SC2046
  run_case "$(trim "$name")" "$(trim "$mark")" "$(trim "$started")" $(trim "$options")
done
exit "$FAILED"

#!/usr/bin/env bash
# The service typing from a simulated Keypanel: kplsim on a pseudo-terminal
# runs tools/demo.kplsim, VkKplSvc -debug serves it with a registry of its
# own, and a summary decodes what reached the desktop. Everything lives in
# one temporary directory, removed at the end. `./run demo` calls this.
#   tools/demo.sh BUILD_DIR [--port DEVICE] [--keep]
#     --port DEVICE  a real Keypanel on DEVICE instead of kplsim; runs until Ctrl-C
#     --keep         after the script, keep running until Ctrl-C; lines typed
#                    on standard input go to kplsim (for example "tap 0")
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:?usage: demo.sh BUILD_DIR [--port DEVICE] [--keep]}
shift
PORT=""
KEEP=0
while [ $# -gt 0 ]; do
  case "$1" in
    --port) PORT=${2:?--port needs a device}; KEEP=1; shift 2 ;;
    --keep) KEEP=1; shift ;;
    *) echo "demo: unknown option $1 (use --port DEVICE or --keep)" >&2; exit 2 ;;
  esac
done

SERVICE=$BUILD/service/VkKplSvc
KPLSIM=$BUILD/tools/kplsim
TMP=$(mktemp -d "${TMPDIR:-/tmp}/kpl-demo.XXXXXX")
SERVICE_PID=""
KPLSIM_PID=""
READERS=()
FIFOS=()

if [ -t 1 ]; then BOLD=$'\e[1m'; DIM=$'\e[2m'; CYAN=$'\e[36m'; OFF=$'\e[0m'; else BOLD=""; DIM=""; CYAN=""; OFF=""; fi

# Waits up to $2 tenths of a second for a process to end; true when it did.
wait_gone() {
  local pid=$1 tenths=$2
  for _ in $(seq "$tenths"); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  ! kill -0 "$pid" 2>/dev/null
}

# stop PID SIGNAL TENTHS: the signal, a bounded wait, then SIGKILL; false
# when it took the SIGKILL.
stop() {
  local pid=$1
  kill -0 "$pid" 2>/dev/null || return 0
  kill "-$2" "$pid" 2>/dev/null
  wait_gone "$pid" "$3" && return 0
  kill -KILL "$pid" 2>/dev/null
  return 1
}

# Only reached with something still running when the demo itself failed.
cleanup() {
  trap '' INT TERM HUP
  [ -n "$SERVICE_PID" ] && stop "$SERVICE_PID" INT 30
  [ -n "$KPLSIM_PID" ] && stop "$KPLSIM_PID" TERM 30
  exec 3>&- 2>/dev/null
  for pid in "${READERS[@]}"; do stop "$pid" TERM 10; done
  rm -rf "$TMP"
}
trap cleanup EXIT
# Ctrl-C reaches the whole foreground group: this script and its short-lived
# helpers. The service and kplsim run in sessions of their own and are
# stopped by the script, in order; the readers of their output ignore it.
INTERRUPTED=0
trap 'INTERRUPTED=1' INT TERM HUP

# read_output FIFO FILE PREFIX SUFFIX: copies what a program writes to FILE
# and, prefixed, to the terminal, until the program ends.
read_output() {
  mkfifo "$1" || exit 1
  ( trap '' INT; exec sed -u -e "w $2" -e "s/^/$3/;s/\$/$4/" <"$1" ) &
  READERS+=("$!")
  FIFOS+=("$1")
}

for program in "$SERVICE" "$KPLSIM"; do
  [ -x "$program" ] || { echo "demo: $program is missing; build the linux preset first" >&2; exit 1; }
done

echo "${BOLD}== Keypanel service demo${OFF} (files in $TMP)"

# The simulated Keypanel, or the real one.
PORT_PATH=$PORT
if [ -z "$PORT" ]; then
  mkfifo "$TMP/script"
  # Read and write: opening a FIFO this way does not wait for kplsim.
  exec 3<>"$TMP/script"
  read_output "$TMP/kplsim.pipe" "$TMP/kplsim.out" "${CYAN}  kplsim  | " "${OFF}"
  setsid "$KPLSIM" --script "$TMP/script" --counts >"$TMP/kplsim.pipe" 2>&1 &
  KPLSIM_PID=$!
  for _ in $(seq 100); do
    [ -s "$TMP/kplsim.out" ] || [ "$INTERRUPTED" -eq 1 ] || ! kill -0 "$KPLSIM_PID" 2>/dev/null && break
    sleep 0.05
  done
  PORT_PATH=$(head -n 1 "$TMP/kplsim.out" 2>/dev/null)
  [ -n "$PORT_PATH" ] || [ "$INTERRUPTED" -eq 1 ] || { echo "demo: kplsim did not start" >&2; exit 1; }
elif [ ! -e "$PORT_PATH" ]; then
  echo "demo: $PORT_PATH does not exist" >&2
  exit 1
fi

# The simulated machine: COM3 is the panel's line, keys go to the journal
# only, journal and event log stay in the temporary directory, US layout, Windows' keyboard settings
# with the shortest delay.
cat > "$TMP/machine.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]
"EventLogFile"="$TMP/events.log"
"KeyJournal"="$TMP/keys.journal"
"KeyOutput"="journal"
"RuntimeDir"="$TMP"
"ServiceUnitDir"="$TMP"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]
"COM3"="$PORT_PATH"

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]
"PortName"="COM3"
"BaudRate"=dword:00004b00

[HKEY_CURRENT_USER\\Control Panel\\Keyboard]
"KeyboardDelay"="0"
"KeyboardSpeed"="31"

[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]
"1"="00000409"
REG

START=$(date +%s.%N)
if [ "$INTERRUPTED" -eq 0 ]; then
  echo "${DIM}  registry: $TMP/machine.reg, COM3 -> $PORT_PATH${OFF}"
  read_output "$TMP/service.pipe" "$TMP/service.out" "  service | " ""
  KPL_REGISTRY="$TMP/machine.reg" setsid "$SERVICE" -debug >"$TMP/service.pipe" 2>&1 &
  SERVICE_PID=$!
fi

if [ -n "$SERVICE_PID" ] && [ -n "$KPLSIM_PID" ]; then
  sed 's/^/ /' "$HERE/demo.kplsim" >&3
  # The script ends with "counts": its line says the keys are all typed.
  for _ in $(seq 600); do
    grep -q '^requests:' "$TMP/kplsim.out" 2>/dev/null && break
    kill -0 "$SERVICE_PID" 2>/dev/null || break
    [ "$INTERRUPTED" -eq 1 ] && break
    sleep 0.1
  done
fi
if [ "$KEEP" -eq 1 ] && [ "$INTERRUPTED" -eq 0 ] && [ -n "$SERVICE_PID" ] && kill -0 "$SERVICE_PID" 2>/dev/null; then
  if [ -n "$KPLSIM_PID" ]; then
    echo "${BOLD}== running until Ctrl-C; kplsim commands typed here reach the panel (press K, release K, tap K)${OFF}"
    while [ "$INTERRUPTED" -eq 0 ] && kill -0 "$SERVICE_PID" 2>/dev/null; do
      if read -r -t 0.5 command; then echo "$command" >&3; fi
    done
  else
    echo "${BOLD}== running against $PORT_PATH until Ctrl-C${OFF}"
    while [ "$INTERRUPTED" -eq 0 ] && kill -0 "$SERVICE_PID" 2>/dev/null; do sleep 0.2; done
  fi
fi

# From here on the demo ends by itself, and a further Ctrl-C changes nothing.
trap '' INT
# Clean stop: Ctrl-C to the service, which switches the LEDs off on its way
# out while the panel still answers; then the panel, then the readers.
STATUS=0
if [ -n "$SERVICE_PID" ]; then
  stop "$SERVICE_PID" INT 150 || { echo "demo: the service did not stop within 15 s" >&2; STATUS=1; }
  wait "$SERVICE_PID"
  SERVICE_STATUS=$?
  SERVICE_PID=""
  [ "$SERVICE_STATUS" -eq 0 ] || { echo "demo: the service ended with status $SERVICE_STATUS" >&2; STATUS=1; }
fi
if [ -n "$KPLSIM_PID" ]; then
  # Its script may be waiting for polls that no longer come: SIGTERM, not "quit".
  stop "$KPLSIM_PID" TERM 50 || { echo "demo: kplsim did not quit" >&2; STATUS=1; }
  wait "$KPLSIM_PID" 2>/dev/null
  KPLSIM_PID=""
  exec 3>&-
fi
# The readers end with the output they read. One whose writer a Ctrl-C
# ended before it opened the FIFO still waits in its open: a writer that
# comes and goes lets it see the end.
for fifo in "${FIFOS[@]}"; do
  exec {end}<>"$fifo" && exec {end}>&-
done
for pid in "${READERS[@]}"; do
  wait_gone "$pid" 50 || { echo "demo: an output reader did not end" >&2; stop "$pid" TERM 10; STATUS=1; }
  wait "$pid" 2>/dev/null
done
READERS=()
if [ ! -e "$TMP/service.out" ]; then
  echo "${BOLD}== demo stopped before the service started${OFF}"
  exit "$STATUS"
fi
ELAPSED=$(awk -v s="$START" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')

# The summary: the key journal decoded (virtual key, Shift state), the LEDs
# the panel was sent, the events the service reported.
echo
echo "${BOLD}== Summary${OFF} (service ran ${ELAPSED} s)"
touch "$TMP/keys.journal"
awk '
function hex(s,   i, n) { n = 0; s = tolower(s)
  for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
  return n }
function named(vk) {
  if (vk == 13) return "[Enter]"; if (vk == 27) return "[Esc]"; if (vk == 8) return "[Backspace]"
  if (vk == 9) return "[Tab]"; if (vk == 144) return "[NumLock]"; if (vk == 20) return "[CapsLock]"
  if (vk == 145) return "[ScrollLock]"; if (vk == 46) return "[Delete]"; if (vk == 19) return "[Pause]"
  if (vk == 37) return "[Left]"; if (vk == 38) return "[Up]"; if (vk == 39) return "[Right]"; if (vk == 40) return "[Down]"
  if (vk >= 112 && vk <= 123) return "[F" (vk - 111) "]"
  if (vk == 162 || vk == 163 || vk == 17) return "[Ctrl]"
  if (vk == 164 || vk == 165 || vk == 18) return "[Alt]"
  return sprintf("[vk %02x]", vk) }
/ keybd_event / {
  vk = 0; up = 0
  for (i = 1; i <= NF; i++) {
    if ($i ~ /^vk=/) vk = hex(substr($i, 4))
    if ($i ~ /^flags=/) up = int(hex(substr($i, 7)) / 2) % 2
  }
  events++; if (up) ups++; else downs++
  # A key down again without its key up between is an auto-repeat.
  if (!up && held[vk]) repeats++
  held[vk] = !up
  if (vk == 160 || vk == 161 || vk == 16) { shift = !up; next }
  if (up) next
  if (vk >= 65 && vk <= 90) text = text sprintf("%c", shift ? vk : vk + 32)
  else if ((vk >= 48 && vk <= 57) || vk == 32) text = text sprintf("%c", vk)
  else text = text named(vk)
}
/ hotkey desktop=Winlogon / { text = text "[Ctrl-Alt-Del]"; sas++ }
END {
  printf "  keystrokes injected: %d key events (%d down, %d up), %d of them auto-repeats\n", events, downs, ups, repeats
  printf "  as text:             %s\n", text
  if (sas) printf "  Ctrl-Alt-Del:        %d secure attention hot key(s) posted on the Winlogon desktop\n", sas
}' "$TMP/keys.journal"

if [ -n "$PORT" ]; then
  echo "  LED changes:         sent to the panel on $PORT (see the service output above)"
else
  awk '
  $2 == "STATUS" || $2 == "LEDS" {
    changes++; pattern = $3; numlock = substr(pattern, 1, 1) == "." ? "off" : "on"
    if (numlock != last) { track = track (track == "" ? "" : " -> ") numlock; last = numlock }
  }
  END { printf "  LED changes:         %d seen by the panel; NumLock LED %s\n", changes, track }' "$TMP/kplsim.out"
fi
EVENTS=$(grep -cE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}: ' "$TMP/service.out")
echo "  events logged:       $EVENTS (in debug mode they go to the console, time-stamped):"
grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}: ' "$TMP/service.out" | sed 's/^/    /'
[ "$STATUS" -eq 0 ] && echo "${BOLD}== demo done: clean stop, nothing left running${OFF}"
exit "$STATUS"

#!/usr/bin/env bash
# The x11 key output for real: Xvfb, an X client that logs the keys it gets
# (xkeytarget), the Linux VkKplSvc with "KeyOutput"="x11" and kplsim as the
# Keypanel. US and German layouts, no key left down, one stream of repeats for
# a held key, NumLock on the panel and the machine's indicator, the journal
# the owner's only, and the time from keybd_event to the X client. Every wait
# is bounded.
#   tests/x11_typing.sh BUILD_DIR
set -uo pipefail
BUILD=$(cd "${1:?usage: x11_typing.sh BUILD_DIR}" && pwd)
SERVICE=$BUILD/service/VkKplSvc
KPLSIM=$BUILD/tools/kplsim
TARGET=$BUILD/tools/xkeytarget
TMP=$(mktemp -d "${TMPDIR:-/tmp}/kpl-x11.XXXXXX")
PIDS=()

HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/support/checks.sh"

for tool in Xvfb setxkbmap python3; do
  command -v "$tool" >/dev/null || { echo "x11 typing: $tool is missing"; exit 1; }
done
[ -x "$TARGET" ] || { echo "x11 typing: $TARGET was not built (libx11-dev missing?)"; exit 1; }

# A display of its own: Xvfb picks a free number; -noreset keeps the layout
# set while no client is connected.
Xvfb -displayfd 5 -nolisten tcp -noreset 5>"$TMP/display" 2>"$TMP/xvfb.err" &
XVFB_PID=$!
PIDS+=($XVFB_PID)
wait_for 100 test -s "$TMP/display" || { cat "$TMP/xvfb.err"; echo "x11 typing: Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n 1 "$TMP/display")

mkfifo "$TMP/kplsim.script"
"$KPLSIM" --script "$TMP/kplsim.script" --leds 8 >"$TMP/kplsim.out" 2>&1 &
PIDS+=($!)
exec 3>"$TMP/kplsim.script"
wait_for 50 test -s "$TMP/kplsim.out" || { echo "x11 typing: kplsim did not start"; exit 1; }
LINE=$(head -n 1 "$TMP/kplsim.out")
script() { printf '%s\n' "$@" >&3; }

# The key positions of the panel driver model's default key map.
SHIFT=53 H=7 E=4 L=11 O=14 Y=24 Z=25 A=0 NUMLOCK=56
X_A=38  # X key code of the A position (evdev)

# machine LAYOUT: the registry; Windows' shortest delay and fastest speed, so
# the service repeats a held key far more often than the X server does.
machine() {
  cat >"$TMP/kpl.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]
"EventLogFile"="$TMP/events.log"
"KeyJournal"="$TMP/keys.journal"
"KeyOutput"="x11"
"Display"="$DISPLAY"
"RuntimeDir"="$TMP"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]
"COM3"="$LINE"

[HKEY_CURRENT_USER\\Control Panel\\Keyboard]
"KeyboardDelay"="0"
"KeyboardSpeed"="31"

[HKEY_CURRENT_USER\\Keyboard Layout\\Preload]
"1"="$1"
REG
}

SERVICE_PID=
# Under no umask: the key journal is the owner's only by itself.
start_service() {
  : >"$TMP/service.out"
  (umask 0 && KPL_REGISTRY=$TMP/kpl.reg exec "$SERVICE" -debug) >"$TMP/service.out" 2>&1 &
  SERVICE_PID=$!
  PIDS+=($SERVICE_PID)
  wait_for 100 grep -qs 'has started successfully' "$TMP/service.out"
}
stop_service() {
  kill -INT "$SERVICE_PID"
  wait_for 100 gone "$SERVICE_PID"
}

# start_target LOG: the X client, with the server's repeat at 300 ms, then every 100 ms.
start_target() {
  "$TARGET" "$1" 120 300 100 &
  PIDS+=($!)
  TARGET_PID=$!
  wait_for 100 test -s "$1"
}

# The text the X client got, in order.
typed() { awk '$2 == "KeyPress" && $5 != "text=" { printf "%s", substr($5, 6) }' "$1"; }
# Every key the X client saw go down went up again.
none_down() { awk '$2 ~ /^Key/ { last[$3] = $2 } END { for (k in last) if (last[k] != "KeyRelease") exit 1 }' "$1"; }
typed_is() { test "$(typed "$1")" = "$2"; }
lines() { wc -l <"$1"; }
last_indicators() { test "$(grep Indicators "$1" | tail -n 1 | cut -d' ' -f3)" = "state=$2"; }

type_hello() {
  script "press $SHIFT" "polls 2" "press $H" "polls 3" "release $H" "polls 2" "release $SHIFT" "polls 3"
  for key in $E $L $L $O $Y $Z; do script "press $key" "polls 3" "release $key" "polls 3"; done
}

# --- US layout -------------------------------------------------------------
setxkbmap us
machine 00000409
start_target "$TMP/us.log"
expect "the service started with the x11 output" start_service
script "polls 5"
type_hello
wait_for 100 typed_is "$TMP/us.log" Helloyz
expect "US layout: \"Helloyz\" (got \"$(typed "$TMP/us.log")\")" typed_is "$TMP/us.log" Helloyz
expect "US layout: no key left down" wait_for 50 none_down "$TMP/us.log"
TYPED_JOURNAL=$(lines "$TMP/keys.journal")
# The journal holds everything typed on the panel, passwords included.
expect "the key journal the owner's only" test "$(stat -c %a "$TMP/keys.journal")" = 600

# A held key: the X server repeats it; the service's own repeats are not typed.
x_from=$(lines "$TMP/us.log")
j_from=$TYPED_JOURNAL
script "press $A" "wait 1000" "release $A" "polls 3"
released() { tail -n +"$((x_from + 1))" "$TMP/us.log" | grep -q "KeyRelease keycode=$X_A" &&
             tail -n +"$((j_from + 1))" "$TMP/keys.journal" | grep -q 'vk=41 scan=1e flags=2'; }
wait_for 100 released
held=$(tail -n +"$((x_from + 1))" "$TMP/us.log")
x_presses=$(grep -c "KeyPress keycode=$X_A" <<<"$held")
j_presses=$(tail -n +"$((j_from + 1))" "$TMP/keys.journal" | grep -c 'vk=41 scan=1e flags=0')
gap=$(awk -v k="keycode=$X_A" '$2 == "KeyPress" && $3 == k { if (t != "") { d = $1 - t; if (min == "" || d < min) min = d } t = $1 }
      END { print (min == "" ? 0 : min) }' <<<"$held")
echo "  held key: $x_presses presses at the X client (closest $gap ms apart), $j_presses in the journal"
expect "held key: the X server repeats it ($x_presses presses)" test "$x_presses" -ge 4 -a "$x_presses" -le 11
expect "held key: one stream, presses at least 80 ms apart (closest $gap ms)" test "$gap" -ge 80
expect "held key: the service's repeats stayed in the journal ($j_presses > $x_presses)" test "$j_presses" -gt "$x_presses"

# NumLock on the panel toggles the X server's indicator; the panel LED follows.
numlock_led() { grep -E ' (LEDS|STATUS) ' "$TMP/kplsim.out" | tail -n 1 | awk -v want="$1" '{ exit !(substr($3, 1, 1) == want) }'; }
script "press $NUMLOCK" "polls 3" "release $NUMLOCK" "polls 3"
expect "NumLock: the X server's indicator is on" wait_for 50 last_indicators "$TMP/us.log" 2
expect "NumLock: the panel LED is on" wait_for 50 numlock_led '#'
# The lock state at start comes from the X server.
expect "the service stopped" stop_service
expect "restart with the X server's NumLock on" start_service
expect "NumLock: the panel LED is on after the restart" wait_for 50 numlock_led '#'
script "press $NUMLOCK" "polls 3" "release $NUMLOCK" "polls 3"
expect "NumLock: the X server's indicator is off again" wait_for 50 last_indicators "$TMP/us.log" 0
expect "NumLock: the panel LED is off again" wait_for 50 numlock_led '.'

# A key held while the service stops is let go.
x_from=$(lines "$TMP/us.log")
script "press $A" "polls 3"
pressed() { tail -n +"$((x_from + 1))" "$TMP/us.log" | grep -q "KeyPress keycode=$X_A"; }
wait_for 50 pressed
expect "the service stopped with a key held" stop_service
script "release $A" "polls 1"
expect "a key held at the stop went up" wait_for 50 none_down "$TMP/us.log"
kill "$TARGET_PID" 2>/dev/null

# --- German layout ---------------------------------------------------------
setxkbmap de
machine 00000407
start_target "$TMP/de.log"
expect "the service started under the German layout" start_service
script "polls 5"
type_hello
wait_for 100 typed_is "$TMP/de.log" Hellozy
expect "German layout: \"Hellozy\" (got \"$(typed "$TMP/de.log")\")" typed_is "$TMP/de.log" Hellozy
expect "German layout: no key left down" wait_for 50 none_down "$TMP/de.log"

# The X server goes away under the service: typing stops, the service does not.
kill "$TARGET_PID" "$XVFB_PID"
wait_for 50 gone "$XVFB_PID"
script "press $A" "polls 3" "release $A" "polls 3"
expect "the lost display told" wait_for 50 grep -q "X display $DISPLAY: the connection is lost" "$TMP/service.out"
expect "the service runs on without its X server" kill -0 "$SERVICE_PID"
expect "and stops as always" stop_service

# From keybd_event (the journal's time) to the X client, for the US typing.
python3 - "$TMP/keys.journal" "$TMP/us.log" "$TYPED_JOURNAL" <<'PY'
import datetime, sys
journal, xlog, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
downs = []
for line in open(journal).read().splitlines()[:count]:
    stamp, _, rest = line.partition(" ")
    if rest.startswith("keybd_event") and int(rest.rsplit("flags=", 1)[1], 16) & 2 == 0:
        t = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
        downs.append(t.timestamp())
start, presses = None, []
for line in open(xlog):
    f = line.split()
    if f[1] == "Started":
        start = float(f[2].split("=")[1])
    elif f[1] == "KeyPress" and len(presses) < len(downs):
        presses.append(start + int(f[0]) / 1000)
delays = [(x - j) * 1000 for j, x in zip(downs, presses)]
if delays:
    print("  keybd_event to the X client: mean %.1f ms, max %.1f ms over %d presses (1 ms resolution)"
          % (sum(delays) / len(delays), max(delays), len(delays)))
PY

printf '%-34s %d passed, %d failed\n' "x11 typing:" "$PASS" "$FAIL"
[ "$FAIL" -eq 0 ]

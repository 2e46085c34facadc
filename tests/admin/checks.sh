#!/usr/bin/env bash
# What an administrator meets on a Linux panel computer, tried with the real
# VkKplSvc: the unit -install writes from any path, the registry file across
# starts and concurrent writers, commands on a registry that cannot be used,
# stops that come while the service starts, a second instance, a console
# that goes away.
# One line per check, "name: N passed, M failed"; every wait is bounded.
#   tests/admin/checks.sh BUILD_DIR
# KPL_SIGTERM_RUNS (default 20) and KPL_INSTALL_RUNS (default 8) lengthen the
# sweeps; KPL_SERVICE_EXE runs them against another build of the service;
# KPL_CHECKS names the checks to run (default all).
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$(cd "${1:?usage: checks.sh BUILD_DIR}" && pwd)
SERVICE=${KPL_SERVICE_EXE:-$BUILD/service/VkKplSvc}
KPLSIM=$BUILD/tools/kplsim
SIGTERM_RUNS=${KPL_SIGTERM_RUNS:-20}
INSTALL_RUNS=${KPL_INSTALL_RUNS:-8}
TMP=$(mktemp -d "${TMPDIR:-/tmp}/kpl-admin.XXXXXX")
PIDS=()
FAILED=0

. "$HERE/../support/checks.sh"

report() {
  printf '%-34s %d passed, %d failed\n' "admin $1:" "$PASS" "$FAIL"
  [ "$FAIL" -eq 0 ] || FAILED=1
  PASS=0 FAIL=0
}

# The Keypanel: kplsim on a pseudo-terminal, its script fed through fd 3.
mkfifo "$TMP/kplsim.script"
"$KPLSIM" --script "$TMP/kplsim.script" --leds 8 >"$TMP/kplsim.out" 2>&1 &
PIDS+=($!)
exec 3>"$TMP/kplsim.script"
wait_for 50 test -s "$TMP/kplsim.out" || { echo "kplsim did not start" >&2; exit 1; }
LINE=$(head -n 1 "$TMP/kplsim.out")

# machine DIR [utf8]: a registry of the simulated machine in DIR, UTF-16 with
# CRLF as regedit saves it (or UTF-8), with an administrator's comment and
# text beyond Latin-1.
machine() {
  local dir=$1 encoding=${2:-utf16}
  mkdir -p "$dir/units" "$dir/run"
  cat >"$dir/kpl.utf8" <<REG
Windows Registry Editor Version 5.00

; Panel 7, hall B. Owner: Zoë Łukasz € 東京
[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]
"RuntimeDir"="$dir/run"
"ServiceUnitDir"="$dir/units"
"EventLogFile"="$dir/events.log"
"KeyOutput"="journal"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]
"COM3"="$LINE"
REG
  if [ "$encoding" = utf8 ]; then
    mv "$dir/kpl.utf8" "$dir/kpl.reg"
  else
    { printf '\xff\xfe'; sed 's/$/\r/' "$dir/kpl.utf8" | iconv -f UTF-8 -t UTF-16LE; } >"$dir/kpl.reg"
    rm "$dir/kpl.utf8"
  fi
}

# A notify socket as systemd offers one; its messages one per line in DIR/notify.log.
notify_socket() {
  python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a") as log:
    while True:
        log.write(s.recv(4096).decode(errors="replace").replace("\n", "|") + "\n")
        log.flush()' "$1/notify" "$1/notify.log" &
  PIDS+=($!)
  wait_for 50 test -S "$1/notify"
}

check_unit() {
  local dir=$TMP/unit
  mkdir -p "$dir/units"
  sed "s|\"ServiceUnitDir\"=\"/etc/systemd/system\"|\"ServiceUnitDir\"=\"$dir/units\"|" \
    "$ROOT/docs/examples/kpl.reg" >"$dir/kpl.reg"
  local out; out=$(KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -install 2>&1)
  expect "-install with the shipped example: $out" test "$out" = "Keypanel Service installed."
  local unit=$dir/units/kpl.service
  expect "systemd-analyze verify" systemd-analyze verify "$unit"
  local score
  score=$(systemd-analyze security --offline=true "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  echo "  exposure of the written unit: ${score:-none}"
  expect "exposure ${score:-none} at most 5.0" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 5.0) }'
  expect "the registry in force named in the unit" grep -qx "Environment=KPL_REGISTRY=$dir/kpl.reg" "$unit"
  expect "the virtual keyboard's device allowed" grep -qx "DeviceAllow=/dev/uinput rw" "$unit"
  report unit
}

# -install from where an administrator may put the program: a path with a
# blank goes into the unit quoted (unquoted, it would start another
# program); a path too long to read whole registers nothing.
check_install_paths() {
  local dir=$TMP/paths out
  machine "$dir"
  mkdir -p "$dir/with blank"
  cp "$SERVICE" "$dir/with blank/VkKplSvc"
  out=$(KPL_REGISTRY=$dir/kpl.reg "$dir/with blank/VkKplSvc" -install 2>&1)
  expect "-install from a path with a blank: '$out'" test "$out" = "Keypanel Service installed."
  expect "the path quoted in the unit" grep -qxF "ExecStart=\"$dir/with blank/VkKplSvc\"" "$dir/units/kpl.service"
  KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -remove >/dev/null 2>&1
  local long; long=$dir/$(printf '%0200d/%0200d/%0100d' 0 0 0)
  mkdir -p "$long"
  cp "$SERVICE" "$long/VkKplSvc"
  out=$(KPL_REGISTRY=$dir/kpl.reg "$long/VkKplSvc" -install 2>&1)
  expect "-install from a path of ${#long} bytes: '$out'" test "$out" = \
    "Unable to install Keypanel Service - The data area passed to a system call is too small. (0x7a)"
  expect "nothing installed from a cut path" test ! -e "$dir/units/kpl.service"
  report paths
}

# -remove of a service that takes the stop control and runs on, as a hung
# one does: said, and removed all the same (removal does not wait for ever).
check_remove_hung() {
  local dir=$TMP/hung out
  machine "$dir"
  KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -install >/dev/null 2>&1
  sh -c "trap '' TERM; echo ready; exec sleep 60" >"$dir/hung.out" &
  local hung=$!
  PIDS+=($hung)
  wait_for 50 grep -qs ready "$dir/hung.out"
  # The layer's status of a running service that takes the stop: pid, type, state, controls, ...
  echo "$hung 16 4 1 0 0 0 0" >"$dir/run/kpl.status"
  out=$(KPL_REGISTRY=$dir/kpl.reg timeout 30 "$SERVICE" -remove 2>&1)
  expect "-remove of a hung service: '$out'" \
    test "$out" = $'Stopping Keypanel Service.\nKeypanel Service failed to stop.\nKeypanel Service removed.'
  { kill -KILL "$hung"; wait "$hung"; } 2>/dev/null
  report hung
}

check_registry() {
  local dir=$TMP/registry
  machine "$dir"
  # The identity where earlier versions kept it: volatile keys now live under RuntimeDir.
  printf '\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\PGW\\KPL]\r\n"Version"="00.01"\r\n' | iconv -f UTF-8 -t UTF-16LE >>"$dir/kpl.reg"
  cp "$dir/kpl.reg" "$dir/before.reg"
  KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -debug >"$dir/out" 2>&1 &
  local pid=$!
  PIDS+=($pid)
  expect "the service started" wait_for 100 grep -qs 'has started successfully' "$dir/out"
  kill -QUIT "$pid"  # Ctrl-Break, which stops it as Ctrl-C does
  wait_for 100 gone "$pid"
  wait "$pid"
  local status=$?
  expect "Ctrl-Break stops the console run: status $status" test "$status" -eq 0
  expect "Ctrl-Break said" grep -qx 'Stopping Keypanel Service.' "$dir/out"
  expect "a start and a stop leave the registry file byte for byte" cmp -s "$dir/before.reg" "$dir/kpl.reg"
  expect "the identity in the volatile file" grep -q '"Version"="01.23"' "$dir/run/kpl-volatile.reg"
  expect "the old identity section told once" test "$(grep -c 'keys under HKEY_LOCAL_MACHINE\\HARDWARE are volatile' "$dir/out")" -eq 1
  KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -install >/dev/null 2>&1
  expect "-install keeps UTF-16 with its mark" test "$(head -c 2 "$dir/kpl.reg" | od -An -tx1 | tr -d ' ')" = fffe
  local text; text=$(iconv -f UTF-16 -t UTF-8 "$dir/kpl.reg")
  expect "-install keeps the comment and its text" grep -q '^; Panel 7, hall B. Owner: Zoë Łukasz € 東京' <<<"$text"
  expect "-install adds only its own lines" test "$(diff <(iconv -f UTF-16 -t UTF-8 "$dir/before.reg") <(echo "$text") | grep -c '^<')" -eq 0
  report registry
}

check_refusals() {
  local dir=$TMP/refusals
  mkdir -p "$dir/units"
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\n"ServiceUnitDir"="%s"\n"Bad"=dword:1x\n' \
    "$dir/units" >"$dir/bad.reg"
  local option
  for option in -install -remove -debug ""; do
    local out status
    out=$(KPL_REGISTRY=$dir/bad.reg timeout 10 "$SERVICE" $option 2>&1); status=$?
    expect "'$option' on a corrupt registry: status $status, '$out'" \
      test "$status" -eq 1 -a "$out" = "KPL_REGISTRY $dir/bad.reg:5: dword value needs 1 to 8 hex digits"
  done
  expect "nothing installed from a corrupt registry" test -z "$(ls -A "$dir/units")"
  mkfifo "$dir/fifo"
  out=$(KPL_REGISTRY=$dir/fifo timeout 10 "$SERVICE" -debug 2>&1); status=$?
  expect "a FIFO refused at once: status $status, '$out'" test "$status" -eq 1 -a "$out" = "KPL_REGISTRY $dir/fifo: not a regular file"
  out=$(env -u KPL_REGISTRY timeout 10 "$SERVICE" -debug 2>&1)
  expect "no registry told once" test "$(grep -c 'KPL_REGISTRY is not set: the registry is empty' <<<"$out")" -eq 1
  # The virtual keyboard comes first, with the driver; where /dev/uinput opens, the port.
  expect "the device tried named" grep -qE '^(/dev/uinput: open failed: |COM3 is /dev/ttyS2: cannot open it: )' <<<"$out"
  # A writer that holds the registry's lock and does not let go (stopped,
  # hung): -install gives up after a few seconds, names it, writes nothing.
  machine "$dir/locked" utf8
  cp "$dir/locked/kpl.reg" "$dir/before.reg"
  python3 -c 'import fcntl, sys, time; f = open(sys.argv[1]); fcntl.flock(f, fcntl.LOCK_EX); time.sleep(30)' \
    "$dir/locked/kpl.reg" &
  local holder=$!
  PIDS+=($holder)
  wait_for 50 eval "! flock -n '$dir/locked/kpl.reg' true"
  out=$(KPL_REGISTRY=$dir/locked/kpl.reg timeout 30 "$SERVICE" -install 2>&1)
  expect "a lock held too long named: '$out'" \
    grep -q "kpl.reg: locked by process $holder (python3) for more than 5 s; nothing written" <<<"$out"
  expect "and the registry left as it was" cmp -s "$dir/before.reg" "$dir/locked/kpl.reg"
  kill "$holder" 2>/dev/null
  report refusals
}

# SIGTERM 0.5 to 6.5 ms after launch, while the service starts: every run must stop.
check_sigterm_sweep() {
  local dir=$TMP/sweep lost=0 run
  machine "$dir"
  notify_socket "$dir"
  for run in $(seq "$SIGTERM_RUNS"); do
    KPL_REGISTRY=$dir/kpl.reg NOTIFY_SOCKET=$dir/notify "$SERVICE" >/dev/null 2>&1 &
    local pid=$! comm=""
    # From the moment the service's program runs, not the shell's fork.
    for _ in $(seq 1000); do
      read -r comm </proc/"$pid"/comm 2>/dev/null
      [ "$comm" = "${SERVICE##*/}" ] && break
    done
    sleep "$(printf '0.%04d' $((5 + RANDOM % 61)))"
    kill -TERM "$pid"
    if ! wait_for 50 gone "$pid"; then
      lost=$((lost + 1))
      kill -KILL "$pid"
    fi
    wait "$pid" 2>/dev/null
  done
  echo "  SIGTERM while starting: $lost of $SIGTERM_RUNS stops lost"
  expect "$lost of $SIGTERM_RUNS stops lost" test "$lost" -eq 0
  report signals
}

check_second_instance() {
  local dir=$TMP/second
  machine "$dir"
  notify_socket "$dir"
  KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -install >/dev/null 2>&1
  # Under no umask: the event log, which may tell what was typed, is the owner's only by itself.
  (umask 0 && KPL_REGISTRY=$dir/kpl.reg NOTIFY_SOCKET=$dir/notify exec "$SERVICE") >/dev/null 2>&1 &
  local first=$!
  PIDS+=($first)
  expect "the first instance runs" wait_for 100 grep -qs 'READY=1' "$dir/notify.log"
  expect "the event log the owner's only" test "$(stat -c %a "$dir/events.log")" = 600
  KPL_REGISTRY=$dir/kpl.reg NOTIFY_SOCKET=$dir/notify timeout 30 "$SERVICE" >/dev/null 2>&1
  expect "the second instance refused, the first still running" kill -0 "$first"
  expect "the first instance's status kept" test -f "$dir/run/kpl.status"
  local out; out=$(KPL_REGISTRY=$dir/kpl.reg timeout 30 "$SERVICE" -remove 2>&1)
  expect "-remove stops the first instance: '$out'" grep -q '^Keypanel Service stopped.$' <<<"$out"
  expect "the first instance ended" wait_for 50 gone "$first"
  kill -KILL "$first" 2>/dev/null  # it must not hold the Keypanel's line for the checks after this one
  report instances
}

# The console goes away (| head) while the service runs; Ctrl-C must still
# stop it cleanly, LEDs off.
check_console_gone() {
  local dir=$TMP/console
  machine "$dir"
  echo "press 0" >&3
  ( KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -debug & echo $! >"$dir/pid"; wait $!; echo $? >"$dir/status" ) | head -c 1 >/dev/null &
  PIDS+=($!)
  wait_for 50 test -s "$dir/pid"
  local pid; pid=$(cat "$dir/pid")
  expect "the service lit the key LED" wait_for 100 bash -c "tail -n 1 '$TMP/kplsim.out' | grep -q 'STATUS ...#'"
  kill -INT "$pid"
  expect "the service ended" wait_for 100 test -s "$dir/status"
  expect "exit status $(cat "$dir/status" 2>/dev/null) after its console went away" test "$(cat "$dir/status" 2>/dev/null)" = 0
  expect "LEDs off at the end" wait_for 20 bash -c "grep STATUS '$TMP/kplsim.out' | tail -n 1 | grep -q 'STATUS \.\.\.\.\.\.\.\.$'"
  echo "release all" >&3
  report console
}

# -install and a starting service (publishing the Keypanel's identity) at the
# same moment: neither may lose the other's values.
check_concurrent_writers() {
  local lost=0 run
  for run in $(seq "$INSTALL_RUNS"); do
    local dir=$TMP/concurrent/$run
    machine "$dir" utf8
    KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -debug >"$dir/out" 2>&1 &
    local pid=$!
    sleep "0.0$((RANDOM % 3))$((RANDOM % 10))"
    KPL_REGISTRY=$dir/kpl.reg "$SERVICE" -install >/dev/null 2>&1
    wait_for 100 grep -qs 'has started successfully' "$dir/out"
    kill -INT "$pid"
    wait_for 100 gone "$pid" || kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    local all; all=$(cat "$dir/run/kpl-volatile.reg" "$dir/kpl.reg" 2>/dev/null)
    grep -q '"TypesSupported"=dword:00000007' <<<"$all" && grep -q '"Version"="01.23"' <<<"$all" || lost=$((lost + 1))
  done
  echo "  -install while the service starts: values lost in $lost of $INSTALL_RUNS runs"
  expect "$lost of $INSTALL_RUNS runs lost values" test "$lost" -eq 0
  report writers
}

for check in ${KPL_CHECKS:-unit install_paths remove_hung registry refusals sigterm_sweep second_instance console_gone concurrent_writers}; do
  "check_$check"
done
echo quit >&3
exit "$FAILED"

#!/usr/bin/env bash
# A throw-away wine machine for VkKplSvc.exe: a prefix with the panel driver
# pgw.sys loaded as the kernel driver service "Pgw", an X display (Xvfb) for
# the key target window, and a wineserver kept alive between commands.
# Installs nothing (./run does); needs Xvfb, setxkbmap for German, and wine.
#
# Which machine: the shipped 32-bit exe, driver and key target of the win32
# build (KPL_WIN32_BUILD, default build/win32) in a WINEARCH=win32 prefix
# under 32-bit wine (/usr/lib/wine/wine). Some kernels do not execute 32-bit
# programs at all; there the same programs of the win64 build
# (KPL_WIN64_BUILD, default build/win64) run in a WINEARCH=win64 prefix
# under wine64. KPL_WINE_ARCH=win32|win64 chooses; unset, "probe" decides.
#
#   machine.sh probe                       prints "win32" when this machine
#       runs 32-bit wine, else "win64" and why not (the probe's own error);
#       fails, saying why, when neither wine runs
#   machine.sh up DIR [--locale de_DE.UTF-8]
#       Creates DIR with the prefix DIR/prefix, starts Xvfb on a free display
#       and the wineserver, installs and starts "Pgw", and writes DIR/env.
#       The locale is in force for the prefix and every later command (wine
#       takes its keyboard layout from it: de_DE.UTF-8 gives 0x04070407, with
#       setxkbmap de on the display); default C.UTF-8, the US layout.
#   machine.sh com DIR COM3 /dev/pts/N     links the port (kplsim's --link
#       path works too, and kplsim can be given $WINEPREFIX/dosdevices/com3
#       as its --link directly)
#   machine.sh reg DIR FILE.reg            reg import, as an administrator would
#   machine.sh reset DIR                   deletes what scenarios set: the ten
#       configuration values of the service key (an installed service stays),
#       Services\Pgw\Parameters, HARDWARE\PGW, and HKCU\Control Panel\Keyboard
#       back to the prefix's defaults; then restarts "Pgw" if it stopped
#   machine.sh target DIR LOG SECONDS [--winlogon]   starts keytarget.exe in
#       front and returns when its window has the focus (LOG exists); prints
#       its pid. --winlogon: keytarget also makes the desktop "Winlogon" and
#       logs the secure attention hot key posted there (WM_HOTKEY lines)
#   machine.sh wine DIR OUT ARGS...        runs "$WINE" ARGS in the machine, its
#       output to the file OUT (see below); the wine command becomes the
#       Windows process, so a signal to its pid reaches the program
#   machine.sh service DIR OUT ARGS...     the same for VkKplSvc.exe ARGS
#   machine.sh state DIR SERVICE           prints the service's state (1 stopped
#       ... 4 running); nothing, and fails, when it is not installed
#   machine.sh down DIR                    ends wineserver and Xvfb, removes DIR
#
# DIR/env holds exported shell assignments for later commands:
#   . DIR/env; "$WINE" "$KPL_EXE" -debug >out.txt 2>&1
# WINEPREFIX, WINEARCH, DISPLAY, WINE, WINESERVER, LANG, LC_ALL, WINEDEBUG,
# WINEDLLOVERRIDES, KPL_EXE (Unix path of VkKplSvc.exe), KEYTARGET, MACHINE_DIR,
# SERVICES_LOG. Give wine commands a file for their output, not a pipe: the
# services a command starts inherit it and hold a pipe open.
#
# Found out on this machine (wine 8.0, Debian 12, 2 cores):
# (a) Ctrl-C for "VkKplSvc.exe -debug": send SIGINT to the pid of the wine
#     command ("$WINE" "$KPL_EXE" -debug >out 2>&1 & pid=$!; kill -INT $pid).
#     The wine loader execs the program in place, so $! is the Windows
#     process; wine turns SIGINT into CTRL_C_EVENT for the console handlers:
#     "Stopping Keypanel Service." follows, the engine shuts down, exit 0.
#     No console or helper program is needed; output may go to a file.
# (b) Events: wine's ReportEventA writes no log, only debug traces. A
#     service started by "sc start Kpl" is a child of services.exe and
#     inherits its environment and its standard error, so "up" starts
#     services.exe itself with WINEDEBUG=$SERVICE_WINEDEBUG (default
#     "fixme-all,fixme+advapi,+eventlog") and standard error appended to
#     DIR/services.log ($SERVICES_LOG). Each event is one line
#       TID:fixme:advapi:ReportEventA (HANDLE,TYPE,CATEGORY,ID,SID,COUNT,SIZE,STRINGS,DATA): stub
#     (numbers in hex: TYPE 0x0004 information, 0x0002 warning, 0x0001
#     error; ID the event id); an event with insertion strings (COUNT > 0)
#     adds a line "TID:fixme:advapi:ReportEventW (...): stub" and one line
#     per string, at the level of the type (trace, warn, err):
#       TID:warn:eventlog:ReportEventW L"Timeout"
#     TID is the wine thread id. The event texts themselves are not there;
#     under de_DE.UTF-8 the system's error texts (%1) are German.
#     -debug prints its events itself instead.
# (c) Ctrl-Alt-Del: wine has no desktop "Winlogon", so OpenDesktopA fails;
#     -debug then traces "Can't simulate Ctrl-Alt-Del in debug mode - now
#     starting taskmgr.exe..." and wine's taskmgr.exe opens a window, which
#     takes the focus from the key target. Once a program has created that
#     desktop (target --winlogon), the service's path works as on Windows:
#     the hot key reaches a window there as WM_HOTKEY wparam=0
#     lparam=002e0003 (Ctrl+Alt, VK_DELETE), and taskmgr is not started.
# (d) Timing: "up" takes 10 to 13 s, nearly all of it prefix creation (20 s
#     beside a build); reset 0.15 to 0.3 s; target 0.2 to 0.4 s; down 1 to
#     3.5 s; -install, -remove, sc start, sc stop under 0.2 s each (the
#     service reports stopped 0.2 to 1 s after sc stop; -debug ends 0.1 to
#     1 s after SIGINT). A 64-bit machine comes up in about 20 s beside
#     builds; its scenario files take about as long as the 32-bit ones
#     (3.5 minutes for all of them). One prefix per
#     locale serves a whole run: reset between scenarios. Machines of both
#     locales can be up at once (each has its own display).
# (e) Where wine is not Windows: \\.\PGW can be opened twice (see
#     sim/pgw/pgw_driver.cpp: the second open's requests fail with 5 instead);
#     CreateServiceA stores only the first dependency ("Pgw") and garbage
#     after it (CreateServiceW does not); console output of -debug ends its
#     lines in CR LF, and the event lines in CR CR LF (the texts end in CR LF
#     and the C runtime adds CR before LF); dependencies are not checked, so
#     "sc start Kpl" works without Tlink, Fwcore, Nvram and Rtcext.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../../.." && pwd)
WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64
WINESERVER_BIN=/usr/lib/wine/wineserver
SERVICE_WINEDEBUG=${SERVICE_WINEDEBUG:-fixme-all,fixme+advapi,+eventlog}
CONFIG_VALUES=(PortName BaudRate ByteSize Parity StopBits DoLedBlinking ErrorRetries ResponseTimeout
               UseStdKeyboardSpeed UseOptKeyCycleTime)

die() {
  echo "machine.sh: $*" >&2
  exit 1
}

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

# windows_path PATH: the Z: drive path of a Unix path.
windows_path() {
  local path; path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}

load() {
  DIR=$1
  [ -f "$DIR/env" ] || die "$DIR is not a machine (no env)"
  # shellcheck disable=SC1091
  . "$DIR/env"
}

# wine_quiet LOGNAME ARGS...: one wine command, its output appended to DIR/LOGNAME.log.
wine_quiet() {
  local log=$DIR/$1.log; shift
  "$WINE" "$@" >>"$log" 2>&1
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
  local tries=$(($1 * 10)); shift
  while ! "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# loader_error LOADER: empty when the wine loader starts, else why not, as
# the system said it.
loader_error() {
  [ -e "$1" ] || { echo "$1 is not installed"; return; }
  local out
  if out=$("$1" --version 2>&1 </dev/null); then
    return
  fi
  # The shell's own words for a program it cannot execute, without the
  # script's name and line.
  echo "$out" | head -n 1 | sed 's/^.*: line [0-9]*: //'
}

probe() {
  local error64
  case ${KPL_WINE_ARCH:-} in
    win32) echo win32; return ;;
    win64) echo "win64 (KPL_WINE_ARCH=win64)"; return ;;
    '') ;;
    *) die "KPL_WINE_ARCH is win32 or win64, not '$KPL_WINE_ARCH'" ;;
  esac
  local error32; error32=$(loader_error "$WINE32_LOADER")
  if [ -z "$error32" ]; then
    echo win32
    return
  fi
  error64=$(loader_error "$WINE64_LOADER")
  [ -z "$error64" ] || die "neither wine runs on this machine: $error32; $error64"
  echo "win64 (32-bit programs do not run here: $error32)"
}

service_state() {
  "$WINE" sc query "$1" 2>/dev/null | sed -n 's/.*STATE *: *\([0-9]\).*/\1/p'
}

service_running() {
  [ "$(service_state "$1")" = 4 ]
}

start_pgw() {
  wine_quiet machine sc start Pgw || true
  wait_for 10 service_running Pgw || die "the driver service Pgw did not start (see $DIR/machine.log)"
}

up() {
  DIR=${1:-}; shift || true
  [ -n "$DIR" ] || usage
  local locale=C.UTF-8
  while [ $# -gt 0 ]; do
    case $1 in
      --locale) locale=${2:?--locale needs a value}; shift 2 ;;
      *) usage ;;
    esac
  done
  local arch; arch=$(probe) || exit 1
  arch=${arch%% *}
  local loader=$WINE32_LOADER build=${KPL_WIN32_BUILD:-$ROOT/build/win32}
  if [ "$arch" = win64 ]; then
    loader=$WINE64_LOADER
    build=${KPL_WIN64_BUILD:-$ROOT/build/win64}
  fi
  command -v Xvfb >/dev/null || die "no Xvfb: install xvfb"
  local german=false
  case $locale in
    de_DE*) german=true
            command -v setxkbmap >/dev/null || die "no setxkbmap: install x11-xkb-utils" ;;
  esac
  if [ "$locale" != C.UTF-8 ] && ! locale -a 2>/dev/null | grep -qix "${locale/UTF-8/utf8}"; then
    die "locale $locale is not generated (locale-gen)"
  fi
  local file
  for file in service/VkKplSvc.exe sim/pgw/pgw.sys tools/keytarget.exe; do
    [ -f "$build/$file" ] || die "$build/$file is missing: ./run build $arch"
  done
  [ ! -e "$DIR/prefix" ] || die "$DIR/prefix exists already"
  mkdir -p "$DIR"
  DIR=$(realpath "$DIR")
  local started=$SECONDS

  # -displayfd: Xvfb takes the first free display and writes its number.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$DIR/display" >"$DIR/xvfb.log" 2>&1 &
  echo $! >"$DIR/xvfb.pid"
  wait_for 10 test -s "$DIR/display" || die "Xvfb did not start (see $DIR/xvfb.log)"
  local display
  display=:$(tr -d '\n' <"$DIR/display")
  if $german; then
    setxkbmap -display "$display" de || die "setxkbmap de failed"
  fi

  cat >"$DIR/env" <<EOF
export MACHINE_DIR=$(printf '%q' "$DIR")
export WINEPREFIX=$(printf '%q' "$DIR/prefix")
export WINEARCH=$arch
export DISPLAY=$display
export WINE=$loader
export WINESERVER=$WINESERVER_BIN
export LANG=$locale
export LC_ALL=$locale
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='
export KPL_EXE=$(printf '%q' "$build/service/VkKplSvc.exe")
export KEYTARGET=$(printf '%q' "$build/tools/keytarget.exe")
export SERVICES_LOG=$(printf '%q' "$DIR/services.log")
EOF
  load "$DIR"

  wine_quiet wineboot wineboot -i || die "wineboot failed (see $DIR/wineboot.log)"
  # Until the new prefix has settled, sc fails with 1055 or 1073.
  "$WINESERVER" -w
  "$WINESERVER" -p >>"$DIR/wineserver.log" 2>&1
  # The first command starts services.exe, and with it the environment and
  # standard error of every service: see (b).
  WINEDEBUG=$SERVICE_WINEDEBUG "$WINE" sc query Pgw >>"$SERVICES_LOG" 2>&1 || true
  "$WINE" reg export 'HKCU\Control Panel\Keyboard' "$(windows_path "$DIR/keyboard.reg")" /y >>"$DIR/machine.log" 2>&1 ||
    die "reading the keyboard settings failed (see $DIR/machine.log)"

  cp "$build/sim/pgw/pgw.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/pgw.sys"
  wine_quiet machine sc create Pgw type= kernel start= demand 'binPath=' 'C:\windows\system32\drivers\pgw.sys' ||
    die "sc create Pgw failed (see $DIR/machine.log)"
  start_pgw
  echo "machine up in $((SECONDS - started)) s: $DIR ($arch, display $display, $locale)"
}

com() {
  load "$1"
  local name=${2:?port name} target=${3:?device path}
  local link=$WINEPREFIX/dosdevices/${name,,}
  # kplsim --link may have made this very link already.
  [ "$(realpath -ms "$target")" = "$(realpath -ms "$link")" ] || ln -sfn "$target" "$link"
}

reg_import() {
  load "$1"
  local file=${2:?reg file}
  [ -f "$file" ] || die "no such file: $file"
  wine_quiet machine reg import "$(windows_path "$file")" || die "reg import $file failed (see $DIR/machine.log)"
}

reset() {
  load "$1"
  local file=$DIR/reset.reg value
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KPL]\r\n'
    for value in "${CONFIG_VALUES[@]}"; do
      printf '"%s"=-\r\n' "$value"
    done
    printf '\r\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Pgw\\Parameters]\r\n'
    printf '\r\n[-HKEY_LOCAL_MACHINE\\HARDWARE\\PGW]\r\n'
    printf '\r\n[-HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n'
  } >"$file"
  wine_quiet machine reg import "$(windows_path "$file")" || die "reset failed (see $DIR/machine.log)"
  wine_quiet machine reg import "$(windows_path "$DIR/keyboard.reg")" || die "reset failed (see $DIR/machine.log)"
  service_running Pgw || start_pgw
}

target() {
  load "$1"
  local log=${2:?log file} seconds=${3:?seconds}
  local options=()
  case ${4:-} in
    '') ;;
    --winlogon) options=(--winlogon) ;;
    *) usage ;;
  esac
  rm -f "$log"
  "$WINE" "$KEYTARGET" "$(windows_path "$log")" "$seconds" "${options[@]}" >>"$DIR/keytarget.log" 2>&1 &
  local pid=$!
  if ! wait_for 30 test -e "$log"; then
    kill "$pid" 2>/dev/null || true
    die "keytarget did not get the focus (see $DIR/keytarget.log)"
  fi
  echo "$pid"
}

run() {
  local program=$1
  load "$2"
  local out=${3:?output file}
  shift 3
  [ "$program" = wine ] || set -- "$KPL_EXE" "$@"
  exec "$WINE" "$@" >"$out" 2>&1
}

down() {
  DIR=${1:?machine directory}
  [ -f "$DIR/env" ] || [ -f "$DIR/xvfb.pid" ] || die "$DIR is not a machine"
  if [ -f "$DIR/env" ]; then
    # shellcheck disable=SC1091
    . "$DIR/env"
    timeout 60 "$WINESERVER" -k >/dev/null 2>&1 || true
  fi
  if [ -f "$DIR/xvfb.pid" ]; then
    kill "$(cat "$DIR/xvfb.pid")" 2>/dev/null || true
  fi
  rm -rf "$DIR"
}

command=${1:-}
shift || true
case $command in
  probe) probe ;;
  up) up "$@" ;;
  com) com "$@" ;;
  reg) reg_import "$@" ;;
  reset) reset "$@" ;;
  target) target "$@" ;;
  wine|service) run "$command" "$@" ;;
  state) load "${1:?machine directory}"; service_state "${2:?service name}" ;;
  down) down "$@" ;;
  *) usage ;;
esac

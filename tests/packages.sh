#!/usr/bin/env bash
# packages.sh [--deb FILE] [--zip FILE]: what an administrator gets.
#   --deb  the Debian package: apt resolves its dependencies on this system;
#          installed into a throw-away root it puts the service under
#          /usr/sbin, kplsim under /usr/bin and the pages under
#          /usr/share/doc/keypanel; the installed service prints its usage;
#          purged, it leaves nothing behind.
#   --zip  the Windows zip: the service and its pages, never the test driver
#          (pgw.sys) or the key target (keytarget.exe).
set -uo pipefail
FAILED=0
fail() { echo "$*"; FAILED=1; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kpl-packages.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

check_deb() {
  local deb; deb=$(realpath "$1")
  [ "$(dpkg-deb -f "$deb" Package)" = keypanel ] || fail "$deb: not the package keypanel"
  # The libraries the programs link, as dpkg-shlibdeps found them.
  dpkg-deb -f "$deb" Depends | grep -q libstdc++6 || fail "$deb: no dependency on libstdc++6"
  local outside; outside=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -vE '^\./(usr/|$)')
  [ -z "$outside" ] || fail "$deb: files outside /usr: $outside"
  local simulated; simulated=$(timeout 120 apt-get install -s "$deb" 2>&1)
  grep -q '^Inst keypanel ' <<<"$simulated" || fail "apt would not install $deb: $(tail -n 5 <<<"$simulated")"

  local root=$WORK/root dpkg_=(timeout 60 dpkg --root="$WORK/root" --log=/dev/null)
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  # The libraries come from this system, not from the empty root.
  "${dpkg_[@]}" --force-depends --force-not-root -i "$deb" >"$WORK/dpkg.out" 2>&1 ||
    fail "dpkg could not install $deb: $(cat "$WORK/dpkg.out")"
  for file in usr/sbin/VkKplSvc usr/bin/kplsim usr/share/doc/keypanel/README.md usr/share/doc/keypanel/events.md; do
    [ -f "$root/$file" ] || fail "the package does not install /$file"
  done
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"EventLogFile"="%s"\r\n' \
    "$WORK/events.log" >"$WORK/machine.reg"
  local usage; usage=$(KPL_REGISTRY=$WORK/machine.reg timeout 30 "$root/usr/sbin/VkKplSvc" 2>&1)
  grep -q '^VkKplSvc -install ' <<<"$usage" || fail "the installed VkKplSvc printed no usage: $usage"
  timeout 30 "$root/usr/bin/kplsim" --help 2>&1 | grep -q '^usage: kplsim' || fail "the installed kplsim printed no usage"
  "${dpkg_[@]}" --force-not-root --purge keypanel >"$WORK/dpkg.out" 2>&1 ||
    fail "dpkg could not purge keypanel: $(cat "$WORK/dpkg.out")"
  local left; left=$(cd "$root" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path ./var -not -path ./var/lib)
  [ -z "$left" ] || fail "purged, keypanel leaves: $left"
}

check_zip() {
  local listing; listing=$(cmake -E tar tf "$1" 2>&1) || { fail "$1: not a zip: $listing"; return; }
  grep -q '/VkKplSvc\.exe$' <<<"$listing" || fail "$1 lacks VkKplSvc.exe"
  grep -q '/docs/events\.md$' <<<"$listing" || fail "$1 lacks docs/events.md"
  grep -iE 'pgw\.sys|keytarget' <<<"$listing" && fail "$1 carries the test driver or the key target"
}

while [ $# -gt 0 ]; do
  case "$1" in
    --deb) check_deb "$2"; shift 2 ;;
    --zip) check_zip "$2"; shift 2 ;;
    *) echo "usage: packages.sh [--deb FILE] [--zip FILE]"; exit 2 ;;
  esac
done
[ "$FAILED" -eq 0 ] && echo "packages as an administrator needs them"
exit "$FAILED"

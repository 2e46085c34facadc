#!/usr/bin/env bash
# packages.sh [--deb FILE] [--zip FILE]: what an administrator gets.
#   --deb  the Debian package: lintian finds no error and no warning that
#          is not overridden with a comment; apt resolves its dependencies on
#          this system; installed into a throw-away root it puts the service
#          under /usr/sbin, kplsim under /usr/bin and the pages under
#          /usr/share/doc/keypanel; the installed service prints its usage;
#          removed after "-install" and "systemctl enable", it leaves no unit,
#          no enable link and no binary, but the administrator's registry and
#          logs; purged, it leaves nothing behind.
#   --zip  the Windows zip: opens with its Windows page (README-Windows.md
#          beside VkKplSvc.exe), whose links, like every page's, hold inside
#          the zip; its .reg files hold only the service's key (no user's
#          keys, nothing of the Linux machine); never the test driver
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
  check_lintian "$deb"
  local simulated; simulated=$(timeout 120 apt-get install -s "$deb" 2>&1)
  grep -q '^Inst keypanel ' <<<"$simulated" || fail "apt would not install $deb: $(tail -n 5 <<<"$simulated")"

  # The maintainer scripts run outside the root, on its paths ($DPKG_ROOT):
  # no chroot, so no shell needed in it and no root rights.
  mkdir -p "$WORK/root"
  local root; root=$(realpath "$WORK/root")
  local dpkg_=(timeout 60 dpkg --root="$root" --log=/dev/null --force-script-chrootless)
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
  check_removal "$root" "${dpkg_[@]}"
  "${dpkg_[@]}" --force-not-root --purge keypanel >"$WORK/dpkg.out" 2>&1 ||
    fail "dpkg could not purge keypanel: $(cat "$WORK/dpkg.out")"
  # The folders this check made for the unit, if the package left them empty.
  rmdir "$root/etc/systemd/system/multi-user.target.wants" "$root/etc/systemd/system" "$root/etc/systemd" \
    "$root/etc" "$root/var/log" 2>/dev/null
  local left; left=$(cd "$root" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path ./var -not -path ./var/lib)
  [ -z "$left" ] || fail "purged, keypanel leaves: $left"
}

# check_removal ROOT DPKG...: the service installed and enabled in ROOT as
# docs/running.md says, then the package removed: no unit, no enable link,
# no binary; the registry and the logs stay until purge.
check_removal() {
  local root=$1; shift
  local units=$root/etc/systemd/system
  mkdir -p "$units" "$root/var/log/kpl"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"ServiceUnitDir"="%s"\r\n' \
    "$units" >"$root/etc/kpl.reg"
  echo "an administrator's event" >"$root/var/log/kpl/events.log"
  local out; out=$(KPL_REGISTRY=$root/etc/kpl.reg timeout 30 "$root/usr/sbin/VkKplSvc" -install 2>&1)
  [ -f "$units/kpl.service" ] || { fail "the installed VkKplSvc -install wrote no unit: $out"; return; }
  # What "systemctl enable kpl" makes, without a running systemd.
  if ! timeout 30 systemctl --root="$root" enable kpl.service >/dev/null 2>&1; then
    mkdir -p "$units/multi-user.target.wants"
    ln -s ../kpl.service "$units/multi-user.target.wants/kpl.service"
  fi
  [ -L "$units/multi-user.target.wants/kpl.service" ] || fail "no enable link made for kpl.service"
  "$@" --force-not-root --remove keypanel >"$WORK/dpkg.out" 2>&1 ||
    fail "dpkg could not remove keypanel: $(cat "$WORK/dpkg.out")"
  local file
  for file in usr/sbin/VkKplSvc etc/systemd/system/kpl.service etc/systemd/system/multi-user.target.wants/kpl.service; do
    [ -e "$root/$file" ] || [ -L "$root/$file" ] && fail "removed, keypanel leaves /$file"
  done
  for file in etc/kpl.reg var/log/kpl/events.log; do
    [ -f "$root/$file" ] || fail "removing keypanel deleted the administrator's /$file"
  done
}

# check_lintian DEB: no error, and every warning left is overridden in the
# package with a comment that says why.
check_lintian() {
  local deb=$1 out
  out=$(timeout 300 lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1) ||
    fail "lintian: $out"
  local overrides; overrides=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/lintian/overrides/keypanel 2>/dev/null)
  # A comment stands for the overrides under it, up to the next blank line.
  local commented=0 line
  while IFS= read -r line; do
    if [ -z "$line" ]; then
      commented=0
    elif [ "${line#\#}" != "$line" ]; then
      commented=1
    elif [ "$commented" -eq 0 ]; then
      fail "lintian override without a comment above it: $line"
    fi
  done <<<"$overrides"
}

check_zip() {
  local zip; zip=$(realpath "$1")
  local listing; listing=$(cmake -E tar tf "$zip" 2>&1) || { fail "$1: not a zip: $listing"; return; }
  grep -iE 'pgw\.sys|keytarget' <<<"$listing" && fail "$1 carries the test driver or the key target"
  local unpacked=$WORK/zip
  mkdir -p "$unpacked" && (cd "$unpacked" && cmake -E tar xf "$zip") || { fail "$1 does not unpack"; return; }
  # One folder, as the zip is named, and in it the page to read first.
  local top; top=$(find "$unpacked" -mindepth 1 -maxdepth 1)
  [ "$(wc -l <<<"$top")" -eq 1 ] && [ -d "$top" ] || { fail "$1 is not one folder: $top"; return; }
  local file
  for file in README-Windows.md VkKplSvc.exe events.md configuration.md; do
    [ -f "$top/$file" ] || fail "$1 lacks $file at its top"
  done
  grep -q 'reg add HKLM\\SYSTEM\\CurrentControlSet\\Services\\KPL ' "$top/README-Windows.md" 2>/dev/null ||
    fail "$1: its Windows page has no reg add lines for the service's key"
  # Relative links of every page, anchors dropped, as files of the zip.
  local page link
  while IFS= read -r page; do
    while IFS= read -r link; do
      link=${link%%#*}
      [ -z "$link" ] || [ -e "$(dirname "$page")/$link" ] || fail "$1: ${page#"$top"/} links to $link, not in the zip"
    done < <(grep -oE '\]\([^)]+\)' "$page" | sed -E 's/^\]\(//; s/\)$//' | grep -vE '^[a-z]+:')
  done < <(find "$top" -name '*.md')
  # Imported on Windows, a .reg file must touch the service's key alone.
  local regs; regs=$(find "$top" -iname '*.reg')
  [ -n "$regs" ] || fail "$1 carries no .reg example"
  local reg
  while IFS= read -r reg; do
    [ -n "$reg" ] || continue
    local other; other=$(tr -d '\r' <"$reg" | grep -E '^\[' | grep -vixF '[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\KPL]')
    [ -z "$other" ] || fail "$1: ${reg#"$top"/} touches other keys than the service's: $other"
  done <<<"$regs"
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

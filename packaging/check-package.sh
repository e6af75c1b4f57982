#!/usr/bin/env bash
# Builds the Debian package and checks it: lintian reports no error, the files lie where the
# package layout says, and every shipped unit passes `systemd-analyze verify` and, for services,
# rates an exposure of at most 2.5 in `systemd-analyze security`.
# Usage: packaging/check-package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
max_exposure=2.5

make deb BUILD="$build"
version="$(dpkg-parsechangelog -S Version)"
deb="$build/deb/norvid-shield_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "[ERROR] $deb was not built"; exit 1; }

failures=0
fail() { echo "[FAIL] $*"; failures=$((failures + 1)); }

project_version="$(sed -n 's/^project(NorvidShield VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ "$version" = "$project_version" ] ||
  fail "debian/changelog has $version, CMakeLists.txt $project_version"

echo "[*] lintian"
lintian_out="$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)"
echo "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then fail "lintian reports errors"; fi

echo "[*] layout"
listing="$(dpkg-deb -c "$deb")"
expect() {  # expect PATH [LINK_TARGET]
  local line
  line="$(awk -v p="./${1#/}" '$6 == p' <<<"$listing")"
  if [ -z "$line" ]; then fail "missing $1"; return; fi
  if [ $# -ge 2 ] && ! grep -q -- "-> $2\$" <<<"$line"; then fail "$1 does not link to $2: $line"; fi
}
expect /usr/lib/norvid/norvid-core
expect /usr/sbin/norvid-core ../lib/norvid/norvid-core
expect /usr/lib/norvid/rules /etc/norvid/rules
expect /usr/lib/norvid/logs /var/log/norvid
expect /usr/lib/norvid/reports /var/lib/norvid/reports
expect /etc/norvid/rules/norvid_starter.yar
expect /usr/bin/norvidctl
expect /usr/share/bash-completion/completions/norvidctl
for unit in packaging/systemd/*; do
  expect "/lib/systemd/system/$(basename "$unit")"
done
for page in packaging/man/*.scd; do
  name="$(basename "$page" .scd)"
  expect "/usr/share/man/man${name##*.}/$name.gz"
done
if [ -f packaging/systemd/NorvidOnAccess.service ]; then expect /usr/sbin/norvid-onaccess; fi
expect /usr/sbin/norvid-update
# The desktop notifier: its program, its XDG autostart entry and its systemd user unit.
expect /usr/bin/norvid-notify
expect /etc/xdg/autostart/norvid-notify.desktop
expect /usr/lib/systemd/user/norvid-notify.service
for feed in packaging/feeds.d/*.conf; do
  expect "/etc/norvid/feeds.d/$(basename "$feed")"
done

echo "[*] maintainer scripts"
control="$(mktemp -d)"
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control/DEBIAN"
grep -q 'addgroup --system.*norvid-admin' "$control/DEBIAN/postinst" ||
  fail "postinst does not create the group norvid-admin"
grep -q "enable.*NorvidCoreService.socket" "$control/DEBIAN/postinst" ||
  fail "postinst does not enable NorvidCoreService.socket"
grep -q "enable.*norvid-update.timer" "$control/DEBIAN/postinst" ||
  fail "postinst does not enable norvid-update.timer"
# The service itself runs from boot (scheduled scans need it without any client).
grep -q "enable.*NorvidCoreService.service" "$control/DEBIAN/postinst" ||
  fail "postinst does not enable NorvidCoreService.service"
grep -q "deb-systemd-invoke.*NorvidCoreService.service" "$control/DEBIAN/postinst" ||
  fail "postinst does not start NorvidCoreService.service"

echo "[*] systemd-analyze on the shipped units"
root="$control/root"
dpkg-deb -x "$deb" "$root"
shipped=("$root"/lib/systemd/system/*)
# The units the package's units depend on (sysinit.target, ...) come from the host, beside them.
cp -rn /lib/systemd/system/. "$root/lib/systemd/system/"
for unit in "${shipped[@]}"; do
  # Checked inside the unpacked package, so ExecStart= and the manual pages resolve there.
  if ! out="$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" \
               "/lib/systemd/system/$(basename "$unit")" 2>&1)" || [ -n "$out" ]; then
    echo "$out"
    fail "systemd-analyze verify $(basename "$unit")"
  fi
  case "$unit" in
    *.service)
      exposure="$(systemd-analyze security --offline=yes --root="$root" \
                    "/lib/systemd/system/$(basename "$unit")" 2>/dev/null |
                  sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')"
      echo "    $(basename "$unit"): exposure $exposure"
      if [ -z "$exposure" ] || awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e > m) }'; then
        fail "$(basename "$unit") exposure ${exposure:-unknown} is above $max_exposure"
      fi
      ;;
  esac
done

if [ "$failures" -ne 0 ]; then
  echo "[ERROR] package check: $failures failure(s)"
  exit 1
fi
echo "[OK] package $deb"

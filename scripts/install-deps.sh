#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are missing (xvfb,
# dunst, x11-apps and netpbm: the notifier's test in a desktop session, its screenshot).
# Extra package names given as arguments are installed too (for example: yara chromium; `make deb`
# adds the Debian packaging tools).
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config libyara-dev nlohmann-json3-dev libarchive-dev
          libssl-dev libsystemd-dev libgtest-dev libgmock-dev zip tzdata acl systemd
          libgmime-3.0-dev libgsf-1-dev libmspack-dev libyaramod-dev libcurl4-openssl-dev minisign
          python3 openssl bzip2 xz-utils zstd lz4 lzip ncompress cpio xorriso gcab binutils dbus-daemon
          xvfb dunst x11-apps netpbm "$@")

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "[*] Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

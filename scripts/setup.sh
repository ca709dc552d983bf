#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
# Idempotent and quiet when everything is there already.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  dpkg-dev systemd  # the Debian package and its unit's check
  libcurl4-openssl-dev libzip-dev zlib1g-dev
  libgtest-dev googletest libbenchmark-dev
  python3 curl unzip
  openssl time coreutils
  nginx util-linux
  ca-certificates mount  # the CA bundle the HTTPS scenarios lay theirs over; the full-disk tmpfs
  zip p7zip-full libarchive-tools  # archives as publishers' tools write them
  libsodium-dev minisign  # signed releases: the check, and the publisher's tool
  nlohmann-json3-dev  # JSON: the Linux policy file, and the state file of both builds
  lintian  # the Debian package's check
  systemd-container  # systemd-nspawn: the package under a real systemd
  strace  # the order of the flushes and renames, seen from outside
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y --no-install-recommends "${missing[@]}" >/tmp/orvane-setup.log 2>&1; then
  $sudo apt-get update -q >>/tmp/orvane-setup.log 2>&1
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" >>/tmp/orvane-setup.log 2>&1 \
    || { cat /tmp/orvane-setup.log; exit 1; }
fi

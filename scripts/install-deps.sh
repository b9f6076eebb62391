#!/usr/bin/env bash
# Installs what building, testing and benchmarking zeriza need on Debian 12.
# Run as root. Skips apt entirely when everything is already there.
set -euo pipefail
packages=(cmake g++ clang make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libpcap-dev libcli11-dev netbase tcpdump valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

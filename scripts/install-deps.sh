#!/usr/bin/env bash
# Installs what building, testing and benchmarking zeriza need on Debian 12.
# Run as root. Skips apt entirely when everything is already there.
set -euo pipefail
packages=(cmake g++ clang make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libpcap-dev libcli11-dev netbase tcpdump valgrind
          python3-dev python3-pybind11 pybind11-dev python3-numpy python3-pytest python3-venv
          python3-pip python3-setuptools python3-dpkt python3-scapy)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

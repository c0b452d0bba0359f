#!/usr/bin/env bash
# Installs the Debian packages the build (with its man pages and package), the tests and the
# benchmarks need, when any is missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev sqlite3 tzdata python3 clang libclang-rt-14-dev util-linux
          scdoc mandoc man-db dpkg-dev systemd init-system-helpers
          etcd-server libcurl4-openssl-dev nlohmann-json3-dev nftables)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

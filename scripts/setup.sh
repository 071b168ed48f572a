#!/usr/bin/env bash
# Installs every build, test and demo dependency from Debian's packages. Idempotent; run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libcli11-dev libyaml-cpp-dev nlohmann-json3-dev libfmt-dev libpq-dev libabsl-dev
  libosmium2-dev libprotozero-dev zlib1g-dev libbz2-dev libexpat1-dev
  libgtest-dev libgmock-dev libbenchmark-dev hyperfine time
  postgresql-15 postgresql-15-postgis-3 postgresql-common postgresql-client-15
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # The packaged cluster is not wanted: tests and the demo start clusters of their own.
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

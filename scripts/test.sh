#!/usr/bin/env bash
# The test command: installs dependencies, builds the optimised and the sanitizer builds,
# and runs every test on the sanitizer build inside a throwaway PostgreSQL/PostGIS cluster.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${JOBS:-2}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_TESTS=OFF >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQR_SANITIZE=ON -DQR_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"

export REQUIRE_DATABASE=1
export NO_COLOR=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# pg_virtualenv refuses to run as root without a user to switch to; the cluster runs as postgres.
pg_virtualenv -v 15 -- ctest --test-dir build-asan --output-on-failure -j "$jobs" "$@"

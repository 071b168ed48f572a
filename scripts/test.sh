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

# pg_virtualenv creates a throwaway PostgreSQL 15 cluster (run by the postgres user, PostGIS
# available from the installed packages), exports PGHOST/PGPORT/PGUSER/PGPASSWORD/PGDATABASE
# for the tests and drops the cluster afterwards. -t keeps the cluster in a temporary directory
# even as root: otherwise root gets the fixed cluster name 15/regress in /etc/postgresql, so two
# runs at the same time (or one left over by a killed run) refuse to start.
pg_virtualenv -t -v 15 -- ctest --test-dir build-asan --output-on-failure -j "$jobs" "$@"

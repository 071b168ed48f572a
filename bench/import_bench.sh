#!/usr/bin/env bash
# Import benchmark: wall time and peak memory of gravix-import on one extract, graph file only
# and graph file plus database, and the graph file's size per node and per edge.
#
#   bench/import_bench.sh [BUILD_DIR] [EXTRACT] [DEM_DIR]
#
# Defaults: build/, Andorra with its SRTM tile from ../shared/data. The database run uses
# demo/config (the cluster of scripts/demo.sh, target local) when it exists, else the PG*
# variables when PGHOST is set; otherwise it is skipped. RUNS (default 3) runs per case.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
EXTRACT=${2:-../shared/data/andorra-2025-01-19.osm.pbf}
DEM=${3:-../shared/data/srtm}
RUNS=${RUNS:-3}
BIN="$BUILD/bin/gravix-import"
[ -x "$BIN" ] || { echo "no $BIN; build it first (cmake --build $BUILD --target gravix-import)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dem_args=()
[ -n "$DEM" ] && dem_args=(--dem "$DEM")

# Runs the import RUNS times; prints the best and the median wall time and the largest peak RSS.
measure() {
  local label=$1; shift
  local times=() peak=0
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f '%e %M' -o "$work/time" "$BIN" "$@" >"$work/summary" 2>"$work/progress"
    read -r seconds kb <"$work/time"
    times+=("$seconds")
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  sorted=$(printf '%s\n' "${times[@]}" | sort -n)
  best=$(head -1 <<<"$sorted")
  median=$(sed -n "$(( (RUNS + 1) / 2 ))p" <<<"$sorted")
  printf '%-28s best %6.2f s   median %6.2f s   peak RSS %7.1f MB\n' "$label" "$best" "$median" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
}

echo "extract: $EXTRACT ($(du -h "$EXTRACT" | cut -f1)), DEM: ${DEM:-none}, $RUNS runs each"
measure "graph file only" "$EXTRACT" --graph-file "$work/g.bin" "${dem_args[@]}"
nodes=$(sed -n 's/^  nodes: *\([0-9]*\).*/\1/p' "$work/summary")
edges=$(sed -n 's/^  edges: *\([0-9]*\).*/\1/p' "$work/summary")
size=$(stat -c %s "$work/g.bin")
awk -v s="$size" -v n="$nodes" -v e="$edges" 'BEGIN {
  printf "graph file (version 7): %d bytes, %d nodes, %d edges: %.1f bytes per node, %.1f per edge\n", s, n, e, s / n, s / e }'

if [ -f demo/config/database.yaml ]; then
  db_args=(--database --config-dir demo/config --target local)
elif [ -n "${PGHOST:-}" ]; then
  db_args=(--database)
else
  echo "graph file + database: skipped (no demo/config and no PGHOST)"
  exit 0
fi
measure "graph file + database" "$EXTRACT" --graph-file "$work/g.bin" "${dem_args[@]}" "${db_args[@]}"
measure "graph file, no DEM" "$EXTRACT" --graph-file "$work/g.bin"

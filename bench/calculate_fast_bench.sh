#!/usr/bin/env bash
# Whole-process timing of a car route with calculate-fast on the synthetic 1-million-node grid
# (the route search benchmark's graph), warm page cache, with hyperfine. For each pair it also
# reads the search's own time from the "Route found in" log line, so the share spent outside the
# search (start-up, configuration, open, snapping, report) can be told apart.
#
#   bench/calculate_fast_bench.sh [PAIRS]        (default 5 pairs; Release build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-5}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_TESTS=OFF -DQR_BENCH=ON >/dev/null
cmake --build build -j2 --target route-calculator router_bench >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
graph="$work/grid.graph"
build/bench/router_bench --write-graph "$graph" --side 1000 --pairs "$pairs" > "$work/pairs.txt"
mkdir -p "$work/config/vehicles"
echo '{}' > "$work/config/database.yaml"
echo '{}' > "$work/config/vehicles/tandrel.yaml"
printf 'route:\n  start: {latitude: 0, longitude: 0}\n  end: {latitude: 0, longitude: 0}\n' > "$work/config/navigation.yaml"
cat "$graph" > /dev/null   # warm the page cache

bin=$PWD/build/bin/route-calculator
median_ms() { python3 -c "import json,statistics;r=json.load(open('$1'))['results'][0];print(f\"{statistics.median(r['times'])*1000:.1f}\")"; }

# Process start-up and exit alone.
hyperfine -N --warmup 3 --runs 30 --export-json "$work/h.json" "$bin help" >/dev/null 2>&1
startup=$(median_ms "$work/h.json")

echo "| pair | route nodes | median wall ms | median search ms | in-process outside the search ms | + start-up and exit ms |"
echo "|---|---|---|---|---|---|"
n=0
while read -r slat slon elat elon; do
  n=$((n + 1))
  args=(calculate-fast -g "$graph" --config-dir "$work/config" --start-lat "$slat" --start-lon "$slon"
        --end-lat "$elat" --end-lon "$elon")
  hyperfine -N --warmup 2 --runs 10 --export-json "$work/h.json" "$bin ${args[*]}" >/dev/null 2>&1
  wall=$(median_ms "$work/h.json")
  # The report's own timers: total (configuration to report) and route (the search alone).
  for _ in 1 2 3 4 5 6 7; do "$bin" "${args[@]}"; done > "$work/report.txt"
  read -r nodes search outside < <(python3 - "$work/report.txt" <<'PY'
import re, statistics, sys
text = open(sys.argv[1]).read()
route = [float(x) for x in re.findall(r"Route time: ([0-9.]+) ms", text)]
total = [float(x) for x in re.findall(r"Total time: ([0-9.]+) ms", text)]
nodes = re.findall(r"Route nodes: (\d+)", text)[0]
print(nodes, f"{statistics.median(route):.1f}", f"{statistics.median([t - r for t, r in zip(total, route)]):.2f}")
PY
)
  echo "| $n | $nodes | $wall | $search | $outside | $(python3 -c "print(f'{$outside + $startup:.1f}')") |"
done < "$work/pairs.txt"
echo
echo "Start-up and exit of the process alone (route-calculator help): median $startup ms"

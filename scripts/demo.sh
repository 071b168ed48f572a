#!/usr/bin/env bash
# The demo: installs and builds everything, starts a local PostGIS cluster of its own (created on
# the first run, kept afterwards), imports an OpenStreetMap extract with elevations into it and
# into a graph file, writes a configuration directory for it and runs the route commands once.
#
#   scripts/demo.sh                          Andorra from ../shared/data with its SRTM tile
#   scripts/demo.sh REGION.osm.pbf [DEM_DIR] any other extract (DEM_DIR: SRTM .hgt tiles, optional)
#
# Environment: DEMO_PGPORT (default 5499), DEMO_START / DEMO_END ("lat,lon") for other extracts,
# DEMO_COUNTRY (country code for roads outside every boundary of the extract), JOBS,
# DEMO_BUILD_DIR (default build).
# Everything the demo creates lives in demo/ (ignored by git); `scripts/demo.sh stop` stops the
# cluster, removing demo/ removes it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DEMO="$ROOT/demo"
PGBIN=/usr/lib/postgresql/15/bin
PORT=${DEMO_PGPORT:-5499}
PGDATA="$DEMO/pgdata"
DB_USER=gravix
DB_NAME=gravix

# The cluster must not run as root; as root it runs as the postgres system user.
as_cluster_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

if [ "${1:-}" = "stop" ]; then
  if [ -d "$PGDATA" ]; then as_cluster_owner "$PGBIN/pg_ctl" -D "$PGDATA" -m fast stop || true; fi
  exit 0
fi

DATA_DIR="$ROOT/../shared/data"
EXTRACT="${1:-$DATA_DIR/andorra-2025-01-19.osm.pbf}"
if [ $# -ge 1 ]; then DEM_DIR="${2:-}"; else DEM_DIR="$DATA_DIR/srtm"; fi
if [ ! -r "$EXTRACT" ]; then
  echo "demo: cannot read the extract $EXTRACT" >&2
  exit 1
fi
EXTRACT=$(realpath "$EXTRACT")
NAME=$(basename "$EXTRACT"); NAME=${NAME%%.*}

step() { printf '\n== %s\n' "$*"; }

step "Dependencies"
bash scripts/setup.sh

BUILD=${DEMO_BUILD_DIR:-build}
step "Build ($BUILD/, Release)"
jobs=${JOBS:-2}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQR_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$jobs" --target gravix-import
route_calculator_built=yes
if ! cmake --build "$BUILD" -j "$jobs" --target route-calculator; then
  route_calculator_built=no
  echo "demo: route-calculator does not build yet; the route commands will be skipped"
fi

step "PostGIS cluster (demo/pgdata, port $PORT)"
mkdir -p "$DEMO/run" "$DEMO/out" "$DEMO/config/vehicles"
[ -f "$DEMO/.gitignore" ] || echo '*' > "$DEMO/.gitignore"
if [ ! -f "$DEMO/password" ]; then
  (umask 077; head -c 18 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' > "$DEMO/password")
fi
PASSWORD=$(cat "$DEMO/password")
if [ ! -f "$PGDATA/PG_VERSION" ]; then
  echo "creating the cluster (first run)"
  pwfile=$(mktemp)
  echo "$PASSWORD" > "$pwfile"
  if [ "$(id -u)" -eq 0 ]; then chown postgres "$pwfile"; chown -R postgres "$DEMO/run"; fi
  mkdir -p "$PGDATA"
  [ "$(id -u)" -eq 0 ] && chown postgres "$PGDATA"
  as_cluster_owner "$PGBIN/initdb" -D "$PGDATA" -U "$DB_USER" --pwfile="$pwfile" -E UTF8 --no-locale \
    --auth-local=scram-sha-256 --auth-host=scram-sha-256 >/dev/null
  rm -f "$pwfile"
  cat >> "$PGDATA/postgresql.conf" <<EOF
port = $PORT
listen_addresses = '127.0.0.1'
unix_socket_directories = '$DEMO/run'
EOF
fi
if ! as_cluster_owner "$PGBIN/pg_ctl" -D "$PGDATA" status >/dev/null 2>&1; then
  as_cluster_owner "$PGBIN/pg_ctl" -D "$PGDATA" -l "$PGDATA/server.log" -w start >/dev/null
  echo "started"
else
  echo "already running"
fi
export PGPASSWORD="$PASSWORD"
psql_admin() { psql -X -q -h 127.0.0.1 -p "$PORT" -U "$DB_USER" -v ON_ERROR_STOP=1 "$@"; }
if [ -z "$(psql_admin -d postgres -tAc "SELECT 1 FROM pg_database WHERE datname = '$DB_NAME'")" ]; then
  psql_admin -d postgres -c "CREATE DATABASE $DB_NAME"
fi
PGOPTIONS="-c client_min_messages=warning" psql_admin -d "$DB_NAME" -c "CREATE EXTENSION IF NOT EXISTS postgis"

step "Configuration (demo/config)"
CONFIG="$DEMO/config"
target_yaml() {
  printf '%s:\n  host: 127.0.0.1\n  port: %s\n  user: %s\n  password: %s\n  database: %s\n' \
    "$1" "$PORT" "$DB_USER" "$PASSWORD" "$DB_NAME"
}
{ target_yaml master; target_yaml local; } > "$CONFIG/database.yaml"
cat > "$CONFIG/vehicles/tandrel.yaml" <<'EOF'
# A mid-size electric car.
name: Tandrel
vehicle_mass_kg: 2100
battery_capacity_kwh: 77
base_consumption_wh_per_km: 165
regen_efficiency: 0.65
motor_efficiency: 0.9
aero_factor: 0.6
min_charge_kwh: 8
charge_target_pct: 0.8
max_charge_power_kw: 135
plug_types: [Type2, CCS]
EOF

step "Import $NAME"
GRAPH="$DEMO/$NAME.bin"
import_args=("$EXTRACT" --graph-file "$GRAPH" --database --config-dir "$CONFIG" --target local)
[ -n "$DEM_DIR" ] && import_args+=(--dem "$DEM_DIR")
[ -n "${DEMO_COUNTRY:-}" ] && import_args+=(--country "$DEMO_COUNTRY")
"$BUILD/bin/gravix-import" "${import_args[@]}"

# Start and end: Andorra la Vella (Plaça del Poble) and Pas de la Casa for Andorra; for other
# extracts DEMO_START/DEMO_END, or else the two settlements of the extract farthest apart.
if [ -z "${DEMO_START:-}" ] || [ -z "${DEMO_END:-}" ]; then
  if [ "$NAME" = "andorra-2025-01-19" ]; then
    DEMO_START="42.50630,1.52180"
    DEMO_END="42.54240,1.73340"
  else
    picked=$(psql_admin -d "$DB_NAME" -tA -F, -c "
      WITH p AS (SELECT lat, lon FROM address_points
                 WHERE category IN ('city', 'town', 'village', 'suburb', 'hamlet'))
      SELECT a.lat, a.lon, b.lat, b.lon FROM p a, p b
      ORDER BY (a.lat - b.lat)^2 + ((a.lon - b.lon) * cos(radians(a.lat)))^2 DESC LIMIT 1")
    if [ -z "$picked" ]; then
      picked=$(psql_admin -d "$DB_NAME" -tA -F, -c "
        SELECT (SELECT lat || ',' || lon FROM nodes ORDER BY lon LIMIT 1),
               (SELECT lat || ',' || lon FROM nodes ORDER BY lon DESC LIMIT 1)")
    fi
    IFS=, read -r s_lat s_lon e_lat e_lon <<<"$picked"
    DEMO_START="$s_lat,$s_lon"
    DEMO_END="$e_lat,$e_lon"
  fi
fi
cat > "$CONFIG/navigation.yaml" <<EOF
vehicle: tandrel
route:
  start:
    latitude: ${DEMO_START%,*}
    longitude: ${DEMO_START#*,}
  end:
    latitude: ${DEMO_END%,*}
    longitude: ${DEMO_END#*,}
  profile: car-fast
EOF
echo "route: ($DEMO_START) -> ($DEMO_END)"

step "Routes"
OUT="$DEMO/out"
rm -f "$OUT"/*.geojson "$OUT"/*.json
run_command() {
  local label=$1; shift
  echo "-- route-calculator $*"
  if [ "$route_calculator_built" != yes ]; then
    echo "   ($label: route-calculator is not built yet)"
    return 0
  fi
  local status=0
  "$BUILD/bin/route-calculator" "$@" || status=$?
  if [ $status -ne 0 ]; then echo "   ($label ended with status $status; the command may not be built yet)"; fi
}
run_command "calculate-fast car-fast" calculate-fast --graph-file "$GRAPH" --config-dir "$CONFIG" \
  --profile car-fast --output "$OUT/fast-car-fast.geojson"
run_command "calculate-fast car-short" calculate-fast --graph-file "$GRAPH" --config-dir "$CONFIG" \
  --profile car-short --output "$OUT/fast-car-short.geojson"
run_command "calculate" calculate --config-dir "$CONFIG" --target local --output "$OUT/calculate-car-fast.geojson"
run_command "analyse" analyse --config-dir "$CONFIG" --target local --output "$OUT/analysis.json"

step "Results"
found=no
for f in "$OUT"/*.geojson "$OUT"/*.json; do
  [ -e "$f" ] || continue
  echo "  $f"
  found=yes
done
[ $found = yes ] || echo "  (no result files were written)"
echo "Graph file: $GRAPH"
echo "Database:   postgresql://$DB_USER@127.0.0.1:$PORT/$DB_NAME (password in demo/password)"
echo "Map data (c) OpenStreetMap contributors, ODbL 1.0. Elevation: NASA SRTM."

#!/usr/bin/env bash
# Two pollers, one database: starts a throw-away PostgreSQL, two calculator simulators and
# two pollers ("north" and "south", each with its own data root), lets both copy what they
# store into the one database, shows a query over both nodes' records, and stops it all.
#   scripts/demo-db.sh                     work folder removed at the end
#   QST_DEMO_DB_DIR=/tmp/d scripts/demo-db.sh   kept there for a look afterwards
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build --target qst-cli qst-sim

KEEP=${QST_DEMO_DB_DIR:-}
WORK=${KEEP:-$(mktemp -d)}
rm -rf "$WORK/pg" "$WORK/north" "$WORK/south"
mkdir -p "$WORK"
chmod 0755 "$WORK" # the server's account must reach its folder inside
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null || true; done
    for p in "${PIDS[@]}"; do wait "$p" 2> /dev/null || true; done
    bash scripts/pg-temp.sh stop "$WORK/pg" || true
    [ -n "$KEEP" ] || rm -rf "$WORK"
}
trap cleanup EXIT

echo "== PostgreSQL (throw-away, socket in $WORK/pg)"
ADMIN_URL=$(bash scripts/pg-temp.sh start "$WORK/pg" 54329)
psql -q "$ADMIN_URL" -c "CREATE DATABASE heat"
URL="${ADMIN_URL%dbname=postgres}dbname=heat"
echo "   $URL"

start_sim() { # serial -> prints the pty path
    local out="$WORK/sim-$1.out"
    build/tools/qst-sim/qst-sim --calc 2 --serial "$1" --address 1 --baud 19200 --seed "$1" \
        > "$out" 2> "$WORK/sim-$1.log" &
    PIDS+=($!)
    for _ in $(seq 100); do
        [ -s "$out" ] && break
        sleep 0.1
    done
    head -n 1 "$out"
}

NEXT_MINUTE=$(date -d '+1 minute' +%H:%M)
declare -A SERIALS=([north]=41001 [south]=42001)
for node in north south; do
    serial=${SERIALS[$node]}
    tty=$(start_sim "$serial")
    [ -e "$tty" ] || { echo "demo-db: the simulator $serial did not start" >&2; exit 1; }
    CLI=(build/src/cli/qst-cli --data-dir "$WORK/$node")
    mkdir -p "$WORK/$node"
    "${CLI[@]}" meter add --name "Котельная $node" --serial "$serial" --address 1 --port 1 --devtype 2 \
        --schedule "$NEXT_MINUTE" > /dev/null
    "${CLI[@]}" port set 1 "$tty" --fast
    "${CLI[@]}" db set "$URL" --node "$node"
    echo "== $node: meter $serial on $tty, first poll (12 hours, a week of days, the journal)"
    "${CLI[@]}" poll --serial "$serial" --current \
        --hourly "$(date -d '12 hours ago' +%Y-%m-%dT%H:00)" "$(date +%Y-%m-%dT%H:%M)" \
        --daily "$(date -d '7 days ago' +%Y-%m-%d)" "$(date +%Y-%m-%d)" --journal 10 > "$WORK/$node-poll.log"
    grep '\[База данных\]' "$WORK/$node-poll.log" || true
done

echo "== both pollers run by schedule ($NEXT_MINUTE); waiting for their scheduled polls to reach the database"
STARTED=$(date '+%Y-%m-%d %H:%M:%S')
for node in north south; do
    build/src/cli/qst-cli --data-dir "$WORK/$node" run > "$WORK/$node-run.log" 2>&1 &
    PIDS+=($!)
done
for _ in $(seq 150); do
    n=$(psql -tA "$URL" -c "SELECT count(DISTINCT node) FROM current_history WHERE stored_at >= '$STARTED'")
    [ "$n" = 2 ] && break
    sleep 1
done
if [ "$n" != 2 ]; then
    echo "demo-db: the scheduled polls did not reach the database; logs in $WORK" >&2
    KEEP=$WORK
    exit 1
fi

echo "== one query over both nodes"
psql "$URL" -c "
SELECT m.node, m.serial, m.name,
       count(*) FILTER (WHERE r.kind = 'hourly') AS hourly,
       count(*) FILTER (WHERE r.kind = 'daily') AS daily,
       count(*) FILTER (WHERE r.kind = 'journal') AS journal,
       max(r.time) FILTER (WHERE r.kind = 'hourly') AS newest_hour
FROM meters m
JOIN (SELECT 'hourly' AS kind, node, serial, time FROM hourly
      UNION ALL SELECT 'daily', node, serial, time FROM daily
      UNION ALL SELECT 'journal', node, serial, time FROM journal) r USING (node, serial)
GROUP BY m.node, m.serial, m.name ORDER BY m.node"

for node in north south; do
    echo "== $node: qst-cli db status"
    build/src/cli/qst-cli --data-dir "$WORK/$node" db status
done
echo "== demo-db done"

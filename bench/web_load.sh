#!/bin/bash
# The portal under load while the service polls: `qst-cli run --listen` reads a simulated
# calculator's missing hours on a pseudo-terminal; the hours read per second are counted over
# equal windows without web load, with 50 clients of wrk (the meters list and a month of
# hourly records, 25 connections each), and without load again. Prints a table.
# Usage: bench/web_load.sh [BUILD_DIR]   (needs wrk; runs some two and a half minutes)
set -euo pipefail

BUILD=${1:-build}
CLI_BIN=$BUILD/src/cli/qst-cli
SIM_BIN=$BUILD/tools/qst-sim/qst-sim
WINDOW=${QST_LOAD_WINDOW:-30}
SERIAL=40001
for tool in "$CLI_BIN" "$SIM_BIN"; do
    [ -x "$tool" ] || { echo "web_load: build $tool first" >&2; exit 2; }
done
command -v wrk > /dev/null || { echo "web_load: wrk is not installed" >&2; exit 2; }

WORK=$(mktemp -d)
SIM_PID=
RUN_PID=
cleanup() {
    for pid in $RUN_PID $SIM_PID; do
        kill "$pid" 2> /dev/null || true
        wait "$pid" 2> /dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

"$SIM_BIN" --calc 2 --serial "$SERIAL" --address 1 --baud 19200 --seed 7 > "$WORK/sim.out" 2> "$WORK/sim.log" &
SIM_PID=$!
for _ in $(seq 100); do
    [ -s "$WORK/sim.out" ] && break
    sleep 0.1
done
TTY=$(head -n 1 "$WORK/sim.out")
[ -e "$TTY" ] || { echo "web_load: the simulator did not start" >&2; cat "$WORK/sim.log" >&2; exit 1; }

DATA=$WORK/data
CLI=("$CLI_BIN" --data-dir "$DATA")
mkdir -p "$DATA"
"${CLI[@]}" meter add --name "Нагрузка" --serial "$SERIAL" --address 1 --port 1 --devtype 2 > /dev/null
"${CLI[@]}" port set 1 "$TTY" > /dev/null
# Collection begins 40 days back: every hour since is missing, enough to read through all windows.
START=$(date -d '40 days ago' +%Y-%m-%dT%H:00)
"${CLI[@]}" poll --serial "$SERIAL" --hourly "$START" "$(date -d "$START 1 hour" +%Y-%m-%dT%H:%M)" \
    --timeout 120 > "$WORK/seed.log"
echo "load password" | "${CLI[@]}" user add load --role operator > /dev/null
TOKEN=$("${CLI[@]}" user token load | tail -n 1)

PORT=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# All of wrk's clients come from one address: the per-address limit is lifted for them.
"${CLI[@]}" run --listen "127.0.0.1:$PORT" --rate-limit 0 > "$WORK/run.log" 2>&1 &
RUN_PID=$!
BASE=http://127.0.0.1:$PORT
AUTH="Authorization: Bearer $TOKEN"
for _ in $(seq 100); do
    curl -sf -o /dev/null -H "$AUTH" "$BASE/api/v1/meters" && break
    sleep 0.1
done
status=$(curl -s -o /dev/null -w '%{http_code}' -X POST -H "$AUTH" -H 'Content-Type: application/json' \
    -d '{"what":"gaps"}' "$BASE/api/v1/meters/$SERIAL/read")
[ "$status" = 202 ] || { echo "web_load: the gap read was not started ($status)" >&2; cat "$WORK/run.log" >&2; exit 1; }

hours() { cat "$DATA"/DATA/HA$SERIAL/*.dat 2> /dev/null | wc -l; }
sleep 5 # past the first requests' start-up
window() { # prints the hours read in one window of WINDOW seconds
    local before after
    before=$(hours)
    sleep "$WINDOW"
    after=$(hours)
    echo $((after - before))
}
QUIET1=$(window)

# The period the gap read fills: the records grow while the clients ask.
FROM=$(date -d '41 days ago' +%Y-%m-%d)
TO=$(date +%Y-%m-%d)
LOAD_AVERAGE=$(cut -d' ' -f1-3 /proc/loadavg)
before=$(hours)
wrk -t1 -c25 -d"${WINDOW}s" --latency -H "$AUTH" "$BASE/api/v1/meters" > "$WORK/wrk-meters.txt" &
WRK1=$!
wrk -t1 -c25 -d"${WINDOW}s" --latency -H "$AUTH" \
    "$BASE/api/v1/meters/$SERIAL/records?kind=hourly&from=$FROM&to=$TO" > "$WORK/wrk-records.txt" &
WRK2=$!
wait "$WRK1" "$WRK2"
LOADED=$(($(hours) - before))

QUIET2=$(window)

errors() { # non-2xx answers plus socket errors of one wrk report
    local non2xx socket
    non2xx=$(sed -n 's/.*Non-2xx or 3xx responses: *\([0-9]*\).*/\1/p' "$1")
    socket=$(sed -n 's/.*Socket errors: connect \([0-9]*\), read \([0-9]*\), write \([0-9]*\), timeout \([0-9]*\).*/\1 \2 \3 \4/p' "$1")
    echo $((${non2xx:-0} + $(echo "${socket:-0}" | tr ' ' '+' | bc)))
}
p99() { awk '$1 == "99%" { print $2 }' "$1"; }
requests() { awk '/requests in/ { print $1 }' "$1"; }

echo
echo "load average when the clients started: $LOAD_AVERAGE"
printf '%-44s %10s %8s %10s\n' "wrk, 25 connections each, ${WINDOW} s" requests errors p99
printf '%-44s %10s %8s %10s\n' "GET /api/v1/meters" "$(requests "$WORK/wrk-meters.txt")" \
    "$(errors "$WORK/wrk-meters.txt")" "$(p99 "$WORK/wrk-meters.txt")"
printf '%-44s %10s %8s %10s\n' "GET records, 41 days hourly" "$(requests "$WORK/wrk-records.txt")" \
    "$(errors "$WORK/wrk-records.txt")" "$(p99 "$WORK/wrk-records.txt")"
for report in "$WORK"/wrk-*.txt; do # what the errors were, if any
    grep -E 'Non-2xx|Socket errors' "$report" | sed "s|^|${report##*/}: |" || true
done
echo
printf '%-44s %10s\n' "hours read by the service per ${WINDOW} s" ""
printf '%-44s %10s\n' "no web load (before)" "$QUIET1"
printf '%-44s %10s\n' "50 clients of wrk" "$LOADED"
printf '%-44s %10s\n' "no web load (after)" "$QUIET2"
if [ "$LOADED" -gt 0 ] && [ $((QUIET1 + QUIET2)) -gt 0 ]; then
    printf '%-44s %10s\n' "per-hour time under load (goal <= 1.05x)" \
        "$(echo "scale=3; (($QUIET1 + $QUIET2) / 2) / $LOADED" | bc)x"
else
    echo "web_load: no hours were read in a window; see $WORK/run.log" >&2
    cat "$WORK/run.log" >&2
    exit 1
fi

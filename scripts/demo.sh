#!/usr/bin/env bash
# The main job end to end: builds the archiver, starts the calculator simulator on a
# pseudo-terminal, registers it as a meter and polls it as an operator would (current
# values, two days of hourly records, a month of daily ones, a year of monthly ones and the
# journal), then shows what landed in the data root and opens the web portal on it.
#   scripts/demo.sh                 data root ./demo-data (recreated), the portal, then the
#                                   desktop application on it while the simulator still runs
#   scripts/demo.sh --no-gui        no desktop application (also when there is no display):
#                                   the portal runs until Ctrl+C
#   scripts/demo.sh --no-portal     no portal (with --no-gui: stops after the documents)
#   QST_DEMO_DIR=/tmp/d QST_DEMO_PORT=8081 scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

GUI=1
PORTAL=1
for arg in "$@"; do
    case "$arg" in
    --no-gui) GUI=0 ;;
    --no-portal) PORTAL=0 ;;
    *) echo "usage: scripts/demo.sh [--no-gui] [--no-portal]" >&2; exit 2 ;;
    esac
done
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || GUI=0

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build build --target qst-cli qst-sim qst-archiver

DEMO=${QST_DEMO_DIR:-$PWD/demo-data}
SERIAL=40001
rm -rf "$DEMO"
mkdir -p "$DEMO"
SIM_OUT=$(mktemp)
SIM_LOG=$(mktemp)

build/tools/qst-sim/qst-sim --calc 2 --serial "$SERIAL" --address 1 --baud 19200 --seed 7 \
    > "$SIM_OUT" 2> "$SIM_LOG" &
SIM_PID=$!
PORTAL_PID=
cleanup() {
    if [ -n "$PORTAL_PID" ]; then
        kill "$PORTAL_PID" 2> /dev/null || true
        wait "$PORTAL_PID" 2> /dev/null || true
    fi
    kill "$SIM_PID" 2> /dev/null || true
    wait "$SIM_PID" 2> /dev/null || true
    rm -f "$SIM_OUT" "$SIM_LOG"
}
trap cleanup EXIT

for _ in $(seq 100); do
    [ -s "$SIM_OUT" ] && break
    sleep 0.1
done
TTY=$(head -n 1 "$SIM_OUT")
if [ ! -e "$TTY" ]; then
    echo "demo: the simulator did not start:" >&2
    cat "$SIM_LOG" >&2
    exit 1
fi
echo "== simulator (QST-5.4.4, serial $SERIAL) on $TTY"

CLI=(build/src/cli/qst-cli --data-dir "$DEMO")
"${CLI[@]}" meter add --name "Котельная №1 (демо)" --serial "$SERIAL" --address 1 --port 1 --devtype 2 \
    --schedule 08:00,20:00 > /dev/null
"${CLI[@]}" port set 1 "$TTY"
"${CLI[@]}" meter list

echo "== polling"
"${CLI[@]}" poll --serial "$SERIAL" --current \
    --hourly "$(date -d '2 days ago' +%Y-%m-%dT%H:00)" "$(date +%Y-%m-%dT%H:%M)" \
    --daily "$(date -d '1 month ago' +%Y-%m-%d)" "$(date +%Y-%m-%d)" \
    --monthly "$(date -d '1 year ago' +%Y-%m-%d)" "$(date +%Y-%m-%d)" \
    --journal 20 --timeout 900 | tee "$DEMO/poll.log"

echo "== files in $DEMO"
status=0
check() { # kind pattern
    local found=0
    for f in $2; do
        [ -f "$f" ] || continue
        found=1
        if [ ! -s "$f" ]; then
            echo "demo: $f is empty" >&2
            status=1
        fi
        printf '  %-45s %6d lines\n' "${f#$DEMO/}" "$(wc -l < "$f")"
    done
    if [ "$found" = 0 ]; then
        echo "demo: no $1 file ($2)" >&2
        status=1
    fi
}
check "current-values" "$DEMO/DATA/$SERIAL.dat"
check "history" "$DEMO/DATA/CV$SERIAL/*.dat"
check "hourly" "$DEMO/DATA/HA$SERIAL/*.dat"
check "daily" "$DEMO/DATA/DA$SERIAL/*.dat"
check "monthly" "$DEMO/DATA/MA$SERIAL/MA.dat"
check "journal" "$DEMO/DATA/J$SERIAL/J.dat"
if ! grep -q "считана успешно" "$DEMO/poll.log"; then
    echo "demo: no archive record was read" >&2
    status=1
fi

echo "== documents"
PDF=()
if command -v soffice > /dev/null; then PDF=(--pdf "$DEMO/statement.pdf"); fi
"${CLI[@]}" report --serial "$SERIAL" --statement --system 1 --from "$(date -d '28 days ago' +%Y-%m-%d)" \
    --to "$(date -d yesterday +%Y-%m-%d)" --yes --out "$DEMO/statement.docx" "${PDF[@]}" || status=1
"${CLI[@]}" report --serial "$SERIAL" --kind hourly --system 1 --items 0,1,2,7,8,12,13 --faults \
    --from "$(date -d '2 days ago' +%Y-%m-%d)" --to "$(date -d yesterday +%Y-%m-%d)" --yes \
    --out "$DEMO/hourly-protocol.docx" || status=1

# ---- Scheduled statement by mail: a local SMTP server saves each mail in $DEMO/mailbox.
echo "== a scheduled statement arriving by mail"
MAIL_PID=
if /usr/bin/python3 -c "import aiosmtpd" 2> /dev/null; then
    rm -rf "$DEMO/mailbox" "$DEMO/smtp.port"
    /usr/bin/python3 tests/notify/smtp_sink.py "$DEMO/mailbox" "$DEMO/smtp.port" &
    MAIL_PID=$!
    for _ in $(seq 50); do [ -s "$DEMO/smtp.port" ] && break; sleep 0.1; done
    "${CLI[@]}" mail set --host 127.0.0.1 --port "$(cat "$DEMO/smtp.port")" --security none \
        --from archiver@example.org || status=1
    "${CLI[@]}" meter set "$SERIAL" --mail consumer@example.org || status=1
    "${CLI[@]}" schedule del weekly > /dev/null 2>&1 || true
    "${CLI[@]}" schedule add weekly --kind statement --system 1 --group 0 --period previous-week \
        --at "1 06:00" --out-dir "$DEMO/scheduled" --mail office@example.org || status=1
    "${CLI[@]}" schedule run weekly || status=1
    kill "$MAIL_PID" 2> /dev/null || true
    echo "   mailbox $DEMO/mailbox (each mail as NNN.eml, its attachments in NNN/):"
    ls -R "$DEMO/mailbox" | sed 's/^/     /'
else
    echo "   (python3-aiosmtpd is not installed: skipped)"
fi

if [ "$status" = 0 ]; then
    echo "== done: the archive of meter $SERIAL is in $DEMO (Tree.ini and DATA/), its documents beside it"
    echo "   e.g. build/src/cli/qst-cli --data-dir $DEMO report-rows --serial $SERIAL --kind daily --system 1 \\"
    echo "        --from $(date -d '10 days ago' +%Y-%m-%d) --to $(date -d 'yesterday' +%Y-%m-%d) --items 0,1,2,7,8,12,13"
fi
port_busy() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }
if [ "$status" = 0 ] && [ "$PORTAL" = 1 ]; then
    # A demo account with a fresh random password, and the portal on loopback beside the data.
    PORT=${QST_DEMO_PORT:-8080}
    for _ in $(seq 20); do
        port_busy "$PORT" || break
        PORT=$((PORT + 1))
    done
    PASSWORD=$(head -c 12 /dev/urandom | base64 | tr -d '/+=' | head -c 14)
    "${CLI[@]}" user add demo --role admin <<< "$PASSWORD" > /dev/null
    (umask 077 && printf 'demo %s\n' "$PASSWORD" > "$DEMO/portal-account.txt")
    "${CLI[@]}" serve --listen "127.0.0.1:$PORT" > "$DEMO/portal.log" 2>&1 &
    PORTAL_PID=$!
    for _ in $(seq 100); do
        port_busy "$PORT" && break
        kill -0 "$PORTAL_PID" 2> /dev/null || break
        sleep 0.1
    done
    if ! port_busy "$PORT"; then
        echo "demo: the portal did not start:" >&2
        cat "$DEMO/portal.log" >&2
        status=1
    else
        echo "== the web portal: http://127.0.0.1:$PORT/"
        echo "   user: demo   password: $PASSWORD   (also in $DEMO/portal-account.txt)"
        echo "   open the meter, tab \"Документы\", \"Ведомость учета отпуска тепловой энергии\", \"Запуск\""
    fi
fi
if [ "$status" = 0 ] && [ "$GUI" = 1 ]; then
    echo "== the desktop application on $DEMO (the simulator keeps answering on port 1; close the window to end)"
    build/src/app/qst-archiver --data-dir "$DEMO" || status=$?
elif [ "$status" = 0 ] && [ -n "$PORTAL_PID" ]; then
    echo "== the portal runs until Ctrl+C"
    wait "$PORTAL_PID" || true
fi
exit $status

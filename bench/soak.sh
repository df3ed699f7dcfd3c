#!/usr/bin/env bash
# A soak of the polling service: shared buses of simulated calculators, qst-cli run with
# the database copy on, sampled every 10 s; at the end the gap check and the database rows
# against the files. Not a CI test: it runs for minutes to hours.
#
#   bench/soak.sh [--meters N] [--minutes M] [--per-bus K] [--every E] [--link pty|tcp] [--fast]
#                 [--keep] [--out DIR] [--sweep N1,N2,...] [--bin DIR]
#
#   --meters N     calculators in all (default 512), K on each bus (default 32): ceil(N/K) ports
#   --minutes M    how long the service runs once the first schedule is due (default 30)
#   --every E      each meter is polled every E minutes, the meters' minutes spread evenly over
#                  those E minutes (default 60: schedules spread over the hour)
#   --link         pseudo-terminals (default) or loopback TCP, one simulator per port
#   --fast         length-aware framing (port set --fast); default: the silence framing
#   At the window's end the service is stopped; status --check then names the meters whose
#   calculators hold records not read yet (polled before the hour's record was made, or cut
#   by the stop), and one poll --fill-gaps each (one after another: a poll holds the data
#   root, as the service does) reads them; status
#   --check again must exit 0, and the database must hold exactly the files' lines.
#   --keep         keep the work folder (data root, logs; the database is stopped)
#   --out DIR      where the tables and the plot go (default build/soak); summary.csv there
#                  collects every run, so runs of several sizes make one plot
#   --sweep LIST   one run per size, e.g. 64,128,256,512, then the plot
#   --plot-only    only the table and the plot of the runs in DIR/summary.csv
#   --bin DIR      qst-cli and qst-sim from DIR (a copy of a build, so that rebuilding during
#                  a long run does not replace the programs under it)
#
# Needs a build in build/ (qst-cli, qst-sim), PostgreSQL's server programs and gnuplot.
# Run it under nice on a shared machine. Writes per run: samples-N.csv (every 10 s),
# run-N.log, and a row of summary.csv; then summary.md and cost.png of all rows.
set -euo pipefail
cd "$(dirname "$0")/.."

METERS=512 MINUTES=30 PER_BUS=32 EVERY=60 LINK=pty FAST="" OUT=build/soak SWEEP="" KEEP="" PLOT_ONLY="" BIN=""
while [ $# -gt 0 ]; do
    case "$1" in
    --meters) METERS=$2; shift 2 ;;
    --minutes) MINUTES=$2; shift 2 ;;
    --per-bus) PER_BUS=$2; shift 2 ;;
    --every) EVERY=$2; shift 2 ;;
    --link) LINK=$2; shift 2 ;;
    --fast) FAST=--fast; shift ;;
    --keep) KEEP=1; shift ;;
    --out) OUT=$2; shift 2 ;;
    --sweep) SWEEP=$2; shift 2 ;;
    --plot-only) PLOT_ONLY=1; shift ;;
    --bin) BIN=$(realpath "$2"); shift 2 ;;
    -h|--help) sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak: unknown option $1" >&2; exit 2 ;;
    esac
done
case "$LINK" in pty|tcp) ;; *) echo "soak: --link pty or tcp" >&2; exit 2 ;; esac
[ "$PER_BUS" -ge 1 ] && [ "$PER_BUS" -le 247 ] || { echo "soak: --per-bus 1..247" >&2; exit 2; }
[ "$EVERY" -ge 1 ] && [ $((1440 % EVERY)) -eq 0 ] || { echo "soak: --every must divide a day (1440 minutes)" >&2; exit 2; }

CLI_BIN=${BIN:-$PWD/build/src/cli}/qst-cli
SIM_BIN=${BIN:-$PWD/build/tools/qst-sim}/qst-sim
for b in "$CLI_BIN" "$SIM_BIN"; do
    [ -x "$b" ] || { echo "soak: $b not built (cmake --build build --target qst-cli qst-sim)" >&2; exit 1; }
done
command -v gnuplot > /dev/null || { echo "soak: gnuplot not installed (scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$OUT"
OUT=$(realpath "$OUT")
HZ=$(getconf CLK_TCK)

# Processor ticks (user + system) of a process; 0 once it is gone.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2> /dev/null || echo 0; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2> /dev/null || echo 0; }
fds() { { ls "/proc/$1/fd" 2> /dev/null || true; } | wc -l; }
# Archive lines stored: hourly, daily, monthly, journal.
stored() {
    local n=0 kind c
    for kind in HA DA MA J; do
        c=$(find "$1/DATA" -path "$1/DATA/$kind[0-9]*" -name '*.dat' -exec cat {} + 2> /dev/null | wc -l)
        n=$((n + c))
    done
    echo "$n"
}
# The same texts the service counts as a failed step.
FAILURES='\] (Не удалось|Невозможно|Серийный номер подключенного прибора|Модем не отвечает|Соединение не установлено)'

soak_one() {
    local meters=$1
    local ports=$(( (meters + PER_BUS - 1) / PER_BUS ))
    [ "$ports" -le 64 ] || { echo "soak: at most 64 ports ($meters meters, $PER_BUS per bus)" >&2; return 1; }
    work=""
    work=$(mktemp -d /tmp/qst-soak.XXXXXX)
    chmod 0755 "$work" # the server's account must reach its folder inside
    root=$work/root pids=() cli_pid="" pgport=$((54400 + $$ % 400))
    mkdir -p "$root"
    cleanup_one() {
        [ -n "$cli_pid" ] && kill "$cli_pid" 2> /dev/null || true
        for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
        for p in "${pids[@]}"; do wait "$p" 2> /dev/null || true; done
        bash scripts/pg-temp.sh stop "$work/pg" > /dev/null 2>&1 || true
        if [ -n "$KEEP" ]; then echo "   kept: $work"; else rm -rf "$work"; fi
    }
    trap cleanup_one EXIT
    trap 'exit 143' TERM INT

    echo "== $meters meters on $ports ports ($LINK, $PER_BUS per bus), polled every $EVERY min, $MINUTES min"
    local admin url
    admin=$(bash scripts/pg-temp.sh start "$work/pg" "$pgport")
    psql -q "$admin" -c "CREATE DATABASE soak"
    url="${admin%dbname=postgres}dbname=soak"
    local cli=("$CLI_BIN" --data-dir "$root")

    # Simulators: one per port, serials 30000 + i on addresses 1..K.
    local sim_pids=() p i
    for ((p = 1; p <= ports; p++)); do
        local bus="" out="$work/sim-$p.out"
        for ((i = (p - 1) * PER_BUS; i < p * PER_BUS && i < meters; i++)); do
            bus+="${bus:+,}$((30000 + i))@$((i % PER_BUS + 1))"
        done
        local where=()
        [ "$LINK" = tcp ] && where=(--tcp-listen 127.0.0.1:0)
        "$SIM_BIN" --calc 2 --bus "$bus" --baud 19200 --latency-ms 20 --seed "$p" "${where[@]}" \
            > "$out" 2> "$work/sim-$p.log" &
        pids+=($!)
        sim_pids+=($!)
        for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.1; done
        [ -s "$out" ] || { echo "soak: simulator $p did not start: $(cat "$work/sim-$p.log")" >&2; return 1; }
        "${cli[@]}" port set "$p" "$(head -n 1 "$out")" $FAST > /dev/null
    done

    # Meters: the first schedule a minute or two after registration ends (time to start the
    # service), the meters' minutes spread evenly over the period.
    local reg_estimate=$(( meters / 20 + 2 )) # seconds, one qst-cli call per meter
    local base=$(( ($(date +%s) + reg_estimate + 60) / 60 + 1 ))
    # Schedules are local times of day.
    local base_of_day=$(( 10#$(date -d "@$((base * 60))" +%H) * 60 + 10#$(date -d "@$((base * 60))" +%M) ))
    for ((i = 0; i < meters; i++)); do
        local offset=$(( (base_of_day + i * EVERY / meters) % EVERY )) items=() t item
        for ((t = offset; t < 1440; t += EVERY)); do
            printf -v item '%02d:%02d' $((t / 60)) $((t % 60))
            items+=("$item")
        done
        local sched
        sched=$(IFS=,; echo "${items[*]}")
        "${cli[@]}" meter add --name "Потребитель $i" --serial $((30000 + i)) --address $((i % PER_BUS + 1)) \
            --port $((i / PER_BUS + 1)) --devtype 2 --schedule "$sched" > /dev/null
    done
    "${cli[@]}" db set "$url" --node soak > /dev/null
    "${cli[@]}" db init > /dev/null

    local first_due=$((base * 60)) now
    now=$(date +%s)
    if [ "$now" -ge "$first_due" ]; then
        echo "soak: registering took longer than planned; the first schedule has passed" >&2
    fi
    "${cli[@]}" run > "$work/run.log" 2>&1 &
    cli_pid=$!
    local end=$((first_due + MINUTES * 60))
    echo "   service started $(date +%T); first schedule $(date -d "@$first_due" +%T); ends $(date -d "@$end" +%T)"

    local samples="$OUT/samples-$meters.csv"
    echo "seconds,records,records_per_s,cli_cpu_pct,sims_cpu_pct,busy_ports,cli_cpu_pct_per_busy_port,rss_kb,fds,failed" \
        > "$samples"
    local t0 prev_t prev_rec prev_cli prev_sims=0 prev_lines=0 rss_start="" fds_start="" cpu_sum=0 per_port_sum=0 \
        busy_samples=0 n_samples=0 rss_max=0 fds_max=0
    t0=$(date +%s.%N)
    prev_t=$t0
    prev_rec=$(stored "$root")
    local rec_start=$prev_rec rec_first_due=""
    prev_cli=$(ticks "$cli_pid")
    for p in "${sim_pids[@]}"; do prev_sims=$((prev_sims + $(ticks "$p"))); done
    while [ "$(date +%s)" -lt "$end" ]; do
        sleep 10
        kill -0 "$cli_pid" 2> /dev/null || { echo "soak: qst-cli run ended early; see $work/run.log" >&2; cat "$work/run.log" >&2; return 1; }
        local t rec c s=0 lines busy rss fd failed dt
        t=$(date +%s.%N)
        rec=$(stored "$root")
        c=$(ticks "$cli_pid")
        for p in "${sim_pids[@]}"; do s=$((s + $(ticks "$p"))); done
        lines=$(wc -l < "$work/run.log")
        busy=$(sed -n "$((prev_lines + 1)),${lines}p" "$work/run.log" | { grep -o '^\[Порт: [0-9]*\]' || true; } | sort -u | wc -l)
        rss=$(rss_kb "$cli_pid")
        fd=$(fds "$cli_pid")
        failed=$(grep -cE "$FAILURES" "$work/run.log" || true)
        [ -n "$rss_start" ] || { rss_start=$rss; fds_start=$fd; }
        [ -n "$rec_first_due" ] || [ "$(date +%s)" -lt "$first_due" ] || rec_first_due=$prev_rec
        dt=$(echo "$t - $prev_t" | bc -l)
        local rps cpu scpu per_port="" 
        rps=$(echo "($rec - $prev_rec) / $dt" | bc -l)
        cpu=$(echo "100 * ($c - $prev_cli) / $HZ / $dt" | bc -l)
        scpu=$(echo "100 * ($s - $prev_sims) / $HZ / $dt" | bc -l)
        if [ "$busy" -gt 0 ]; then
            per_port=$(echo "$cpu / $busy" | bc -l)
            per_port_sum=$(echo "$per_port_sum + $per_port" | bc -l)
            busy_samples=$((busy_samples + 1))
        fi
        cpu_sum=$(echo "$cpu_sum + $cpu" | bc -l)
        n_samples=$((n_samples + 1))
        [ "$rss" -gt "$rss_max" ] && rss_max=$rss
        [ "$fd" -gt "$fds_max" ] && fds_max=$fd
        printf '%.0f,%d,%.2f,%.2f,%.2f,%d,%s,%d,%d,%d\n' "$(echo "$t - $t0" | bc -l)" "$rec" "$rps" "$cpu" "$scpu" \
            "$busy" "${per_port:+$(printf '%.3f' "$per_port")}" "$rss" "$fd" "$failed" >> "$samples"
        prev_t=$t prev_rec=$rec prev_cli=$c prev_sims=$s prev_lines=$lines
    done
    local rec_window_end=$prev_rec
    local rss_end fds_end failed records
    rss_end=$(rss_kb "$cli_pid")
    fds_end=$(fds "$cli_pid")
    failed=$(grep -cE "$FAILURES" "$work/run.log" || true)
    records=$(( rec_window_end - ${rec_first_due:-$rec_start} ))
    # SIGTERM: the service sends what waits (up to 10 s) and ends.
    kill -TERM "$cli_pid"
    wait "$cli_pid" || true
    cli_pid=""

    # What the calculators made after each meter's last poll: named by the check, read once.
    local check_window=0 lagging=() s
    "${cli[@]}" status --check > "$work/check-window.txt" 2>&1 || check_window=$?
    read -r -a lagging <<< "$(sed -n 's/^[A-Z]* - [0-9]* of [0-9]* meters [a-z ]*: \([0-9 ]*\).*/\1/p' "$work/check-window.txt")"
    local catchup_start
    catchup_start=$(date +%s)
    # One at a time: a poll holds the data root as the service does.
    for s in "${lagging[@]}"; do
        echo "== $s" >> "$work/catchup.log"
        "${cli[@]}" poll --serial "$s" --fill-gaps --timeout 600 >> "$work/catchup.log" 2>&1 \
            || echo "catch-up of $s failed" >> "$work/catchup-failed.log"
    done
    local catchup_failed=0
    [ -f "$work/catchup-failed.log" ] && catchup_failed=$(wc -l < "$work/catchup-failed.log")
    echo "   after the window: status --check $check_window, ${#lagging[@]} meters behind their calculators;" \
        "caught up in $(( $(date +%s) - catchup_start )) s ($catchup_failed failed)"
    local check=0
    "${cli[@]}" status --check > "$work/check.txt" 2>&1 || check=$?
    "${cli[@]}" db status > "$work/db-status.txt" 2>&1 || true
    "${cli[@]}" status > "$OUT/status-$meters.txt" 2>&1 || true
    cp "$work/check.txt" "$OUT/check-$meters.txt"
    cp "$work/check-window.txt" "$OUT/check-window-$meters.txt"
    cp "$work/catchup.log" "$OUT/catchup-$meters.log" 2> /dev/null || true

    local kind files_total=0 rows_total=0 mismatch=""
    for kind in hourly:HA daily:DA monthly:MA journal:J current_history:CV; do
        local table=${kind%%:*} prefix=${kind##*:} files rows
        files=$(find "$root/DATA" -path "$root/DATA/$prefix[0-9]*" -name '*.dat' -exec cat {} + 2> /dev/null | wc -l)
        rows=$(psql -tA "$url" -c "SELECT count(*) FROM $table WHERE node = 'soak'")
        files_total=$((files_total + files))
        rows_total=$((rows_total + rows))
        [ "$files" = "$rows" ] || mismatch+="$table: $rows rows, $files lines; "
    done
    cp "$work/run.log" "$OUT/run-$meters.log"

    local busy_per_port mean_cpu rps_mean
    mean_cpu=$(echo "$cpu_sum / $n_samples" | bc -l)
    busy_per_port=$([ "$busy_samples" -gt 0 ] && echo "$per_port_sum / $busy_samples" | bc -l || echo 0)
    rps_mean=$(echo "$records / ($MINUTES * 60)" | bc -l)
    [ -f "$OUT/summary.csv" ] || echo "meters,ports,link,framing,every_min,minutes,records,records_per_s,cli_cpu_pct,cli_cpu_pct_per_busy_port,rss_start_kb,rss_end_kb,rss_max_kb,fds_start,fds_end,fds_max,failed,check_exit,files_lines,db_rows,date,check_after_window,caught_up" > "$OUT/summary.csv"
    printf '%d,%d,%s,%s,%d,%d,%d,%.2f,%.2f,%.3f,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%s,%d,%d\n' "$meters" "$ports" "$LINK" \
        "$([ -n "$FAST" ] && echo length || echo silence)" "$EVERY" "$MINUTES" "$records" "$rps_mean" "$mean_cpu" "$busy_per_port" \
        "$rss_start" "$rss_end" "$rss_max" "$fds_start" "$fds_end" "$fds_max" "$failed" "$check" "$files_total" \
        "$rows_total" "$(date -u +%FT%TZ)" "$check_window" "${#lagging[@]}" >> "$OUT/summary.csv"
    echo "   records $records ($(printf '%.2f' "$rps_mean")/s), qst-cli $(printf '%.2f' "$mean_cpu") % of a core" \
        "($(printf '%.3f' "$busy_per_port") % per busy port), RSS ${rss_start}->${rss_end} kB (max $rss_max)," \
        "fds ${fds_start}->${fds_end} (max $fds_max), failed $failed, status --check $check: $(head -n 1 "$work/check.txt")"
    if [ -n "$mismatch" ]; then
        echo "   database against the files: $mismatch" >&2
    else
        echo "   database rows equal the files' lines: $rows_total"
    fi
    trap - EXIT
    cleanup_one
}

plot() {
    local csv=$OUT/summary.csv
    {
        echo "| Meters | Ports | Link, framing | Polled every | Minutes | Records | Records/s | qst-cli CPU (% of a core) | per busy port | RSS start → end (max), MB | fds start → end (max) | Failed | status --check: after the window → after the catch-up (meters caught up) | DB rows = files |"
        echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
        tail -n +2 "$csv" | while IFS=, read -r m pt l f e mi r rps cpu pp rs re rm fs fe fm fl ck fl_lines rows _ ckw up; do
            local checks="$ck (no catch-up)"
            [ -n "$ckw" ] && checks="$ckw → $ck ($up)"
            printf '| %s | %s | %s, %s | %s min | %s | %s | %s | %s | %s | %.1f → %.1f (%.1f) | %s → %s (%s) | %s | %s | %s |\n' \
                "$m" "$pt" "$l" "$f" "$e" "$mi" "$r" "$rps" "$cpu" "$pp" "$(echo "$rs/1024" | bc -l)" \
                "$(echo "$re/1024" | bc -l)" "$(echo "$rm/1024" | bc -l)" "$fs" "$fe" "$fm" "$fl" "$checks" \
                "$([ "$fl_lines" = "$rows" ] && echo "yes ($rows)" || echo "no: $rows rows, $fl_lines lines")"
        done
    } > "$OUT/summary.md"
    gnuplot <<GP
set terminal pngcairo size 800,480 font "DejaVu Sans,10"
set output "$OUT/cost.png"
set datafile separator ","
set key outside bottom center horizontal
set title "qst-cli run: cost against the number of meters"
set xlabel "meters"
set logscale x 2
set xtics (64, 128, 256, 512)
set xrange [48:700]
set ylabel "processor, % of one core"
set y2label "resident memory, MB; open fds"
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:*]
plot "$csv" using 1:9 with linespoints pt 7 title "qst-cli CPU, % of a core", \
     "$csv" using 1:10 with linespoints pt 6 title "per busy port", \
     "$csv" using 1:(\$13/1024) axes x1y2 with linespoints pt 5 title "RSS max, MB", \
     "$csv" using 1:16 axes x1y2 with linespoints pt 9 title "open fds, max"
GP
    echo "== $OUT/summary.md, $OUT/cost.png"
}

if [ -n "$PLOT_ONLY" ]; then
    :
elif [ -n "$SWEEP" ]; then
    for n in ${SWEEP//,/ }; do soak_one "$n"; done
else
    soak_one "$METERS"
fi
plot

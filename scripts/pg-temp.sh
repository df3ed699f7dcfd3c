#!/usr/bin/env bash
# A throw-away PostgreSQL server in a folder of its own, reached by a Unix socket in that
# folder: for the tests and the demo, never for production data.
#   scripts/pg-temp.sh start DIR [PORT]   initdb (first time) and start; prints the libpq URL
#   scripts/pg-temp.sh stop DIR           fast shutdown (waits)
#   scripts/pg-temp.sh kill DIR           immediate shutdown, as a crash would
#   scripts/pg-temp.sh url DIR            the libpq URL of the bootstrap user "qst"
# Root may not run the server: as root the server runs as the "postgres" account, and DIR
# is handed to it.
set -euo pipefail

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop|kill|url DIR [PORT]" >&2; exit 2; }

bindir=""
for d in /usr/lib/postgresql/*/bin; do
    [ -x "$d/initdb" ] && bindir=$d
done
if [ -z "$bindir" ]; then
    echo "pg-temp: PostgreSQL server programs not found (apt-get install postgresql)" >&2
    exit 1
fi

as_server() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

dir=$(realpath -m "$dir")
data="$dir/data"
portfile="$dir/port"

case "$cmd" in
start)
    port=${3:-$( [ -f "$portfile" ] && cat "$portfile" || echo 5432 )}
    mkdir -p "$dir"
    echo "$port" > "$portfile"
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres "$dir"
        # the socket folder must be reachable by other accounts
        chmod 0755 "$dir"
        runuser -u postgres -- test -x "$dir" \
            || { echo "pg-temp: the postgres account cannot reach $dir (a parent folder is closed)" >&2; exit 1; }
    fi
    if [ ! -f "$data/PG_VERSION" ]; then
        as_server "$bindir/initdb" -D "$data" -U qst --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
            || { cat "$dir/initdb.log" >&2; exit 1; }
        cat >> "$data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$dir'
unix_socket_permissions = 0777
port = $port
fsync = on
max_connections = 50
shared_buffers = 32MB
CONF
    fi
    as_server "$bindir/pg_ctl" -D "$data" -l "$dir/server.log" -w -t 60 -o "-p $port" start >/dev/null \
        || { tail -n 20 "$dir/server.log" >&2; exit 1; }
    echo "host=$dir port=$port user=qst dbname=postgres"
    ;;
stop)
    [ -f "$data/postmaster.pid" ] || exit 0
    as_server "$bindir/pg_ctl" -D "$data" -w -t 60 -m fast stop >/dev/null
    ;;
kill)
    [ -f "$data/postmaster.pid" ] || exit 0
    as_server "$bindir/pg_ctl" -D "$data" -w -t 60 -m immediate stop >/dev/null
    ;;
url)
    port=$(cat "$portfile")
    echo "host=$dir port=$port user=qst dbname=postgres"
    ;;
*)
    echo "usage: $0 start|stop|kill|url DIR [PORT]" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# pg-throwaway.sh - a throw-away PostgreSQL for trying the registry's database store
# and for the tests: a cluster in a directory of its own, listening on a free
# loopback port and on a Unix socket in that directory.
#
#   pg-throwaway.sh start DIR          initdb into DIR (once), start; prints the URI
#                                      of the database "corvel"
#   pg-throwaway.sh stop DIR           stop it (the data stay until DIR is removed)
#   pg-throwaway.sh uri DIR [DB]       the URI of database DB (default corvel)
#   pg-throwaway.sh createdb DIR DB    make database DB; prints its URI
#   pg-throwaway.sh dropdb DIR DB      remove database DB
#   pg-throwaway.sh destroy DIR        stop it and remove DIR
#
# A later start of the same DIR takes the port it had. Run as root, the server
# runs as the user postgres (initdb refuses root): DIR is handed to that user.
# When the PostgreSQL binaries are missing, start prints one line saying so and
# exits 0 (the tests then skip their database cases), or exits 1 when
# CORVEL_REQUIRE_POSTGRES is 1 (CI: the database cases must run); every other
# command fails.
#
# The cluster trusts local connections (only this machine's users reach the
# loopback port; the socket directory is the server user's alone) and commits
# without waiting for the disk (synchronous_commit=off: a crash may lose the
# last commits, never corrupt anything, as the registry's SQLite file in WAL
# mode). It is for trying and testing, not for keeping mail.
#
# Environment: PG_BINDIR (where initdb and pg_ctl are; default the newest
# /usr/lib/postgresql/*/bin, else the PATH), PG_USER (the server's user when
# run as root; default postgres), PG_OPTIONS (more postgres -c options).
set -euo pipefail

usage() { sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
[ $# -ge 2 ] || usage
cmd="$1"; dir="$2"; db="${3:-corvel}"
case "$dir" in /*) ;; *) dir="$(pwd)/$dir" ;; esac

find_bindir() {
    if [ -n "${PG_BINDIR:-}" ]; then echo "$PG_BINDIR"; return; fi
    local d
    d="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1 || true)"
    if [ -n "$d" ] && [ -x "$d/initdb" ]; then echo "$d"; return; fi
    if command -v initdb >/dev/null 2>&1; then dirname "$(command -v initdb)"; return; fi
    echo ""
}
BIN="$(find_bindir)"
RUN_AS="${PG_USER:-postgres}"

# Runs a PostgreSQL program as the server's user.
as_server() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u "$RUN_AS" -- "$@"
    else
        "$@"
    fi
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

uri_of() {
    local port; port="$(cat "$dir/port")"
    echo "postgresql:///$1?host=$dir&port=$port&user=postgres"
}

psql_run() {  # psql_run SQL: as the superuser, on the socket
    local port; port="$(cat "$dir/port")"
    "$BIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres -d postgres -c "$1" >/dev/null
}

running() {
    [ -f "$dir/data/postmaster.pid" ] && as_server "$BIN/pg_ctl" -D "$dir/data" status >/dev/null 2>&1
}

case "$cmd" in
start)
    if [ -z "$BIN" ] || [ ! -x "$BIN/pg_ctl" ]; then
        echo "pg-throwaway: PostgreSQL binaries (initdb, pg_ctl) not found; install the Debian package postgresql"
        [ "${CORVEL_REQUIRE_POSTGRES:-}" = 1 ] && exit 1
        exit 0
    fi
    mkdir -p "$dir"
    chmod 700 "$dir"
    if [ "$(id -u)" -eq 0 ]; then
        id "$RUN_AS" >/dev/null 2>&1 || { echo "pg-throwaway: no user $RUN_AS to run the server as" >&2; exit 1; }
        chown "$RUN_AS" "$dir"
    fi
    if [ ! -f "$dir/data/PG_VERSION" ]; then
        as_server "$BIN/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C \
            --no-sync --no-instructions >"$dir/initdb.log" 2>&1 \
            || { cat "$dir/initdb.log" >&2; exit 1; }
    fi
    if running; then uri_of "$db"; exit 0; fi
    [ -f "$dir/port" ] || free_port > "$dir/port"
    port="$(cat "$dir/port")"
    # A restart keeps the cluster's port (its clients' URIs name it); one taken
    # meanwhile by another program is said plainly rather than left to the log.
    if ! python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1",int(sys.argv[1])))' \
            "$port" 2>/dev/null; then
        echo "pg-throwaway: port $port of the cluster in $dir is taken by another program;" \
             "stop that program or destroy the cluster" >&2
        exit 1
    fi
    opts="-c listen_addresses=127.0.0.1 -p $port -c unix_socket_directories=$dir"
    opts="$opts -c synchronous_commit=off -c max_connections=200 ${PG_OPTIONS:-}"
    as_server "$BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 120 -o "$opts" start \
        >/dev/null || { tail -20 "$dir/server.log" >&2; exit 1; }
    if ! "$BIN/psql" -X -At -h "$dir" -p "$port" -U postgres -d postgres \
            -c "SELECT 1 FROM pg_database WHERE datname = 'corvel'" | grep -q 1; then
        psql_run "CREATE DATABASE corvel"
    fi
    uri_of "$db"
    ;;
stop)
    [ -d "$dir/data" ] || exit 0
    [ -n "$BIN" ] || { echo "pg-throwaway: PostgreSQL binaries not found" >&2; exit 1; }
    if running; then as_server "$BIN/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null; fi
    ;;
uri)
    [ -f "$dir/port" ] || { echo "pg-throwaway: no cluster in $dir" >&2; exit 1; }
    uri_of "$db"
    ;;
createdb)
    [ $# -ge 3 ] || usage
    psql_run "CREATE DATABASE \"$db\""
    uri_of "$db"
    ;;
dropdb)
    [ $# -ge 3 ] || usage
    psql_run "DROP DATABASE IF EXISTS \"$db\" WITH (FORCE)"
    ;;
destroy)
    if [ -d "$dir/data" ] && [ -n "$BIN" ] && running; then
        as_server "$BIN/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop >/dev/null || true
    fi
    rm -rf "$dir"
    ;;
*)
    usage
    ;;
esac

# corvel_home.sh - sourced by the benchmark scripts: builds corvel95, makes a
# throw-away home with local users, starts the server on free loopback ports and
# stops it again by PID.
#
#   . bench/corvel_home.sh
#   corvel_build                      # BUILD_DIR (default <repo>/build-e2e), RelWithDebInfo
#   corvel_make_home USERS [POP_MBOX] # users bench1..benchUSERS, password benchpass;
#                                     # with POP_MBOX each gets a copy of that mbox;
#                                     # the spool in <home>/spool/in/ and spool/out/
#   corvel_add_users PREFIX COUNT [MBOX] # users PREFIX1..PREFIXCOUNT likewise
#   corvel_start [NOFILE]             # starts corvel95 (descriptor limit NOFILE)
#   corvel_stop                       # SIGTERM, then SIGKILL after 10 s
# Afterwards: CORVEL_PID, CORVEL_HOME (the home), CORVEL_WORK (its parent, for
# logs), SMTP_PORT, POP_PORT, CORVEL_MBOXES (the users' mailbox paths), REG and
# SERVER (the programs). corvel_cleanup (installed as the EXIT trap by
# corvel_make_home) stops the server and removes the work directory unless
# KEEP_HOME=1.
# shellcheck shell=bash

CORVEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$CORVEL_ROOT/build-e2e}"
# The shared client scripts lie beside the repository (../shared/bench), or
# beside the folder of worktrees (../../shared/bench).
if [ -z "${SHARED_BENCH:-}" ]; then
    for d in "$CORVEL_ROOT/../shared/bench" "$CORVEL_ROOT/../../shared/bench"; do
        if [ -f "$d/mbox_count.py" ]; then SHARED_BENCH="$(cd "$d" && pwd)"; break; fi
    done
    SHARED_BENCH="${SHARED_BENCH:-$(cd "$CORVEL_ROOT/.." && pwd)/shared/bench}"
fi
KEEP_HOME="${KEEP_HOME:-0}"
CORVEL_KEY='SOFTWARE\Tollgrove\Corvel'
CORVEL_PASS=benchpass
CORVEL_PID=""
CORVEL_WORK=""

corvel_log() { printf '[%s %s] %s\n' "$(basename "$0" .sh)" "$(date +%T)" "$*" >&2; }
corvel_die() { corvel_log "$*"; exit 1; }

corvel_build() {
    if [ ! -f "$BUILD_DIR/build.ninja" ]; then
        corvel_log "configuring $BUILD_DIR"
        cmake -S "$CORVEL_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
            || corvel_die "cmake configure failed"
    fi
    corvel_log "building corvel95 corvelreg"
    cmake --build "$BUILD_DIR" -j2 --target corvel95 corvelreg "$@" >/dev/null || corvel_die "build failed"
    SERVER="${SERVER:-$BUILD_DIR/bin/corvel95}"; REG="${REG:-$BUILD_DIR/bin/corvelreg}"
    [ -x "$SERVER" ] && [ -x "$REG" ] || corvel_die "binaries missing in $BUILD_DIR/bin"
}

corvel_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

corvel_reg() { "$REG" --home "$CORVEL_HOME" "$@" >/dev/null || corvel_die "corvelreg $* failed"; }

corvel_cleanup() {
    corvel_stop
    if [ -n "$CORVEL_WORK" ]; then
        if [ "$KEEP_HOME" = 1 ]; then corvel_log "kept: $CORVEL_WORK"; else rm -rf "$CORVEL_WORK"; fi
    fi
}

corvel_make_home() {
    local users=$1 popbox=${2:-}
    CORVEL_WORK="$(mktemp -d /tmp/corvel-bench.XXXXXX)"
    CORVEL_HOME="$CORVEL_WORK/home"; mkdir -p "$CORVEL_HOME"
    trap corvel_cleanup EXIT
    trap 'exit 130' INT TERM
    SMTP_PORT="$(corvel_free_port)"; POP_PORT="$(corvel_free_port)"
    while [ "$POP_PORT" = "$SMTP_PORT" ]; do POP_PORT="$(corvel_free_port)"; done
    corvel_reg import "$CORVEL_ROOT/etc/corvel-default.reg"
    corvel_reg set "$CORVEL_KEY" DomainServer sz 127.0.0.1
    corvel_reg set "$CORVEL_KEY" BindAddress sz 127.0.0.1
    corvel_reg set "$CORVEL_KEY" LocalIP sz 127.0.0.1
    corvel_reg set "$CORVEL_KEY" DisableDNSLookup dword 1
    corvel_reg set "$CORVEL_KEY" VerifyIncoming dword 0
    corvel_reg set "$CORVEL_KEY" VerifyNode dword 0
    corvel_reg set "$CORVEL_KEY" SysAccess dword 1
    corvel_reg set "$CORVEL_KEY" SysOptSmtp dword "$SMTP_PORT"
    # A throw-away home of whoever runs the benchmark: the server keeps that user.
    corvel_reg set "$CORVEL_KEY" MailUser sz ""
    corvel_reg set "$CORVEL_KEY" SysOptPop dword "$POP_PORT"
    # The spool apart from the mailboxes, as in a new installation's home
    # (scripts/new-home.sh); the server makes the directories at start-up.
    corvel_reg set "$CORVEL_KEY" SystemIncoming sz "$CORVEL_HOME/spool/in/"
    corvel_reg set "$CORVEL_KEY" SystemOutgoing sz "$CORVEL_HOME/spool/out/"
    CORVEL_MBOXES=()
    corvel_add_users bench "$users" "$popbox"
}

corvel_add_users() {
    local prefix=$1 count=$2 box=${3:-} i u
    for ((i = 1; i <= count; i++)); do
        u="$prefix$i"
        # user record: type letter; display name; mailbox; scrambled password; carbon copy
        corvel_reg set "$CORVEL_KEY\\Users" "$u" sz \
            "u;Bench $i;$CORVEL_HOME/$u.mbx;$("$REG" scramble "$u" "$CORVEL_PASS");"
        [ "$prefix" = bench ] && CORVEL_MBOXES+=("$CORVEL_HOME/$u.mbx")
        if [ -n "$box" ]; then cp "$box" "$CORVEL_HOME/$u.mbx"; fi
    done
}

corvel_start() {
    local nofile=${1:-} up=0
    if [ -n "$nofile" ]; then
        ( ulimit -n "$nofile" && exec "$SERVER" --home "$CORVEL_HOME" -H ) > "$CORVEL_WORK/server.log" 2>&1 &
    else
        "$SERVER" --home "$CORVEL_HOME" -H > "$CORVEL_WORK/server.log" 2>&1 &
    fi
    CORVEL_PID=$!
    for _ in $(seq 1 100); do   # up to 10 s
        kill -0 "$CORVEL_PID" 2>/dev/null || break
        if python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1",int(sys.argv[1])),1).close()' \
            "$SMTP_PORT" 2>/dev/null; then up=1; break; fi
        sleep 0.1
    done
    [ "$up" = 1 ] || { tail -20 "$CORVEL_WORK/server.log" >&2; corvel_die "server did not listen on $SMTP_PORT"; }
    corvel_log "corvel95 pid $CORVEL_PID, home $CORVEL_HOME, SMTP 127.0.0.1:$SMTP_PORT, POP3 127.0.0.1:$POP_PORT"
}

corvel_stop() {
    [ -n "$CORVEL_PID" ] || return 0
    if kill -0 "$CORVEL_PID" 2>/dev/null; then
        kill -TERM "$CORVEL_PID" 2>/dev/null
        for _ in $(seq 1 100); do kill -0 "$CORVEL_PID" 2>/dev/null || break; sleep 0.1; done
        if kill -0 "$CORVEL_PID" 2>/dev/null; then
            corvel_log "server $CORVEL_PID still running after 10 s: SIGKILL"
            kill -KILL "$CORVEL_PID" 2>/dev/null
        fi
    fi
    wait "$CORVEL_PID" 2>/dev/null
    CORVEL_PID=""
}

# The mailbox files truncated (the reset command of the shared benchmark).
corvel_reset_cmd() {
    local f out="for f in"
    for f in "${CORVEL_MBOXES[@]:0:5}"; do out="$out $f"; done
    echo "$out; do : > \"\$f\"; done"
}

# One field of a RESULT line: corvel_field NAME LINE
corvel_field() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<< "$2" | head -1; }

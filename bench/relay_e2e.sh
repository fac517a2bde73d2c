#!/usr/bin/env bash
# relay_e2e.sh - end-to-end relay benchmark of corvel95, with Postfix relaying
# the same load to the same sink in the same run.
#
# Each repetition runs three measurements one after the other (interleaved, so a
# change of the machine's load hits all three alike):
#   corvel/smarthost  corvel95 sends everything to SmartHost = the sink
#   corvel/mx         corvel95 finds relay.test's exchanger (the sink) by asking
#                     unbound on DNS_ADDR:53 (tests/mx/dns_server.sh, TTL 0)
#   postfix           a throw-away Postfix instance, relayhost = [SINK_ADDR]
# In each, MESSAGES messages of SIZE bytes for user@relay.test come from
# ../shared/bench/smtp_accept.sh (smtp-source, SESSIONS sessions, one connection
# per message) and go to `smtp-sink -M MESSAGES` on SINK_ADDR:25; the time is
# from the first connection to the sink's end (it ends after the last message).
#
#   RESULT relay_e2e mode=M rep=R msgs=N accept_s=T accept_per_s=A e2e_s=E msgs_per_s=X
#          limit=L load1=... (then a median line per mode)
#
# Environment:
#   MESSAGES=5000 SIZE=2000 SESSIONS=10 REPEAT=3   the load and the repetitions
#   LIMIT=50           corvel95's LimitOutgoingMessages (1..50)
#   SINK_ADDR=127.0.0.2  DNS_ADDR=127.0.12.253
#   MODES="smarthost mx postfix"   which measurements to run
#   MAX_S=300          hard limit per measurement (seconds)
#   BUILD_DIR=<repo>/build-e2e   SHARED_BENCH=<repo>/../shared/bench
#   KEEP=1             keep the work directory (homes, logs)
# Needs root (ports 25 and 53, Postfix), the packages postfix and unbound.
# Everything is on loopback; every process started here is stopped by PID.
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"
MESSAGES="${MESSAGES:-5000}"; SIZE="${SIZE:-2000}"; SESSIONS="${SESSIONS:-10}"
REPEAT="${REPEAT:-3}"; LIMIT="${LIMIT:-50}"; MAX_S="${MAX_S:-300}"
SINK_ADDR="${SINK_ADDR:-127.0.0.2}"; DNS_ADDR="${DNS_ADDR:-127.0.12.253}"
MODES="${MODES:-smarthost mx postfix}"
BUILD_DIR="${BUILD_DIR:-$ROOT/build-e2e}"
if [ -z "${SHARED_BENCH:-}" ]; then
    for d in "$ROOT/../shared/bench" "$ROOT/../../shared/bench"; do
        [ -f "$d/smtp_accept.sh" ] && { SHARED_BENCH="$(cd "$d" && pwd)"; break; }
    done
fi
KEEP="${KEEP:-0}"
KEY='SOFTWARE\Tollgrove\Corvel'

log() { printf '[relay_e2e %s] %s\n' "$(date +%T)" "$*" >&2; }
die() { log "$*"; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (ports 25 and 53, Postfix)"
[ -f "${SHARED_BENCH:-}/smtp_accept.sh" ] || die "smtp_accept.sh not found (set SHARED_BENCH)"
for p in /usr/sbin/smtp-sink /usr/sbin/smtp-source /usr/sbin/postfix /usr/sbin/unbound; do
    [ -x "$p" ] || die "$p missing (apt-get install postfix unbound)"
done

# ---- build -----------------------------------------------------------------------
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    log "configuring $BUILD_DIR"
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
        || die "cmake configure failed"
fi
log "building corvel95 corvelreg"
cmake --build "$BUILD_DIR" -j2 --target corvel95 corvelreg >/dev/null || die "build failed"
SERVER="$BUILD_DIR/bin/corvel95"; REG="$BUILD_DIR/bin/corvelreg"

W="$(mktemp -d /tmp/corvel-relay.XXXXXX)"
chmod 755 "$W"  # Postfix's own processes read their queue below it
SERVER_PID=""; SINK_PID=""; PF_DIR=""; DNS_DIR=""
stop_server() {
    if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
        kill -TERM "$SERVER_PID" 2>/dev/null
        for _ in $(seq 1 100); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$SERVER_PID" 2>/dev/null
        wait "$SERVER_PID" 2>/dev/null
    fi
    SERVER_PID=""
}
stop_sink() {
    if [ -n "$SINK_PID" ] && kill -0 "$SINK_PID" 2>/dev/null; then kill "$SINK_PID" 2>/dev/null; wait "$SINK_PID" 2>/dev/null; fi
    SINK_PID=""
}
stop_postfix() {
    [ -n "$PF_DIR" ] && /usr/sbin/postfix -c "$PF_DIR/etc" stop >/dev/null 2>&1
    PF_DIR=""
}
cleanup() {
    stop_server; stop_sink; stop_postfix
    [ -n "$DNS_DIR" ] && bash "$ROOT/tests/mx/dns_server.sh" stop 53 "$DNS_DIR" >/dev/null 2>&1
    if [ "$KEEP" = 1 ]; then log "kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
wait_port() {  # wait_port ADDR PORT
    for _ in $(seq 1 200); do
        python3 -c 'import socket,sys; socket.create_connection((sys.argv[1],int(sys.argv[2])),1).close()' "$1" "$2" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}
field() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<< "$2" | head -1; }
load1() { cut -d' ' -f1 /proc/loadavg; }

# The name server for MX mode: relay.test's exchanger is the sink.
DNS_DIR="$W/dns"
cat > "$W/relay.zone" <<ZONE
\$ORIGIN relay.test.
\$TTL 0
@ IN SOA ns hostmaster 1 3600 600 86400 0
@ IN NS ns
ns IN A $DNS_ADDR
@ IN MX 10 mx
mx IN A $SINK_ADDR
ZONE
bash "$ROOT/tests/mx/dns_server.sh" start 53 "$DNS_DIR" "$DNS_ADDR" "$W/relay.zone" || die "unbound did not start"

start_sink() {
    setsid /usr/sbin/smtp-sink -u nobody -M "$MESSAGES" "$SINK_ADDR:25" 1000 </dev/null >"$W/sink.log" 2>&1 &
    SINK_PID=$!
    wait_port "$SINK_ADDR" 25 || die "smtp-sink did not listen on $SINK_ADDR:25"
}

# Starts corvel95 in a fresh home for `mode`; sets PORT.
start_corvel() {
    local mode=$1 home="$W/corvel-$1-$2"
    mkdir -p "$home"
    PORT="$(free_port)"
    local reg=("$REG" --home "$home")
    "${reg[@]}" import "$ROOT/etc/corvel-default.reg" >/dev/null || die "registry import failed"
    local s
    for s in "BindAddress sz 127.0.0.1" "LocalIP sz 127.0.0.1" "LocalNode sz mail.example.org" \
             "VerifyIncoming dword 0" "VerifyNode dword 0" "SysAccess dword 0" \
             "SysOptSmtp dword $PORT" "LimitOutgoingMessages dword $LIMIT" \
             "DomainServer sz $DNS_ADDR"; do
        "${reg[@]}" set "$KEY" $s >/dev/null || die "corvelreg set $s failed"
    done
    # The server keeps the user running the benchmark (the home is that user's).
    "${reg[@]}" set "$KEY" MailUser sz "" >/dev/null || die "corvelreg set MailUser failed"
    # The sink by its address, written as Postfix's relayhost is.
    "${reg[@]}" set "$KEY" SmartHost sz "[$SINK_ADDR]" >/dev/null || die "corvelreg set SmartHost failed"
    if [ "$mode" = smarthost ]; then
        "${reg[@]}" set "$KEY" RoutingMode dword 1 >/dev/null
    else
        "${reg[@]}" set "$KEY" RoutingMode dword 5 >/dev/null
    fi
    "$SERVER" --home "$home" -H > "$home/server.out" 2>&1 &
    SERVER_PID=$!
    wait_port 127.0.0.1 "$PORT" || die "corvel95 did not listen on $PORT"
}

# A throw-away Postfix relaying to the sink; sets PORT.
start_postfix() {
    PF_DIR="$W/postfix-$1"
    PORT="$(free_port)"
    mkdir -p "$PF_DIR/etc" "$PF_DIR/spool" "$PF_DIR/data"
    cp /etc/postfix/master.cf "$PF_DIR/etc/"
    cat > "$PF_DIR/etc/main.cf" <<CF
compatibility_level = 3.6
queue_directory = $PF_DIR/spool
data_directory = $PF_DIR/data
inet_interfaces = loopback-only
inet_protocols = ipv4
myhostname = postfix.bench
mydestination =
mynetworks = 127.0.0.0/8
relayhost = [$SINK_ADDR]
alias_maps =
alias_database =
maillog_file_prefixes = $PF_DIR
maillog_file = $PF_DIR/postfix.log
CF
    chown postfix "$PF_DIR/data"
    postconf -c "$PF_DIR/etc" -F '*/*/chroot = n'
    postconf -c "$PF_DIR/etc" -M# smtp/inet
    postconf -c "$PF_DIR/etc" -M "127.0.0.1:$PORT/inet=127.0.0.1:$PORT inet n - n - - smtpd"
    /usr/sbin/postfix -c "$PF_DIR/etc" set-permissions >/dev/null 2>&1
    /usr/sbin/postfix -c "$PF_DIR/etc" start >/dev/null 2>&1 || die "postfix did not start"
    wait_port 127.0.0.1 "$PORT" || die "postfix did not listen on $PORT"
}

declare -A RATES
measure() {  # measure MODE REP
    local mode=$1 rep=$2 load
    start_sink
    if [ "$mode" = postfix ]; then start_postfix "$rep"; else start_corvel "$mode" "$rep"; fi
    load="$(load1)"
    local t0 t1 acc rc
    t0="$(date +%s.%N)"
    acc="$(TO="user@relay.test" MAX_S="$MAX_S" bash "$SHARED_BENCH/smtp_accept.sh" 127.0.0.1 "$PORT" "$SESSIONS" "$MESSAGES" "$SIZE")"
    rc=$?
    local waited=0
    while kill -0 "$SINK_PID" 2>/dev/null; do
        sleep 0.02
        waited=$((waited + 1))
        [ "$waited" -gt $((MAX_S * 50)) ] && { log "$mode: the sink did not get all messages within $MAX_S s"; rc=1; break; }
    done
    t1="$(date +%s.%N)"
    stop_sink
    if [ "$mode" = postfix ]; then stop_postfix; else stop_server; fi
    local e2e rate
    e2e="$(echo "$t1 - $t0" | bc)"
    rate="$(echo "scale=1; $MESSAGES / $e2e" | bc)"
    [ "$rc" = 0 ] || rate=0
    RATES[$mode]="${RATES[$mode]:-} $rate"
    echo "RESULT relay_e2e mode=$mode rep=$rep msgs=$MESSAGES size=$SIZE sessions=$SESSIONS" \
         "accept_s=$(field wall_s "$acc") accept_per_s=$(field msgs_per_s "$acc")" \
         "e2e_s=$e2e msgs_per_s=$rate limit=$LIMIT load1=$load rc=$rc"
}

log "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $REPEAT repetitions of: $MODES"
for rep in $(seq 1 "$REPEAT"); do
    for mode in $MODES; do measure "$mode" "$rep"; done
done
for mode in $MODES; do
    median="$(tr ' ' '\n' <<< "${RATES[$mode]}" | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}')"
    echo "RESULT relay_e2e_median mode=$mode msgs_per_s=$median runs=${RATES[$mode]# }"
done

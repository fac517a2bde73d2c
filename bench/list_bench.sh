#!/usr/bin/env bash
# list_bench.sh - one post to a 10,000-member list: how long until every member's
# mailbox holds it, and, in the same run, Postfix delivering the same post through
# an alias whose :include: file lists 10,000 mailbox files.
#
# corvel95 runs on a throw-away home with MEMBERS local users (mailbox files in
# the home) that are the members of the list "biglist", and MEMBERS remote
# addresses that are the members of "remotelist". For LimitRecipients 50 and 250
# it measures one 2 KB post (swaks) into new mailbox files and a second post into
# the existing files, then one post to the remote list (the time until the router
# has written every member into outgoing files). Postfix (started by
# ../shared/bench/setup_peers.sh, port 2525) gets an alias "benchlist" whose
# :include: file lists MEMBERS mailbox files; the same post is sent and counted
# with ../shared/bench/mbox_count.py; Postfix's configuration is restored after.
#
#   RESULT list_corvel limit=L files=new|existing members=N elapsed_s=T msgs_per_s=R ok=1|0
#   RESULT list_corvel_remote limit=L members=N elapsed_s=T rcpts_written=W ok=1|0
#   RESULT list_postfix members=N elapsed_s=T msgs_per_s=R ok=1|0
#   RESULT list_ratio corvel_new_s=A postfix_s=B ratio=A/B
#
# Environment: MEMBERS=10000 SIZE=2000 MAX_S=300 BUILD_DIR=<repo>/build
# SHARED_BENCH=/work/shared/bench POSTFIX=1 (0 skips Postfix; it needs root)
# KEEP_HOME=1 keeps the home. Everything stays on 127.0.0.1; every wait is
# bounded; the server is stopped by its PID on exit.
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"
MEMBERS="${MEMBERS:-10000}"; SIZE="${SIZE:-2000}"; MAX_S="${MAX_S:-300}"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
SHARED_BENCH="${SHARED_BENCH:-/work/shared/bench}"
POSTFIX="${POSTFIX:-1}"; KEEP_HOME="${KEEP_HOME:-0}"
PF_PORT=2525
PF_DIR=/var/tmp/mailbench/listbench
KEY='SOFTWARE\Tollgrove\Corvel'

log() { printf '[list_bench %s] %s\n' "$(date +%T)" "$*" >&2; }
die() { log "$*"; exit 1; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

cmake --build "$BUILD_DIR" -j2 --target corvel95 corvelreg >/dev/null || die "build failed in $BUILD_DIR"
SERVER="$BUILD_DIR/bin/corvel95"; REG="$BUILD_DIR/bin/corvelreg"

W="$(mktemp -d /tmp/corvel-listbench.XXXXXX)"
H="$W/home"; mkdir -p "$H/mb"
SERVER_PID=""; PF_ALIAS_ADDED=0; PF_OLD_FILES=""
stop_server() {
    [ -n "$SERVER_PID" ] || return 0
    kill -TERM "$SERVER_PID" 2>/dev/null
    for _ in $(seq 1 100); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$SERVER_PID" 2>/dev/null && kill -KILL "$SERVER_PID" 2>/dev/null
    wait "$SERVER_PID" 2>/dev/null; SERVER_PID=""
}
restore_postfix() {
    [ "$PF_ALIAS_ADDED" = 1 ] || return 0
    sed -i '/^benchlist:/d' /etc/aliases && newaliases
    postconf -e "allow_mail_to_files = $PF_OLD_FILES"
    postfix reload >/dev/null 2>&1
    rm -rf "$PF_DIR"; PF_ALIAS_ADDED=0
    log "postfix configuration restored"
}
cleanup() {
    stop_server; restore_postfix
    if [ "$KEEP_HOME" = 1 ]; then log "kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
PORT="$(free_port)"
field() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<< "$2" | head -1; }

# ---- the registry: users, the two lists ----------------------------------------------
python3 - "$H" "$MEMBERS" "$PORT" > "$W/setup.reg" <<'EOF'
import sys
home, n, port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
k = 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Tollgrove\\Corvel'
out = ['Windows Registry Editor Version 5.00', '', '[%s]' % k]
for name, value in [('DomainServer', '"127.0.0.1"'), ('BindAddress', '"127.0.0.1"'),
                    ('LocalIP', '"127.0.0.1"'), ('LocalNode', '"bench.test"'),
                    ('DisableDNSLookup', 'dword:00000001'), ('VerifyIncoming', 'dword:00000000'),
                    ('VerifyNode', 'dword:00000000'), ('SysAccess', 'dword:00000000'),
                    ('SysOptSmtp', 'dword:%08x' % port), ('MailUser', '""')]:
    out.append('"%s"=%s' % (name, value))
out += ['', '[%s\\Users]' % k, '"biglist"="l;Big list;biglist;root"',
        '"remotelist"="l;Remote list;remotelist;root"']
out += ['"m%05d"="u;Member %d;%s/mb/m%05d.mbx;;;"' % (i, i, home, i) for i in range(n)]
for lst, lid, addr in [('biglist', '0001', 'm%05d@bench.test'), ('remotelist', '0002', 'r%05d@remote.bench')]:
    out += ['', '[%s\\ListsAndResponders\\%s\\Configuration]' % (k, lst), '"ListId"="%s"' % lid,
            '"ClosedList"=dword:00000000', '', '[%s\\ListsAndResponders\\%s\\Users]' % (k, lst),
            '"NumUsers"=dword:%08x' % n, '"ActualUsers"=dword:%08x' % n]
    out += ['"User%d"="r;%s;;1700000000;"' % (i + 1, addr % i) for i in range(n)]
print('\r\n'.join(out) + '\r\n')
EOF
"$REG" --home "$H" import "$W/setup.reg" >/dev/null || die "corvelreg import failed"
BOXES=(); for i in $(seq 0 $((MEMBERS - 1))); do BOXES+=("$(printf '%s/mb/m%05d.mbx' "$H" "$i")"); done

start_server() {
    "$SERVER" --home "$H" -H > "$W/server.log" 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 1 100); do
        python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1",int(sys.argv[1])),1).close()' \
            "$PORT" 2>/dev/null && return 0
        sleep 0.1
    done
    die "server did not listen on $PORT"
}
body_file() {  # the 2 KB post body
    python3 -c 'import sys; l="X"*78+"\r\n"; sys.stdout.write((l*(int(sys.argv[1])//80+1))[:int(sys.argv[1])])' "$SIZE"
}
post() {  # post TO HOST PORT TAG
    swaks --silent 2 --server "$2" --port "$3" --from sender@bench.example --to "$1" \
        --header "Subject: list bench $4" --header "Message-Id: <$4.$$@bench.example>" \
        --body "@$W/body.txt" >/dev/null || log "swaks to $1 failed"
}
body_file > "$W/body.txt"

# ---- corvel95: local members ------------------------------------------------------------
CORVEL_NEW_S=""
log "machine load before: $(load)"
for limit in 50 250; do
    "$REG" --home "$H" set "$KEY" LimitRecipients dword "$limit" >/dev/null
    rm -f "$H"/mb/*
    start_server
    for files in new existing; do
        base=0; [ "$files" = existing ] && base="$MEMBERS"
        t0="$(date +%s.%N)"
        post biglist@bench.test 127.0.0.1 "$PORT" "local-$limit-$files"
        r="$(python3 "$SHARED_BENCH/mbox_count.py" --wait "$MEMBERS" --base "$base" --since "$t0" \
             --timeout "$MAX_S" --interval 0.25 "${BOXES[@]}")"
        echo "RESULT list_corvel limit=$limit files=$files members=$MEMBERS" \
             "elapsed_s=$(field elapsed_s "$r") msgs_per_s=$(field msgs_per_s "$r")" \
             "machine_cpu_s=$(field machine_cpu_s "$r") ok=$(field ok "$r") load=\"$(load)\""
        [ "$limit" = 50 ] && [ "$files" = new ] && CORVEL_NEW_S="$(field elapsed_s "$r")"
    done
    # ---- remote members: until the router has written all into outgoing files -----------
    t0="$(date +%s.%N)"
    post remotelist@bench.test 127.0.0.1 "$PORT" "remote-$limit"
    ok=0; written=0
    while :; do
        now="$(date +%s.%N)"
        written="$(cat "$H"/*.out 2>/dev/null | grep -c '^To: r[0-9]*@remote.bench' || true)"
        if [ "$written" -ge "$MEMBERS" ]; then ok=1; break; fi
        python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) - float(sys.argv[2]) < $MAX_S else 1)" \
            "$now" "$t0" || break
        sleep 0.1
    done
    elapsed="$(python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) - float(sys.argv[2])))' "$now" "$t0")"
    echo "RESULT list_corvel_remote limit=$limit members=$MEMBERS elapsed_s=$elapsed" \
         "rcpts_written=$written ok=$ok load=\"$(load)\""
    stop_server
    rm -f "$H"/*.out
done

# ---- Postfix: an alias with a :include: file of mailbox files ------------------------------
if [ "$POSTFIX" = 1 ]; then
    [ "$(id -u)" = 0 ] || die "Postfix needs root (POSTFIX=0 skips it)"
    bash "$SHARED_BENCH/setup_peers.sh" all >/dev/null 2>&1 || die "setup_peers.sh all failed"
    bash "$SHARED_BENCH/setup_peers.sh" start >/dev/null 2>&1 || die "setup_peers.sh start failed"
    PF_OLD_FILES="$(postconf -h allow_mail_to_files)"
    mkdir -p "$PF_DIR"; chmod 1777 "$PF_DIR"
    PF_BOXES=(); : > "$PF_DIR/members.txt"
    for i in $(seq 0 $((MEMBERS - 1))); do
        f="$(printf '%s/m%05d.mbx' "$PF_DIR" "$i")"; PF_BOXES+=("$f"); echo "$f" >> "$PF_DIR/members.txt"
    done
    PF_ALIAS_ADDED=1
    echo "benchlist: :include:$PF_DIR/members.txt" >> /etc/aliases
    newaliases
    postconf -e "allow_mail_to_files = alias, forward, include"
    postfix reload >/dev/null 2>&1; sleep 1
    t0="$(date +%s.%N)"
    post benchlist@localhost 127.0.0.1 "$PF_PORT" postfix
    r="$(python3 "$SHARED_BENCH/mbox_count.py" --wait "$MEMBERS" --since "$t0" --timeout "$MAX_S" \
         --interval 0.25 "${PF_BOXES[@]}")"
    PF_S="$(field elapsed_s "$r")"
    echo "RESULT list_postfix members=$MEMBERS elapsed_s=$PF_S msgs_per_s=$(field msgs_per_s "$r")" \
         "machine_cpu_s=$(field machine_cpu_s "$r") ok=$(field ok "$r") load=\"$(load)\""
    restore_postfix
    bash "$SHARED_BENCH/setup_peers.sh" stop >/dev/null 2>&1
    if [ -n "$CORVEL_NEW_S" ] && [ -n "$PF_S" ]; then
        echo "RESULT list_ratio corvel_new_s=$CORVEL_NEW_S postfix_s=$PF_S" \
             "ratio=$(python3 -c 'import sys; print("%.2f" % (float(sys.argv[1]) / float(sys.argv[2])))' "$CORVEL_NEW_S" "$PF_S")"
    fi
fi
log "machine load after: $(load)"

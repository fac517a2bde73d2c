#!/usr/bin/env bash
# listserver_bench.sh - the list server under load: SUBSCRIBERS "subscribe"
# messages from distinct remote addresses (a bounded smtplib sender, SESSIONS
# threads, one connection per message) to listserver, for a list that already has
# MEMBERS members; then one "review" of that list from a local user.
#
#   RESULT listserver_subscribe members=N subscribers=S elapsed_s=T subs_per_s=R ok=1|0
#   RESULT listserver_review members=N elapsed_s=T ok=1|0
#
# "subscribe" counts from just before the first message until Users holds every
# subscriber (ActualUsers, read with corvelreg); "review" from just before the
# request until the listing is in the reviewer's mailbox. There is no peer to
# compare with: Postfix has no list server.
#
# Environment: MEMBERS=10000 SUBSCRIBERS=1000 SESSIONS=4 MAX_S=300
# BUILD_DIR=<repo>/build SHARED_BENCH=/work/shared/bench KEEP_HOME=1. Everything
# stays on 127.0.0.1; every wait is bounded; the server is stopped by its PID.
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"
MEMBERS="${MEMBERS:-10000}"; SUBSCRIBERS="${SUBSCRIBERS:-1000}"; SESSIONS="${SESSIONS:-4}"
MAX_S="${MAX_S:-300}"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
SHARED_BENCH="${SHARED_BENCH:-/work/shared/bench}"
KEEP_HOME="${KEEP_HOME:-0}"
KEY='SOFTWARE\Tollgrove\Corvel'

log() { printf '[listserver_bench %s] %s\n' "$(date +%T)" "$*" >&2; }
die() { log "$*"; exit 1; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
field() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<< "$2" | head -1; }

cmake --build "$BUILD_DIR" -j2 --target corvel95 corvelreg >/dev/null || die "build failed in $BUILD_DIR"
SERVER="$BUILD_DIR/bin/corvel95"; REG="$BUILD_DIR/bin/corvelreg"

W="$(mktemp -d /tmp/corvel-lsbench.XXXXXX)"
H="$W/home"; mkdir -p "$H"
SERVER_PID=""
cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill -TERM "$SERVER_PID" 2>/dev/null
        for _ in $(seq 1 100); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$SERVER_PID" 2>/dev/null && kill -KILL "$SERVER_PID" 2>/dev/null
        wait "$SERVER_PID" 2>/dev/null
    fi
    if [ "$KEEP_HOME" = 1 ]; then log "kept: $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PORT="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')"
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
        '"reviewer"="u;Reviewer;%s/reviewer.mbx;;;"' % home,
        '', '[%s\\ListsAndResponders\\biglist\\Configuration]' % k, '"ListId"="0001"',
        '', '[%s\\ListsAndResponders\\biglist\\Users]' % k,
        '"NumUsers"=dword:%08x' % n, '"ActualUsers"=dword:%08x' % n]
out += ['"User%d"="r;m%05d@remote.bench;;1700000000;"' % (i + 1, i) for i in range(n)]
print('\r\n'.join(out) + '\r\n')
EOF
"$REG" --home "$H" import "$W/setup.reg" >/dev/null || die "corvelreg import failed"

"$SERVER" --home "$H" -H > "$W/server.log" 2>&1 &
SERVER_PID=$!
up=0
for _ in $(seq 1 100); do
    python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1",int(sys.argv[1])),1).close()' \
        "$PORT" 2>/dev/null && { up=1; break; }
    sleep 0.1
done
[ "$up" = 1 ] || die "server did not listen on $PORT"
log "machine load before: $(load)"

# ---- subscriptions ------------------------------------------------------------------------
actual() { "$REG" --home "$H" get "$KEY\\ListsAndResponders\\biglist\\Users" ActualUsers 2>/dev/null \
           | grep -o '[0-9a-fx]*$' | python3 -c 'import sys; t=sys.stdin.read().strip(); print(int(t, 0) if t else 0)'; }
want=$((MEMBERS + SUBSCRIBERS))
# The server's own CPU time (user + system, clock ticks), a figure the machine's
# other load does not inflate.
server_cpu() { awk '{print $14 + $15}' "/proc/$SERVER_PID/stat"; }
cpu0="$(server_cpu)"
t0="$(date +%s.%N)"
timeout "$MAX_S" python3 - "$PORT" "$SESSIONS" "$SUBSCRIBERS" "$MAX_S" <<'EOF' &
import smtplib, sys, threading, time
port, sessions, total, max_s = (int(x) for x in sys.argv[1:5])
lock = threading.Lock()
state = {"next": 0, "fail": 0}
deadline = time.time() + max_s
def worker():
    while time.time() < deadline:
        with lock:
            n = state["next"]
            if n >= total:
                return
            state["next"] = n + 1
        who = "s%05d@sub.bench" % n
        msg = ("From: %s\r\nTo: listserver@bench.test\r\nSubject: join\r\n"
               "Message-Id: <%d.%d@sub.bench>\r\n\r\nsubscribe biglist Subscriber %d\r\n"
               % (who, n, int(time.time()), n))
        try:
            s = smtplib.SMTP("127.0.0.1", port, timeout=30)
            s.sendmail(who, ["listserver@bench.test"], msg.encode())
            s.quit()
        except Exception as e:
            with lock:
                state["fail"] += 1
                if state["fail"] <= 5:
                    print("send error:", e, file=sys.stderr)
threads = [threading.Thread(target=worker) for _ in range(sessions)]
for t in threads: t.start()
for t in threads: t.join()
sys.exit(1 if state["fail"] else 0)
EOF
SENDER_PID=$!
ok=0
while :; do
    n="$(actual)"
    now="$(date +%s.%N)"
    [ "${n:-0}" -ge "$want" ] && { ok=1; break; }
    python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) - float(sys.argv[2]) < $MAX_S else 1)" "$now" "$t0" || break
    sleep 0.2
done
wait "$SENDER_PID" || log "the sender reported failures"
elapsed="$(python3 -c 'import sys; print("%.3f" % (float(sys.argv[1]) - float(sys.argv[2])))' "$now" "$t0")"
rate="$(python3 -c 'import sys; e=float(sys.argv[1]); print("%.1f" % (int(sys.argv[2]) / e if e > 0 else 0))' "$elapsed" "$SUBSCRIBERS")"
cpu_ms="$(python3 -c 'import os,sys; print("%.1f" % ((int(sys.argv[2]) - int(sys.argv[1])) * 1000.0 / os.sysconf("SC_CLK_TCK") / int(sys.argv[3])))' "$cpu0" "$(server_cpu)" "$SUBSCRIBERS")"
echo "RESULT listserver_subscribe members=$MEMBERS subscribers=$SUBSCRIBERS sessions=$SESSIONS" \
     "elapsed_s=$elapsed subs_per_s=$rate server_cpu_ms_per_sub=$cpu_ms ok=$ok load=\"$(load)\""

# ---- one review of the whole list ----------------------------------------------------------
# Once the answers to the subscriptions are routed, so that the review waits for
# nothing else.
for _ in $(seq 1 $((MAX_S * 10))); do
    [ -z "$(ls "$H" | grep -E '\.(in|inr|wrm)$')" ] && break
    sleep 0.1
done
t0="$(date +%s.%N)"
swaks --silent 2 --server 127.0.0.1 --port "$PORT" --from reviewer@bench.test \
    --to listserver@bench.test --body 'review biglist' >/dev/null || log "swaks failed"
r="$(python3 "$SHARED_BENCH/mbox_count.py" --wait 1 --since "$t0" --timeout "$MAX_S" --interval 0.02 "$H/reviewer.mbx")"
lines="$(grep -c '^User [0-9]*: ' "$H/reviewer.mbx" || true)"
echo "RESULT listserver_review members=$want elapsed_s=$(field elapsed_s "$r") listing_lines=$lines" \
     "ok=$(field ok "$r") load=\"$(load)\""
log "machine load after: $(load)"

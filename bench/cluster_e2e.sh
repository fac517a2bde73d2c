#!/usr/bin/env bash
# cluster_e2e.sh - end-to-end local delivery with the registry in an SQLite file
# (one node), in a throw-away PostgreSQL (one node) and in that PostgreSQL shared
# by two nodes (127.0.20.1 and 127.0.20.2, one mailbox directory), in one run.
#
# MESSAGES messages of about SIZE bytes go over SESSIONS parallel sessions (one
# connection per message, smtplib), alternately to each node, to bench1..bench5;
# "delivered" runs from the first connection until the last message is in a
# mailbox. Prints one RESULT line per set-up:
#
#   RESULT cluster_e2e store=sqlite nodes=1 msgs=N elapsed_s=T msgs_per_s=R ok=1
#
# Environment: MESSAGES=2000 SIZE=2000 SESSIONS=8 MAX_S=300 BUILD_DIR=<repo>/build
# Everything runs on loopback; the servers and the cluster are stopped on exit.
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/.." && pwd)"
BIN="${BUILD_DIR:-$ROOT/build}/bin"
MESSAGES="${MESSAGES:-2000}"; SIZE="${SIZE:-2000}"; SESSIONS="${SESSIONS:-8}"
MAX_S="${MAX_S:-300}"
K='SOFTWARE\Tollgrove\Corvel'
WORK="$(mktemp -d /tmp/corvel-cluster-e2e-XXXXXX)"
chmod 755 "$WORK"  # the database server runs as its own user below it
PIDS=()

cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    bash "$ROOT/scripts/pg-throwaway.sh" destroy "$WORK/pg" >/dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT

for p in corvel95 corvelreg; do
    [ -x "$BIN/$p" ] || { echo "cluster_e2e: $BIN/$p missing (build first)" >&2; exit 1; }
done
reg() { "$BIN/corvelreg" --registry "$REGISTRY" "$@" >/dev/null; }

# The shared settings and five users with their mailboxes in $1.
setup_registry() {
    local boxes="$1" port="$2"
    reg set "$K" DomainServer sz 127.0.0.1
    reg set "$K" DisableDNSLookup dword 1
    reg set "$K" VerifyIncoming dword 0
    reg set "$K" VerifyNode dword 0
    reg set "$K" SysAccess dword 0
    reg set "$K" SysOptSmtp dword "$port"
    reg set "$K" MailUser sz ""   # the server keeps the user running the benchmark
    reg set "$K" LocalNode sz mail.example.org
    reg set "$K" LocalIP sz 127.0.0.1
    reg set "$K" InQueueTime dword 5
    reg set "$K\Nodes\A" BindAddress sz 127.0.20.1
    reg set "$K\Nodes\B" BindAddress sz 127.0.20.2
    for u in bench1 bench2 bench3 bench4 bench5; do
        reg set "$K\Users" "$u" sz "u;$u;$boxes/$u.mbx;;"
    done
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# run LABEL STORE NODES: one set-up from fresh homes and mailboxes.
run() {
    local store="$1" nodes="$2" dir="$WORK/$1-$2" port hosts=()
    mkdir -p "$dir/boxes" "$dir/a" "$dir/b"
    port="$(free_port)"
    if [ "$store" = sqlite ]; then
        REGISTRY="$dir/registry.db"
    else
        REGISTRY="$(bash "$ROOT/scripts/pg-throwaway.sh" createdb "$WORK/pg" "b_${store}_$nodes")"
    fi
    setup_registry "$dir/boxes" "$port"
    local names=(A B) homes=("$dir/a" "$dir/b") addrs=(127.0.20.1 127.0.20.2) pids=()
    for ((n = 0; n < nodes; n++)); do
        CORVEL_NODE="${names[$n]}" "$BIN/corvel95" --home "${homes[$n]}" --registry "$REGISTRY" \
            -H >/dev/null 2>&1 &
        PIDS+=($!); pids+=($!)
        hosts+=("${addrs[$n]}")
    done
    python3 - "$port" "$MESSAGES" "$SIZE" "$SESSIONS" "$MAX_S" "$dir/boxes" "$store" "$nodes" \
        "${hosts[@]}" <<'EOF'
import os, smtplib, socket, sys, threading, time
port, count, size, sessions, max_s = map(int, sys.argv[1:6])
boxes, store, nodes = sys.argv[6], sys.argv[7], sys.argv[8]
hosts = sys.argv[9:]
deadline = time.time() + 20
for h in hosts:  # wait until every node listens
    while time.time() < deadline:
        try:
            socket.create_connection((h, port), 1).close()
            break
        except OSError:
            time.sleep(0.05)
line = "x" * 78 + "\r\n"
body = line * max(1, size // len(line))
failures = 0
lock = threading.Lock()
start = time.time()
def send(first):
    global failures
    for i in range(first, count, sessions):
        msg = "Subject: bench %d\r\n\r\n%s" % (i, body)
        for attempt in range(50):
            try:
                s = smtplib.SMTP(hosts[i % len(hosts)], port, timeout=30)
                s.sendmail("bench@example.net", ["bench%d@mail.example.org" % (i % 5 + 1)], msg)
                s.quit()
                break
            except (OSError, smtplib.SMTPException):
                with lock:
                    failures += 1
                time.sleep(0.1)
threads = [threading.Thread(target=send, args=(k,)) for k in range(sessions)]
for t in threads: t.start()
for t in threads: t.join()
accepted = time.time() - start
def delivered():
    n = 0
    for u in range(1, 6):
        try:
            with open(os.path.join(boxes, "bench%d.mbx" % u), "rb") as f:
                data = f.read()
        except OSError:
            continue
        n += data.count(b"From bench@example.net ")  # the separator lines
    return n
while delivered() < count and time.time() - start < max_s:
    time.sleep(0.05)
elapsed = time.time() - start
got = delivered()
print("RESULT cluster_e2e store=%s nodes=%s msgs=%d accepted_s=%.2f elapsed_s=%.2f "
      "msgs_per_s=%.1f retries=%d ok=%d" % (store, nodes, got, accepted, elapsed, got / elapsed,
                                             failures, 1 if got == count else 0))
EOF
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
}

run sqlite 1
if URI="$(bash "$ROOT/scripts/pg-throwaway.sh" start "$WORK/pg")" && [[ "$URI" == postgresql://* ]]; then
    run postgresql 1
    run postgresql 2
else
    echo "cluster_e2e: $URI"
fi
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

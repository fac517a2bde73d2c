#!/usr/bin/env bash
# side_by_side.sh - Corvel beside smtp-sink, Postfix and Dovecot in one run of
# the shared benchmark (../shared/bench/run_bench.sh), printed as one table with
# Corvel's ratios to the peers and the targets they are held against.
#
# Builds corvel95, makes a throw-away home with users bench1..bench5 (the SMTP
# recipients of the shared load; their mailboxes are emptied before each SMTP
# run) and pop1..pop10, each with its own copy of the shared POP3 test mailbox
# (../shared/bench/gen_mbox.py, 1000 x ~2.3 KB, as Dovecot's), starts the server
# on free loopback ports and runs run_bench.sh with the peers, REPEAT
# interleaved repetitions: SMTP with 10 and 1 sessions, 10 sessions over five
# mailboxes, end to end into the mailboxes, POP3 with 1 and 10 clients (Corvel's
# ten clients each on their own mailbox: pop{n}). Then, unless turned off, the
# first POP3 login on 15,000/30,000/60,000-message mailboxes (pop3_login.sh) and
# 10,000 idle SMTP sessions (idle_connections.py, descriptor limit raised here).
#
# Prints the table (medians of the repetitions) and the load average before and
# after; machine CPU is the whole machine's, so it holds only on a quiet machine.
#
# Environment: REPEAT=3 MESSAGES=5000 SIZE=2000 LOGIN=1 IDLE=1 IDLE_COUNT=10000
# BUILD_DIR (default <repo>/build-e2e) SERVER SHARED_BENCH=<repo>/../shared/bench
# OUT=/tmp/corvel-side-by-side/<UTC time> (raw.txt, table.md, server.log kept)
# START_PEERS=1 (the shared script starts and stops Postfix, smtp-sink and
# Dovecot; needs root and setup_peers.sh having installed them). Loopback only.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=bench/corvel_home.sh
. "$HERE/corvel_home.sh"
REPEAT="${REPEAT:-3}"; MESSAGES="${MESSAGES:-5000}"; SIZE="${SIZE:-2000}"
LOGIN="${LOGIN:-1}"; IDLE="${IDLE:-1}"; IDLE_COUNT="${IDLE_COUNT:-10000}"
OUT="${OUT:-/tmp/corvel-side-by-side/$(date -u +%Y%m%dT%H%M%SZ)}"
mkdir -p "$OUT"
[ -f "$SHARED_BENCH/run_bench.sh" ] || corvel_die "no $SHARED_BENCH/run_bench.sh"

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
corvel_build
corvel_make_home 5
python3 "$SHARED_BENCH/gen_mbox.py" "$CORVEL_WORK/pop.mbx" 1000 2000 >/dev/null
corvel_add_users pop 10 "$CORVEL_WORK/pop.mbx"
corvel_start
reset="for f in ${CORVEL_MBOXES[*]}; do : > \"\$f\"; done"

corvel_log "run_bench.sh: REPEAT=$REPEAT MESSAGES=$MESSAGES (results in $OUT)"
NEW_NAME=corvel NEW_SMTP="127.0.0.1:$SMTP_PORT" NEW_MBOX="${CORVEL_MBOXES[*]}" \
NEW_MBOX_RESET_CMD="$reset" NEW_POP3="127.0.0.1:$POP_PORT" NEW_POP3_USER='pop{n}' \
NEW_POP3_PASS="$CORVEL_PASS" REPEAT="$REPEAT" MESSAGES="$MESSAGES" SIZE="$SIZE" \
SESSIONS_LIST="10 1" SPREAD=1 CLIENTS_LIST="1 10" RESULTS="$OUT" \
    bash "$SHARED_BENCH/run_bench.sh" > "$OUT/run_bench.out" 2>&1 || corvel_log "run_bench.sh failed (see $OUT/run_bench.out)"
cp "$CORVEL_WORK/server.log" "$OUT/server.log" 2>/dev/null
corvel_stop
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$OUT/raw.txt" "$load_before" "$load_after" "$MESSAGES" <<'EOF' | tee "$OUT/table.md"
import statistics, sys
raw, load_before, load_after, messages = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
runs = {}
for line in open(raw):
    parts = line.split()
    if "RESULT" not in parts:
        continue
    kv = dict(p.split("=", 1) for p in parts if "=" in p)
    if kv.get("rc", "0") != "0" or kv.get("ok", "1") != "1":
        continue
    runs.setdefault(kv["label"], []).append(kv)

def med(label, field="msgs_per_s"):
    vals = [float(r[field]) for r in runs.get(label, []) if field in r]
    return statistics.median(vals) if vals else None

def cpu_ms(label):
    vals = [float(r["machine_cpu_s"]) * 1000.0 / float(r.get("messages", messages))
            for r in runs.get(label, []) if "machine_cpu_s" in r]
    return statistics.median(vals) if vals else None

def f(x, digits=0):
    return "–" if x is None else (f"{x:,.{digits}f}")

def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b

rows = []
def row(name, sink, postfix, dovecot, corvel, value=None, versus=None, target=None, at_most=False):
    """One table row; `value` / `versus` is Corvel's ratio, held against `target`."""
    r = ratio(value, versus[1]) if versus else None
    shown = "–" if r is None else f"{r:.2f}× {versus[0]}"
    goal = ""
    if target is not None:
        goal = ("≤ " if at_most else "≥ ") + f"{target:g}"
        x = value if at_most else r
        if x is not None:
            goal += " ok" if (x <= target if at_most else x >= target) else " MISSED"
    rows.append((name, sink, postfix, dovecot, corvel, shown, goal))

sink10, pf10, cv10 = med("smtp-sink:s10:smtp_accept"), med("postfix:s10:smtp_accept"), med("corvel:s10:smtp_accept")
sink5, pf5, cv5 = med("smtp-sink:s10x5rcpt:smtp_accept"), med("postfix:s10x5rcpt:smtp_accept"), med("corvel:s10x5rcpt:smtp_accept")
pfe1, cve1 = med("postfix:s10:e2e_delivered"), med("corvel:s10:e2e_delivered")
pfe5, cve5 = med("postfix:s10x5rcpt:e2e_delivered"), med("corvel:s10x5rcpt:e2e_delivered")
sink1, pf1, cv1 = med("smtp-sink:s1:smtp_accept"), med("postfix:s1:smtp_accept"), med("corvel:s1:smtp_accept")
dv1, cvp1 = med("dovecot:c1:pop3"), med("corvel:c1:pop3")
dv10, cvp10 = med("dovecot:c10:pop3"), med("corvel:c10:pop3")
c_sink, c_pf, c_cv = (cpu_ms(x + ":s10:smtp_accept") for x in ("smtp-sink", "postfix", "corvel"))

row("SMTP accepted, 10 sessions (msg/s)", f(sink10), f(pf10), "–", f(cv10), cv10, ("sink", sink10), 0.5)
row("", "", "", "", "", cv10, ("Postfix", pf10))
row("SMTP accepted, 10 sessions over 5 mailboxes", f(sink5), f(pf5), "–", f(cv5), cv5, ("sink", sink5))
row("end to end into 1 mailbox, 10 sessions", "–", f(pfe1), "–", f(cve1), cve1, ("Postfix", pfe1))
row("end to end into 5 mailboxes, 10 sessions", "–", f(pfe5), "–", f(cve5), cve5, ("sink", sink5), 0.45)
row("", "", "", "", "", cve5, ("Postfix", pfe5), 4.0)
row("SMTP accepted, 1 session", f(sink1), f(pf1), "–", f(cv1), cv1, ("sink", sink1), 0.7)
row("POP3 retrieval, 1 client (msg/s)", "–", "–", f(dv1), f(cvp1), cvp1, ("Dovecot", dv1), 1.8)
row("POP3 retrieval, 10 clients (Corvel: own mailboxes)", "–", "–", f(dv10), f(cvp10), cvp10, ("Dovecot", dv10), 2.0)
row("machine CPU per accepted message, 10 sessions (ms)", f(c_sink, 2), f(c_pf, 2), "–", f(c_cv, 2),
    c_cv, None, 0.7, at_most=True)

reps = max((len(v) for v in runs.values()), default=0)
print(f"Side by side, {messages} × 2 KB per SMTP run, new connection per message, medians of {reps}; "
      f"load average {load_before} before, {load_after} after")
print()
print("| figure | smtp-sink (ceiling) | Postfix | Dovecot | Corvel | Corvel ratio | target |")
print("|---|---:|---:|---:|---:|---:|---|")
for r in rows:
    print("| " + " | ".join(r) + " |")
EOF

if [ "$LOGIN" = 1 ]; then
    corvel_log "first POP3 login on large mailboxes"
    BUILD_DIR="$BUILD_DIR" SERVER="$SERVER" REG="$REG" bash "$HERE/pop3_login.sh" 2>/dev/null | tee -a "$OUT/table.md"
fi
if [ "$IDLE" = 1 ]; then
    corvel_log "$IDLE_COUNT idle SMTP sessions"
    corvel_start $((IDLE_COUNT + 1000))
    ( ulimit -n $((IDLE_COUNT + 1000)) && python3 "$HERE/idle_connections.py" "$SMTP_PORT" "$CORVEL_PID" "$IDLE_COUNT" ) |
        tee -a "$OUT/table.md"
    corvel_stop
fi
corvel_log "kept: $OUT"

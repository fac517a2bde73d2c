#!/usr/bin/env bash
# handoffs.sh - what one message costs corvel95 in thread hand-offs, counted by
# the kernel rather than timed, so the figures hold on a loaded machine.
#
# Starts corvel95 in a throw-away home (users bench1..bench5), warms it up, then
# for each load sends MESSAGES messages of SIZE bytes with smtp-source (one
# connection per message, spread over the five mailboxes) while `perf stat`
# watches the server process, and waits until every message is in a mailbox.
# Prints per message, from accept to the mailbox:
#   RESULT handoffs load=s10 msgs=N cs_per_msg=.. wakeups_per_msg=.. futex_per_msg=..
#          migrations_per_msg=.. syscalls_per_msg=.. cpu_ms_per_msg=.. threads=..
# cs = context switches of the server's threads, wakeups = sched_wakeup events
# of tasks woken by the server's threads (including the ones woken in the
# server), futex = futex calls (lock and condition waits and wakes), cpu_ms =
# the server's own task clock (not the machine's). With PER_THREAD=1 the perf
# figures are also printed per thread (by thread name).
#
# Environment: MESSAGES=2000 SIZE=2000 LOADS="s10 s1" MAX_S=300, BUILD_DIR,
# SERVER (another corvel95 binary to measure, e.g. an older build), KEEP_HOME=1.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=bench/corvel_home.sh
. "$HERE/corvel_home.sh"
MESSAGES="${MESSAGES:-2000}"; SIZE="${SIZE:-2000}"; LOADS="${LOADS:-s10 s1}"; MAX_S="${MAX_S:-300}"
PER_THREAD="${PER_THREAD:-0}"
command -v perf >/dev/null || corvel_die "perf is missing (Debian linux-perf)"
[ -x /usr/sbin/smtp-source ] || corvel_die "smtp-source is missing (Debian postfix)"

corvel_build
corvel_make_home 5
corvel_start
TO="bench1@localhost bench2@localhost bench3@localhost bench4@localhost bench5@localhost"
EVENTS="context-switches,cpu-migrations,sched:sched_wakeup,syscalls:sys_enter_futex,raw_syscalls:sys_enter,task-clock"

send() {  # SESSIONS COUNT: sends and waits until all are delivered
    local sessions=$1 count=$2 t0 rc to=$TO
    [ "$sessions" -ge 5 ] || to=bench1@localhost
    eval "$(corvel_reset_cmd)"
    t0="$(date +%s.%N)"
    python3 "$SHARED_BENCH/mbox_count.py" --wait "$count" --since "$t0" --timeout "$MAX_S" \
        "${CORVEL_MBOXES[@]}" > "$CORVEL_WORK/wait.log" 2>&1 &
    local waiter=$!
    TO="$to" MAX_S="$MAX_S" bash "$SHARED_BENCH/smtp_accept.sh" 127.0.0.1 "$SMTP_PORT" "$sessions" "$count" "$SIZE" \
        > "$CORVEL_WORK/acc.log" 2>&1
    rc=$?
    wait "$waiter" || rc=1
    corvel_log "$(grep RESULT "$CORVEL_WORK/acc.log") / $(grep RESULT "$CORVEL_WORK/wait.log")"
    return $rc
}

corvel_log "warm-up: 500 messages"
send 10 500 || corvel_die "warm-up failed: $(cat "$CORVEL_WORK/acc.log")"

for load in $LOADS; do
    sessions="${load#s}"
    out="$CORVEL_WORK/perf.$load"
    pt=(); [ "$PER_THREAD" = 1 ] && pt=(--per-thread)
    perf stat -x ';' -e "$EVENTS" -p "$CORVEL_PID" -o "$out" "${pt[@]}" 2>/dev/null &
    pstat=$!
    sleep 0.5
    threads_before=$(ls /proc/"$CORVEL_PID"/task | wc -l)
    send "$sessions" "$MESSAGES"; rc=$?
    threads=$(ls /proc/"$CORVEL_PID"/task | wc -l)
    kill -INT "$pstat"; wait "$pstat" 2>/dev/null
    if [ "$rc" -ne 0 ]; then corvel_log "load $load failed: $(cat "$CORVEL_WORK/acc.log")"; continue; fi
    python3 - "$out" "$MESSAGES" "$load" "$threads_before" "$threads" "$PER_THREAD" <<'EOF'
import sys, collections
path, msgs, load, tb, ta, per_thread = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6] == "1"
names = {"context-switches": "cs", "cpu-migrations": "migrations", "sched:sched_wakeup": "wakeups",
         "syscalls:sys_enter_futex": "futex", "raw_syscalls:sys_enter": "syscalls", "task-clock": "cpu_ms"}
total = collections.Counter()
per = collections.defaultdict(collections.Counter)
for line in open(path):
    if not line.strip() or line.startswith("#"):
        continue
    f = line.rstrip("\n").split(";")
    if per_thread:
        thread, value, event = f[0], f[1], f[3]
    else:
        thread, value, event = "", f[0], f[2]
    key = names.get(event)
    if key is None or value.startswith("<"):
        continue
    v = float(value)
    total[key] += v
    if per_thread:
        per[thread.rsplit("-", 1)[0]][key] += v
order = ["cs", "wakeups", "futex", "migrations", "syscalls", "cpu_ms"]
print("RESULT handoffs load=%s msgs=%d %s threads=%s->%s" % (
    load, msgs, " ".join("%s_per_msg=%.2f" % (k, total[k] / msgs) for k in order), tb, ta))
for name, c in sorted(per.items(), key=lambda x: -x[1]["cs"]):
    print("  thread %-16s %s" % (name, " ".join("%s=%.2f" % (k, c[k] / msgs) for k in order)))
EOF
done

#!/usr/bin/env bash
# syscall_counts.sh - what one accepted message costs corvel95 in system calls and
# CPU time, counted rather than timed, so the figures hold on a loaded machine.
#
# Starts corvel95 in a throw-away home (users bench1..bench5), warms it up, then
#   1. sends MESSAGES messages of SIZE bytes over SESSIONS sessions with
#      smtp-source and reads the server's CPU (utime+stime from /proc) before and
#      after, waiting until every message is in a mailbox:
#        RESULT cpu msgs=N server_cpu_ms_per_msg=.. load="1 5 15"
#   2. sends the same load again under `strace -c -f` and prints the system calls
#      per message (calls and failures), the most frequent first:
#        RESULT syscalls msgs=N per_msg=..
#        write 2.10 (failing 0.00) ...
# Environment: MESSAGES=2000 SIZE=2000 SESSIONS=10 MAX_S=300 STRACE=1, BUILD_DIR,
# SERVER (another corvel95 binary), KEEP_HOME=1.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=bench/corvel_home.sh
. "$HERE/corvel_home.sh"
MESSAGES="${MESSAGES:-2000}"; SIZE="${SIZE:-2000}"; SESSIONS="${SESSIONS:-10}"
MAX_S="${MAX_S:-300}"; STRACE="${STRACE:-1}"
[ -x /usr/sbin/smtp-source ] || corvel_die "smtp-source is missing (Debian postfix)"

corvel_build
corvel_make_home 5
corvel_start
TO="bench1@localhost bench2@localhost bench3@localhost bench4@localhost bench5@localhost"
HZ=$(getconf CLK_TCK)

server_ticks() { awk '{print $14 + $15}' "/proc/$CORVEL_PID/stat"; }

send() {  # COUNT: sends and waits until all are delivered
    local count=$1 t0 rc
    eval "$(corvel_reset_cmd)"
    t0="$(date +%s.%N)"
    python3 "$SHARED_BENCH/mbox_count.py" --wait "$count" --since "$t0" --timeout "$MAX_S" \
        "${CORVEL_MBOXES[@]}" > "$CORVEL_WORK/wait.log" 2>&1 &
    local waiter=$!
    TO="$TO" MAX_S="$MAX_S" bash "$SHARED_BENCH/smtp_accept.sh" 127.0.0.1 "$SMTP_PORT" "$SESSIONS" \
        "$count" "$SIZE" > "$CORVEL_WORK/acc.log" 2>&1
    rc=$?
    wait "$waiter" || rc=1
    [ "$rc" -eq 0 ] || corvel_log "load failed: $(cat "$CORVEL_WORK/acc.log" "$CORVEL_WORK/wait.log")"
    return $rc
}

send 500 || corvel_die "warm-up failed"
before=$(server_ticks)
send "$MESSAGES" || exit 1
after=$(server_ticks)
echo "RESULT cpu msgs=$MESSAGES sessions=$SESSIONS server_cpu_ms_per_msg=$(
    awk -v d=$((after - before)) -v hz="$HZ" -v n="$MESSAGES" 'BEGIN{printf "%.3f", d * 1000 / hz / n}'
) load=\"$(cut -d' ' -f1-3 /proc/loadavg)\""

[ "$STRACE" = 1 ] || exit 0
command -v strace >/dev/null || corvel_die "strace is missing"
strace -c -f -q -p "$CORVEL_PID" -o "$CORVEL_WORK/strace.txt" &
tracer=$!
sleep 1
send "$MESSAGES"; rc=$?
sleep 0.5
kill -INT "$tracer"; wait "$tracer" 2>/dev/null
[ "$rc" -eq 0 ] || exit 1
python3 - "$CORVEL_WORK/strace.txt" "$MESSAGES" <<'EOF'
import sys
path, msgs = sys.argv[1], int(sys.argv[2])
rows, total = [], 0
for line in open(path):
    f = line.split()
    if len(f) < 5 or not f[3].isdigit() or f[-1] == "total":
        continue
    calls = int(f[3])
    errors = int(f[4]) if len(f) == 6 else 0
    rows.append((calls, errors, f[-1]))
    total += calls
print("RESULT syscalls msgs=%d per_msg=%.1f" % (msgs, total / msgs))
for calls, errors, name in sorted(rows, reverse=True):
    if calls / msgs >= 0.05:
        print("  %-16s %6.2f (failing %.2f)" % (name, calls / msgs, errors / msgs))
EOF

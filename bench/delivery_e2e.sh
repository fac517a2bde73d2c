#!/usr/bin/env bash
# delivery_e2e.sh - end-to-end local delivery benchmark of corvel95.
#
# Builds corvel95 and corvelreg (if needed), sets up a throw-away home under
# /tmp with local users bench1..bench5 (mbox files in the home), starts the
# server on a free loopback port, sends MESSAGES messages of SIZE bytes over
# SESSIONS parallel sessions spread over bench1..bench5@localhost (one TCP
# connection per message), waits until all of them are in the mailbox files,
# prints RESULT lines and stops the server.
#
#   RESULT corvel_e2e accepted msgs=N sessions=S size=B wall_s=T msgs_per_s=R ...
#   RESULT corvel_e2e delivered msgs=N elapsed_s=T msgs_per_s=R ok=1|0 ...
#
# "accepted" is from the first connection to the last reply to the final ".";
# "delivered" is from just before the first connection until the last message
# is in a mailbox (counted by its "From " separator line).
#
# The load is Postfix's smtp-source through ../shared/bench/smtp_accept.sh when
# /usr/sbin/smtp-source exists, else a bounded Python smtplib sender (HELO, one
# connection per message, same headers and 80-column payload lines).
#
# Environment:
#   MESSAGES=5000 SIZE=2000 SESSIONS=10   the load
#   MAX_S=300          hard limit for sending and for waiting, each (seconds)
#   BUILD_DIR=<repo>/build-e2e            build tree (RelWithDebInfo, Ninja)
#   SHARED_BENCH=<repo>/../shared/bench   the shared client scripts
#   SENDER=auto|smtp-source|python        force one load generator
#   KEEP_HOME=1        keep the home directory (log, mailboxes) after the run
#   WITH_RUN_BENCH=1   afterwards, with the same server still running, also run
#                      SHARED_BENCH/run_bench.sh with NEW_* set (Postfix and
#                      smtp-sink measured in the same run, no POP3; needs root and the
#                      peers installed); RB_REPEAT=1 repetitions, RB_MAX_S=900
#                      hard limit; results under /tmp/bench-results/
#
# Everything runs on 127.0.0.1; every wait is bounded; the server (and any
# helper started here) is stopped by PID on exit.
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=bench/corvel_home.sh
. "$HERE/corvel_home.sh"
ROOT="$CORVEL_ROOT"
MESSAGES="${MESSAGES:-5000}"; SIZE="${SIZE:-2000}"; SESSIONS="${SESSIONS:-10}"
MAX_S="${MAX_S:-300}"
SENDER="${SENDER:-auto}"
WITH_RUN_BENCH="${WITH_RUN_BENCH:-0}"; RB_REPEAT="${RB_REPEAT:-1}"; RB_MAX_S="${RB_MAX_S:-900}"
USERS="bench1 bench2 bench3 bench4 bench5"
log() { corvel_log "$*"; }
die() { corvel_die "$*"; }

[ -f "$SHARED_BENCH/mbox_count.py" ] ||
    die "the shared bench scripts are not in $SHARED_BENCH (mbox_count.py); set SHARED_BENCH"

corvel_build
corvel_make_home 5
corvel_start
W="$CORVEL_WORK"; H="$CORVEL_HOME"
MBOXES=("${CORVEL_MBOXES[@]}")
WAIT_PID=""

# ---- load generator ------------------------------------------------------------------
TO=""; for u in $USERS; do TO="$TO ${u}@localhost"; done; TO="${TO# }"
if [ "$SENDER" = auto ]; then
    if [ -x /usr/sbin/smtp-source ] && [ -f "$SHARED_BENCH/smtp_accept.sh" ]; then SENDER=smtp-source; else SENDER=python; fi
fi

py_send() {  # SESSIONS threads, MESSAGES messages, one connection each, bounded by MAX_S
    timeout "$MAX_S" python3 - "$SMTP_PORT" "$SESSIONS" "$MESSAGES" "$SIZE" "$MAX_S" $TO <<'EOF'
import smtplib, sys, threading, time, email.utils
port, sessions, total, size, max_s = (int(x) for x in sys.argv[1:6])
rcpts = sys.argv[6:]
line = "X" * 78 + "\r\n"
body = (line * (size // len(line) + 1))[:size]
if not body.endswith("\r\n"):
    body += "\r\n"
lock = threading.Lock()
state = {"next": 0, "ok": 0, "fail": 0}
deadline = time.time() + max_s
def worker():
    while time.time() < deadline:
        with lock:
            n = state["next"]
            if n >= total:
                return
            state["next"] = n + 1
        to = rcpts[n % len(rcpts)]
        msg = ("From: <sender@bench.example>\r\nTo: <%s>\r\nDate: %s\r\n"
               "Message-Id: <%d.%d@bench.example>\r\n\r\n%s"
               % (to, email.utils.formatdate(), n, int(time.time()), body))
        try:
            s = smtplib.SMTP("127.0.0.1", port, timeout=30)
            s.helo("bench.example")
            s.sendmail("sender@bench.example", [to], msg.encode())
            s.quit()
            with lock:
                state["ok"] += 1
        except Exception as e:
            with lock:
                state["fail"] += 1
                if state["fail"] <= 5:
                    print("send error:", e, file=sys.stderr)
t0 = time.time()
threads = [threading.Thread(target=worker) for _ in range(sessions)]
for t in threads: t.start()
for t in threads: t.join()
wall = time.time() - t0
ok = state["ok"] == total
print("RESULT smtp_accept host=127.0.0.1 port=%d sessions=%d messages=%d size=%d wall_s=%.3f "
      "msgs_per_s=%.1f rcpts=%d rc=%d" % (port, sessions, state["ok"], size, wall,
      state["ok"] / wall if ok and wall > 0 else 0, len(rcpts), 0 if ok else 1))
sys.exit(0 if ok else 1)
EOF
}

# ---- measured run --------------------------------------------------------------------
log "sending $MESSAGES x $SIZE bytes over $SESSIONS sessions to $TO with $SENDER"
t0="$(date +%s.%N)"
python3 "$SHARED_BENCH/mbox_count.py" --wait "$MESSAGES" --since "$t0" --timeout "$MAX_S" \
    "${MBOXES[@]}" > "$W/wait.log" 2>&1 &
WAIT_PID=$!
if [ "$SENDER" = smtp-source ]; then
    ACC="$(TO="$TO" MAX_S="$MAX_S" bash "$SHARED_BENCH/smtp_accept.sh" 127.0.0.1 "$SMTP_PORT" "$SESSIONS" "$MESSAGES" "$SIZE")"
else
    ACC="$(py_send)"
fi
send_rc=$?
wait "$WAIT_PID"; wait_rc=$?; WAIT_PID=""
WAITED="$(grep '^RESULT' "$W/wait.log")"
field() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<< "$2" | head -1; }

acc_rate="$(field msgs_per_s "$ACC")"; acc_wall="$(field wall_s "$ACC")"
del_rate="$(field msgs_per_s "$WAITED")"; del_s="$(field elapsed_s "$WAITED")"
del_count="$(field count "$WAITED")"; del_ok="$(field ok "$WAITED")"
echo "RESULT corvel_e2e accepted msgs=$MESSAGES sessions=$SESSIONS size=$SIZE rcpts=5" \
     "sender=$SENDER wall_s=${acc_wall:-nan} msgs_per_s=${acc_rate:-0}" \
     "client_cpu_s=$(field client_cpu_s "$ACC") machine_cpu_s=$(field machine_cpu_s "$ACC") rc=$send_rc"
echo "RESULT corvel_e2e delivered msgs=${del_count:-0}/$MESSAGES elapsed_s=${del_s:-nan}" \
     "msgs_per_s=${del_rate:-0} machine_cpu_s=$(field machine_cpu_s "$WAITED") ok=${del_ok:-0}"
[ "$send_rc" -eq 0 ] || { log "sender failed (rc $send_rc): $ACC"; tail -5 "$W/server.log" >&2; }
[ "$wait_rc" -eq 0 ] || log "not all messages delivered within $MAX_S s: $(cat "$W/wait.log")"
# Anything bounced or set aside means the figure is not for clean deliveries.
root_n="$(python3 "$SHARED_BENCH/mbox_count.py" "$H/root.mbx" 2>/dev/null || echo '?')"
err_n="$(find "$H" -name '*.err' | wc -l)"
[ "$root_n" = 0 ] && [ "$err_n" = 0 ] || log "warning: $root_n message(s) in root's mailbox, $err_n .err file(s) in the home"
rc=0; { [ "$send_rc" -eq 0 ] && [ "$wait_rc" -eq 0 ]; } || rc=1

# ---- optional: the shared matrix with Postfix, same server still running -------------
if [ "$WITH_RUN_BENCH" = 1 ] && [ "$rc" -eq 0 ]; then
    log "run_bench.sh with this server as NEW (REPEAT=$RB_REPEAT, limit $RB_MAX_S s)"
    reset="for f in ${MBOXES[*]}; do : > \"\$f\"; done"
    NEW_NAME=corvel NEW_SMTP="127.0.0.1:$SMTP_PORT" NEW_MBOX="${MBOXES[*]}" \
    NEW_MBOX_RESET_CMD="$reset" REPEAT="$RB_REPEAT" SESSIONS_LIST="10" CLIENTS_LIST=" " \
    MESSAGES="$MESSAGES" SIZE="$SIZE" \
        timeout "$RB_MAX_S" bash "$SHARED_BENCH/run_bench.sh" || { log "run_bench.sh failed"; rc=1; }
fi
exit "$rc"

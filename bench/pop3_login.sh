#!/usr/bin/env bash
# pop3_login.sh - the first POP3 login after a server start on large mailboxes.
#
# For each size in SIZES (messages), writes the shared benchmark's test mailbox
# of that many messages (../shared/bench/gen_mbox.py, ~2.4 KB a message, with
# CR LF line ends as the server stores them) for user bench1, starts a fresh
# corvel95 on it and times the login (USER, PASS until its reply: lock, index,
# unique ids), then a second login in the same process. Prints per size
#   RESULT pop3_login messages=N mb=M first_login_s=T second_login_s=U ok=1|0
# and a line with the growth: login time per 1,000 messages for each size (linear
# when these agree).
#
# Environment: SIZES="15000 30000 60000", BUILD_DIR, SERVER, KEEP_HOME=1.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=bench/corvel_home.sh
. "$HERE/corvel_home.sh"
SIZES="${SIZES:-15000 30000 60000}"

corvel_build
corvel_make_home 1
BOX="$CORVEL_WORK/template.mbx"
MBX="${CORVEL_MBOXES[0]}"

login() {  # prints the seconds from PASS to its reply, or "fail"
    python3 - "$POP_PORT" "$CORVEL_PASS" <<'EOF'
import socket, sys, time
port, password = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port), timeout=120)
f = s.makefile("rb")
def ask(line):
    if line is not None:
        s.sendall(line.encode() + b"\r\n")
    return f.readline().decode(errors="replace")
ok = ask(None).startswith("+OK") and ask("USER bench1").startswith("+OK")
t0 = time.perf_counter()
ok = ok and ask("PASS " + password).startswith("+OK")
t = time.perf_counter() - t0
ok = ok and ask("QUIT").startswith("+OK")
print("%.3f" % t if ok else "fail")
EOF
}

rows=""
for n in $SIZES; do
    python3 "$SHARED_BENCH/gen_mbox.py" "$BOX" "$n" 2000 >/dev/null
    sed 's/$/\r/' "$BOX" > "$MBX"
    mb=$(python3 -c 'import os,sys; print("%.0f" % (os.path.getsize(sys.argv[1]) / 1e6))' "$MBX")
    corvel_start
    first="$(login)"; second="$(login)"
    corvel_stop
    ok=1; [ "$first" = fail ] || [ "$second" = fail ] && ok=0
    echo "RESULT pop3_login messages=$n mb=$mb first_login_s=$first second_login_s=$second ok=$ok"
    [ "$ok" = 1 ] && rows="$rows $n:$first"
done
per=""
for r in $rows; do
    per="$per $(python3 -c 'import sys; n, t = sys.argv[1].split(":"); print("%s:%.2fms" % (n, float(t) * 1e6 / int(n)))' "$r")"
done
echo "# login time per 1,000 messages:$per"

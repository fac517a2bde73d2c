#!/usr/bin/env bash
# profile.sh PORT [PID] - where a running corvel95 spends its time under SMTP load.
#
# Sends MESSAGES messages of SIZE bytes over SESSIONS sessions with smtp-source
# (one connection per message, as the shared benchmark does) to 127.0.0.1:PORT
# while `perf record` samples the server process PID (default: the process that
# listens on PORT) with call stacks, then prints
#   - the share of samples per thread (network, periodic worker, flush pool),
#   - the top entries by own samples (kernel and server),
#   - the server's functions by samples including their callees,
#   - the system calls by samples including the kernel work beneath them.
# The normal build keeps frame pointers, so CALLGRAPH=fp (the default) gives the
# server's stacks cheaply; CALLGRAPH=dwarf also unwinds libraries without them.
#
# Environment: MESSAGES=3000 SIZE=2000 SESSIONS=10 TO="bench1@localhost ..."
# (default the five bench users; the recipients must exist on the server),
# FREQ=2000 (samples per second), TOP=25, OUT=/tmp/corvel-profile.data (kept),
# SHARED_BENCH=<repo>/../shared/bench. Needs Debian linux-perf and postfix
# (smtp-source); loopback only.
set -uo pipefail
[ $# -ge 1 ] || { sed -n '2,/^set -/{/^#/p}' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
PORT=$1
PID=${2:-}
MESSAGES="${MESSAGES:-3000}"; SIZE="${SIZE:-2000}"; SESSIONS="${SESSIONS:-10}"
TO="${TO:-bench1@localhost bench2@localhost bench3@localhost bench4@localhost bench5@localhost}"
FREQ="${FREQ:-2000}"; TOP="${TOP:-25}"; OUT="${OUT:-/tmp/corvel-profile.data}"
CALLGRAPH="${CALLGRAPH:-fp}"
# shellcheck source=bench/corvel_home.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/corvel_home.sh"
command -v perf >/dev/null || { echo "profile.sh: perf is missing (apt-get install linux-perf)" >&2; exit 1; }
if [ -z "$PID" ]; then
    PID=$(ss -Hltnp "sport = :$PORT" 2>/dev/null | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1)
fi
[ -n "$PID" ] && kill -0 "$PID" 2>/dev/null || { echo "profile.sh: no server process for port $PORT" >&2; exit 1; }
case "$CALLGRAPH" in fp) cg=(--call-graph fp) ;; *) cg=(--call-graph dwarf,16384) ;; esac

perf record -q -F "$FREQ" -g "${cg[@]}" -p "$PID" -o "$OUT" 2>/dev/null &
rec=$!
sleep 0.5
TO="$TO" bash "$SHARED_BENCH/smtp_accept.sh" 127.0.0.1 "$PORT" "$SESSIONS" "$MESSAGES" "$SIZE"
rc=$?
sleep 0.5  # the router's last files
kill -INT "$rec"; wait "$rec" 2>/dev/null
[ "$rc" -eq 0 ] || echo "profile.sh: the load failed (rc $rc); the profile covers what ran" >&2

report() { perf report -i "$OUT" --stdio --percent-limit 0.3 "$@" 2>/dev/null | grep '%' ; }
echo "== samples by thread"
report --no-children --sort comm -g none | head -10
echo "== top $TOP entries by own samples"
report --no-children --sort dso,sym -g none | head -"$TOP"
echo "== the server's functions, samples including callees"
report --children --sort sym -g none | grep -v '\[k\]' |
    grep -v 'inlined\|std::\|__invoke\|_M_\|operator()\|clone3\|start_thread\|0x0000' | head -"$TOP"
echo "== system calls, samples including the kernel work beneath them"
report --children --sort sym -g none | grep -E '\[k\] (__x64_sys_|__do_sys_|ksys_)' | head -15
echo "# perf data kept in $OUT (perf report -i $OUT)"

#!/usr/bin/env bash
# STARTTLS load in one run against Corvel and Postfix with the same certificate:
# 5,000 x 2 KB messages over 10 sessions, each on a new connection with a STARTTLS
# handshake (and AUTH PLAIN against Corvel; Postfix has no SASL back end here), once
# without and once with TLS session resumption. Needs root (Postfix) and a build.
#   bench/tls_bench.sh [MESSAGES] [SESSIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${CORVEL_BIN:-$root/build/bin}
messages=${1:-5000}
sessions=${2:-10}
addr=127.0.23.1
work=$(mktemp -d /tmp/corvel-tlsbench-XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  [ -d "$work/postfix" ] && postfix -c "$work/postfix" stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
key='HKLM\SOFTWARE\Tollgrove\Corvel'
home=$work/corvel/
mkdir -p "$home"
reg() { "$bin/corvelreg" --home "$home" set "$key" "$@" >/dev/null; }
port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.23.1",0));print(s.getsockname()[1])')
reg SysOptSmtp dword "$port"; reg BindAddress sz $addr; reg LocalNode sz bench.example
reg LocalIP sz $addr; reg VerifyIncoming dword 0; reg DisableDNSLookup dword 1
reg SysAccess dword 0; reg UseTls dword 1; reg VerifyNode dword 0
reg UserDirectory sz "$home"
reg MailUser sz ""   # the server keeps the user running the benchmark
echo benchpw | "$bin/corveladm" --home "$home" account add user bench --mailbox "${home}bench.mbx" >/dev/null
"$bin/corvel95" --home "$home" -H >/dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do (exec 3<>/dev/tcp/$addr/$port) 2>/dev/null && break; sleep 0.1; done
echo "Corvel $(date +%F) on $(nproc) cores"
"$bin/tls_bench" $addr "$port" bench@bench.example bench@bench.example --messages "$messages" \
  --sessions "$sessions" --user bench --password benchpw || true
"$bin/tls_bench" $addr "$port" bench@bench.example bench@bench.example --messages "$messages" \
  --sessions "$sessions" --user bench --password benchpw --resume || true
kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""

if ! command -v postfix >/dev/null || [ "$(id -u)" != 0 ]; then
  echo "Postfix: not run (needs postfix and root)"; exit 0
fi
pf=$work/postfix
mkdir -p "$pf" "$work/pfq" "$work/pfd"
cp /etc/postfix/master.cf "$pf/"
cat > "$pf/main.cf" <<CF
compatibility_level = 3.6
queue_directory = $work/pfq
data_directory = $work/pfd
inet_interfaces = loopback-only
inet_protocols = ipv4
myhostname = bench.example
mydestination = bench.example
mynetworks = 127.0.0.0/8
local_transport = discard:
local_recipient_maps =
alias_maps =
alias_database =
smtpd_tls_security_level = may
smtpd_tls_cert_file = ${home}tls/cert.pem
smtpd_tls_key_file = ${home}tls/key.pem
smtpd_tls_session_cache_database =
smtpd_client_connection_rate_limit = 0
default_process_limit = 100
maillog_file_prefixes = $work
maillog_file = $work/postfix.log
CF
chown postfix "$work/pfd" 2>/dev/null || true
chmod 755 "$work"
postconf -c "$pf" -F '*/*/chroot = n'
# smtpd on $addr only (inet_interfaces takes only addresses an interface carries).
postconf -c "$pf" -M# smtp/inet
postconf -c "$pf" -M "$addr:25/inet=$addr:25 inet n - n - - smtpd"
postfix -c "$pf" set-permissions >/dev/null 2>&1 || true
if ! postfix -c "$pf" start >"$work/postfix.start" 2>&1; then tail -5 "$work/postfix.log" 2>/dev/null || true;
  echo "Postfix: did not start from $pf (it reports through syslog)"; cat "$work/postfix.start"; exit 0
fi
for _ in $(seq 100); do (exec 3<>/dev/tcp/$addr/25) 2>/dev/null && break; sleep 0.1; done
echo "Postfix $(postconf -d mail_version | cut -d' ' -f3), same certificate"
"$bin/tls_bench" $addr 25 bench@bench.example bench@bench.example --messages "$messages" \
  --sessions "$sessions" --no-auth || true
"$bin/tls_bench" $addr 25 bench@bench.example bench@bench.example --messages "$messages" \
  --sessions "$sessions" --no-auth --resume || true

#!/bin/bash
# Starts or stops a real name server for the resolver tests: unbound on
# 127.0.0.1:PORT, answering authoritatively from tests/mx/corvel.test.zone and
# refusing everything else (it never asks any other server).
#
#   dns_server.sh start PORT DIR   # writes DIR/unbound.conf, waits until it serves
#   dns_server.sh stop PORT DIR    # stops the server started for DIR
#
# Needs the Debian package "unbound" (/usr/sbin/unbound).
set -u
action=${1:-}
port=${2:-}
dir=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
unbound=${UNBOUND:-/usr/sbin/unbound}

if [[ -z "$action" || -z "$port" || -z "$dir" ]]; then
  echo "usage: $0 start|stop PORT DIR" >&2
  exit 2
fi

case "$action" in
start)
  if [[ ! -x "$unbound" ]]; then
    echo "dns_server.sh: $unbound not found (apt-get install unbound)" >&2
    exit 3
  fi
  mkdir -p "$dir"
  cp "$here/corvel.test.zone" "$dir/corvel.test.zone"
  cat > "$dir/unbound.conf" <<CONF
server:
  interface: 127.0.0.1
  port: $port
  do-ip6: no
  do-tcp: no
  username: ""
  chroot: ""
  directory: "$dir"
  pidfile: "$dir/unbound.pid"
  logfile: "$dir/unbound.log"
  use-syslog: no
  verbosity: 1
  num-threads: 1
  outgoing-range: 16
  so-reuseport: no
  module-config: "iterator"
  access-control: 127.0.0.0/8 allow
  rrset-roundrobin: no
  minimal-responses: no
  # Nothing outside the test zone is ever looked up elsewhere.
  local-zone: "." refuse
  local-zone: "corvel.test." transparent
auth-zone:
  name: "corvel.test."
  zonefile: "$dir/corvel.test.zone"
  for-downstream: yes
  for-upstream: no
  fallback-enabled: no
remote-control:
  control-enable: no
CONF
  rm -f "$dir/unbound.log" "$dir/unbound.pid"
  "$unbound" -d -c "$dir/unbound.conf" > "$dir/unbound.out" 2>&1 &
  echo $! > "$dir/server.pid"
  for _ in $(seq 1 100); do
    if grep -q "start of service" "$dir/unbound.log" 2>/dev/null; then
      exit 0
    fi
    if ! kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
      echo "dns_server.sh: unbound ended at start:" >&2
      cat "$dir/unbound.out" "$dir/unbound.log" >&2 2>/dev/null
      exit 1
    fi
    sleep 0.05
  done
  echo "dns_server.sh: unbound did not start serving within 5 s" >&2
  exit 1
  ;;
stop)
  if [[ -f "$dir/server.pid" ]]; then
    pid=$(cat "$dir/server.pid")
    kill "$pid" 2>/dev/null
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null
    rm -f "$dir/server.pid"
  fi
  exit 0
  ;;
*)
  echo "usage: $0 start|stop PORT DIR" >&2
  exit 2
  ;;
esac

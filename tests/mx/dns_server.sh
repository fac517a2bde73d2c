#!/bin/bash
# Starts or stops a real name server for the resolver tests: unbound on
# ADDRESS:PORT (default 127.0.0.1), answering authoritatively from ZONEFILE
# (default tests/mx/corvel.test.zone; its $ORIGIN names the zone) and refusing
# everything else (it never asks any other server).
#
#   dns_server.sh start PORT DIR [ADDRESS [ZONEFILE]]  # writes DIR/unbound.conf,
#                                                      # waits until it serves
#   dns_server.sh stop PORT DIR    # stops the server started for DIR
#
# Needs the Debian package "unbound" (/usr/sbin/unbound).
set -u
action=${1:-}
port=${2:-}
dir=${3:-}
address=${4:-127.0.0.1}
here=$(cd "$(dirname "$0")" && pwd)
zonefile=${5:-$here/corvel.test.zone}
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
  zone=$(sed -n 's/^\$ORIGIN[[:space:]]*\([^[:space:]]*\).*/\1/p' "$zonefile" | head -1)
  [[ -n "$zone" ]] || zone="corvel.test."
  cp "$zonefile" "$dir/zone.txt"
  cat > "$dir/unbound.conf" <<CONF
server:
  interface: $address
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
  local-zone: "$zone" transparent
auth-zone:
  name: "$zone"
  zonefile: "$dir/zone.txt"
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

#!/usr/bin/env bash
# Makes a new home directory for corvel95: private to its owner (0700), the
# default configuration of etc/corvel-default.reg, and a layout an administrator
# finds his way in:
#   HOME/registry.db   configuration and accounts (0600: it holds the passwords)
#   HOME/mail/         mailboxes and the log, maillog.txt (UserDirectory)
#   HOME/spool/in/     messages waiting for the router (SystemIncoming)
#   HOME/spool/out/    messages waiting to be sent (SystemOutgoing)
# The server makes the directories at start-up when they are missing. A home
# that already has a registry is left alone.
#
#   scripts/new-home.sh HOME      (CORVEL_BIN: where corvelreg is, default build/bin)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${CORVEL_BIN:-$root/build/bin}"
[ $# -eq 1 ] || { echo "usage: scripts/new-home.sh HOME" >&2; exit 2; }
mkdir -p -m 700 "$1"
home="$(cd "$1" && pwd)"
if [ -e "$home/registry.db" ]; then
  echo "new-home: $home already has a registry; left as it is" >&2
  exit 1
fi
"$bin/corvelreg" --home "$home" import "$root/etc/corvel-default.reg"
key='SOFTWARE\Tollgrove\Corvel'
"$bin/corvelreg" --home "$home" set "$key" UserDirectory sz "$home/mail/"
"$bin/corvelreg" --home "$home" set "$key" SystemIncoming sz "$home/spool/in/"
"$bin/corvelreg" --home "$home" set "$key" SystemOutgoing sz "$home/spool/out/"

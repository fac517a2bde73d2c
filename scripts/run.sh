#!/usr/bin/env bash
# Builds Corvel and runs the server in the foreground on its default configuration:
# home directory ./run-home (or $CORVEL_HOME; mailboxes and the log in mail/, the
# spool in spool/in/ and spool/out/), SMTP on port 2525, POP3 on 1100, IMAP on 1143.
# Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target corvel95 corvelreg
home=${CORVEL_HOME:-$PWD/run-home}
# A new home gets the default configuration and its layout (scripts/new-home.sh);
# an existing one is used as it is.
if [ ! -f "$home/registry.db" ]; then
  scripts/new-home.sh "$home"
fi
exec build/bin/corvel95 --home "$home" "$@"

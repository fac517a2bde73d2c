#!/usr/bin/env bash
# Builds Corvel and runs the server in the foreground on its default configuration:
# home directory ./run-home (or $CORVEL_HOME), SMTP on port 2525, POP3 on 1100.
# Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target corvel95 corvelreg
home=${CORVEL_HOME:-$PWD/run-home}
mkdir -p "$home"
if [ ! -f "$home/registry.db" ]; then
  build/bin/corvelreg --home "$home" import etc/corvel-default.reg
fi
exec build/bin/corvel95 --home "$home" "$@"

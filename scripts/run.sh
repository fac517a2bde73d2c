#!/usr/bin/env bash
# Builds Corvel and runs the server in the foreground on its default configuration:
# home directory ./run-home (or $CORVEL_HOME; mailboxes and the log in mail/, the
# spool in spool/in/ and spool/out/), SMTP on port 2525, POP3 on 1100, IMAP on 1143.
# Stop it with Ctrl-C.
#
# Run as root, the server gives up root for the mail user (MailUser, by default
# corvel) once its ports are open. This script makes that user when it is missing
# (a system user without a login) and gives it the home. When the user cannot
# reach the home (it lies below a directory closed to others, such as /root), the
# home's MailUser is set to empty and the server stays root, saying so in its log.
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
if [ "$(id -u)" = 0 ]; then
  key='SOFTWARE\Tollgrove\Corvel'
  if user=$(build/bin/corvelreg --home "$home" get "$key" MailUser 2>/dev/null); then :; else user=corvel; fi
  if [ -n "$user" ]; then
    if ! getent passwd "$user" >/dev/null; then
      useradd --system --home-dir "$home" --no-create-home --shell /usr/sbin/nologin "$user"
      echo "run: made the system user $user for the server" >&2
    fi
    if setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
        test -x "$(dirname "$home")"; then
      chown -R "$user": "$home"
    else
      echo "run: $user cannot enter $home (a directory above it is closed to others);" \
        "the server stays root (MailUser set to empty in this home)" >&2
      build/bin/corvelreg --home "$home" set "$key" MailUser sz ""
    fi
  fi
fi
exec build/bin/corvel95 --home "$home" "$@"

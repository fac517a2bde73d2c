#!/usr/bin/env bash
# Installs the Debian packages Corvel needs that are missing. With --test also the
# packages its tests use.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config libsqlite3-dev sqlite3 libssl-dev libcpp-httplib-dev
          nlohmann-json3-dev libpq-dev libopendkim-dev
          libspf2-dev libopendmarc-dev libmimetic-dev)
if [ "${1:-}" = "--test" ]; then
  # GoogleTest; Python and swaks as real SMTP clients; unbound as a real name
  # server on loopback for the resolver's tests; systemd (systemd-analyze and
  # systemctl, used offline) and netbase (/etc/services) for the setup library's;
  # finger as a real finger client, and fingerd under xinetd as the finger
  # benchmark's peer; Postfix for smtp-sink and smtp-source and as a throw-away
  # peer of the outgoing tests (its own service is never started: debconf
  # "Local only"); headless Chromium driven by Selenium for the console's browser test;
  # fetchmail and testssl.sh as TLS clients of the POP3S and STARTTLS ports; isync
  # (mbsync) and offlineimap3 as real IMAP clients; Python's dkimpy (with PyNaCl for ed25519) as the
  # independent verifier of our DKIM signatures and the signer of the verification
  # tests' mail; rspamd (its own service is never started: the tests run it with a
  # configuration of their own).
  packages+=(libgtest-dev libgmock-dev python3 swaks mpop unbound systemd netbase finger fingerd
             xinetd postfix chromium chromium-driver python3-selenium libnet-ssleay-perl
             libio-socket-ssl-perl openssl fetchmail testssl.sh
             postgresql isync offlineimap3 python3-dkim python3-nacl rspamd)
  if ! dpkg-query -W -f='${Status}' postfix 2>/dev/null | grep -q "install ok installed"; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    echo "postfix postfix/main_mailer_type select Local only" | $sudo_cmd debconf-set-selections
    echo "postfix postfix/mailname string localhost" | $sudo_cmd debconf-set-selections
  fi
fi
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi
# Benchmarks: Dovecot as the IMAP benchmark's peer (it starts a private one of its
# own on a free loopback port) and mbsync as its downloading client.
if [ "${1:-}" = "--bench" ]; then
  packages+=(dovecot-imapd isync)
fi
new_dovecot=0
if [ "${1:-}" = "--bench" ] &&
   ! dpkg-query -W -f='${Status}' dovecot-imapd 2>/dev/null | grep -q "install ok installed"; then
  new_dovecot=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
# A Dovecot installed only for the benchmark must not keep the IMAP ports that
# corvel95 listens on: its system service is stopped and left off.
if [ "$new_dovecot" = 1 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    $sudo_cmd systemctl disable --now dovecot >/dev/null 2>&1 || true
  else
    $sudo_cmd service dovecot stop >/dev/null 2>&1 || true
    $sudo_cmd update-rc.d dovecot disable >/dev/null 2>&1 || true
  fi
fi

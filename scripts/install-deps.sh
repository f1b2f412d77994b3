#!/bin/sh
# Installs what building, running and testing the system needs on Debian 12.
set -eu
packages="build-essential cmake pkg-config clang libsqlite3-dev libc-ares-dev libssl-dev libgtest-dev
  ucspi-tcp-ipv6 exim4-daemon-light swaks libnet-ssleay-perl openssl sqlite3 python3 python3-aiosmtpd
  faketime libfaketime rbldnsd strace iproute2 util-linux groff-base libclang-rt-14-dev
  libpq-dev postgresql pgbouncer python3-psycopg2"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

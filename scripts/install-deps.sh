#!/bin/sh
# Installs what building, running and testing the system needs on Debian 12,
# then checks in one pass that every capability is really there (a package
# can be installed and still lack what a mere recommendation brings), naming
# the package for each one missing; exits 1 when one is.
#   scripts/install-deps.sh          build, run, test, fuzz
#   scripts/install-deps.sh --chain  build and run the chain (scripts/demo.sh)
set -eu
case "${1:-}" in
  --chain) mode=chain ;;
  "") mode=all ;;
  *) echo "usage: $0 [--chain]" >&2; exit 2 ;;
esac

chain_packages="build-essential cmake pkg-config libsqlite3-dev libc-ares-dev libssl-dev libpq-dev
  ucspi-tcp-ipv6 exim4-daemon-light swaks sqlite3"
test_packages="clang libclang-rt-14-dev libgtest-dev libio-socket-inet6-perl libnet-ssleay-perl openssl python3
  python3-aiosmtpd python3-psycopg2 faketime libfaketime rbldnsd strace iproute2 util-linux groff-base
  postgresql pgbouncer daemontools
  dpkg-dev debhelper lintian systemd systemd-container"
packages=$chain_packages
[ "$mode" = all ] && packages="$packages $test_packages"

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

# The check: each capability the build, the chain or the suite relies on.
PATH=$PATH:/usr/sbin:/sbin
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
lacking=0
have() {  # PACKAGE WHAT COMMAND...
  package=$1 what=$2
  shift 2
  if ! "$@" >/dev/null 2>&1; then
    echo "install-deps: missing $what (package $package)" >&2
    lacking=1
  fi
}
static_library() { [ "$(gcc -print-file-name="$1")" != "$1" ]; }
compiles_cxx20() { printf '#include <span>\nint main() {}\n' | g++ -std=c++20 -x c++ - -o "$scratch/cxx"; }
tcpserver_on_ipv6() {
  tcpserver -1 -R -H ::1 0 true >"$scratch/port" 2>&1 &
  pid=$!
  tries=0
  while [ ! -s "$scratch/port" ] && [ $tries -lt 100 ]; do sleep 0.02; tries=$((tries + 1)); done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
  grep -q '^[0-9][0-9]*$' "$scratch/port"
}
swaks_supports() { swaks --support 2>&1 | grep -q "^=== $1 supported"; }
compiles_fuzzer() {
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
    clang++ -fsanitize=fuzzer,address,undefined -x c++ - -o "$scratch/fuzz"
}
faketime_preloads() {
  lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
  [ -n "$lib" ] && [ "$(LD_PRELOAD=$lib FAKETIME=@2001-02-03\ 04:05:06 date +%Y)" = 2001 ]
}
debhelper_13() { dh_assistant supported-compat-levels 2>/dev/null | grep -q '"HIGHEST_STABLE_COMPAT_LEVEL":1[3-9]'; }
postgresql_binaries() {
  for b in initdb pg_ctl postgres; do ls /usr/lib/postgresql/*/bin/$b >/dev/null 2>&1 || return 1; done
}

have build-essential "a C++20 compiler (g++ 12)" compiles_cxx20
have cmake "cmake" cmake --version
have pkg-config "pkg-config" pkg-config --version
have libsqlite3-dev "SQLite's header" test -f /usr/include/sqlite3.h
have libsqlite3-dev "SQLite's static library" static_library libsqlite3.a
have libc-ares-dev "c-ares's header" test -f /usr/include/ares.h
have libc-ares-dev "c-ares's static library" static_library libcares.a
have libssl-dev "OpenSSL's headers" test -f /usr/include/openssl/ssl.h
have libpq-dev "libpq's header" test -f /usr/include/postgresql/libpq-fe.h
have ucspi-tcp-ipv6 "tcpserver listening on IPv6" tcpserver_on_ipv6
have exim4-daemon-light "exim4" exim4 -bV
have exim4-config "update-exim4.conf" command -v update-exim4.conf
have swaks "swaks" swaks --version
have sqlite3 "the sqlite3 shell" sqlite3 -version
if [ "$mode" = all ]; then
  have libio-socket-inet6-perl "swaks over IPv6 (IO::Socket::INET6)" swaks_supports IPv6
  have libnet-ssleay-perl "swaks over TLS (Net::SSLeay)" swaks_supports TLS
  have libgtest-dev "GoogleTest" test -f /usr/include/gtest/gtest.h
  have "clang libclang-rt-14-dev" "clang with libFuzzer and the sanitizers" compiles_fuzzer
  have libfaketime "libfaketime, preloaded" faketime_preloads
  have faketime "faketime" command -v faketime
  have postgresql "the PostgreSQL server binaries (initdb, pg_ctl, postgres)" postgresql_binaries
  have pgbouncer "pgbouncer" pgbouncer --version
  have rbldnsd "rbldnsd" command -v rbldnsd
  have python3 "python3" /usr/bin/python3 --version
  have python3-aiosmtpd "aiosmtpd for Python 3" /usr/bin/python3 -c 'import aiosmtpd'
  have python3-psycopg2 "psycopg2 for Python 3" /usr/bin/python3 -c 'import psycopg2'
  have openssl "the openssl command" openssl version
  have strace "strace" strace -V
  have iproute2 "ip" ip -V
  have util-linux "unshare" unshare --version
  have groff-base "groff" groff -v
  have daemontools "multilog" command -v multilog
  have "(none: run as root on a kernel that allows them)" "network namespaces (unshare -n)" unshare -n true
  # The package test: it builds the package, checks it and boots this
  # system with systemd in a container to install it there.
  have dpkg-dev "dpkg-buildpackage" command -v dpkg-buildpackage
  have debhelper "debhelper at compatibility level 13" debhelper_13
  have lintian "lintian" lintian --version
  have systemd "systemd, to boot in the container" test -x /lib/systemd/systemd
  have systemd-container "systemd-nspawn" systemd-nspawn --version
  have util-linux "nsenter" nsenter --version
fi
exit $lacking

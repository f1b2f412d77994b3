#!/bin/sh
# Runs the process-level tests with every program of the system under
# valgrind's memcheck; any memcheck error makes the program exit with 99,
# which fails its test. Slow, so not part of scripts/test.sh.
# Usage: tests/valgrind.sh [BUILD_DIR] [TEST_MODULE...]
set -eu
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind >/dev/null; }
build=$(cd "${1:-build}" && pwd)
[ $# -gt 0 ] && shift
wrapped=$(mktemp -d)
trap 'rm -rf "$wrapped"' EXIT
for program in ostrel ferrow tunwick ostrelctl ostrel-exim; do
  cat > "$wrapped/$program" <<SH
#!/bin/sh
exec valgrind --quiet --error-exitcode=99 --leak-check=no --trace-children=no "$build/bin/$program" "\$@"
SH
  chmod +x "$wrapped/$program"
done
modules=${*:-test_startup test_session test_relay test_decision test_suspicion test_greet_delay test_client_key \
  test_e2e test_tunwick test_ostrelctl test_examples test_faults test_hostile test_tls}
cd tests/process
export OSTREL_BIN_DIR="$wrapped" OSTREL_HELPER_DIR="$build/bin" OSTREL_UNDER_VALGRIND=1
status=0
for module in $modules; do
  /usr/bin/python3 -m unittest "$module" || status=1
done
OSTREL_BIN_DIR="$wrapped" OSTREL_HELPER_DIR="$build/bin" unshare -m -n /usr/bin/python3 -m unittest test_ferrow || status=1
OSTREL_BIN_DIR="$wrapped" OSTREL_HELPER_DIR="$build/bin" unshare -m -n /usr/bin/python3 -m unittest test_exim_client || status=1
OSTREL_BIN_DIR="$wrapped" OSTREL_HELPER_DIR="$build/bin" unshare -n /usr/bin/python3 -m unittest test_ipv6_chain || status=1
exit $status

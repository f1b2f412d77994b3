#!/bin/sh
# Installs what the benchmarks compare against, builds, and prints every figure.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends socat postgrey time strace >/dev/null
# Postfix itself conflicts with exim4: bench/load.py fetches it with
# apt-get download and runs it from a private root; these are its libraries.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  libsasl2-2 libssl3 libicu72 libnsl2 libdb5.3 >/dev/null
scripts/build.sh build
scripts/build.sh build-dynamic -DOSTREL_STATIC=OFF -DOSTREL_TESTS=OFF
scripts/build.sh build-static -DOSTREL_FULLY_STATIC=ON -DOSTREL_TESTS=OFF
echo "== relay throughput"; /usr/bin/python3 bench/throughput.py build/bin 100
echo "== DNSBL delay"; /usr/bin/python3 bench/ferrow_delay.py build/bin 40
echo "== connection load"; /usr/bin/python3 bench/load.py 320
echo "== CPU per connection and start-up"; /usr/bin/python3 bench/startup.py 200
echo "== the write-ahead log as connections accumulate"; /usr/bin/python3 bench/wal.py 5000
echo "== STARTTLS taken by ostrel"; /usr/bin/python3 bench/tls.py 96 100
echo "== the decision line and ostrelctl report"; /usr/bin/python3 bench/decision_line.py 200
echo "== the minimum retry delay"; /usr/bin/python3 bench/min_delay.py 100
echo "== each greylisted connection beside the floor of its process model"; /usr/bin/python3 bench/greylist_floor.py 1000 7

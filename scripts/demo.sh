#!/bin/sh
# Runs the chain on 127.0.0.1:2525 in the foreground:
#   tcpserver -> ferrow -> ostrel -> exim4 -bs
# with greylisting on, a fresh database and the example suspicion file.
# Mail that gets through is delivered to demo/exim/mail/inbox.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
port=${PORT:-2525}
state=$(pwd)/demo
mkdir -p "$state/exim/spool" "$state/exim/log" "$state/exim/mail"
chown -R Debian-exim: "$state/exim/spool" "$state/exim/log" "$state/exim/mail"
sed "s|@DIR@|$state/exim|g" examples/exim-demo.conf > "$state/exim/exim.conf"
rm -f "$state/greylist.db"*
build/bin/ostrelctl init-db "$state/greylist.db"
cp examples/suspicion.rules "$state/suspicion.rules"

cat <<MSG

The chain listens on 127.0.0.1:$port (tcpserver -> ferrow -> ostrel -> exim4 -bs).
Try it from another terminal:
  swaks --server 127.0.0.1:$port --from you@example.org --to user@example.net
The first attempt gets "451 qqt failure (#4.3.0)" or "452 insufficient system storage";
run the same command again and exim accepts the message ("250 OK id=...").
Inspect the database: sqlite3 $state/greylist.db 'SELECT * FROM pending; SELECT * FROM verified;'
Delivered mail: $state/exim/mail/inbox. Log lines follow below; stop with Ctrl-C.

MSG
exec env GREYLIST= GREETDELAY=1000 DBFILE="$state/greylist.db" SUSPICION="$state/suspicion.rules" LOGTHRESHOLD=6 \
  tcpserver -v -R -H -l mx.demo.example 127.0.0.1 "$port" \
  build/bin/ferrow build/bin/ostrel /usr/sbin/exim4 -C "$state/exim/exim.conf" -bs

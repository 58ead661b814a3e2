#!/usr/bin/env bash
# Builds the server and runs it in debug mode on the demo configuration: loopback port 1143,
# user files with the demo user "demo" (password "demo-password"), three delivered messages.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DEMO=/tmp/veve4d-demo

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target veve4d

mkdir -p "$DEMO/spool" "$DEMO/accounts" "$DEMO/users/demo"

# The user file: one Base64 line per user, fields name, password, -, -, home, tab-separated.
printf 'demo\tdemo-password\t\t\t%s\n' "$DEMO/users/demo" | base64 -w0 > "$DEMO/accounts/demo.local.idx"
echo >> "$DEMO/accounts/demo.local.idx"

# The password file shared with POP3, read by AUTHENTICATE CRAM-MD5.
printf 'demo-password\n' > "$DEMO/users/demo/apop.dat"

# Mail the companion server "delivered": imported into INBOX at the first login.
if [ ! -e "$DEMO/users/demo/imap.idx" ]; then
  for n in 1 2 3; do
    printf 'From: Alice Example <alice@example.org>\r\nTo: demo@demo.local\r\nSubject: Demo message %s\r\nDate: Sun, 06 Dec 2026 10:0%s:00 +0000\r\nMessage-ID: <demo-%s@example.org>\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nThis is demo message number %s.\r\n' \
      "$n" "$n" "$n" "$n" > "$DEMO/users/demo/demo$n.MSG"
  done
fi

echo "Demo: user 'demo', password 'demo-password', imap://127.0.0.1:1143 (Ctrl+C stops)"
export VEVE4D_REGISTRY="$ROOT/etc/demo-registry.reg"
exec "$ROOT/build/veve4d" -debug

#!/usr/bin/env bash
# Builds the server and runs it in debug mode on the demo configuration: loopback port 1143,
# user files with the demo user "demo" (password "demo-password"), three delivered messages;
# IMAPS on 127.0.0.1:1993 and STARTTLS on 1143 with a self-signed certificate for localhost.
# "run-demo.sh --prepare DIR" only lays out the demo's tree in DIR (the README test does).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DEMO=/tmp/veve4d-demo
if [ "${1:-}" = "--prepare" ]; then
  DEMO=${2:?run-demo.sh --prepare DIR}
else
  scripts/install-deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j "$(nproc)" --target veve4d
fi

# The protocol log is written only where its directory exists; the registry turns it on.
mkdir -p "$DEMO/spool/receiveimap4" "$DEMO/accounts" "$DEMO/users/demo" "$DEMO/tls"

# A self-signed certificate for localhost and 127.0.0.1, made once; clients trust it with
# --cacert (curl) or an SSL context that loads it (imaplib).
if [ ! -s "$DEMO/tls/cert.pem" ] || [ ! -s "$DEMO/tls/key.pem" ]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 365 \
    -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
    -keyout "$DEMO/tls/key.pem" -out "$DEMO/tls/cert.pem" 2>/dev/null
  chmod 600 "$DEMO/tls/key.pem"
fi

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

[ "${1:-}" = "--prepare" ] && exit 0

echo "Demo: user 'demo', password 'demo-password', imap://127.0.0.1:1143 (STARTTLS) and"
echo "imaps://127.0.0.1:1993, certificate $DEMO/tls/cert.pem (Ctrl+C stops)"
export VEVE4D_REGISTRY="$ROOT/etc/demo-registry.reg"
exec "$ROOT/build/veve4d" -debug

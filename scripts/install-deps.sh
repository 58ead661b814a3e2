#!/usr/bin/env bash
# Installs the packages the build and the tests need. As root it installs them; otherwise
# it names the missing ones.
set -euo pipefail

# One package a line, grouped by what needs it.
PACKAGES=(
  g++
  cmake
  make
  libgtest-dev
  libpam0g-dev
  libpam-wrapper
  libnss-wrapper
  python3
  # the fail2ban filter shipped in the package, run over the server's own log lines
  fail2ban
  # the Debian package and its test
  dpkg-dev
  curl
  # TLS: the library, and the command that makes test and demo certificates
  libssl-dev
  openssl
  # COMPRESS=DEFLATE
  zlib1g-dev
  # TLS interoperability tests
  fetchmail
  # sync clients driven against a private server (tests/clients)
  isync
  offlineimap3
  # imaptest: built from ../shared/imaptest against Dovecot's library
  dovecot-core
  dovecot-dev
  autoconf
  automake
  libtool
  patch
  gcc
  # the benchmarks that run a private Dovecot beside the server (bench/*_bench.py)
  dovecot-imapd
  # fuzzing (scripts/fuzz.sh): clang and its libFuzzer and sanitizer runtimes
  clang
  libclang-rt-dev
  # the cluster test (tests/cluster) and the cluster benches: a GlusterFS volume mounted twice,
  # HAProxy in front
  glusterfs-server
  haproxy
  # the webmail test (tests/webmail): Debian's Roundcube with SQLite, served by PHP's own server
  # (php-cgi satisfies PHP's web-server need without Apache), driven in a headless Chromium
  roundcube-core
  roundcube-sqlite3
  php-cli
  php-cgi
  php-sqlite3
  chromium
  chromium-driver
  python3-selenium
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

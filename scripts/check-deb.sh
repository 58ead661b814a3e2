#!/usr/bin/env bash
# Builds the Debian package and has lintian check it: no error may remain. As root it installs
# lintian when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v lintian >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends lintian >/dev/null
  else
    echo "lintian is missing: sudo apt-get install lintian" >&2
    exit 1
  fi
fi

deb=${1:-$(scripts/build-deb.sh)}
echo "lintian $deb"
lintian --fail-on error --info "$deb"

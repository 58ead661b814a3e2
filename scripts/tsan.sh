#!/usr/bin/env bash
# Builds the server and the tests with ThreadSanitizer and runs them: several sessions on one
# server, mailbox views and IDLE, the admission limit and its queue, the stop and the service
# status are where threads meet. Any race report, from a test or from a server it started, fails
# the run. Left out: imaptest, the client and webmail, crash and MIME corpus scripts (the same server paths,
# far slower), the package check, and the tests of operating-system accounts, whose PAM and NSS
# wrapper libraries are loaded in a way the sanitizer runtime refuses.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

BUILD_DIR=${BUILD_DIR:-build-tsan}
JOBS=${JOBS:-$(nproc)}
SKIP=${TSAN_SKIP:-'^(imaptest\.|package\.|SystemAccounts\.|AccountCheck\.EveryMechanism|clients\.|crash_test|mime_corpus|cluster\.|webmail\.)'}

cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEVE4D_TSAN=ON)
command -v ccache >/dev/null && cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD_DIR" "${cmake_args[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target veve4d veve4d-admin unit_tests integration_tests

reports=$(realpath "$BUILD_DIR")/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
# Reports go to files as well as failing the process that found them: a server started by a test
# ends with _Exit, which would otherwise leave a race unnoticed.
export TSAN_OPTIONS="log_path=$reports/race second_deadlock_stack=1 history_size=4 ${TSAN_OPTIONS:-}"
status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" -E "$SKIP" --timeout 600 || status=1
if compgen -G "$reports/race*" >/dev/null; then
  echo "=== ThreadSanitizer reports"
  cat "$reports"/race*
  status=1
fi
exit $status

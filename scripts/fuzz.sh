#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for a fixed time, starting from its seeds in fuzz/corpus/<target>/, with the tokens of
# fuzz/<target>.dict (else fuzz/bytes.dict).
#   scripts/fuzz.sh                 every target, FUZZ_SECONDS (default 20) each
#   scripts/fuzz.sh 180 mime search  the named targets, three minutes each
# New inputs that found new code are kept in $BUILD_DIR/corpus/<target>/ for the next run; a
# crash leaves its input in $BUILD_DIR/artifacts/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

SECONDS_EACH=${FUZZ_SECONDS:-20}
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then SECONDS_EACH=$1; shift; fi
ALL=(request_line args message_set fetch_items mime search registry_file user_file session_input proxy_header mailbox_name)
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL[@]}")
BUILD_DIR=${BUILD_DIR:-build-fuzz}
JOBS=${JOBS:-$(nproc)}

cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DVEVE4D_FUZZ=ON)
command -v ccache >/dev/null && cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD_DIR" "${cmake_args[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${TARGETS[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$BUILD_DIR/artifacts"
passed=0
failed=0
for t in "${TARGETS[@]}"; do
  work="$BUILD_DIR/corpus/$t"
  mkdir -p "$work"
  log="$BUILD_DIR/fuzz-$t.log"
  echo "=== fuzz $t (${SECONDS_EACH}s)"
  # NUL, CR and LF are offered to every target as whole tokens, so that they reach every position.
  dict=fuzz/$t.dict
  [ -f "$dict" ] || dict=fuzz/bytes.dict
  if "$BUILD_DIR/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -max_len=65536 -timeout=20 -rss_limit_mb=2048 \
       -dict="$dict" \
       -print_final_stats=1 -artifact_prefix="$BUILD_DIR/artifacts/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    passed=$((passed + 1))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $t: ${runs:-?} executions, corpus $(ls "$work" | wc -l) inputs, no fault"
  else
    failed=$((failed + 1))
    tail -60 "$log"
    echo "fuzz $t: FAULT (input in $BUILD_DIR/artifacts/)"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

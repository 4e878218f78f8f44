#!/usr/bin/env bash
# Builds korvo and runs the whole test suite:
# - a plain build with warnings as errors (Release with Debian's flags, the
#   build the package is made from);
# - the same suite under AddressSanitizer + UndefinedBehaviorSanitizer, less
#   the tests labelled script (they run no C++ of ours) and the replays of
#   the kept fuzz inputs (the fuzz step runs them under the same sanitizers
#   before it fuzzes);
# - the threaded tests under ThreadSanitizer;
# - a short run of each fuzz target (clang, libFuzzer);
# - the end-to-end suite under valgrind memcheck;
# - the Debian package built, installed, run and removed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
# Each step's heading says how long the run has taken so far.
step() { echo "== $* (at ${SECONDS} s)"; }

build_and_test() {  # build-dir, ctest options, targets (empty: all), cmake options...
  local dir=$1 filter=$2 targets=$3
  shift 3
  [ $# -eq 0 ] || cmake -S . -B "$dir" -G Ninja -DKORVO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 $filter
}

step "npm packages of the Node.js cross-checks and the LLRP reader emulator"
npm ci --prefix tests/epc --no-audit --no-fund
# epcis2.js, the EPCIS documents' and event hash ids' oracle.
npm ci --prefix tests/epcis --no-audit --no-fund
npm ci --prefix tests/llrp_emulator --no-audit --no-fund
# playwright-core, which drives Debian's chromium through the live page test.
npm ci --prefix tests/browser --no-audit --no-fund
step "plain build: Release with Debian's flags, as the package is built"
scripts/release-config.sh build
build_and_test build "" ""
# The sanitizer builds use clang, which builds them about twice as fast as
# gcc; the plain build and the package stay gcc's, as Debian builds them.
step "address and undefined-behaviour sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test build-asan "-LE script" "" -DKORVO_SANITIZE=address \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DKORVO_BENCH=OFF -DKORVO_FUZZ_REPLAY=OFF
step "thread sanitizer: the asynchronous completion and event tests"
# korvo, the fake session it loads and the tests are all built with TSan; a
# report fails the test (korvo then ends with TSan's exit code and writes to
# standard error, which the end-to-end tests check).
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build_and_test build-tsan "-R ^(Async|ManualResetEvent)" \
    "korvo fake_session korvo_unit_tests korvo_e2e_tests" -DKORVO_SANITIZE=thread \
    -DCMAKE_CXX_COMPILER=clang++
step "fuzz targets, a short smoke run each"
scripts/fuzz.sh 5
step "end-to-end suite under valgrind memcheck"
MEMCHECK_BUILD_DIR=build scripts/memcheck.sh
step "Debian package from the plain build: lintian, install, run, remove"
scripts/package.sh build
step "all steps passed"

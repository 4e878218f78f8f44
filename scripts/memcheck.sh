#!/usr/bin/env bash
# Runs the end-to-end suite with every korvo run under valgrind memcheck.
# A memory error or a definite leak makes that korvo run exit with 99, which
# fails its test; the valgrind logs stay in build-memcheck/valgrind/.
#
#   scripts/memcheck.sh [test name regex]     e.g. 'Binding\.'
set -euo pipefail
cd "$(dirname "$0")/.."
# MEMCHECK_BUILD_DIR names an already configured build to use as it is
# (the test script passes its plain build); otherwise build-memcheck is made
# with -O1 -g. MEMCHECK_ORIGINS=1 makes valgrind say where an uninitialised
# value came from: the same errors are found without it, in about 40% less
# time, so it is for reading a report rather than for finding one.
dir=${MEMCHECK_BUILD_DIR:-build-memcheck}
logs=$PWD/$dir/valgrind

if [ -z "${MEMCHECK_BUILD_DIR:-}" ]; then
  cmake -S . -B "$dir" -G Ninja -DKORVO_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target korvo_e2e_tests
rm -rf "$logs"
mkdir -p "$logs"

# Definite leaks count as errors; memory still reachable at exit (the loaded
# library, the output buffer) does not.
origins=no
[ "${MEMCHECK_ORIGINS:-0}" = 1 ] && origins=yes
export KORVO_E2E_WRAPPER="valgrind --quiet --error-exitcode=99 \
--leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
--track-origins=$origins --suppressions=$PWD/scripts/valgrind.supp \
--log-file=$logs/korvo.%p.log"
status=0
# The end-to-end tests carry the label e2e; the unit tests run no korvo.
ctest --test-dir "$dir" -L e2e -j "$(nproc)" --output-on-failure --timeout 600 \
  ${1:+-R "$1"} || status=$?

# Every log that is not empty names a problem (--quiet leaves clean runs
# silent).
problems=$(find "$logs" -name '*.log' -size +0 | wc -l)
if [ "$problems" -gt 0 ]; then
  echo "memcheck: $problems korvo run(s) reported problems; see $logs" >&2
  find "$logs" -name '*.log' -size +0 -exec head -n 40 {} + >&2
  status=1
fi
[ "$status" -eq 0 ] && echo "memcheck: clean ($(ls "$logs" | wc -l) korvo runs)"
exit "$status"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# while.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
#
# Targets are the names of fuzz/*_fuzzer.cc (options, utf, format, ...); all
# by default. Each run starts from the kept inputs in fuzz/corpus/<target>/
# and grows a working corpus in build-fuzz/corpus/<target>/. A crash or a
# broken property stops the run and leaves its input in build-fuzz/crashes/;
# copy that file into fuzz/corpus/<target>/ (after the fix) so that the
# ordinary test run replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
dir=build-fuzz

CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DKORVO_FUZZ=ON -DKORVO_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*_fuzzer.cc; do
    f=${f##*/}
    targets+=("${f%_fuzzer.cc}")
  done
fi

mkdir -p "$dir/crashes"
# One target per core at a time: each libFuzzer run is single-threaded.
fuzz_one() {
  local t=$1
  mkdir -p "$dir/corpus/$t"
  if ! "$dir/fuzz/${t}_fuzzer" -max_total_time="$seconds" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$dir/crashes/$t-" \
      "$dir/corpus/$t" "fuzz/corpus/$t" >"$dir/$t.log" 2>&1; then
    tail -n 40 "$dir/$t.log" >&2
    echo "fuzz: $t failed; the input is in $dir/crashes/ (log: $dir/$t.log)" >&2
    return 1
  fi
  echo "== $t ran ${seconds}s: $(grep -E '^stat::number_of_executed_units' \
    "$dir/$t.log" | tail -n 1)"
}
export -f fuzz_one
export dir seconds
if ! printf '%s\n' "${targets[@]}" |
    xargs -P "$(nproc)" -I{} bash -c 'fuzz_one "$1"' _ {}; then
  echo "fuzz: a target failed (above)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} target(s) ran ${seconds}s each without a crash"

#!/usr/bin/env bash
# Builds korvo and the benchmarks with optimisation (Release, build-bench/)
# and prints the benchmark table. Takes a few minutes; not part of the tests.
#
#   bench/run.sh [startup] [render] [http] [reader] [epc] [mqtt]  (all by default)
#
# Environment: BENCH_CPU, the core every measurement is pinned to (default:
# the last one); BENCH_SIZES, the reading sizes (default "1000 10000 100000
# 1000000"); BENCH_REPS, runs per program and size (default 11; start-up
# takes 20 times as many).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=$root/build-bench
cpu=${BENCH_CPU:-$(($(nproc) - 1))}
sizes=${BENCH_SIZES:-"1000 10000 100000 1000000"}
reps=${BENCH_REPS:-11}
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(startup render http reader epc mqtt)

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVO_TESTS=OFF \
  >/dev/null
cmake --build "$dir" -j "$(nproc)" >/dev/null

korvo=$dir/korvo
lib=$dir/bench/lib/rfid_qel.kzm
measure=(taskset -c "$cpu" "$dir/bench/measure")

echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sort -u | paste -sd /)"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC'); pinned to core $cpu"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) before the runs"
echo

ms() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

for part in "${parts[@]}"; do
  case $part in
  startup)
    # korvo formats against a session with an empty format list, against
    # the floor that only loads, creates, opens and closes.
    mapfile -t r < <(KORVO_BENCH_TAGS=0 "${measure[@]}" --reps $((reps * 20)) -- \
      "$korvo" formats dll "$lib" :: "$dir/bench/start_floor" "$lib")
    read -r k _ <<<"${r[0]}"
    read -r f _ <<<"${r[1]}"
    echo "start-up: korvo formats $(ms "$k") ms, floor $(ms "$f") ms," \
      "ratio $(ratio "$k" "$f") (median of $((reps * 20)) each; target <= 1.1)"
    echo
    ;;
  render)
    echo "rendering (8 field values per tag; output to /dev/null; medians of $reps):"
    printf '%-8s %-8s %9s %7s %7s %9s %9s %6s %7s\n' tags form wall_ms us/tag \
      MB/s peak_KiB floor_ms ratio cpu_rat
    for n in $sizes; do
      mapfile -t r < <(KORVO_BENCH_TAGS=$n "${measure[@]}" --reps "$reps" -- \
        "$korvo" print dll "$lib" :: "$korvo" print compact dll "$lib" :: \
        "$dir/bench/walk_floor" "$lib")
      read -r floor _ _ floor_rss floor_cpu_ns <<<"${r[2]}"
      k=0
      for form in readable compact; do
        read -r wall _ _ rss cpu_ns <<<"${r[$k]}"
        args=(print dll "$lib")
        [ "$form" = compact ] && args=(print compact dll "$lib")
        bytes=$(KORVO_BENCH_TAGS=$n "$korvo" "${args[@]}" | wc -c)
        awk -v n="$n" -v form="$form" -v wall="$wall" -v bytes="$bytes" \
          -v rss="$rss" -v floor="$floor" -v cpu="$cpu_ns" -v floor_cpu="$floor_cpu_ns" 'BEGIN {
            printf "%-8d %-8s %9.1f %7.3f %7.1f %9d %9.1f %6.2f %7.2f\n", n, form,
              wall / 1e6, wall / 1e3 / n, bytes / (wall / 1e9) / 1e6, rss,
              floor / 1e6, wall / floor, cpu / floor_cpu }'
        k=$((k + 1))
      done
      echo "         (walk floor peak ${floor_rss} KiB)"
    done
    echo
    ;;
  http)
    "$root/bench/http.sh" "$dir" "$cpu" "$reps"
    ;;
  reader)
    "$root/bench/reader.sh" "$dir" "$cpu" "$reps"
    ;;
  epc)
    taskset -c "$cpu" "$dir/bench/epc_decode" 100000 "$reps"
    echo
    ;;
  mqtt)
    "$root/bench/mqtt.sh" "$dir"
    ;;
  *)
    echo "unknown part: $part" >&2
    exit 2
    ;;
  esac
done
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) after the runs"

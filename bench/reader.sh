#!/usr/bin/env bash
# The reader part of the benchmark table (bench/run.sh reader): `korvo print
# compact` through our session library against `tag-service --reader` whose
# reader (the LLRP emulator's population feed) sees BENCH_READER_TAGS tags
# (default 10000), against curl fetching the same reading to /dev/null. Both
# run pinned to one core, alternately; the service and the emulator run on
# another core.
#
#   bench/reader.sh BUILD_DIR CORE REPS
set -euo pipefail
. "$(dirname "$0")/korvo_vs_curl.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
cpu=$2
reps=$3
tags=${BENCH_READER_TAGS:-10000}
ncpu=$(nproc)
service_cpu=$(((cpu + 1) % ncpu))
emulator_dir=$root/tests/llrp_emulator
[ -d "$emulator_dir/node_modules/llrpjs" ] ||
  npm ci --prefix "$emulator_dir" --no-audit --no-fund >/dev/null
work=$(mktemp -d)
service_pid=
emulator_pid=
cleanup() {
  for pid in $service_pid $emulator_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# SGTIN-96 EPCs of one product, serials 0 to tags-1, over four antennas.
awk -v n="$tags" 'BEGIN {
  printf "["
  for (i = 0; i < n; i++)
    printf "%s{\"epc\": \"3074257BF7194E4%09X\", \"antenna\": %d, \"rssi\": %d}",
      (i ? ",\n" : ""), i, 1 + i % 4, -40 - i % 40
  printf "]\n"
}' >"$work/tags.json"

# The emulator exits when its standard input closes: it reads a fifo this
# script holds open until it ends.
mkfifo "$work/control"
taskset -c "$service_cpu" node "$emulator_dir/reader.js" --tags "$work/tags.json" \
  --static-reports 1000 --report-ms 500 <"$work/control" >"$work/reader_port" \
  2>"$work/emulator.log" &
emulator_pid=$!
exec 3>"$work/control"
reader_port=$(wait_for_port "$work/reader_port")

# A long hold: the feed resends every tag each round, and a round the
# service falls behind on must not take tags out of the reading.
taskset -c "$service_cpu" "$dir/tag-service" --port 0 \
  --reader "llrp://127.0.0.1:$reader_port" --hold-ms 60000 \
  >"$work/port" 2>"$work/service.log" &
service_pid=$!
port=$(wait_for_port "$work/port")
base=http://127.0.0.1:$port/TagService
connected=
for _ in $(seq 100); do
  if curl -sf -H "Content-Type: application/json" -d "{}" \
    "$base/reader/connect" -o /dev/null; then
    connected=1
    break
  fi
  sleep 0.1
done
[ -n "$connected" ] || {
  echo "reader: the service did not connect to the emulator" >&2
  cat "$work/service.log" >&2
  exit 1
}
# The emulator encodes the population over several rounds.
seen=0
fill_start=$SECONDS
for _ in $(seq 600); do
  seen=$(curl -s "$base/items" | grep -o '"urn:epc:id:sgtin:' | wc -l)
  [ "$seen" -ge "$tags" ] && break
  sleep 0.5
done
[ "$seen" -ge "$tags" ] || {
  echo "reader: the service sees $seen of $tags tags" >&2
  exit 1
}

echo "reader: all $tags tags in the reading $((SECONDS - fill_start)) s after connecting"
korvo_against_curl "$dir" "$cpu" "$reps" "$base" \
  "reader ($tags tags from the LLRP emulator, service on another core"

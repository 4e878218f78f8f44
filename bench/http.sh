#!/usr/bin/env bash
# The HTTP part of the benchmark table (bench/run.sh http): `korvo print
# compact` through our session library against tag-service's simulated
# reader holding BENCH_HTTP_TAGS tags (default 10000, its limit: one tag with
# eight field values per item), against curl fetching the same reading to
# /dev/null. Both run pinned to one core, alternately; the service runs on
# another core.
#
#   bench/http.sh BUILD_DIR CORE REPS
set -euo pipefail
. "$(dirname "$0")/korvo_vs_curl.sh"
dir=$1
cpu=$2
reps=$3
tags=${BENCH_HTTP_TAGS:-10000}
ncpu=$(nproc)
service_cpu=$(( (cpu + 1) % ncpu ))
work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A field like the benchmark library's reading: one format, items of one tag
# each, eight values with some descriptions, separators and accents.
awk -v n="$tags" 'BEGIN {
  printf "{\"formats\": [{\"id\": 1, \"description\": \"Bench\", \"fields\": []}],\n \"items\": [\n"
  for (i = 0; i < n; i++) {
    s = i % 60; m = int(i / 60) % 60; h = int(i / 3600) % 24
    t = sprintf("2024-01-01T%02d:%02d:%02dZ", h, m, s)
    printf "  {\"id\": \"urn:item:%d\", \"valid\": %s, \"type\": %d, \"first_seen\": \"%s\", \"tags\": [", i, (i % 2 ? "false" : "true"), int(i / 10) % 10, t
    printf "{\"id\": \"E2003412%016X\", \"format\": %d, \"type\": %d, \"security\": %s, \"secured\": %s, \"first_seen\": \"%s\", \"values\": [", i * 2654435761 % 4294967296, 1 + i % 5, i % 10, (int(i / 2) % 2 ? "true" : "false"), (int(i / 4) % 2 ? "true" : "false"), t
    printf "{\"name\": \"Product\", \"value\": \"Widget-%d\", \"description\": \"catalogue name\"}, ", i * 7 % 1000
    printf "{\"name\": \"Batch\", \"value\": \"B%08X\"}, ", i * 40503 % 4294967296
    printf "{\"name\": \"Weight\", \"value\": \"%d\", \"description\": \"g\"}, ", i * 37 % 100000
    printf "{\"name\": \"Route\", \"value\": \"DC7/Dock%d/Bay#%d\", \"description\": \"\"}, ", i % 12, i % 40
    printf "{\"name\": \"Expiry\", \"value\": \"2026%02d%02d\", \"description\": \"yyyymmdd\"}, ", 10 + i % 3, 10 + i % 19
    printf "{\"name\": \"Owner\", \"value\": \"M\303\274ller & S\303\266hne %d\"}, ", i % 97
    printf "{\"name\": \"Temperature\", \"value\": \"-%d.%d\", \"description\": \"\302\260C\"}, ", i % 30, i % 10
    printf "{\"name\": \"Note\", \"value\": \"lot %d\", \"description\": \"free text/with #marks\"}", i
    printf "]}]}%s\n", (i + 1 < n ? "," : "")
  }
  printf " ]}\n"
}' >"$work/field.json"

taskset -c "$service_cpu" "$dir/tag-service" --port 0 --field "$work/field.json" \
  >"$work/port" 2>"$work/service.log" &
service_pid=$!
port=$(wait_for_port "$work/port")
base=http://127.0.0.1:$port/TagService
# The reader is shared: once connected for curl, korvo's connect changes
# nothing either.
curl -sf -H "Content-Type: application/json" -d "{}" "$base/reader/connect" -o /dev/null

korvo_against_curl "$dir" "$cpu" "$reps" "$base" \
  "http ($tags tags, service on another core"

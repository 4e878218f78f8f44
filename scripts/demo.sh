#!/usr/bin/env bash
# Builds korvo, our session library and the tag service, starts the service
# with its simulated demo scene on a free loopback port, runs korvo's main job
# against it (the tag formats, readable, and a compact reading) and stops the
# service.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

port_file=$(mktemp)
build/tag-service --port 0 >"$port_file" &
service=$!
stop_service() {
  kill "$service" 2>/dev/null || true
  wait "$service" 2>/dev/null || true
  rm -f "$port_file"
}
trap stop_service EXIT
# The service's first line is the port it listens on.
for _ in $(seq 100); do
  [ -s "$port_file" ] && break
  kill -0 "$service" 2>/dev/null || { echo "tag-service did not start" >&2; exit 1; }
  sleep 0.05
done
port=$(head -n 1 "$port_file")
url="http://127.0.0.1:$port/TagService"

build/korvo formats print addr "$url"
build/korvo print compact header addr "$url"

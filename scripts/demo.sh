#!/usr/bin/env bash
# Builds korvo and runs its main job: list the tag formats and print the
# reading, readable and compact. Until our own session library and tag service
# exist this runs against the test fake with a small scenario.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
scenario=$(mktemp)
trap 'rm -f "$scenario"' EXIT
cat >"$scenario" <<'JSON'
{"formats": [{"id": 1, "description": "Asset label", "markets": "EU/US",
              "usages": "inventory", "ordinal": 1,
              "fields": [{"id": 1, "name": "serial", "type": 2,
                          "description": "Serial number", "minimum": 1,
                          "maximum": 24}]}],
 "items": [{"id": "ITEM-0001", "type": 4, "first_seen": 133774416000000000,
            "tags": [{"id": "E20034120001", "format": 1, "type": 4,
                      "first_seen": 133774416000000000,
                      "values": [{"name": "serial", "value": "SN-42"}]}]}]}
JSON
export KORVO_FAKE_SCENARIO=$scenario
build/korvo formats print dll build/tests/fake/rfid_qel.kzm
build/korvo print compact header dll build/tests/fake/rfid_qel.kzm

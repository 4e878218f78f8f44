#!/usr/bin/env bash
# Builds the Debian package (Release, with Debian's hardening flags; see
# scripts/release-config.sh), checks it with lintian, installs it with dpkg,
# runs the installed korvo's main job against the installed tag-service,
# verifies the installed systemd units (the service and one per reader), the
# service's system user and completion, then removes and purges
# the package and checks that nothing is left behind. Run as root on a Debian
# machine where korvo is not installed otherwise.
#
#   scripts/package.sh [BUILD_DIR]
#
# Without BUILD_DIR the package is built in build-deb/. A BUILD_DIR made by
# scripts/release-config.sh (the test script's plain build) is used as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

[ -n "${1:-}" ] || scripts/release-config.sh "$build" -DKORVO_TESTS=OFF
cmake --build "$build" -j "$(nproc)" \
  --target korvo rfid_qel tag-service man_pages package_changelog
rm -f "$build"/korvo_*.deb
(cd "$build" && cpack >/dev/null)
deb=$(ls "$build"/korvo_*.deb)
echo "package: $deb"
dpkg-deb -f "$deb" Depends

# Errors and warnings fail; lintian's own note about running as root does not
# count.
if ! report=$(lintian --fail-on error,warning "$deb" 2>&1); then
  echo "$report" >&2
  echo "lintian: not clean" >&2
  exit 1
fi
grep -v 'running with root privileges' <<<"$report" || echo "lintian: clean"

if dpkg-query -W -f='${Status}' korvo 2>/dev/null | grep -q installed; then
  echo "korvo is installed already; not touching it" >&2
  exit 1
fi

# What dpkg leaves must be what was there before. The system user stays
# (as Debian keeps them); the user database's backups may appear with it.
snapshot() {
  find /usr /etc /lib /var/lib -xdev \
    -not -path '/var/lib/dpkg/*' -not -path '/var/lib/apt/*' \
    -not -path '/var/lib/systemd/*' -not -path '/etc/ld.so.cache' \
    -not -regex '/etc/\(passwd\|group\|shadow\|gshadow\)-' 2>/dev/null | sort
}
before=$(mktemp) after=$(mktemp) port_file=$(mktemp) home=$(mktemp -d)
service=
cleanup() {
  [ -n "$service" ] && { kill "$service" 2>/dev/null; wait "$service" 2>/dev/null; }
  dpkg -P korvo >/dev/null 2>&1 || true
  rm -rf "$before" "$after" "$port_file" "$home"
}
trap cleanup EXIT
snapshot >"$before"

echo "== dpkg -i"
if ! dpkg -i "$deb"; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y
fi
dpkg-query -W -f='${Status}\n' korvo | grep -q 'install ok installed'

echo "== the installed korvo against the installed tag-service"
[ "$(/usr/bin/tag-service --version)" = "tag-service $(dpkg-query -W -f='${Version}' korvo)" ]
/usr/bin/tag-service --port 0 >"$port_file" &
service=$!
for _ in $(seq 100); do
  [ -s "$port_file" ] && break
  kill -0 "$service" 2>/dev/null || { echo "tag-service did not start" >&2; exit 1; }
  sleep 0.05
done
port=$(head -n 1 "$port_file")
# From a folder without kzm/: korvo finds its library through its RUNPATH.
out=$(cd "$home" && korvo formats print addr "http://127.0.0.1:$port/TagService")
echo "$out" | head -n 5
grep -q 'Cold-chain pallet' <<<"$out"
kill "$service" && wait "$service" || true
service=

echo "== manual pages, completion and unit where they are looked for"
man -w korvo tag-service
# The loader answers 124 when it found and loaded a completion.
bash -c 'source /usr/share/bash-completion/bash_completion
         _completion_loader korvo; _completion_loader tag-service
         complete -p korvo tag-service'
[ -f /usr/share/doc/korvo/examples/reader.conf ]
# The units run as the system user the package made.
id tag-service
# Clean means no complaint at all: an unknown setting is only a warning.
units="/lib/systemd/system/tag-service.service /lib/systemd/system/tag-service@.service"
if command -v systemd-analyze >/dev/null; then
  # shellcheck disable=SC2086
  verified=0
  complaints=$(systemd-analyze verify $units 2>&1) || verified=$?
  if [ "$verified" != 0 ] || [ -n "$complaints" ]; then
    echo "$complaints" >&2
    echo "systemd-analyze verify: not clean" >&2
    exit 1
  fi
  echo "systemd-analyze verify: clean"
else
  # shellcheck disable=SC2086
  ls $units
  echo "systemd-analyze verify: skipped, systemd-analyze is not installed" \
    "(Debian's package systemd)"
fi

echo "== dpkg -r keeps the conffile, dpkg -P removes everything"
dpkg -r korvo
[ -f /etc/default/tag-service ]
[ ! -e /usr/bin/korvo ]
dpkg -P korvo
snapshot >"$after"
if ! diff "$before" "$after"; then
  echo "the package left files behind (or took some away)" >&2
  exit 1
fi
echo "package: installed, run and removed cleanly"

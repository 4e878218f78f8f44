#!/usr/bin/env bash
# Configures a Release build with Debian's own build flags (optimisation and
# all hardening), as the package is built and as the test script's plain
# build runs the suite:
#
#   scripts/release-config.sh BUILD_DIR [cmake options ...]
#
# Debug information is left out: the package strips it anyway, and without
# it the build takes about a third less time. Release adds only NDEBUG, so
# the optimisation is Debian's -O2.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
flags() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" |
    sed -E 's/(^| )-g( |$)/ /'
}
cmake -S . -B "$dir" -G Ninja -DKORVO_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null

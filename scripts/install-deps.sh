#!/usr/bin/env bash
# Installs the Debian packages korvo's build, tests and tools need, when one
# is missing. Run as root on a fresh Debian 12 machine; a no-op otherwise.
set -euo pipefail
packages=(cmake ninja-build g++ clang pkg-config libgtest-dev libgmock-dev
          nlohmann-json3-dev libcpp-httplib-dev libssl-dev zlib1g-dev
          libbrotli-dev libclang-rt-14-dev curl valgrind
          libcurl4-openssl-dev libmicrohttpd-dev libgnutls28-dev openssl
          libmosquitto-dev mosquitto mosquitto-clients
          mandoc scdoc lintian dpkg-dev fakeroot bash-completion systemd
          chromium chromium-driver)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

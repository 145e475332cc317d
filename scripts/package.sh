#!/bin/sh
# Builds the Debian package of the Data Collector from an optimised build
# (RelWithDebInfo) in build/package and prints the path of the .deb.
#
#   scripts/package.sh            # build/package/datacollector_<version>_<arch>.deb
#   DC_PACKAGE_DIR=/tmp/pkg scripts/package.sh
#
# Install it with "dpkg -i", then put the configuration into
# /etc/datacollector/registry.reg and run "systemctl enable --now DataCollectorSvc".
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${DC_PACKAGE_DIR:-$root/build/package}
jobs=${DC_JOBS:-2}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDC_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target DataCollector credential_cipher
rm -f "$build"/datacollector_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/datacollector_*.deb

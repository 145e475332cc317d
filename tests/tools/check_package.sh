#!/bin/sh
# Checks the Debian package: its control data (name, version, dependencies,
# conffiles) with dpkg-deb -I, and its files after dpkg-deb -x into a
# throw-away root: the program answers --version, the decoder runs, and the
# packaged unit is the one "DataCollector /INSTALL" writes.
#
#   check_package.sh BUILD-DIR SOURCE-DIR VERSION
#
# By default the package is made from BUILD-DIR as it stands (cpack, seconds);
# with DC_TEST_PACKAGE=1 scripts/package.sh builds the optimised package
# (minutes). Exit 77 (skipped) when the tools or the built program are missing.
set -eu

build=$1
source=$2
version=$3

for tool in dpkg-deb cpack python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed"
    exit 77
  fi
done

work=$(mktemp -d /tmp/dc-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

if [ "${DC_TEST_PACKAGE:-}" = 1 ]; then
  deb=$(DC_PACKAGE_DIR="$work/build" "$source/scripts/package.sh")
else
  if [ ! -x "$build/src/service/DataCollector" ] || [ ! -x "$build/tools/credential-cipher/credential_cipher" ]; then
    echo "SKIPPED: build DataCollector and credential_cipher first (or set DC_TEST_PACKAGE=1)"
    exit 77
  fi
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
  deb=$(ls "$work"/out/datacollector_*.deb)
fi

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

info=$(dpkg-deb -I "$deb")
field() { printf '%s\n' "$info" | sed -n "s/^ $1: //p"; }
[ "$(field Package)" = datacollector ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
for dependency in libfbclient2 libcurl4 libssl3 libsystemd0 libc6 libstdc++6; do
  printf '%s\n' "$(field Depends)" | grep -q "\(^\|, \)$dependency\( \|,\|$\)" || fail "Depends lacks $dependency: $(field Depends)"
done
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/datacollector/registry.reg.example "$work/control/conffiles" || fail "the example hive is no conffile"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no $script"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
program="$root/opt/datacollector/DataCollector"
for file in opt/datacollector/DataCollector opt/datacollector/tools/credential_cipher \
            opt/datacollector/tools/decoder/dc_decode.py opt/datacollector/tools/decoder/summary.py; do
  [ -x "$root/$file" ] || fail "$file is missing or not executable"
done
for file in opt/datacollector/tools/stats-server/decode.py lib/systemd/system/DataCollectorSvc.service \
            etc/datacollector/registry.reg.example; do
  [ -f "$root/$file" ] || fail "$file is missing"
done
[ -d "$root/opt/datacollector/LOG" ] || fail "no log folder"

[ "$("$program" --version)" = "Data Collector $version" ] || fail "--version says '$("$program" --version)'"
[ "$(echo '{}' | python3 "$root/opt/datacollector/tools/decoder/dc_decode.py" -)" = "{}" ] || fail "the decoder does not run"

# The packaged unit is the one /INSTALL writes for the packaged program, up to
# comments and the hive's location (the package's hive lives in
# /etc/datacollector).
mkdir "$work/units"
DC_REGISTRY="$work/hive.reg" DC_SYSTEMD_DIR="$work/units" "$program" /INSTALL /SILENT >/dev/null \
  || fail "/INSTALL of the extracted program failed"
normalise() {
  grep -v -e '^#' -e '^$' -e '^Environment="\?DC_REGISTRY=' "$1" |
    sed -e "s#$root##g" -e "s#\"$work\"#\"/etc/datacollector\"#g"
}
if ! normalise "$root/lib/systemd/system/DataCollectorSvc.service" >"$work/packaged.unit" ||
   ! normalise "$work/units/DataCollectorSvc.service" >"$work/installed.unit" ||
   ! diff -u "$work/packaged.unit" "$work/installed.unit"; then
  fail "packaging/DataCollectorSvc.service differs from the unit /INSTALL writes (diff above: - packaged, + written)"
fi

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "OK: $(basename "$deb"), $(dpkg-deb -c "$deb" | wc -l) entries"

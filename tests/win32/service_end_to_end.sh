#!/usr/bin/env bash
# The Windows service end to end under Wine: DataCollector.exe is installed
# in Wine's service manager, started, seen ready in its log, stopped with its
# stop lines, and uninstalled.
#   service_end_to_end.sh <DataCollector.exe> <wine-run.sh>
set -euo pipefail
program=$1
wine_run=$2

"$wine_run" cmd /c exit  # makes the prefix when missing; exports nothing
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$wine_run")/.." && pwd)/build/windows/wineprefix}
export WINEDEBUG=-all
# One Wine session for the whole test: when the last Wine process ends, Wine's
# service manager ends with it, and the next command would start a new one
# that starts the automatic services by itself. A waiting program keeps the
# session (its output, and that of the services Wine starts, goes nowhere, so
# that nothing holds the caller's output open).
wine cmd /c "ping -n 300 127.0.0.1 >nul" </dev/null >/dev/null 2>&1 &
sleep 2

work=$(mktemp -d)
cleanup() {
  wine sc stop DataCollectorSvc >/dev/null 2>&1 || true
  wine "$work/DataCollector.exe" /UNINSTALL /SILENT >/dev/null 2>&1 || true
  # Ends the session kept above (its processes hold CTest's output open). The
  # prefix is the tests' own, and they run one at a time.
  wineserver -k || true
  rm -rf "$work"
}
trap cleanup EXIT
cp "$program" "$work/DataCollector.exe"

log() { cat "$work"/LOG/*.LOG 2>/dev/null || true; }
wait_for() {
  local text=$1
  for _ in $(seq 1 120); do
    log | grep -qF "$text" && return 0
    sleep 0.5
  done
  echo "FAILED: \"$text\" never appeared in the log:"
  log
  return 1
}

wine "$work/DataCollector.exe" /INSTALL /SILENT
wait_for "Install completed"
wine sc query DataCollectorSvc | grep -q "STOPPED"
wine sc start DataCollectorSvc >/dev/null
wait_for "Data Collector (" && log | grep -F ") Ready"
wine sc query DataCollectorSvc | grep -q "RUNNING"
wine sc stop DataCollectorSvc >/dev/null
wait_for "Service Stopped"
wine "$work/DataCollector.exe" /UNINSTALL /SILENT
wait_for "Uninstall complete"
if wine sc query DataCollectorSvc >/dev/null 2>&1; then
  echo "FAILED: the service is still installed"
  exit 1
fi
log | grep -E "Service Starting|Service Start complete|Service Stopping|Service Stopped"
echo "The service was installed, started, stopped and uninstalled."

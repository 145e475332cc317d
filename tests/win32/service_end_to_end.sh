#!/usr/bin/env bash
# The Windows service end to end under Wine, on a site as the program meets
# it: the site's registry values in HKLM's 32-bit view, a running Transaction
# Manager (Omnid.exe) and the test statistics server on loopback, answering as
# a server that accepts the site. The service is installed in Wine's service
# manager, started, passes the site checks, fails its database step for want
# of a Firebird client (there is none for Windows on these machines) and tries
# again, is stopped with its stop lines, and is uninstalled. The collector
# authorizes only after the site database has been opened and checked, so the
# server must see no request at all.
#   service_end_to_end.sh <DataCollector.exe> <wine-run.sh> <stats_server.py>
set -euo pipefail
program=$1
wine_run=$2
stats_server=$3
. "$(dirname "$wine_run")/site-hive.sh"

location=E2EWIN1
# Ticks of 20 ms: the 300 ticks between initialisation attempts take 6 s.
tick_ms=20

"$wine_run" cmd /c exit  # makes the prefix when missing; exports nothing
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$wine_run")/.." && pwd)/build/windows/wineprefix}
export WINEDEBUG=-all

work=$(mktemp -d)
server=$work/server
server_pid=""
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
cleanup() {
  wine sc stop DataCollectorSvc >/dev/null 2>&1 || true
  wine "$work/DataCollector.exe" /UNINSTALL /SILENT >/dev/null 2>&1 || true
  # The site's values and the environment stay out of the next test's way.
  wine reg delete 'HKLM\Software\Orvel' /f /reg:32 >/dev/null 2>&1 || true
  for name in DC_SERVER_HOST DC_SERVER_PORT DC_TICK_MS; do
    wine reg delete "$environment_key" /v "$name" /f >/dev/null 2>&1 || true
  done
  # Ends the session kept below (its processes hold CTest's output open). The
  # prefix is the tests' own, and they run one at a time.
  wineserver -k || true
  if [ -n "$server_pid" ]; then
    touch "$server/stop"
    for _ in $(seq 1 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The log is in the system's ANSI code page, Windows-1252 here.
log() { cat "$work"/LOG/*.LOG 2>/dev/null | iconv -c -f CP1252 -t UTF-8 || true; }
requests() {
  local request
  for request in "$server"/requests/[0-9]*[0-9].json; do
    [ -e "$request" ] || continue
    echo "$(basename "$request"): $(cat "$request")"
    echo "  body: $(cat "${request%.json}.body")"
  done
}
fail() {
  echo "FAILED: $1"
  echo "--- the service's log:"
  log
  echo "--- the requests the statistics server received:"
  requests
  exit 1
}
wait_for() {  # wait_for TEXT [COUNT]: until the log holds TEXT COUNT times
  local text=$1 count=${2:-1}
  for _ in $(seq 1 120); do
    [ "$(log | grep -cF -- "$text")" -ge "$count" ] && return 0
    sleep 0.5
  done
  fail "\"$text\" did not appear $count time(s) in the log"
}

# The statistics server, answering as a server that accepts the site.
mkdir -p "$server"
echo '{"body": "{\"Authenticated\":true,\"CycleTime\":10,\"HistoryStep\":1}"}' >"$server/default.json"
python3 "$stats_server" --folder "$server" --lifetime 240 >"$server/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$server/port" ] && break; sleep 0.2; done
[ -s "$server/port" ] || { cat "$server/server.log"; fail "the statistics server did not start"; }
port=$(cat "$server/port")

# The site's registry values, as the site's 32-bit installation keeps them.
# The database path has the accented letters of a real site's folder names.
windows_work="Z:${work//\//\\}"
database="C:\\Sites\\Café Étoile\\SITE.FDB"
site_hive_text "$location" "$windows_work\\" "$database" e2e-token >"$work/site.reg"
# reg import reads a .reg file in UTF-16 (with its byte-order mark) or ASCII.
iconv -f UTF-8 -t UTF-16 "$work/site.reg" >"$work/site-utf16.reg"
wine reg import "$windows_work\\site-utf16.reg" /reg:32 >/dev/null 2>&1 ||
  fail "reg import of the site's values failed"
stored=$(wine reg query 'HKLM\Software\Orvel\Omnid\Login' /v Database /reg:32 2>/dev/null | tr -d '\r' || true)
echo "$stored" | grep -qF "SITE.FDB" || fail "the site's values are not in the 32-bit view: $stored"

# The server's address and the tick reach the service through the system
# environment, which the service manager gives the services it starts.
for pair in DC_SERVER_HOST=127.0.0.1 DC_SERVER_PORT=$port DC_TICK_MS=$tick_ms; do
  wine reg add "$environment_key" /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f >/dev/null 2>&1 ||
    fail "cannot set ${pair%%=*} in the system environment"
done
# The session that wrote the registry ends before the one the test keeps, so
# that the service manager starts anew with the environment above (a process
# that lingers from an earlier test would keep the old one).
timeout 30 wineserver -w || wineserver -k || true

# One Wine session for the whole test: when the last Wine process ends, Wine's
# service manager ends with it, and the next command would start a new one
# that starts the automatic services by itself. The waiting program that keeps
# the session is the stand-in Transaction Manager, Wine's own ping under the
# Transaction Manager's image name (its output, and that of the services Wine
# starts, goes nowhere, so that nothing holds the caller's output open).
cp "$WINEPREFIX/drive_c/windows/system32/ping.exe" "$work/Omnid.exe"
wine "$work/Omnid.exe" -n 300 127.0.0.1 </dev/null >/dev/null 2>&1 &
sleep 2
cp "$program" "$work/DataCollector.exe"

# The usage text speaks of the Windows service manager, not of systemd.
usage=$(wine "$work/DataCollector.exe" /? 2>&1 | tr -d '\r')
echo "$usage" | grep -q "service control manager" && ! echo "$usage" | grep -qi "systemd" ||
  fail "the usage text is not the Windows one: $usage"

wine "$work/DataCollector.exe" /INSTALL /SILENT
wait_for "Install completed"
wine sc query DataCollectorSvc | grep -q "STOPPED" || fail "the installed service is not stopped"
wine sc start DataCollectorSvc >/dev/null
wait_for "Data Collector (" && log | grep -F ") Ready"
wine sc query DataCollectorSvc | grep -q "RUNNING" || fail "the started service is not running"

# Initialisation with the site's values: the URL of the server, the site
# checks passed (the database is opened only after them), and the database
# step failing on the missing client library with the places it looked in.
wait_for "Using URL: https://127.0.0.1:$port/datacollector.php"
wait_for "ERROR: Could not open and verify database $database"
failure=$(log | grep -F "ERROR: Failed to connect to $database: " || true)
echo "$failure" | grep -qF "The Firebird client library fbclient.dll cannot be loaded. " ||
  fail "the database step does not fail on the missing client library"
for place in "Tried: $windows_work\\fbclient.dll (" "; the default Firebird instance (none is registered); " \
             "; fbclient.dll along the system's search path ("; do
  echo "$failure" | grep -qF "$place" || fail "the database failure does not name the place \"$place\""
done
# The service goes on and tries again after its initialisation interval.
wait_for "Data Collector Initializing" 2
wait_for "ERROR: Could not open and verify database " 2
wine sc query DataCollectorSvc | grep -q "RUNNING" || fail "the service does not run after the failed initialisations"
# Without a usable database the collector does not authorize: nothing has
# reached the server.
[ -z "$(requests)" ] || fail "the statistics server was contacted without a usable database"

wine sc stop DataCollectorSvc >/dev/null
wait_for "Service Stopped"
log | grep -qF "Data Collector shutdown successfully" || fail "the collector was not shut down"
wine "$work/DataCollector.exe" /UNINSTALL /SILENT
wait_for "Uninstall complete"
if wine sc query DataCollectorSvc >/dev/null 2>&1; then
  fail "the service is still installed"
fi
log | grep -E "Service Starting|Service Start complete|Using URL|Could not open|Service Stopping|Service Stopped"
echo "The service was installed, started, failed its database step twice with the site's values, stopped and uninstalled."

#!/usr/bin/env bash
# The collector at work on one machine: installs what is missing (as root),
# builds, creates a site database with a realistic load (embedded engine),
# starts the test statistics server on loopback and a stand-in Transaction
# Manager, runs DataCollector in the foreground with fast ticks for a few
# cycles while sales and punches change between them, stops it, and prints
# what each document held and what the server answered.
#
# Everything it writes goes to demo-run/ in the checkout (and the build to
# build/demo). Exits 0 only when every post was accepted; every process it
# started is stopped however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/site-hive.sh
run=$root/demo-run
build=$root/build/demo
cycles=${DC_DEMO_CYCLES:-4}

if [ "$(id -u)" = 0 ]; then
  bash scripts/deps.sh
else
  echo "Not root: skipping the package check (scripts/deps.sh)."
fi

echo "== Building in build/demo"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j "${DC_JOBS:-2}" --target DataCollector sitedb_fixture

rm -rf "$run"
mkdir -p "$run/site" "$run/server" "$run/program" "$run/corvane" "$run/firebird"
# The embedded engine keeps its lock and sort files here, so that the
# fixture, isql and the collector see each other's locks.
export FIREBIRD_LOCK=$run/firebird FIREBIRD_TMP=$run/firebird
export DC_REGISTRY=$run/registry.reg
# Python keeps no byte-code caches in the checkout.
export PYTHONDONTWRITEBYTECODE=1

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM

database=$run/site/SITE.FDB
location=DEMO01
echo "== Site database $database"
"$build/tools/sitedb-fixture/sitedb_fixture" "$database" --sales 4000 --days 5 --seed 7 --loc "$location"

echo "== Test statistics server"
python3 tools/stats-server/stats_server.py --folder "$run/server" --lifetime 900 >"$run/server/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -s "$run/server/port" ] && break; sleep 0.1; done
[ -s "$run/server/port" ] || { echo "the statistics server did not start"; cat "$run/server/server.log"; exit 1; }
port=$(cat "$run/server/port")
echo "listening on https://127.0.0.1:$port"

# The server's answers: Authorize with a cycle time of 20 ticks; every post is
# accepted and, as the real server does, its window end becomes the next
# window's start. The answers to the first posts also walk the history window
# back one day at a time, as the server does while it collects history.
day_count() { python3 -c "import datetime,sys; d=datetime.date.today()-datetime.timedelta(days=int(sys.argv[1])); print((d-datetime.date(1899,12,30)).days)" "$1"; }
answer() {  # answer FILE ECHO BODY
  printf '{"echo_cycle_end":%s,"body":%s}' "$2" "$(python3 -c 'import json,sys; print(json.dumps(sys.argv[1]))' "$3")" >"$1"
}
authorized='{"Authenticated":true,"CycleTime":20,"HistoryStep":1,"SendStatistics":true}'
mkdir -p "$run/server/answers"
answer "$run/server/answers/000001.json" false "$authorized"
answer "$run/server/answers/000002.json" true \
  '{"Header":{"ActiveHistoryStart":'$(day_count 4)',"ActiveHistoryEnd":'$(day_count 2)'}}'
answer "$run/server/answers/000003.json" true \
  '{"Header":{"ActiveHistoryStart":'$(day_count 4)',"ActiveHistoryEnd":'$(day_count 3)'}}'
answer "$run/server/answers/000004.json" true \
  '{"Header":{"ActiveHistoryStart":'$(day_count 4)',"ActiveHistoryEnd":'$(day_count 4)'}}'
answer "$run/server/answers/000005.json" true '{"Header":{"ActiveHistoryStart":0,"ActiveHistoryEnd":0}}'
answer "$run/server/default.json" true "$authorized"

echo "== Registry hive $DC_REGISTRY"
site_hive_text "$location" "$run/corvane/" "$database" demo-token >"$DC_REGISTRY"

echo "== Stand-in Transaction Manager (Omnid.exe)"
ln -s "$(command -v sleep)" "$run/program/Omnid.exe"
"$run/program/Omnid.exe" 3600 &
pids+=($!)

# The program runs from its own folder so that its LOG folder lands there.
cp "$build/src/service/DataCollector" "$run/program/DataCollector"
log_folder=$run/program/LOG

posts() { ls "$run/server/requests" 2>/dev/null | grep -c '^[0-9]*\.decoded\.json$' || true; }

# Changes of the site between cycles, as the site product would make them:
# new sales with facts and employees, a changed sale, a new punch.
change_site() {
  local round=$1
  local sql="SET TERM ^ ;
EXECUTE BLOCK AS
  DECLARE id INTEGER;
  DECLARE i INTEGER = 0;
BEGIN
  WHILE (i < 5) DO BEGIN
    SELECT coalesce(max(ObjID), 0) + 1 FROM Sale INTO :id;
    INSERT INTO Sale (Site, ObjID, Terminal, Shift, Status, LogDate, LogTime, Created, Modified)
      VALUES (1, :id, 101, 1, 0, CURRENT_DATE, 600, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP);
    INSERT INTO SaleFacts (Site, SaleID, Fact, ProfitCenter, Data) VALUES (1, :id, 54181, 1, 10 + :i);
    INSERT INTO SaleFacts (Site, SaleID, Fact, ProfitCenter, Data) VALUES (1, :id, 54200, 1, 1);
    INSERT INTO SaleEmployees (Site, SaleID, Employee, EmpRole, ProfitCenter) VALUES (1, :id, 1001, 1, 1);
    i = i + 1;
  END
  UPDATE Sale SET Status = 1, Modified = CURRENT_TIMESTAMP
    WHERE Site = 1 AND ObjID = (SELECT min(ObjID) FROM Sale WHERE LogDate = CURRENT_DATE);
  SELECT coalesce(max(ObjID), 0) + 1 FROM PunchInterval INTO :id;
  INSERT INTO PunchInterval (ObjID, Site, Employee, PunchDate, PiType, Department, InTime, OutTime,
                             ActualIn, ActualOut, Rate, Multiplier)
    VALUES (:id, 1, $((1001 + round)), CURRENT_DATE, 'R', 1, 480, 960, 481, 958, 12.5, 1);
END^
SET TERM ; ^
COMMIT;"
  # The embedded engine lets one process at a time hold the file: retry while
  # the collector is inside a cycle.
  for _ in $(seq 100); do
    if echo "$sql" | isql-fb -q -user SYSDBA "$database" >"$run/isql.log" 2>&1 && ! grep -q "Statement failed\|SQLSTATE" "$run/isql.log"; then
      echo "   changed the site: 5 new sales, 1 changed sale, 1 new punch"
      return 0
    fi
    sleep 0.2
  done
  echo "could not change the site database:"; cat "$run/isql.log"; return 1
}

echo "== DataCollector in the foreground (ticks of 100 ms; first cycle after 60 ticks)"
(
  cd "$run/program"
  exec env DC_TICK_MS=100 DC_SERVER_HOST=127.0.0.1 DC_SERVER_PORT="$port" ./DataCollector
) >"$run/program/console.log" 2>&1 &
collector=$!
pids+=($collector)

deadline=$((SECONDS + 240))
seen=0
while [ "$(posts)" -lt $((cycles + 1)) ]; do
  if ! kill -0 "$collector" 2>/dev/null; then
    echo "DataCollector ended early:"; cat "$run/program/console.log"; exit 1
  fi
  if [ $SECONDS -gt $deadline ]; then echo "no post within the time limit"; break; fi
  now=$(posts)
  if [ "$now" -gt "$seen" ]; then
    seen=$now
    if [ "$now" -ge 2 ]; then echo "   cycle $((now - 1)) posted"; fi
    if [ "$now" -ge 2 ] && [ "$now" -le "$cycles" ]; then change_site "$now"; fi
  fi
  sleep 0.2
done

echo "== Stopping DataCollector (SIGTERM)"
kill -TERM "$collector"
for _ in $(seq 300); do kill -0 "$collector" 2>/dev/null || break; sleep 0.1; done
status=0
wait "$collector" || status=$?
echo "DataCollector ended with status $status"

# The operator modes against the same site, the service being stopped.
operator() {
  (cd "$run/program" && env DC_SERVER_HOST=127.0.0.1 DC_SERVER_PORT="$port" ./DataCollector "$@")
}
echo
echo "== DataCollector /CHECK"
check=0
operator /CHECK || check=$?
echo "== DataCollector /TEST (the document goes to demo-run/test-document.json)"
test_mode=0
operator /TEST >"$run/test-document.json" || test_mode=$?
[ $test_mode -ne 0 ] || python3 tools/decoder/dc_decode.py "$run/test-document.json" >"$run/test-document.decoded.json"
echo "== DataCollector /ONCE"
once=0
operator /ONCE || once=$?

echo
echo "== What was sent"
set +e
python3 tools/decoder/summary.py "$log_folder" --decoded "$run/decoded" --documents "$run/documents"
result=$?
set -e
[ "$status" -eq 0 ] || result=1
[ $check -eq 0 ] && [ $test_mode -eq 0 ] && [ $once -eq 0 ] || result=1
echo
echo "Log:               $log_folder/"
echo "Documents as sent: $run/documents/  (as the server received them: $run/server/requests/)"
echo "Decoded documents: $run/decoded/    (tools/decoder/dc_decode.py FILE decodes any document or log)"
echo "TEST's document:   $run/test-document.json (decoded: $run/test-document.decoded.json)"
echo "Again by hand:     export DC_REGISTRY=$DC_REGISTRY FIREBIRD_LOCK=$FIREBIRD_LOCK FIREBIRD_TMP=$FIREBIRD_TMP"
echo "                   start the server and point DC_SERVER_HOST/DC_SERVER_PORT at it, then"
echo "                   $run/program/DataCollector /CHECK   (or /TEST, /ONCE)"
cleanup
if [ $result -eq 0 ]; then echo "Demo finished: every post was accepted."; else echo "Demo FAILED: not every post was accepted."; fi
exit $result

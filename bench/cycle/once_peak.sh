#!/usr/bin/env bash
# once_peak.sh <build folder> <data folder> <sales...>: for each size, one
# whole "DataCollector /ONCE" cycle (Release program) against an embedded site
# database holding that many sales of yesterday, posting to the test
# statistics server on loopback with the body also written to the LogComm log.
# Prints per size the process's peak resident size, the posted body's size and
# their ratio, the cycle's wall time, and the peak of the same program in a
# cycle that finds no sale (its floor) with the rise above it against the body.
set -euo pipefail
root=$(pwd)
. "$root/scripts/site-hive.sh"
build=$(realpath "$1")
mkdir -p "$2"
data=$(realpath "$2")
shift 2

cmake --build "$build" -j "${DC_JOBS:-2}" --target DataCollector sitedb_fixture >/dev/null
program=$build/src/service/DataCollector
fixture=$build/tools/sitedb-fixture/sitedb_fixture

run=$data/once
server_pid=""
stop_server() {
  [ -n "$server_pid" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
trap stop_server EXIT

yesterday=$(date -d yesterday +%F)
export FIREBIRD_LOCK=$data/lock FIREBIRD_TMP=$data/lock
mkdir -p "$FIREBIRD_LOCK"

# run_once <database>: one "/ONCE" against the database, the program and the
# test statistics server in a fresh folder; its peak goes to $run/peak-kib.
run_once() {
  local database=$1 manager status=0
  rm -rf "$run"
  mkdir -p "$run/server/answers" "$run/program" "$run/site-product"
  PYTHONDONTWRITEBYTECODE=1 python3 "$root/tools/stats-server/stats_server.py" --folder "$run/server" \
    --lifetime 900 >"$run/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 200); do [ -s "$run/server/port" ] && break; sleep 0.1; done
  [ -s "$run/server/port" ] || { echo "once_peak: the statistics server did not start" >&2; exit 1; }
  printf '%s' '{"body":"{\"Authenticated\":true,\"CycleTime\":60,\"HistoryStep\":1}"}' \
    >"$run/server/answers/000001.json"
  printf '%s' '{"echo_cycle_end":true,"body":"{}"}' >"$run/server/default.json"

  export DC_REGISTRY=$run/registry.reg
  site_hive_text BENCH1 "$run/site-product/" "$database" bench-token >"$DC_REGISTRY"

  # The site product's Transaction Manager must be running for a cycle.
  ln -sf "$(command -v sleep)" "$run/program/Omnid.exe"
  "$run/program/Omnid.exe" 600 &
  manager=$!
  cp "$program" "$run/program/DataCollector"
  (cd "$run/program" && env DC_SERVER_HOST=127.0.0.1 DC_SERVER_PORT="$(cat "$run/server/port")" \
    /usr/bin/time -f '%M' -o "$run/peak-kib" ./DataCollector /ONCE >"$run/once.log" 2>&1) || status=$?
  kill "$manager" 2>/dev/null || true
  wait "$manager" 2>/dev/null || true
  stop_server
  if [ "$status" -ne 0 ]; then
    echo "once_peak: /ONCE against $database failed ($status):" >&2
    cat "$run/once.log" >&2
    exit 1
  fi
}

for sales in "$@"; do
  # A site whose sales are all of yesterday and whose collector last posted at
  # yesterday's midnight, so that the cycle's window holds every sale. Made
  # once a day: the fixture, one cycle to create the collector's tables, and
  # the stored window end moved back.
  prepared=$data/once-$sales-${yesterday//-/}.fdb
  if [ ! -e "$prepared" ]; then
    rm -f "$prepared.new"
    "$fixture" "$prepared.new" --sales "$sales" --days 1 --last-day "$yesterday" --seed 11 \
      --loc BENCH1 >/dev/null
    run_once "$prepared.new"
    echo "UPDATE DC_STATUS SET LastCycleEnd = CAST('$yesterday' AS TIMESTAMP); COMMIT;" |
      isql-fb -q -user SYSDBA "$prepared.new" >/dev/null
    mv "$prepared.new" "$prepared"
  fi
  database=$data/once-run.fdb
  # The floor: the same program and database in a cycle whose window holds no
  # sale (the engine's and the libraries' own memory).
  cp "$prepared" "$database"
  echo "UPDATE DC_STATUS SET LastCycleEnd = CURRENT_TIMESTAMP; COMMIT;" |
    isql-fb -q -user SYSDBA "$database" >/dev/null
  run_once "$database"
  idle=$(( $(cat "$run/peak-kib") * 1024 ))
  cp "$prepared" "$database"
  start=$(date +%s.%N)
  run_once "$database"
  end=$(date +%s.%N)
  rm -f "$database"

  # The largest body the server received is the data post.
  body=$(find "$run/server/requests" -name '*.body' -printf '%s\n' | sort -n | tail -n 1)
  peak=$(( $(cat "$run/peak-kib") * 1024 ))
  awk -v n="$sales" -v peak="$peak" -v body="$body" -v idle="$idle" -v start="$start" -v end="$end" 'BEGIN {
    printf "once_cycle_wall_%d: %.2f s\n", n, end - start
    printf "once_cycle_peak_%d: %.1f MB\n", n, peak / 1e6
    printf "once_cycle_body_%d: %.1f MB\n", n, body / 1e6
    printf "once_cycle_peak_to_body_%d: %.2f x\n", n, peak / body
    printf "once_cycle_idle_peak_%d: %.1f MB\n", n, idle / 1e6
    printf "once_cycle_rise_to_body_%d: %.2f x\n", n, (peak - idle) / body
  }'
done

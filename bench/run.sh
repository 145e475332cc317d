#!/usr/bin/env bash
# Builds the benchmarks in Release in build/bench and runs every one of them.
# Each prints one line per figure: "name: value unit".
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDC_BUILD_TESTS=OFF >/dev/null

# bench <target> <argument sets...>: builds the target, then runs it once per
# argument set, each in its own process.
bench() {
  local target=$1; shift
  cmake --build "$build" -j "${DC_JOBS:-2}" --target "$target" >/dev/null
  local program
  program=$(find "$build/bench" -type f -name "$target" -perm -u+x | head -n 1)
  for args in "$@"; do
    # shellcheck disable=SC2086
    "$program" $args
  done
}

# Collected-data document: build and write for 1,000, 10,000 and 100,000 sales.
bench model_bench 1000 10000 100000

# Retrieval: one cycle of 1,000, 10,000 and 100,000 generated sales, from an
# embedded database and through a Firebird server on loopback, beside the
# client library's floors. The databases are generated once per day.
retrieval_data=$(pwd)/$build/retrieval-data
mkdir -p "$retrieval_data"
export DC_REGISTRY=$retrieval_data/bench.reg
retrieval_runs=()
for sales in 1000 10000 100000; do retrieval_runs+=("$sales embedded $retrieval_data"); done
if [ -z "${DC_FIREBIRD_SERVER:-}" ]; then
  # A server that was already running (another test run's) is left running.
  if ! bash scripts/firebird-server.sh status >/dev/null; then
    bash scripts/firebird-server.sh start >/dev/null
    trap 'bash scripts/firebird-server.sh stop >/dev/null' EXIT
  fi
  export DC_FIREBIRD_SERVER=127.0.0.1/${DC_FIREBIRD_PORT:-3050}
fi
for sales in 1000 10000 100000; do retrieval_runs+=("$sales server $retrieval_data"); done
bench retrieval_bench "${retrieval_runs[@]}"

# Whole cycle: one "/ONCE" of 10,000 and 100,000 sales, peak resident size
# against the posted body.
bash bench/cycle/once_peak.sh "$build" "$retrieval_data" 10000 100000

#!/usr/bin/env bash
# The live demo: installs what is missing, builds, starts solver_unit in demo/
# with the sample configuration (six anchors in a 20 m x 15 m hall, smoothing
# on), runs the anchor simulator with a few tags for about 20 seconds while the
# monitor shows the reports, prints the summary with the accuracy figures,
# writes a picture of the tracks and stops everything cleanly.
#
# The monitor also serves a live map of the tags to open in a browser.
#
# Options (environment): DEMO_TAGS (4), DEMO_SECONDS (20), DEMO_NOISE (0.05 m),
# DEMO_HTTP_PORT (8080).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh

tags=${DEMO_TAGS:-4}
seconds=${DEMO_SECONDS:-20}
noise=${DEMO_NOISE:-0.05}
http_port=${DEMO_HTTP_PORT:-8080}
build=build/release
demo=$PWD/demo

echo "== building"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target solver_unit solver_sim solver_monitor >/dev/null

rm -rf "$demo"
mkdir -p "$demo"
cp "$build/solver_unit" "$demo/"
cp config.ini.sample "$demo/config.ini"

solver_pid=""
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    [ -n "$solver_pid" ] && kill -TERM "$solver_pid" 2>/dev/null || true
}
trap cleanup EXIT

echo "== starting solver_unit in $demo (log: demo/solver.log)"
(cd "$demo" && exec ./solver_unit 2>solver.log) &
solver_pid=$!
for _ in $(seq 50); do
    grep -q "STARTUP SUCESS!" "$demo/solver.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "STARTUP SUCESS!" "$demo/solver.log" || { cat "$demo/solver.log"; exit 1; }

echo "== simulating $tags tags at 10 Hz for $seconds s, timestamp noise $noise m (the anchors' clock wraps every 17.2 s)"
"$build/tools/solver_sim" --config "$demo/config.ini" --tags "$tags" --rate 10 --noise "$noise" \
    --duration "$seconds" --seed 1 --truth "$demo/truth.csv" --quiet &
sim_pid=$!

echo "== live map while the demo runs: open http://127.0.0.1:$http_port/ in a browser (DEMO_SECONDS=120 for longer)"
"$build/tools/solver_monitor" --config "$demo/config.ini" --duration "$((seconds + 2))" --http "127.0.0.1:$http_port" \
    --truth "$demo/truth.csv" --svg "$demo/tracks.svg" --json-summary "$demo/summary.json"

wait "$sim_pid"
sim_pid=""
kill -TERM "$solver_pid"
wait "$solver_pid" && status=0 || status=$?
solver_pid=""
echo
echo "== solver_unit stopped (exit code $status)"
echo "   picture of anchors, true tracks and reports: demo/tracks.svg"
echo "   summary: demo/summary.json   truth: demo/truth.csv   log: demo/solver.log"

# What this layout can give at the simulated noise, with its map beside the tracks.
cmake --build "$build" -j"$(nproc)" --target solver_plan >/dev/null
echo
echo "== expected accuracy of the demo hall's anchors at timing noise $noise m (solver_plan)"
"$build/tools/solver_plan" --config "$demo/config.ini" --noise "$noise" --svg "$demo/plan.svg"
echo "   map of the expected position error: demo/plan.svg"
exit "$status"

#!/usr/bin/env bash
# The live demo: installs what is missing, builds, starts solver_unit in demo/
# with the sample configuration (six anchors in a 20 m x 15 m hall, NLOS
# rejection, tracking filter and reported accuracy on), walks a few tags for
# about 20 seconds past metal cabinets that block one anchor at a time while
# the monitor shows the reports, prints the summary with the accuracy figures,
# writes a picture of the tracks and stops everything cleanly.
#
# Beside it a second solver_unit in demo/plain/ gets the same traffic with the
# new keys off (the moving mean, every anchor counted): demo/tracks_plain.svg
# shows what the obstacles and the mean's lag do without them.
#
# The monitor also serves a live map of the tags to open in a browser: each tag
# with a circle of its reported accuracy (it grows while a cabinet blocks an
# anchor), and each anchor's health read from the engine's metrics endpoint.
# tracks.svg marks the obstacle episodes: which anchor was blocked when.
#
# Options (environment): DEMO_TAGS (4), DEMO_SECONDS (20), DEMO_NOISE (0.05 m),
# DEMO_HTTP_PORT (8080), DEMO_METRICS_PORT (9464).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh

tags=${DEMO_TAGS:-4}
seconds=${DEMO_SECONDS:-20}
noise=${DEMO_NOISE:-0.05}
http_port=${DEMO_HTTP_PORT:-8080}
metrics_port=${DEMO_METRICS_PORT:-9464}
build=build/release
demo=$PWD/demo

echo "== building"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target solver_unit solver_sim solver_monitor solver_plan solver_replay >/dev/null

rm -rf "$demo"
mkdir -p "$demo/plain"
cp "$build/solver_unit" "$demo/"
# The sample with report_accuracy on (as it ships) and its metrics endpoint switched on.
sed -e 's/^report_accuracy=.*/report_accuracy=true/' \
    -e "s/^;metrics_listen=.*/metrics_listen=127.0.0.1:$metrics_port/" config.ini.sample > "$demo/config.ini"
cp "$build/solver_unit" "$demo/plain/"
sed -e 's/^\(nlos_rejection\|track_filter\|report_accuracy\)=.*/\1=false/' \
    -e 's/=910\([0-3]\)$/=911\1/' config.ini.sample > "$demo/plain/config.ini"

solver_pid=""
plain_pid=""
sim_pid=""
plain_sim_pid=""
plain_monitor_pid=""
cleanup() {
    for p in "$sim_pid" "$plain_sim_pid" "$plain_monitor_pid"; do
        [ -n "$p" ] && kill "$p" 2>/dev/null || true
    done
    for p in "$solver_pid" "$plain_pid"; do
        [ -n "$p" ] && kill -TERM "$p" 2>/dev/null || true
    done
}
trap cleanup EXIT

echo "== checking demo/config.ini (solver_plan --check)"
"$build/tools/solver_plan" --check --config "$demo/config.ini" || true

echo "== starting solver_unit in $demo (log: demo/solver.log)"
(cd "$demo" && exec ./solver_unit 2>solver.log) &
solver_pid=$!
for _ in $(seq 50); do
    grep -q "STARTUP SUCESS!" "$demo/solver.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "STARTUP SUCESS!" "$demo/solver.log" || { cat "$demo/solver.log"; exit 1; }
(cd "$demo/plain" && exec ./solver_unit 2>solver.log) &
plain_pid=$!

# Walking tags; about every 10 s each tag comes past a metal cabinet that
# blocks one anchor for 5 s. The same seed gives both solvers the same records.
traffic=(--tags "$tags" --rate 10 --noise "$noise" --duration "$seconds" --seed 1 --quiet
         --walk --obstacles 6 --obstacle-seconds 5 --obstacle-material metal)
echo "== simulating $tags tags walking at 10 Hz for $seconds s past metal cabinets, timestamp noise $noise m"
echo "   (the anchors' clock wraps every 17.2 s); the same traffic goes to demo/plain/ with the new keys off"
"$build/tools/solver_monitor" --config "$demo/plain/config.ini" --duration "$((seconds + 2))" --quiet \
    --truth "$demo/plain/truth.csv" --svg "$demo/tracks_plain.svg" > "$demo/plain/summary.txt" &
plain_monitor_pid=$!
"$build/tools/solver_sim" --config "$demo/plain/config.ini" "${traffic[@]}" --truth "$demo/plain/truth.csv" &
plain_sim_pid=$!
"$build/tools/solver_sim" --config "$demo/config.ini" "${traffic[@]}" --truth "$demo/truth.csv" &
sim_pid=$!

echo "== live map while the demo runs: open http://127.0.0.1:$http_port/ in a browser (DEMO_SECONDS=120 for longer)"
"$build/tools/solver_monitor" --config "$demo/config.ini" --duration "$((seconds + 2))" --http "127.0.0.1:$http_port" \
    --metrics "http://127.0.0.1:$metrics_port/metrics" --truth "$demo/truth.csv" --svg "$demo/tracks.svg" --json-summary "$demo/summary.json"

wait "$sim_pid"
sim_pid=""
wait "$plain_sim_pid" "$plain_monitor_pid" || true
plain_sim_pid=""
plain_monitor_pid=""
# What the engine learned of the site from the traffic alone (the sample's
# range_noise=auto): the timing noise, and each anchor's offset.
echo
echo "== learned from the traffic (metrics endpoint): timing noise and anchor offsets"
if exec 3<>"/dev/tcp/127.0.0.1/$metrics_port"; then
    printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
    grep -E '^solver_(range_noise_meters|anchor_offset_meters)' <&3 | sed 's/^/   /' || echo "   (not learned yet)"
    exec 3<&-
fi
kill -TERM "$solver_pid" "$plain_pid"
wait "$solver_pid" && status=0 || status=$?
wait "$plain_pid" || true
solver_pid=""
plain_pid=""
echo
echo "== solver_unit stopped (exit code $status)"
echo "   picture of anchors, true tracks, reports and the obstacle episodes: demo/tracks.svg"
echo "   summary: demo/summary.json   truth: demo/truth.csv   log: demo/solver.log"
echo "   the same traffic with nlos_rejection, track_filter and report_accuracy off: demo/tracks_plain.svg"
echo "   $(grep '^RMSE' "$demo/plain/summary.txt" || echo 'no summary')"

# The same traffic as a capture, replayed through the very same engine: what a
# site's own tcpdump capture gives, as often as wanted, identical every time.
echo
echo "== the same traffic written to demo/capture.pcapng and replayed twice (solver_replay)"
"$build/tools/solver_sim" --config "$demo/config.ini" "${traffic[@]}" --pcap "$demo/capture.pcapng" >/dev/null
for run in 1 2; do
    "$build/tools/solver_replay" --config "$demo/config.ini" --fast --out "$demo/replay$run.jsonl" \
        "$demo/capture.pcapng" 2> "$demo/replay$run.txt"
done
grep -v '^\[' "$demo/replay1.txt" | sed 's/^/   /'
cmp -s "$demo/replay1.jsonl" "$demo/replay2.jsonl" && echo "   two replays: $(wc -l < "$demo/replay1.jsonl") reports, byte for byte the same" \
    || echo "   two replays differ"

# What this layout can give at the simulated noise, with its map beside the tracks.
echo
echo "== expected accuracy of the demo hall's anchors at timing noise $noise m (solver_plan)"
"$build/tools/solver_plan" --config "$demo/config.ini" --noise "$noise" --svg "$demo/plan.svg"
echo "   map of the expected position error: demo/plan.svg"
exit "$status"

#!/usr/bin/env bash
# Soak of the whole system over loopback for MINUTES (default 30): solver_unit
# publishing on MQTT to a mosquitto broker of its own (bench_soak_broker starts
# it on a free loopback port and counts what it delivers), the simulator with
# 1000 tags at 80,000 records/s of which each leaves after CHURN seconds
# (default 120) and a new tag takes its place, and the monitor with its live
# map and one viewer reading the event stream (each event checked as JSON).
#
# Every minute one row: resident memory (MiB) of the program, the simulator,
# the broker and the monitor, reports delivered over MQTT in that minute, and
# heartbeats received so far (MQTT, UDP 127.0.0.1:8888). At the end: reports
# lost (UDP to the monitor and MQTT), heartbeats against those due, the live
# map's events, how long the monitor took to stop, and each process's memory
# spread from minute 5 on (from minute 1 in runs under 10 minutes), each
# with its target.
# Targets over 30 minutes: no report lost, every heartbeat, each process's
# resident memory flat within 5 % after the first 5 minutes.
#
# Usage: bench/soak.sh [build dir] [minutes]
# TAGS, RATE (records/s) and CHURN (seconds) change the load; KEEP=1 keeps the work directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
if [ -d "${1:-}" ]; then build=$1; shift; fi
minutes=${1:-30}
churn=${CHURN:-120}
tags=${TAGS:-1000}
rate=${RATE:-80000}
delay=2

command -v python3 >/dev/null || { apt-get update -qq && apt-get install -y -qq python3 >/dev/null; }
for p in solver_unit tools/solver_sim tools/solver_monitor bench/bench_soak_broker; do
    [ -x "$build/$p" ] || { echo "missing $build/$p: build first" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KEEP:-}" ] && echo "work directory: $work" || rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/bench_soak_broker" soak > "$work/broker.txt" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q '^broker ' "$work/broker.txt" && break; sleep 0.1; done
read -r _ mqtt_port broker_pid < <(grep '^broker ' "$work/broker.txt") || { cat "$work/broker.txt" >&2; exit 1; }

# Three free UDP ports for the program: anchors, requests, reports.
read -r anchor_port request_port report_port < <(python3 -c '
import socket
s = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
cp "$build/solver_unit" "$work/"
sed -e 's/^s_enable=.*/s_enable=false/' -e "s/^delay_window_1908=.*/delay_window_1908=$delay/" \
    -e "s/^local_udp_listen_anchor_port=.*/local_udp_listen_anchor_port=$anchor_port/" \
    -e "s/^local_udp_listen_parameters_configuration_port=.*/local_udp_listen_parameters_configuration_port=$request_port/" \
    -e "s/^remote_udp_server_location_port=.*/remote_udp_server_location_port=$report_port/" \
    -e 's/^mqtt_enable=.*/mqtt_enable=true/' -e "s/^mqtt_port=.*/mqtt_port=$mqtt_port/" \
    -e 's/^mqtt_topic_prefix=.*/mqtt_topic_prefix=soak/' -e 's/^mqtt_client_id=.*/mqtt_client_id=solver_unit-soak/' \
    config.ini.sample > "$work/config.ini"

(cd "$work" && exec ./solver_unit 2>solver.log) &
solver=$!
solver_start=$(date +%s)
pids+=($solver)
for _ in $(seq 50); do grep -q "STARTUP SUCESS!" "$work/solver.log" 2>/dev/null && break; sleep 0.1; done

"$build/tools/solver_monitor" --config "$work/config.ini" --quiet --http 127.0.0.1:0 \
    --json-summary "$work/summary.json" > "$work/monitor.txt" 2> "$work/monitor.log" &
monitor=$!
pids+=($monitor)
for _ in $(seq 50); do grep -q "live map at" "$work/monitor.log" 2>/dev/null && break; sleep 0.1; done
http_port=$(sed -n 's|.*live map at http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/monitor.log")

# The viewer: reads /events as a browser would, counts events and those that
# are not JSON by the grammar (Python's parser refuses "12." and NaN).
python3 - "$http_port" "$work/viewer.txt" <<'PY' &
import http.client, json, os, sys, time
port, out = int(sys.argv[1]), sys.argv[2]
events = bad = connects = 0
def refuse(constant): raise ValueError(constant)
def save():
    with open(out + ".new", "w") as f: f.write("%d %d %d\n" % (events, bad, connects))
    os.replace(out + ".new", out)
while True:
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request("GET", "/events")
        r = c.getresponse()
        connects += 1
        if r.status != 200:
            time.sleep(1); continue
        last = 0
        for line in r:
            if line.startswith(b"data: "):
                events += 1
                try: json.loads(line[6:], parse_constant=refuse)
                except ValueError: bad += 1
            if time.time() - last >= 1:
                save(); last = time.time()
    except (OSError, http.client.HTTPException):
        pass
    save()
    time.sleep(1)
PY
pids+=($!)

seconds=$((minutes * 60))
"$build/tools/solver_sim" --config "$work/config.ini" --tags "$tags" --record-rate "$rate" --churn "$churn" \
    --noise 0.05 --duration "$seconds" 2> "$work/sim.log" &
sim=$!
pids+=($sim)
start=$(date +%s)

rss() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status" 2>/dev/null || echo "-"; }
counts() { { grep '^counts ' "$work/broker.txt" || echo "counts 0 0"; } | tail -1 | cut -d' ' -f2-; }
viewer() { cat "$work/viewer.txt" 2>/dev/null || echo "0 0 0"; }
# Heartbeats on UDP 8888 from the program's own ports (other programs on this host may send there too).
udp_beats() {
    ss -uanpH | awk -v p="pid=$solver," 'index($0, p) { n = split($4, a, ":"); print a[n] }' > "$work/ports.txt" || true
    awk 'NR == FNR { own[$1] = 1; next } $1 == "udp-heartbeat" && ($2 in own)' "$work/ports.txt" "$work/broker.txt" | wc -l
}

echo "bench/soak.sh $build $minutes: $tags tags at $rate records/s, each tag replaced after $churn s," \
     "delay window $delay, MQTT broker 127.0.0.1:$mqtt_port, live map http://127.0.0.1:$http_port/"
uptime
printf '%-4s %10s %10s %10s %10s %12s %10s %10s %10s\n' min program_MiB sim_MiB broker_MiB monitor_MiB \
    mqtt_reports mqtt_beats udp_beats map_events
: > "$work/rss.txt"
previous=0
for m in $(seq 1 "$minutes"); do
    wait_s=$((start + m * 60 - $(date +%s)))
    [ "$wait_s" -le 0 ] || sleep "$wait_s"
    read -r delivered beats < <(counts)
    row="$(rss "$solver") $(rss "$sim") $(rss "$broker_pid") $(rss "$monitor")"
    echo "$m $row" >> "$work/rss.txt"
    read -r events _ _ < <(viewer)
    printf '%-4s %10s %10s %10s %10s %12s %10s %10s %10s\n' "$m" $row $((delivered - previous)) "$beats" \
        "$(udp_beats)" "$events"
    previous=$delivered
done

wait "$sim" || true
sleep 3 # the last reports
t0=$(date +%s%N)
kill -TERM "$monitor"
wait "$monitor" && monitor_rc=0 || monitor_rc=$?
monitor_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
elapsed=$(( $(date +%s) - start ))
udp_beats=$(udp_beats)
due=$(( ($(date +%s) - solver_start - 1) / 30 )) # one every 30 s from the start
kill -TERM "$solver"
wait "$solver" && solver_rc=0 || solver_rc=$?
sleep 1.5 # the broker's last counts

read -r transmissions all_tags < <(sed -n 's/.*sent \([0-9]*\) transmissions.* \([0-9]*\) tags in all.*/\1 \2/p' "$work/sim.log")
expected=$((transmissions - all_tags * (1 + delay)))
received=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["reports"])' "$work/summary.json")
read -r delivered beats < <(counts)
read -r events bad connects < <(viewer)
drops=$(sed -n 's/.*mqtt: [0-9]* messages dropped.*, \([0-9]*\) since start.*/\1/p' "$work/solver.log" | tail -1)

fifo=$(sed -n 's/.*anchor FIFO over its limit of [0-9]* records: dropped the \([0-9]*\) oldest.*/\1/p' \
    "$work/solver.log" | awk '{ n += $1 } END { print n + 0 }')
sim_rate=$(sed -n 's/.*(\([0-9]*\) records\/s).*/\1/p' "$work/sim.log" | tail -1)

echo
echo "after $elapsed s: $transmissions transmissions of $all_tags tags in all at $sim_rate records/s;" \
     "the first and the last $delay transmissions of each tag are never reported"
printf '%-34s %-26s %-10s %s\n' result value target verdict
row() { printf '%-34s %-26s %-10s %s\n' "$1" "$2" "$3" "$4"; }
verdict() { [ "$1" -eq 0 ] && echo ok || echo MISSED; }
row "reports lost, UDP to the monitor" "$((expected - received)) of $expected" 0 "$(verdict $((expected - received)))"
row "reports lost, MQTT" "$((expected - delivered)) of $expected" 0 "$(verdict $((expected - delivered)))"
row "records dropped, FIFO limit" "$fifo" 0 "$(verdict "$fifo")"
row "reports dropped, MQTT queue" "${drops:-0}" 0 "$(verdict "${drops:-0}")"
row "heartbeats missing, MQTT" "$((due - beats)) of $due" 0 "$(verdict $(( beats >= due ? 0 : 1 )))"
row "heartbeats missing, UDP 8888" "$((due - udp_beats)) of $due" 0 "$(verdict $(( udp_beats >= due ? 0 : 1 )))"
row "live map events not JSON" "$bad of $events" 0 "$(verdict "$bad")"
row "monitor: exit after SIGTERM" "code $monitor_rc in $monitor_ms ms" "0, 2000 ms" \
    "$(verdict $(( monitor_rc == 0 && monitor_ms <= 2000 ? 0 : 1 )))"
row "program: exit after SIGTERM" "code $solver_rc" 0 "$(verdict "$solver_rc")"
first=$(( minutes >= 10 ? 5 : 1 ))
python3 - "$work/rss.txt" "$first" <<'PY'
import sys
rows = [l.split() for l in open(sys.argv[1])]
first = int(sys.argv[2])
for i, name in enumerate(["program", "sim", "broker", "monitor"]):
    v = [float(r[i + 1]) for r in rows if int(r[0]) >= first and r[i + 1] != "-"]
    what = "memory from minute %d, %s" % (first, name)
    if len(v) < 2:
        print("%-34s %-26s %-10s %s" % (what, "too few samples", "<= 5 %", "-"))
        continue
    spread = 100 * (max(v) - min(v)) / min(v)
    print("%-34s %-26s %-10s %s" % (what, "%.1f..%.1f MiB, %.1f %%" % (min(v), max(v), spread), "<= 5 %",
                                    "ok" if spread <= 5 else "MISSED"))
PY
echo "monitor: $(grep -E '^summary|refused' "$work/monitor.txt" | tr '\n' ' ')"
uptime

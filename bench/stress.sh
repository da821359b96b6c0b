#!/usr/bin/env bash
# Companion of load.sh: the whole program over loopback under the three kinds
# of stress a site can put on it. Each mode starts a fresh solver_unit with the
# sample site (smoothing off, ports 9210-9212) and prints its figures.
#
#   heartbeats RATE SECONDS  RATE records/s from 1000 tags for SECONDS; counts
#                            the 30 s supervision heartbeats (UDP 127.0.0.1:8888,
#                            the built-in server of a default build)
#   overload RATE [SECONDS]  RATE records/s for SECONDS (30): peak resident
#                            memory, then 20 tags at 20 Hz for 4 s: their latency
#                            shows how soon reports flow again
#   flood [SECONDS]          bench_flood's random datagrams at full speed for
#                            SECONDS (35) beside 20 valid tags at 10 Hz: reports
#                            of the valid tags, heartbeats, lost-packet file
#                            size, and SIGTERM-to-exit time during the flood
#
# Usage: bench/stress.sh [build dir] MODE ARGS...
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
if [ -d "${1:-}" ]; then build=$1; shift; fi
mode=${1:?mode: heartbeats, overload or flood}
shift

command -v python3 >/dev/null || { apt-get update -qq && apt-get install -y -qq python3 >/dev/null; }
for p in solver_unit tools/solver_sim tools/solver_monitor bench/bench_flood; do
    [ -x "$build/$p" ] || { echo "missing $build/$p: build first" >&2; exit 1; }
done

work=$(mktemp -d)
pid=
cleanup() {
    [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
    [ -n "${KEEP:-}" ] && echo "work directory: $work" || rm -rf "$work"
}
trap cleanup EXIT
cp "$build/solver_unit" "$work/"
sed -e 's/^s_enable=.*/s_enable=false/' -e 's/^delay_window_1908=.*/delay_window_1908=2/' \
    -e 's/^local_udp_listen_anchor_port=.*/local_udp_listen_anchor_port=9210/' \
    -e 's/^local_udp_listen_parameters_configuration_port=.*/local_udp_listen_parameters_configuration_port=9211/' \
    -e 's/^remote_udp_server_location_port=.*/remote_udp_server_location_port=9212/' \
    config.ini.sample > "$work/config.ini"

start_solver() {
    (cd "$work" && exec ./solver_unit 2>solver.log) &
    pid=$!
    for _ in $(seq 50); do grep -q "STARTUP SUCESS!" "$work/solver.log" 2>/dev/null && break; sleep 0.1; done
    sleep 0.3
}
# Prints one line per heartbeat datagram on 127.0.0.1:8888 for $1 seconds:
# time, sender port, text. Other programs on this host may send there too.
heartbeat_listener() {
    python3 - "$1" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 8888))
s.settimeout(0.5)
end = time.time() + float(sys.argv[1])
while time.time() < end:
    try:
        d, sender = s.recvfrom(65536)
    except socket.timeout:
        continue
    print("%.1f %d %s" % (time.time(), sender[1], d.decode(errors="replace")), flush=True)
PY
}
monitor() { # seconds summary [truth]
    "$build/tools/solver_monitor" --config "$work/config.ini" --duration "$1" --quiet --json-summary "$2" \
        ${3:+--truth "$3"} >/dev/null 2>&1
}
sim() { # args...
    "$build/tools/solver_sim" --config "$work/config.ini" --noise 0.05 "$@" 2>&1 | tail -1
}
field() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$@"; }
# The program's UDP ports, to tell its heartbeats from those of other programs.
ports() { ss -uanpH | awk -v p="pid=$pid," 'index($0, p) { n = split($4, a, ":"); print a[n] }' > "$work/ports.txt"; }
own_beats() { awk 'NR == FNR { own[$1] = 1; next } ($2 in own)' "$work/ports.txt" "$work/beats.txt"; }
resources() {
    ports
    awk '/VmHWM/ {printf "peak resident %.0f MiB, ", $2/1024}' "/proc/$pid/status"
    awk '{printf "program CPU %.2f s\n", ($14+$15)/100}' "/proc/$pid/stat"
}

uptime
start_solver
case "$mode" in
heartbeats)
    rate=${1:?rate}; seconds=${2:?seconds}
    heartbeat_listener "$((seconds + 3))" > "$work/beats.txt" &
    listener=$!
    monitor "$((seconds + 2))" "$work/sum.json" "$work/truth.csv" &
    mon=$!
    sleep 0.3
    sim --tags 1000 --record-rate "$rate" --duration "$seconds" --truth "$work/truth.csv"
    wait "$mon"
    resources
    wait "$listener"
    own_beats
    echo "heartbeats: $(own_beats | wc -l) received, $(( (seconds + 2) / 30 )) due;" \
        "$(grep -c 'R740->' "$work/solver.log") sent by the program"
    echo "reports $(field "$work/sum.json" "d['reports']"), latency p50/p99/max ms" \
        "$(field "$work/sum.json" "' '.join('%.1f' % (d['latency_us'][k] / 1000) for k in ('p50', 'p99', 'max'))")"
    ;;
overload)
    rate=${1:?rate}; seconds=${2:-30}
    # Started 0.3 s before the overload, this monitor has let go of the port
    # when it ends, so the second one can take it at once.
    monitor "$seconds" "$work/sum1.json" &
    mon=$!
    sleep 0.3
    sim --tags 1000 --record-rate "$rate" --duration "$seconds"
    resources
    wait "$mon"
    monitor 6 "$work/sum2.json" "$work/truth2.csv" &
    mon2=$!
    sim --tags 20 --rate 20 --duration 4 --seq-start 100 --truth "$work/truth2.csv"
    wait "$mon2"
    echo "overload: $(field "$work/sum1.json" "d['reports']") reports"
    echo "after it: $(field "$work/sum2.json" "d['reports']") reports, latency p50/p99/max ms" \
        "$(field "$work/sum2.json" "' '.join('%.1f' % (d['latency_us'][k] / 1000) for k in ('p50', 'p99', 'max'))")"
    grep -c "anchor FIFO over its limit" "$work/solver.log" | sed 's/^/FIFO drop lines: /'
    ;;
flood)
    seconds=${1:-35}
    heartbeat_listener "$((seconds + 1))" > "$work/beats.txt" &
    listener=$!
    monitor "$((seconds + 1))" "$work/sum.json" &
    mon=$!
    sleep 0.3
    sim --tags 20 --rate 10 --duration "$seconds" > "$work/sim.txt" &
    simjob=$!
    "$build/bench/bench_flood" 9210 "$seconds" &
    flood=$!
    sleep "$((seconds - 2))"
    resources
    ls -l "$work"/log_lostPacket*.log | awk '{print "lost-packet file: " $5 " bytes"}'
    t0=$(date +%s%N)
    kill -TERM "$pid"
    wait "$pid" && rc=0 || rc=$?
    t1=$(date +%s%N)
    pid=
    echo "SIGTERM during the flood: exit code $rc after $(( (t1 - t0) / 1000000 )) ms"
    wait "$flood" "$simjob" "$mon" "$listener"
    cat "$work/sim.txt"
    own_beats
    echo "heartbeats: $(own_beats | wc -l) received, $(( seconds / 30 )) due;" \
        "$(grep -c 'R740->' "$work/solver.log") sent by the program"
    echo "reports of the valid tags: $(field "$work/sum.json" "d['reports']")" \
        "(20 tags x 10 Hz x $((seconds - 2)) s before the SIGTERM, less 3 per tag)"
    echo "bad-datagram console lines: $(grep -c 'Error Anchor UDP frame data' "$work/solver.log")," \
        "summary lines: $(grep -c 'bad anchor datagrams not logged' "$work/solver.log")"
    ;;
*) echo "unknown mode $mode" >&2; exit 2 ;;
esac
uptime

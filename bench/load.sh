#!/usr/bin/env bash
# Load benchmark of the whole program over loopback: the anchor simulator
# offers rising record rates from 1000 tags (one record per datagram) to a
# fresh solver_unit, the monitor counts and times the reports. For each rate it
# prints what was offered, the reports expected and received, the latency from
# the record that completed a transmission to its report (p50/p99), the
# program's CPU seconds and peak resident memory. It stops at the first rate
# that loses reports. Then it measures the raw loopback UDP receive rate of
# this machine with the same datagram size (the simulator sending straight to
# the monitor) as the physical limit, and prints the ratio. cpu_us is the
# program's CPU time per record offered, main_us the part of it spent in the
# main thread (receive, classification, queuing).
#
# Usage: bench/load.sh [build dir] [seconds per rate] [rates...]
# PER_DATAGRAM=3 packs the records of one transmission three to a datagram.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
seconds=${2:-5}
shift $(( $# > 2 ? 2 : $# ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(20000 50000 80000 100000 120000 150000 200000 250000 300000)
tags=1000
delay=2
per=${PER_DATAGRAM:-1}

command -v python3 >/dev/null || { apt-get update -qq && apt-get install -y -qq python3 >/dev/null; }
for p in solver_unit tools/solver_sim tools/solver_monitor; do
    [ -x "$build/$p" ] || { echo "missing $build/$p: build first" >&2; exit 1; }
done

work=$(mktemp -d)
[ -z "${KEEP:-}" ] || echo "work directory: $work"
pid=
trap '[ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cp "$build/solver_unit" "$work/"
# The sample site with smoothing off, so every completed transmission is one report.
sed -e 's/^s_enable=.*/s_enable=false/' -e "s/^delay_window_1908=.*/delay_window_1908=$delay/" \
    -e 's/^local_udp_listen_anchor_port=.*/local_udp_listen_anchor_port=9200/' \
    -e 's/^remote_udp_server_location_port=.*/remote_udp_server_location_port=9202/' \
    -e 's/^local_udp_listen_parameters_configuration_port=.*/local_udp_listen_parameters_configuration_port=9201/' \
    config.ini.sample > "$work/config.ini"

summary() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$@"; }

uptime
echo "records per datagram: $per"
printf '%-9s %-10s %-9s %-9s %-6s %-9s %-9s %-8s %-8s %-8s %-8s\n' offered sent/s expected received lost p50_ms p99_ms cpu_s cpu_us main_us peak_MiB
best=0
for rate in "${rates[@]}"; do
    rm -f "$work"/truth.csv "$work"/summary.json "$work"/solver.log
    (cd "$work" && exec ./solver_unit 2>solver.log) &
    pid=$!
    for _ in $(seq 50); do grep -q "STARTUP SUCESS!" "$work/solver.log" 2>/dev/null && break; sleep 0.1; done
    "$build/tools/solver_monitor" --config "$work/config.ini" --duration "$((seconds + 3))" --quiet \
        --truth "$work/truth.csv" --json-summary "$work/summary.json" >/dev/null &
    mon=$!
    sleep 0.3
    simout=$("$build/tools/solver_sim" --config "$work/config.ini" --tags "$tags" --record-rate "$rate" \
        --noise 0.05 --duration "$seconds" --anchors-per-datagram "$per" --truth "$work/truth.csv" 2>&1 | tail -1)
    wait "$mon"
    peak=$(awk '/VmHWM/ {printf "%.0f", $2/1024}' "/proc/$pid/status")
    cpu=$(awk '{printf "%.2f", ($14+$15)/100}' "/proc/$pid/stat")
    main=$(awk '{printf "%.2f", ($14+$15)/100}' "/proc/$pid/task/$pid/stat")
    kill -TERM "$pid"; wait "$pid" || true
    pid=
    sent=$(echo "$simout" | sed -n 's/.*(\([0-9.]*\) records\/s).*/\1/p')
    read -r expected received p50 p99 < <(summary "$work/summary.json" \
        "' '.join(str(x) for x in [sum(max(0,t['transmissions']-1-$delay) for t in d['tags'].values()), d['reports'], d['latency_us']['p50']/1000, d['latency_us']['p99']/1000])")
    lost=$((expected - received))
    read -r cpu_us main_us < <(python3 -c "n = max(1, $sent * $seconds); print('%.2f %.2f' % ($cpu * 1e6 / n, $main * 1e6 / n))")
    printf '%-9s %-10s %-9s %-9s %-6s %-9s %-9s %-8s %-8s %-8s %-8s\n' "$rate" "$sent" "$expected" "$received" "$lost" "$p50" "$p99" "$cpu" "$cpu_us" "$main_us" "$peak"
    if [ "$lost" -gt 0 ]; then break; fi
    best=$rate
done

# The physical limit: the same datagrams straight into the monitor's socket.
"$build/tools/solver_monitor" --config "$work/config.ini" --duration "$((seconds + 2))" --quiet \
    --json-summary "$work/raw.json" >/dev/null &
mon=$!
sleep 0.3
"$build/tools/solver_sim" --config "$work/config.ini" --port 9202 --tags "$tags" --record-rate 3000000 \
    --duration "$seconds" --anchors-per-datagram "$per" --quiet
wait "$mon"
raw=$(summary "$work/raw.json" "round(d['invalid'] * $per / $seconds)")
echo
echo "highest offered rate with no lost report: $best records/s"
echo "raw loopback UDP receive rate, same datagrams: $raw records/s"
python3 -c "print('ratio engine / raw loopback: %.2f' % ($best / max(1, $raw)))"
uptime

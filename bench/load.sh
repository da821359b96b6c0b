#!/usr/bin/env bash
# Load benchmark of the whole program over loopback: the anchor simulator
# offers rising record rates from 1000 tags (one record per datagram) to a
# fresh solver_unit, the monitor counts and times the reports. For each rate it
# prints what was offered, the reports expected and received, the latency from
# the record that completed a transmission to its report (p50/p99), the
# program's CPU seconds and peak resident memory. It stops at the first rate
# that loses reports.
#
# Two arrival patterns, each its own ladder:
#   spread  every datagram at its own time: each anchor's record of a
#           transmission leaves after its own delay (0 to SPREAD_MS), as
#           independent anchors send
#   burst   the records of a transmission back to back
# At each rate the same simulator then feeds a bare batched receiver
# (bench_receiver: blocks in the kernel, takes everything queued, nothing
# else) for the same time: its CPU per datagram is the floor of this machine
# at that rate and pattern, and `ratio` the program's CPU per record over it.
#
# Columns: cpu_us is the program's CPU time per record offered, recv_us the
# part of it spent in the receive thread (read, classification, queuing),
# main_us the main thread's; floor_us the bare receiver's per datagram.
# sent/s is what the simulator managed (it falls behind on a full machine).
# Then the raw loopback UDP receive rate of this machine with the same
# datagrams (the simulator sending straight to the monitor) as the physical
# limit, and the ratio of the best lossless rate to it. With OVERLOAD=f the
# program is then offered f times the best lossless rate of the last pattern for
# OVERLOAD_SECONDS (30): reports per second against the lossless run's, their
# p99 latency, and peak memory.
#
# Usage: bench/load.sh [build dir] [seconds per rate] [rates...]
# PATTERNS="spread burst" (default both), SPREAD_MS=2, PER_DATAGRAM=1 (records
# of a transmission per datagram), MAX_AGE=<ms> sets anchor_max_age_ms,
# ENGINE=<file> runs that solver_unit instead of the build's (a baseline),
# ENGINE_CPUS=1 pins it to those CPUs (taskset), ENGINE_QUOTA=0.5 gives it
# half a CPU: on a small machine the simulator can then offer more than the
# program takes, for OVERLOAD.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
seconds=${2:-5}
shift $(( $# > 2 ? 2 : $# ))
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(20000 50000 80000 100000 120000 150000 200000 250000 300000)
patterns=(${PATTERNS:-spread burst})
spread_ms=${SPREAD_MS:-2}
tags=1000
delay=2
per=${PER_DATAGRAM:-1}

command -v python3 >/dev/null || { apt-get update -qq && apt-get install -y -qq python3 >/dev/null; }
for p in solver_unit tools/solver_sim tools/solver_monitor bench/bench_receiver; do
    [ -x "$build/$p" ] || { echo "missing $build/$p: build first" >&2; exit 1; }
done

work=$(mktemp -d)
[ -z "${KEEP:-}" ] || echo "work directory: $work"
pid=
trap '[ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cp "${ENGINE:-$build/solver_unit}" "$work/solver_unit"
# The sample site with eight anchors (two more on the long walls) and smoothing
# off, so every completed transmission is one report; NLOS rejection, tracking
# filter and accuracy reports off unless ACCURACY=1 keeps the sample's keys.
sed -e 's/^s_enable=.*/s_enable=false/' -e "s/^delay_window_1908=.*/delay_window_1908=$delay/" \
    -e '/^A00000000006=/a A00000000007="0.00,7.50,3.00"\nA00000000008="20.00,7.50,3.00"' \
    -e 's/^local_udp_listen_anchor_port=.*/local_udp_listen_anchor_port=9200/' \
    -e 's/^remote_udp_server_location_port=.*/remote_udp_server_location_port=9202/' \
    -e 's/^local_udp_listen_parameters_configuration_port=.*/local_udp_listen_parameters_configuration_port=9201/' \
    config.ini.sample > "$work/config.ini"
[ -n "${ACCURACY:-}" ] || sed -i -e 's/^nlos_rejection=.*/nlos_rejection=false/' \
    -e 's/^track_filter=.*/track_filter=false/' -e 's/^report_accuracy=.*/report_accuracy=false/' "$work/config.ini"
[ -z "${MAX_AGE:-}" ] || sed -i "/^\[network_setting\]/a anchor_max_age_ms=$MAX_AGE" "$work/config.ini"

# ENGINE_QUOTA=f: the program gets at most f of one CPU in every 10 ms (a
# cgroup v1 CPU quota; needs root), a smaller machine for the same simulator.
quota_group=
if [ -n "${ENGINE_QUOTA:-}" ]; then
    quota_group=/sys/fs/cgroup/cpu/solver_load_$$
    mkdir "$quota_group"
    echo 10000 > "$quota_group/cpu.cfs_period_us"
    quota=$(python3 -c "print(int(10000 * $ENGINE_QUOTA))")
    echo "$quota" > "$quota_group/cpu.cfs_quota_us"
    trap '[ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true; sleep 0.5; rmdir "$quota_group"; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
fi

summary() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$@"; }
# CPU seconds of a process, or of its thread named $2.
cpu_of() {
    local stat=/proc/$1/stat
    if [ -n "${2:-}" ]; then
        stat=$(grep -lx "$2" /proc/"$1"/task/*/comm 2>/dev/null | head -1 | sed 's/comm$/stat/')
        [ -n "$stat" ] || { echo 0; return; }
    fi
    awk '{printf "%.2f", ($14+$15)/100}' "$stat"
}
sim_args() { # pattern rate seconds
    local a=(--config "$work/config.ini" --tags "$tags" --record-rate "$2" --noise 0.05 --duration "$3"
             --anchors-per-datagram "$per")
    [ "$1" = spread ] && a+=(--spread "$spread_ms")
    echo "${a[@]}"
}

# One run of the program: offered pattern, rate, seconds. Sets the globals
# sent expected received lost p50 p99 cpu cpu_us recv_us main_us peak.
run_program() {
    local pattern=$1 rate=$2 secs=$3 simout
    rm -f "$work"/truth.csv "$work"/summary.json "$work"/solver.log
    (cd "$work" && exec ${ENGINE_CPUS:+taskset -c "$ENGINE_CPUS"} ./solver_unit 2>solver.log) &
    pid=$!
    [ -z "$quota_group" ] || echo "$pid" > "$quota_group/cgroup.procs"
    for _ in $(seq 50); do grep -q "STARTUP SUCESS!" "$work/solver.log" 2>/dev/null && break; sleep 0.1; done
    # Until the simulator is done (it falls behind when the machine is full)
    # and a second more for the last reports.
    "$build/tools/solver_monitor" --config "$work/config.ini" --duration 0 --quiet \
        --truth "$work/truth.csv" --json-summary "$work/summary.json" >/dev/null 2>&1 &
    local mon=$!
    sleep 0.3
    # shellcheck disable=SC2046
    simout=$("$build/tools/solver_sim" $(sim_args "$pattern" "$rate" "$secs") --truth "$work/truth.csv" 2>&1 | tail -1)
    sleep 1
    kill -INT "$mon"
    wait "$mon"
    elapsed=$(echo "$simout" | sed -n 's/.* in \([0-9.]*\) s (.*/\1/p')
    peak=$(awk '/VmHWM/ {printf "%.0f", $2/1024}' "/proc/$pid/status")
    cpu=$(cpu_of "$pid")
    local recv main
    recv=$(cpu_of "$pid" AnchorUdpSocket)
    main=$(cpu_of "$pid" "$(cat /proc/$pid/comm)")
    kill -TERM "$pid"; wait "$pid" || true
    pid=
    sent=$(echo "$simout" | sed -n 's/.*(\([0-9.]*\) records\/s).*/\1/p')
    read -r expected received p50 p99 < <(summary "$work/summary.json" \
        "' '.join(str(x) for x in [sum(max(0,t['transmissions']-1-$delay) for t in d['tags'].values()), d['reports'], d['latency_us']['p50']/1000, d['latency_us']['p99']/1000])")
    lost=$((expected - received))
    read -r cpu_us recv_us main_us < <(python3 -c "n = max(1, $sent * $elapsed); print('%.2f %.2f %.2f' % ($cpu * 1e6 / n, $recv * 1e6 / n, $main * 1e6 / n))")
}

# The bare receiver's CPU per datagram at the same pattern and rate.
floor_us() {
    local out
    "$build/bench/bench_receiver" 9202 "$(($3 + 1))" > "$work/floor.txt" &
    local recv=$!
    sleep 0.3
    # shellcheck disable=SC2046
    "$build/tools/solver_sim" $(sim_args "$1" "$2" "$3") --port 9202 --quiet
    wait "$recv"
    out=$(cat "$work/floor.txt")
    echo "${out##* }"
}

uptime
echo "records per datagram: $per, spread over ${spread_ms} ms"
declare -A best best_reports
for pattern in "${patterns[@]}"; do
    echo
    echo "pattern: $pattern"
    printf '%-8s %-9s %-8s %-8s %-6s %-7s %-7s %-6s %-7s %-7s %-7s %-8s %-6s %-8s\n' offered sent/s expected received \
        lost p50_ms p99_ms cpu_s cpu_us recv_us main_us floor_us ratio peak_MiB
    best[$pattern]=0
    for rate in "${rates[@]}"; do
        run_program "$pattern" "$rate" "$seconds"
        floor=$(floor_us "$pattern" "$rate" "$seconds")
        ratio=$(python3 -c "print('%.2f' % ($cpu_us / max(0.001, $floor)))")
        printf '%-8s %-9s %-8s %-8s %-6s %-7s %-7s %-6s %-7s %-7s %-7s %-8s %-6s %-8s\n' "$rate" "$sent" "$expected" \
            "$received" "$lost" "$p50" "$p99" "$cpu" "$cpu_us" "$recv_us" "$main_us" "$floor" "$ratio" "$peak"
        if [ "$lost" -gt 0 ]; then break; fi
        best[$pattern]=$rate
        best_reports[$pattern]=$(python3 -c "print('%.0f' % ($received / $elapsed))")
    done
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
for pattern in "${patterns[@]}"; do
    echo "highest offered rate with no lost report, $pattern: ${best[$pattern]} records/s"
done
echo "raw loopback UDP receive rate, same datagrams: $raw records/s"
for pattern in "${patterns[@]}"; do
    python3 -c "print('ratio engine / raw loopback, $pattern: %.2f' % (${best[$pattern]} / max(1, $raw)))"
done

if [ -n "${OVERLOAD:-}" ]; then
    pattern=${patterns[-1]}
    over_seconds=${OVERLOAD_SECONDS:-30}
    rate=$(python3 -c "print(int(${best[$pattern]} * $OVERLOAD))")
    echo
    echo "overload: $OVERLOAD x ${best[$pattern]} = $rate records/s, $pattern, for $over_seconds s"
    run_program "$pattern" "$rate" "$over_seconds"
    dropped=$(grep -c "older than" "$work/solver.log" || true)
    python3 -c "r = $received / $elapsed; print('reports/s %.0f of the lossless %s (%.2f), p50 %s ms, p99 %s ms, cpu_us %s, peak %s MiB, %s drop lines' % (r, ${best_reports[$pattern]:-0}, r / max(1, ${best_reports[$pattern]:-1}), '$p50', '$p99', '$cpu_us', '$peak', '$dropped'))"
fi
uptime

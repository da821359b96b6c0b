#!/usr/bin/env bash
# Installs what is missing and runs the whole suite in three stages:
#   1. release build (g++): unit and end-to-end tests
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build (clang): the same
#      tests, plus the fuzz targets for a bounded time
#   3. ThreadSanitizer build (clang): the tests that run several threads
#   4. under CI=true only, the Debian package test (it installs into this
#      machine and purges again) on the release build
# Each stage builds in build/<stage>, reusing what is there (and ccache);
# --clean, and always CI=true, empties those directories first.
# A stage fails when a test fails, when it selects no test, or when a
# sanitizer wrote a report from any process, started programs included: the
# reports go to files in build/<stage>/sanitizer-reports, printed on failure.
# SOLVER_REQUIRE_ALL=1 makes a test whose tool (Chromium, mosquitto,
# Prometheus) or kernel setting is missing fail instead of skip.
#   tools/test.sh [--clean]
set -euo pipefail
cd "$(dirname "$0")/.."

clean=false
[ "${CI:-}" = true ] && clean=true
for arg in "$@"; do
    case $arg in
        --clean) clean=true ;;
        *) echo "usage: tools/test.sh [--clean]" >&2; exit 2 ;;
    esac
done

tools/install_deps.sh

jobs=$(nproc)
root=$PWD
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# Rebuilds after a change reuse what ccache holds, where it is installed.
launcher=$(command -v ccache || true)
export QT_QPA_PLATFORM=offscreen
export SOLVER_REQUIRE_ALL=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"

step() { printf '\n== %s\n' "$*"; }

# Configures and builds build/$1 with the remaining cmake options.
build() {
    local dir=build/$1
    shift
    $clean && rm -rf "$dir"
    cmake -S . -B "$dir" ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} "$@" >/dev/null
}

# Runs ctest in build/$1 with the remaining options, sanitizer reports going
# to files there; fails when a test fails, none is selected or a report exists.
run_tests() {
    local dir=build/$1 status=0
    shift
    local reports=$root/$dir/sanitizer-reports
    rm -rf "$reports"
    mkdir -p "$reports"
    (cd "$dir" && ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/asan" \
        UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
        TSAN_OPTIONS="$TSAN_OPTIONS log_path=$reports/tsan" \
        ctest --no-tests=error --output-on-failure -j"$jobs" "$@") || status=$?
    if [ -n "$(ls -A "$reports")" ]; then
        for report in "$reports"/*; do
            printf '\n---- %s\n' "$report"
            cat "$report"
        done
        echo "== sanitizer reports above (in $reports): the stage fails" >&2
        status=1
    fi
    return $status
}

# The anchor socket's burst test queues more datagrams than Debian's stock
# net.core.rmem_max (212992) lets a socket hold: raised, never lowered, to
# the value the package installs.
step "socket receive buffer limit"
conf=packaging/sysctl/00-solver-unit.conf
want=$(sed -n 's/^net\.core\.rmem_max *= *//p' "$conf" 2>/dev/null || true)
[ -n "$want" ] || { echo "no net.core.rmem_max in $conf" >&2; exit 1; }
have=$(sysctl -n net.core.rmem_max)
if [ "$have" -lt "$want" ]; then
    $sudo sysctl -q -w net.core.rmem_max="$want" || echo "cannot raise net.core.rmem_max from $have: the burst test fails"
fi
echo "net.core.rmem_max = $(sysctl -n net.core.rmem_max)"

step "release build"
build release -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/release -j"$jobs"
step "release tests"
run_tests release -LE fuzz

step "ASan+UBSan build"
build asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DSOLVER_SANITIZE=address,undefined -DSOLVER_FUZZ=ON -DSOLVER_BENCH=OFF
cmake --build build/asan -j"$jobs"
step "ASan+UBSan tests and fuzzing"
run_tests asan

step "ThreadSanitizer build"
build tsan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DSOLVER_SANITIZE=thread -DSOLVER_BENCH=OFF
cmake --build build/tsan -j"$jobs" --target threaded_tests
step "ThreadSanitizer tests"
run_tests tsan -L threaded

# The Debian package, in CI only: it installs into this machine (dpkg -i, a
# system user) and purges again; needs root. Reuses the release build.
if [ "${CI:-}" = true ]; then
    step "Debian package test"
    packaging/test_package.sh "$root/build/release"
else
    step "Debian package test skipped outside CI (it installs into this machine): sudo packaging/test_package.sh"
fi

step "all test stages passed"

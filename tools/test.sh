#!/usr/bin/env bash
# Installs what is missing, builds from nothing and runs the whole suite:
#   1. release build (g++): unit, end-to-end and packaging tests
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build (clang): the same
#      tests, plus the fuzz targets for a bounded time
#   3. ThreadSanitizer build (clang): the tests that run several threads
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh

jobs=$(nproc)
root=$PWD
# Rebuilds after a change reuse what ccache holds, where it is installed.
launcher=$(command -v ccache || true)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"

step() { printf '\n== %s\n' "$*"; }

step "release build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} >/dev/null
cmake --build build/release -j"$jobs"
step "release tests"
(cd build/release && ctest --output-on-failure -j"$jobs" -LE fuzz)

step "ASan+UBSan build"
cmake -S . -B build/asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
    -DSOLVER_SANITIZE=address,undefined -DSOLVER_FUZZ=ON -DSOLVER_BENCH=OFF >/dev/null
cmake --build build/asan -j"$jobs"
step "ASan+UBSan tests and fuzzing"
(cd build/asan && ctest --output-on-failure -j"$jobs")

step "ThreadSanitizer build"
cmake -S . -B build/tsan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
    -DSOLVER_SANITIZE=thread -DSOLVER_BENCH=OFF >/dev/null
cmake --build build/tsan -j"$jobs" --target threaded_tests
step "ThreadSanitizer tests"
(cd build/tsan && ctest --output-on-failure -j"$jobs" -L threaded)

# The Debian package, in CI only: it installs into this machine (dpkg -i, a
# system user) and purges again; needs root. Reuses the release build.
if [ "${CI:-}" = true ]; then
    step "Debian package test"
    packaging/test_package.sh "$root/build/release"
else
    step "Debian package test skipped outside CI (it installs into this machine): sudo packaging/test_package.sh"
fi

step "all test stages passed"

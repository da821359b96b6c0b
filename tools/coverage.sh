#!/usr/bin/env bash
# Line coverage of the program's own code (common ingest store engine api app
# supervision) by the test suite, fuzz targets excluded, with clang's
# source-based coverage. Prints one figure, e.g. "line coverage: 93.80%".
# The programs that the end-to-end tests start are instrumented too; every
# process writes its own profile (%p), and all profiles are merged.
#   tools/coverage.sh [--details]   (--details also prints the per-file table)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/coverage
jobs=${JOBS:-$(nproc)}
launcher=$(command -v ccache || true)
# Absolute source paths in the coverage mapping, so that each file is counted
# once whichever directory compiled it (ccache's base directory would make
# them relative to each object's build directory).
export CCACHE_BASEDIR= # empty: no rewriting, whatever a ccache config says
flags="-fprofile-instr-generate -fcoverage-mapping"

# From nothing: objects or programs of an earlier tree would count lines
# that no longer exist, and objects compiled with relative paths would escape
# the source filter below.
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
    -DSOLVER_FUZZ=OFF -DSOLVER_BENCH=OFF -DSOLVER_TOOLS=ON >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

profiles=$build/profiles
rm -rf "$profiles"
mkdir -p "$profiles"
export QT_QPA_PLATFORM=offscreen
export LLVM_PROFILE_FILE="$profiles/%p.profraw"
(cd "$build" && ctest -j"$jobs" -LE fuzz --output-on-failure >"$build/ctest.log" 2>&1) \
    || { cat "$build/ctest.log"; echo "coverage: tests failed" >&2; exit 1; }
# A process killed while it wrote its profile leaves a cut file: warn, merge the rest.
llvm-profdata-14 merge -sparse -failure-mode=all "$profiles"/*.profraw -o "$build/merged.profdata"

# Every executable the run produced, so that code reached only in the started
# programs or in one build variant counts.
objects=()
while IFS= read -r exe; do
    objects+=(-object "$exe")
done < <(find "$build" -type f -perm -u+x ! -path '*/CMakeFiles/*' | sort \
             | while IFS= read -r f; do [ "$(head -c4 "$f" | tail -c3)" = ELF ] && echo "$f"; done)
sources=()
for dir in common ingest store engine api app supervision; do sources+=("$root/$dir"); done

if [ "${1:-}" = "--details" ]; then
    llvm-cov-14 report -instr-profile="$build/merged.profdata" -ignore-filename-regex='_autogen/' \
        "${objects[@]:1}" "${sources[@]}"
fi
llvm-cov-14 report -instr-profile="$build/merged.profdata" -ignore-filename-regex='_autogen/' \
        "${objects[@]:1}" "${sources[@]}" \
    | awk '$1 == "TOTAL" { print "line coverage: " $(NF-3) }'

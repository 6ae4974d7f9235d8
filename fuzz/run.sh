#!/bin/sh
# Builds the RTF reader's fuzzer with clang in its own build folder and runs it for a bounded
# time on the seed corpus. Usage: fuzz/run.sh [seconds]   (default 60)
# CXX/CC choose the compiler (default clang++-14/clang-14); FUZZ_BUILD_DIR the build folder.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
cxx=${CXX:-clang++-14}
cc=${CC:-clang-14}
jobs=${FUZZ_BUILD_JOBS:-2}

cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
    -DVIGILORN_FUZZ=ON -DVIGILORN_BUILD_TESTS=OFF -DVIGILORN_BUILD_BENCH=OFF
cmake --build "$build" --target rtf_fuzzer -j "$jobs"

# New inputs go to a working corpus in the build folder; the seeds in git stay as they are.
work="$build/rtf-corpus"
mkdir -p "$work"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$build"
exec "$build/fuzz/rtf_fuzzer" "$work" "$here/corpus" \
    -dict="$here/rtf.dict" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1

#!/bin/sh
# Builds the configuration reader's fuzz target with clang (libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it.
#
#   fuzz/run.sh [seconds]        default 60
#
# Environment: BUILD (default build-fuzz in the source tree), CXX (default
# clang++), FUZZ_JOBS (parallel workers, default 1).
# The seed corpus fuzz/corpus is only read; inputs found during the run go
# to $BUILD/corpus, which later runs start from. A crash, a leak, a read
# past a buffer or a disagreement with the grammar stops the run with a
# non-zero status and leaves the input in $BUILD/crash-* (or leak-*, ...).
# Needs: clang and the libFuzzer runtime (Debian: clang libclang-rt-14-dev).
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${BUILD:-$top/build-fuzz}
cxx=${CXX:-clang++}
jobs=${FUZZ_JOBS:-1}

mkdir -p "$build/corpus"
build=$(cd "$build" && pwd)
"$cxx" -std=c++20 -g -O1 -Wall -Wextra \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer \
    -I"$top/src" "$here/config_fuzz.cpp" "$top/src/config/config.cpp" \
    -o "$build/config_fuzz"

cd "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [ "$jobs" -gt 1 ]; then
    set -- -jobs="$jobs" -workers="$jobs"
else
    set --
fi
exec ./config_fuzz "$@" -max_len=4096 -max_total_time="$seconds" -detect_leaks=1 \
    -print_final_stats=1 -artifact_prefix="$build/" \
    "$build/corpus" "$here/corpus"

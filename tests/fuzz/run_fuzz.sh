#!/usr/bin/env bash
# Builds one libFuzzer target with clang in its own build directory and runs it for a
# bounded time. Exits 77 (skipped) when clang cannot build libFuzzer programs, but fails
# as root, where dev.sh has installed what it needs: a skip there would hide the test.
#   run_fuzz.sh SOURCE_DIR BUILD_DIR TARGET SECONDS
set -euo pipefail
src=$1 build=$2 target=$3 seconds=$4
skip=77 said=SKIPPED
[ "$EUID" -ne 0 ] || { skip=1 said="FAILED (nothing may be skipped as root)"; }

if ! command -v clang++ >/dev/null 2>&1; then
    echo "$said: clang++ is not installed (dev.sh installs it)" >&2
    exit $skip
fi
mkdir -p "$build"
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! printf '%s\n' "$probe" | clang++ -x c++ -fsanitize=fuzzer - -o "$build/probe" 2>"$build/probe.log"; then
    cat "$build/probe.log" >&2
    echo "$said: clang++ cannot link libFuzzer programs (libclang-rt-dev missing?)" >&2
    exit $skip
fi

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DQB_FUZZ=ON -DQB_SANITIZE=ON >/dev/null
cmake --build "$build" --target "$target"

# The seeds are copied so that the inputs the fuzzer adds never land in the source tree.
corpus="$build/corpus/$target"
mkdir -p "$corpus" "$build/artifacts"
cp "$src/tests/fuzz/corpus/$target/"* "$corpus/"
exec "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -artifact_prefix="$build/artifacts/" -print_final_stats=1 "$corpus"

#!/usr/bin/env bash
# Builds the model fuzzer with clang (ASan + UBSan + libFuzzer) in its own build directory,
# writes the seed corpus and fuzzes for a bounded time. Fails on any finding.
#   scripts/run-fuzz.sh [seconds]          (default 180)
# Needs the Debian packages clang and libclang-rt-dev of the same version (libFuzzer).
set -euo pipefail

seconds="${1:-180}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MUREL_FUZZ_BUILD_DIR:-$root/build-fuzz}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMUREL_SANITIZE=address-undefined \
  -DMUREL_BUILD_FUZZERS=ON \
  -DMUREL_BUILD_TESTS=OFF \
  -DMUREL_BUILD_BENCHMARKS=OFF \
  -DMUREL_BUILD_EXAMPLES=OFF
cmake --build "$build" -j2 --target ModelLoaderFuzzer ModelFuzzCorpus

corpus="$build/fuzz/corpus"
findings="$build/fuzz/findings"
rm -rf "$corpus" "$findings"
mkdir -p "$corpus" "$findings"
"$build/fuzz/ModelFuzzCorpus" "$corpus"

# Every seed must load and run cleanly before fuzzing starts.
"$build/fuzz/ModelLoaderFuzzer" -runs=0 "$corpus"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
"$build/fuzz/ModelLoaderFuzzer" \
  -max_total_time="$seconds" \
  -timeout=30 \
  -rss_limit_mb=2560 \
  -max_len=16384 \
  -dict="$root/fuzz/model.dict" \
  -artifact_prefix="$findings/" \
  -print_final_stats=1 \
  "$corpus"

if compgen -G "$findings/*" > /dev/null; then
  echo "run-fuzz: findings in $findings" >&2
  exit 1
fi
echo "run-fuzz: no findings in ${seconds} s"

#!/usr/bin/env bash
# Builds the fuzzers with clang (ASan + UBSan + libFuzzer) in their own build directory, writes
# the seed corpora and fuzzes each target for half the given time:
#   ModelLoaderFuzzer  model bytes into the loader, a few frames and the tensor functions
#   ProcessorFuzzer    model bytes and a call script into the processor's C functions
#   scripts/run-fuzz.sh [seconds]          (default 180, both targets together)
# Fails on crashes, leaks, timeouts and out-of-memory. Units slower than the slow-unit
# threshold are listed but do not fail: on a loaded machine that is not a defect by itself.
# Needs the Debian packages clang and libclang-rt-dev of the same version (libFuzzer).
set -euo pipefail

seconds="${1:-180}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MUREL_FUZZ_BUILD_DIR:-$root/build-fuzz}"
perTarget=$(((seconds + 1) / 2))
# A unit past this many seconds is reported; past the timeout it fails.
slowUnitSeconds=10
timeoutSeconds=60

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMUREL_SANITIZE=address-undefined \
  -DMUREL_BUILD_FUZZERS=ON \
  -DMUREL_BUILD_TESTS=OFF \
  -DMUREL_BUILD_BENCHMARKS=OFF \
  -DMUREL_BUILD_EXAMPLES=OFF
cmake --build "$build" -j2 --target ModelLoaderFuzzer ProcessorFuzzer ModelFuzzCorpus

corpus="$build/fuzz/corpus"
findings="$build/fuzz/findings"
rm -rf "$corpus" "$findings"
mkdir -p "$corpus/model" "$corpus/processor" "$findings/model" "$findings/processor"
"$build/fuzz/ModelFuzzCorpus" "$corpus/model" "$corpus/processor"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0

# fuzz <fuzzer> <corpus> <findings> [libFuzzer options]
fuzz() {
  local fuzzer="$1" inputs="$2" out="$3"
  shift 3
  local common=(-timeout="$timeoutSeconds" -report_slow_units="$slowUnitSeconds" -rss_limit_mb=2560
    -artifact_prefix="$out/")
  local status=0
  # Every seed must load and run cleanly before fuzzing starts.
  "$build/fuzz/$fuzzer" -runs=0 "${common[@]}" "$inputs" || status=$?
  if [ "$status" -eq 0 ]; then
    "$build/fuzz/$fuzzer" -max_total_time="$perTarget" "${common[@]}" -print_final_stats=1 "$@" "$inputs" ||
      status=$?
  fi

  local slow=() real=() artifact
  for artifact in "$out"/*; do
    [ -e "$artifact" ] || continue
    case "$(basename "$artifact")" in
      slow-unit-*) slow+=("$artifact") ;;
      *) real+=("$artifact") ;;
    esac
  done
  if [ "${#slow[@]}" -gt 0 ]; then
    echo "run-fuzz: $fuzzer: ${#slow[@]} unit(s) slower than ${slowUnitSeconds} s (reported, not failed):" >&2
    printf '  %s\n' "${slow[@]}" >&2
  fi
  if [ "$status" -ne 0 ] || [ "${#real[@]}" -gt 0 ]; then
    echo "run-fuzz: $fuzzer failed (exit status $status); findings:" >&2
    [ "${#real[@]}" -eq 0 ] || printf "  %s\n" "${real[@]}" >&2
    failed=1
  fi
}

fuzz ModelLoaderFuzzer "$corpus/model" "$findings/model" -max_len=16384 -dict="$root/fuzz/model.dict"
fuzz ProcessorFuzzer "$corpus/processor" "$findings/processor" -max_len=8192 -dict="$root/fuzz/model.dict"

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "run-fuzz: no findings in ${perTarget} s per target"

#!/usr/bin/env bash
# Builds the library and the tests with ThreadSanitizer in build-tsan/ and runs the tests that
# exercise threads. A data race or lock-order report fails the test at once.
#
# Which tests run: every test of the executables whose labels match TSAN_LABELS (each test
# executable is labelled with its own name by murel_add_test), plus every test anywhere whose
# name matches TSAN_NAMES. Add an executable or a name pattern here when new threaded code
# appears. MUREL_TSAN_LABELS / MUREL_TSAN_NAMES override them for one run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# The processor (with its thread pool) and the exported interface that drives it.
TSAN_LABELS="${MUREL_TSAN_LABELS:-^(ProcessorTests|InterfaceTests)$}"
# Tests elsewhere that use threads, e.g. copy-on-write signals written on other threads.
TSAN_NAMES="${MUREL_TSAN_NAMES:-Thread|Concurren|Parallel}"

murel_setup

BUILD="$ROOT/build-tsan"
murel_log "Configuring $BUILD (thread)"
murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g" \
    -DMUREL_SANITIZE=thread \
    -DMUREL_BUILD_TESTS=ON -DMUREL_BUILD_EXAMPLES=OFF -DMUREL_BUILD_BENCHMARKS=OFF -DMUREL_BUILD_TOOLS=OFF

murel_log "Building"
cmake --build "$BUILD" -j"$JOBS"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

# ctest combines -L and -R with "and", so the two selections run one after the other.
murel_log "Testing executables labelled $TSAN_LABELS"
ctest --test-dir "$BUILD" --output-on-failure --timeout "$TEST_TIMEOUT" --no-tests=ignore -j"$JOBS" -L "$TSAN_LABELS" | tee "$BUILD/tsan-labels.log"
murel_log "Testing names matching $TSAN_NAMES"
ctest --test-dir "$BUILD" --output-on-failure --timeout "$TEST_TIMEOUT" --no-tests=ignore -j"$JOBS" -R "$TSAN_NAMES" | tee "$BUILD/tsan-names.log"

if ! grep -qh '^100% tests passed' "$BUILD/tsan-labels.log" "$BUILD/tsan-names.log"; then
    murel_fail "no test ran under ThreadSanitizer"
fi

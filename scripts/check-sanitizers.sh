#!/usr/bin/env bash
# Builds the library, the tests, the examples and the murel tool with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/ and runs the whole suite. Every report is fatal:
# the first one ends the test process and fails its test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

murel_setup

BUILD="$ROOT/build-asan"
murel_log "Configuring $BUILD (address-undefined)"
# Optimised, with debug information and with assertions on.
murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g" \
    -DMUREL_SANITIZE=address-undefined \
    -DMUREL_BUILD_TESTS=ON -DMUREL_BUILD_EXAMPLES=ON -DMUREL_BUILD_BENCHMARKS=OFF -DMUREL_BUILD_TOOLS=ON

murel_log "Building"
cmake --build "$BUILD" -j"$JOBS"

# Options given by the caller come last and win.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

murel_log "Testing"
ctest --test-dir "$BUILD" --output-on-failure --timeout "$TEST_TIMEOUT" --no-tests=error -j"$JOBS"

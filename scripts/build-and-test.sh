#!/usr/bin/env bash
# Installs the build dependencies, builds the Release configuration in build/ and runs the whole
# test suite. This is the test command of the README and of CI.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

murel_setup

BUILD="$ROOT/build"
murel_log "Configuring $BUILD (Release)"
murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=Release

murel_log "Building"
cmake --build "$BUILD" -j"$JOBS"

murel_log "Testing"
ctest --test-dir "$BUILD" --output-on-failure --timeout "$TEST_TIMEOUT" --no-tests=error -j"$JOBS"

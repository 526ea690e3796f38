#!/usr/bin/env bash
# Cross-builds everything (library, tests, benchmarks, tools, examples) for aarch64 in
# build-arm64/ with cmake/toolchain-aarch64-linux-gnu.cmake, so the vector code compiles to
# native NEON, and runs the whole test suite under qemu-aarch64.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

murel_setup

command -v qemu-aarch64 >/dev/null || command -v qemu-aarch64-static >/dev/null ||
    murel_fail "qemu-aarch64 not found (Debian package qemu-user)"

BUILD="$ROOT/build-arm64"
murel_log "Configuring $BUILD (aarch64, Release)"
murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-aarch64-linux-gnu.cmake" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DMUREL_BUILD_TESTS=ON -DMUREL_BUILD_EXAMPLES=ON -DMUREL_BUILD_BENCHMARKS=ON -DMUREL_BUILD_TOOLS=ON

murel_log "Building"
cmake --build "$BUILD" -j"$JOBS"

library="$(find "$BUILD" -name 'libMurelEngine.so' -not -path '*/CMakeFiles/*' -print -quit)"
machine="$(readelf -h "$library" | sed -n 's/^ *Machine: *//p')"
[[ "$machine" == AArch64 ]] || murel_fail "the library was built for '$machine', not AArch64"
[[ -f "$BUILD/compile_commands.json" ]] || murel_fail "compile_commands.json was not written"
if grep -q simde "$BUILD/compile_commands.json"; then
    murel_fail "the aarch64 build goes through SIMDe instead of native NEON"
fi
echo "library: AArch64, native NEON"

murel_log "Testing under qemu-aarch64"
ctest --test-dir "$BUILD" --output-on-failure --timeout "$TEST_TIMEOUT" --no-tests=error -j"$JOBS"

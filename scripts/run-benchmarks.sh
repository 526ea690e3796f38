#!/usr/bin/env bash
# Installs the build dependencies, builds the Release configuration in build/ and runs every
# benchmark program in build/bench. Arguments go to each program, e.g.
#   scripts/run-benchmarks.sh --benchmark_filter=Fourier
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

murel_setup

BUILD="$ROOT/build"
murel_log "Configuring $BUILD (Release)"
murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=Release -DMUREL_BUILD_BENCHMARKS=ON

murel_log "Building"
cmake --build "$BUILD" -j"$JOBS"

mapfile -t programs < <(find "$BUILD/bench" -type f -executable -not -path '*/CMakeFiles/*' -not -name '*.so*' | sort)
if [[ ${#programs[@]} -eq 0 ]]; then
    echo "no benchmark programs in $BUILD/bench yet"
    exit 0
fi
for program in "${programs[@]}"; do
    murel_log "${program#"$BUILD"/}"
    "$program" "$@"
done

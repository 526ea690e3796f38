#!/usr/bin/env bash
# The README's quick start: builds the murel tool (Release, in build/) unless it is up to date, makes
# a demonstration model and a short noisy recording with it, removes the noise from the recording and
# says where everything is. Usage: scripts/quickstart.sh [OUTPUT_FOLDER] (default: out/quickstart).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

BUILD="${MUREL_BUILD_DIR:-$ROOT/build}"
OUT="${1:-$ROOT/out/quickstart}"

if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    murel_setup
    murel_log "Configuring $BUILD (Release)"
    murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=Release
fi
murel_log "Building murel"
cmake --build "$BUILD" --target murel -j"$JOBS"
MUREL="$BUILD/tools/murel/murel"

mkdir -p "$OUT"
murel_log "Making a demonstration model and a noisy recording"
# A spectral gate: bus Signal keeps what stands out above -40 dB, the residual bus Noise the rest.
"$MUREL" make-model "$OUT/demo.model" --overwrite
# Three seconds of chords with white noise at -30 dB, stereo, 48 kHz, 16-bit WAV.
"$MUREL" make-test-signal "$OUT/noisy.wav" --seconds 3 --overwrite

murel_log "Removing the noise"
"$MUREL" process "$OUT/noisy.wav" "$OUT/clean.wav" --model "$OUT/demo.model" --gain Noise=0 --verbose --overwrite

cat << DONE

Done. In $OUT:
  noisy.wav    the recording
  clean.wav    the same recording with the Noise bus removed
  demo.model   the model; describe it with: $MUREL info $OUT/demo.model
Try other settings, e.g. keep the noise 12 dB down instead of removing it:
  $MUREL process $OUT/noisy.wav $OUT/softer.wav --model $OUT/demo.model --gain Noise=-12dB
DONE

#!/usr/bin/env bash
# The README's quick start: builds the murel tool (Release, in build/) unless it is up to date, makes
# a noisy speech recording (espeak-ng with hiss, hum and clicks at 5 dB SNR), removes the noise with
# the shipped default model and prints the SNR before and after.
# Usage: scripts/quickstart.sh [OUTPUT_FOLDER] (default: out/quickstart).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

BUILD="${MUREL_BUILD_DIR:-$ROOT/build}"
OUT="${1:-$ROOT/out/quickstart}"
PYTHON="${PYTHON:-/usr/bin/python3}"

if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    murel_setup
    murel_log "Configuring $BUILD (Release)"
    murel_configure "$BUILD" -DCMAKE_BUILD_TYPE=Release
fi
murel_log "Building murel"
cmake --build "$BUILD" --target murel -j"$JOBS"
MUREL="$BUILD/tools/murel/murel"

murel_log "Making a noisy speech recording"
"$PYTHON" "$ROOT/scripts/noisy-speech.py" make "$OUT"

murel_log "Removing the noise with the default model"
"$MUREL" process "$OUT/noisy.wav" "$OUT/clean.wav" --overwrite --verbose
"$MUREL" process "$OUT/noisy.wav" "$OUT/softer.wav" --residual -12dB --overwrite --quiet
"$PYTHON" "$ROOT/scripts/noisy-speech.py" score "$OUT" "$OUT/clean.wav"

cat << DONE

Done. In $OUT:
  noisy.wav    the recording
  clean.wav    the noise removed: murel process noisy.wav clean.wav
  softer.wav   the noise kept 12 dB down: murel process noisy.wav softer.wav --residual -12dB
The model: $MUREL info $ROOT/models/speech-denoiser.model
DONE

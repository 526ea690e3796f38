#!/usr/bin/env bash
# Peak memory of `murel process - -` with a long stereo WAV piped through it, against a short one:
# standard input and output stream, so the peak must not grow with the length. Prints the peak
# resident size and the CPU time of each run; not a test.
#   bench/pipe-memory.sh [BUILD] [SECONDS]   (defaults: build, 3600)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"

BUILD="${1:-$ROOT/build}"
LONGEST="${2:-3600}"
murel="$BUILD/tools/murel/murel"
[[ -x "$murel" ]] || murel_fail "build murel first: cmake --build $BUILD --target murel"
[[ -x /usr/bin/time ]] || murel_fail "/usr/bin/time is missing (Debian: time)"

# A 16-bit stereo 48 kHz WAV of the given length on standard output: one second of noise, repeated.
generate()
{
    /usr/bin/python3 - "$1" <<'PYTHON'
import random, struct, sys
seconds = int(sys.argv[1])
rate, channels = 48000, 2
second = bytes(random.Random(1).getrandbits(8) & 0x1F for _ in range(rate * channels * 2))
size = len(second) * seconds
out = sys.stdout.buffer
out.write(b"RIFF" + struct.pack("<I", 36 + size) + b"WAVEfmt " +
          struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16) +
          b"data" + struct.pack("<I", size))
for _ in range(seconds):
    out.write(second)
PYTHON
}

echo "CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
printf '%10s %16s %14s\n' "seconds" "peak RSS (MB)" "CPU time (s)"
for seconds in 60 "$LONGEST"; do
    report="$(mktemp)"
    generate "$seconds" | cat | /usr/bin/time -o "$report" -f '%M %U %S' "$murel" process - - -q | cat >/dev/null
    awk -v seconds="$seconds" '{ printf "%10s %16.1f %14.1f\n", seconds, $1 / 1024, $2 + $3 }' "$report"
    rm -f "$report"
done

#!/usr/bin/env bash
# The Denoised microphone end to end in a private PipeWire daemon: murel-microphone installs the
# configuration, the daemon loads it (so PipeWire itself validates it), WirePlumber connects its
# capture side to the default source, and a virtual source fed from a file plays noisy speech into
# it. One recording holds the virtual microphone (left) and its input (right), both in graph time,
# so the denoised speech must be murel process of the recorded input, delayed by exactly the
# latency the plug-in reports.
#
# PipeWireMicrophone.sh MUREL_MICROPHONE BUNDLE MUREL MODEL SOURCE_DIR
# (murel-microphone of the build tree or of an installed tree, with its bundle)
set -euo pipefail
microphone="$1"
bundle="$(realpath "$2")"
murel="$3"
model="$(realpath "$4")"
sourceDir="$5"
python=/usr/bin/python3

skip()
{
    echo "SKIPPED: $*"
    exit 0
}
fail()
{
    echo "FAILED: $*" >&2
    exit 1
}

for program in pipewire:pipewire-bin wireplumber:wireplumber pw-play:pipewire-bin pw-record:pipewire-bin \
    pw-link:pipewire-bin pw-dump:pipewire-bin dbus-run-session:dbus-daemon espeak-ng:espeak-ng; do
    command -v "${program%%:*}" > /dev/null || skip "${program%%:*} is not installed (Debian: ${program#*:})"
done

work="$(mktemp -d)"
pids=()
cleanup()
{
    for pid in "${pids[@]}"; do
        # dbus-run-session leaves its bus running when it is killed itself: stop its children.
        for child in $(ps -o pid= --ppid "$pid" 2> /dev/null); do
            kill "$child" 2> /dev/null || true
        done
        kill "$pid" 2> /dev/null || true
    done
    wait 2> /dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Nothing of the user's or the machine's sound setup is touched: everything lives in $work.
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" HOME="$work"
unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR

# murel-microphone writes the configuration and PipeWire's environment.
"$microphone" install --model "$model" --no-restart
dropIn="$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/murel-denoised-microphone.conf"
override="$XDG_CONFIG_HOME/systemd/user/pipewire.service.d/murel-denoised-microphone.conf"
grep -q '"residual_gain" = -90$' "$dropIn" || fail "the residual level is not in $dropIn"
grep -q "MUREL_LV2_DEFAULT_MODEL=$model\"" "$override" || fail "$override does not name the model"
grep -q "LV2_PATH=$(dirname "$bundle"):" "$override" || fail "$override does not name the bundle's folder"
export LV2_PATH="$(dirname "$bundle")" MUREL_LV2_DEFAULT_MODEL="$model"

# A private daemon without hardware or session bus: a virtual source that a file is played into
# drives the graph.
mkdir -p "$work/pipewire/pipewire.conf.d"
cat > "$work/pipewire/pipewire.conf" << 'CONF'
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    support.dbus = false
    mem.mlock-all = false
    default.clock.rate = 48000
    default.clock.allowed-rates = [ 48000 ]
    # Long cycles, so that a busy machine does not make the daemon drop one.
    default.clock.quantum = 4096
    default.clock.min-quantum = 4096
    default.clock.max-quantum = 8192
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    {   factory = adapter
        args = {
            factory.name    = support.null-audio-sink
            node.name       = test_microphone
            media.class     = Audio/Source/Virtual
            audio.position  = [ MONO ]
            node.driver     = true
            priority.driver = 20000
            adapter.auto-port-config = { mode = dsp monitor = false position = preserve }
        }
    }
]
CONF

# startDaemon LOG: starts pipewire; true once it answers.
startDaemon()
{
    PIPEWIRE_CONFIG_DIR="$work/pipewire" pipewire > "$1" 2>&1 &
    daemon=$!
    for _ in $(seq 50); do
        kill -0 "$daemon" 2> /dev/null || return 1
        timeout 2 pw-dump > /dev/null 2>&1 && return 0
        sleep 0.2
    done
    return 1
}

cp "$dropIn" "$work/pipewire/pipewire.conf.d/"
if ! startDaemon "$work/pipewire.log"; then
    kill "$daemon" 2> /dev/null || true
    wait "$daemon" 2> /dev/null || true
    rm "$work/pipewire/pipewire.conf.d/"*
    if startDaemon "$work/bare.log"; then
        kill "$daemon"
        fail "PipeWire rejects the configuration:
$(cat "$work/pipewire.log")"
    fi
    skip "the PipeWire daemon does not run here: $(grep -v '^\[W\]' "$work/bare.log" | tail -n 3 | tr '\n' ' ')"
fi
pids+=("$daemon")

# WirePlumber 0.4 needs a session bus: a private one.
dbus-run-session -- wireplumber > "$work/wireplumber.log" 2>&1 &
sessionManager=$!
pids+=("$sessionManager")
linked=0
for _ in $(seq 50); do
    if pw-link -l 2> /dev/null | grep -A1 '^capture.murel_denoised_microphone:input_MONO' | grep -q 'test_microphone:capture_MONO'; then
        linked=1
        break
    fi
    sleep 0.2
done
kill -0 "$sessionManager" 2> /dev/null ||
    skip "WirePlumber does not run here: $(grep -v '^\[W\]' "$work/wireplumber.log" | tail -n 3 | tr '\n' ' ')"
[[ $linked -eq 1 ]] ||
    fail "the session manager did not connect the microphone to the default source: $(tail -n 5 "$work/wireplumber.log")"
pw-dump | "$python" -c '
import json, sys
nodes = [o["info"]["props"] for o in json.load(sys.stdin) if o.get("type") == "PipeWire:Interface:Node"]
mic = [p for p in nodes if p.get("node.name") == "murel_denoised_microphone"]
assert mic and mic[0].get("media.class") == "Audio/Source" and mic[0].get("node.description") == "Denoised microphone", mic
' || fail "no Audio/Source \"Denoised microphone\""

# Noisy speech, 3.5 s with 0.5 s of noise before the speech, after 0.5 s of silence.
"$python" "$sourceDir/scripts/noisy-speech.py" make "$work/speech" > /dev/null
"$python" - "$work/speech/noisy.wav" "$work/played.wav" << 'PY'
import sys, wave
with wave.open(sys.argv[1]) as w:
    frames = w.readframes(3 * w.getframerate())
    rate = w.getframerate()
with wave.open(sys.argv[2], "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(rate)
    w.writeframes(b"\0\0" * (rate // 2) + frames)
PY

pw-record --target 0 -P '{ node.name = murel_test_recorder }' --rate 48000 --channels 2 --channel-map FL,FR \
    --format f32 "$work/recorded.wav" &
recorder=$!
pids+=("$recorder")
pw-play --target 0 -P '{ node.name = murel_test_player }' "$work/played.wav" &
player=$!
for _ in $(seq 50); do
    pw-link -o | grep -q murel_test_player && pw-link -i | grep -q murel_test_recorder && break
    sleep 0.1
done
pw-link murel_denoised_microphone:capture_MONO murel_test_recorder:input_FL
pw-link test_microphone:capture_MONO murel_test_recorder:input_FR
pw-link murel_test_player:output_MONO test_microphone:input_MONO
wait "$player"
sleep 0.5
kill -INT "$recorder"
wait "$recorder" || true

latency="$(sed -n 's/^murel: model .*, latency \([0-9]*\) samples.*/\1/p' "$work/pipewire.log" | tail -n 1)"
[[ -n "$latency" ]] || fail "the plug-in did not report its model and latency: $(cat "$work/pipewire.log")"
# Float WAV files in and out of Python, without modules beyond numpy.
cat > "$work/wav.py" << 'PY'
import struct
import numpy as np

def read(path, channels):
    data = open(path, "rb").read()
    position = 12
    while data[position:position + 4] != b"data":
        position += 8 + struct.unpack("<I", data[position + 4:position + 8])[0]
    size = min(struct.unpack("<I", data[position + 4:position + 8])[0], len(data) - position - 8)
    samples = np.frombuffer(data[position + 8:position + 8 + size // (4 * channels) * 4 * channels], "<f4")
    return samples.reshape(-1, channels)

def write(path, samples):
    body = samples.astype("<f4").tobytes()
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(body), b"WAVE", b"fmt ", 16, 3, 1, 48000,
                         192000, 4, 32, b"data", len(body))
    open(path, "wb").write(header + body)
PY
export PYTHONPATH="$work"
"$python" -c 'import sys, wav; wav.write(sys.argv[2], wav.read(sys.argv[1], 2)[:, 1])' "$work/recorded.wav" \
    "$work/input.wav"
"$murel" process "$work/input.wav" "$work/reference.wav" --model "$model" --gain Noise=0 --format float -y > /dev/null
"$python" - "$work/recorded.wav" "$work/reference.wav" "$latency" << 'PY'
import sys
import numpy as np
import wav
recorded = wav.read(sys.argv[1], 2)
reference = wav.read(sys.argv[2], 1)[:, 0]
latency = int(sys.argv[3])
wet, dry = recorded[:, 0], recorded[:, 1]
start = int(np.argmax(np.abs(dry) > 1e-6))
if not np.any(np.abs(dry) > 1e-6) or len(dry) - start < 3 * 48000:
    sys.exit(f"the recording lacks the played speech ({len(dry)} samples, sound from {start})")
n = min(len(reference), len(wet) - latency)
worst = float(np.max(np.abs(wet[latency:latency + n] - reference[:n])))
level = lambda x: 10 * np.log10(np.mean(np.square(x, dtype=np.float64)) + 1e-30)
lead = slice(start + 2400, start + 21600)
margin = level(dry[lead]) - level(wet[latency:][lead])
referenceMargin = level(dry[lead]) - level(reference[lead])
print(f"latency {latency}: largest difference to murel process {worst:g}; lead-in noise down {margin:.1f} dB "
      f"(murel process {referenceMargin:.1f} dB)")
if not worst <= 1e-4:
    sys.exit("the virtual microphone is not murel process of its input delayed by the latency")
if not (abs(margin - referenceMargin) <= 0.5 and margin >= 6):
    sys.exit("the lead-in noise is not removed as murel process removes it")
PY

"$microphone" remove --no-restart
[[ ! -e "$dropIn" && ! -e "$override" ]] || fail "murel-microphone remove left files behind"
echo "the Denoised microphone works"

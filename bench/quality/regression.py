#!/usr/bin/python3
"""Quick quality regression of the shipped model (CTest: QualityRegression).

Makes a handful of short noisy clips from fixed seeds (evaluation voices and noises, see
evalset.py), runs the model through murel with the residual bus removed and the speexdsp baseline
on them, and fails unless the model's output is finite, as long as its input and aligned with it,
and its mean SI-SDR improvement beats speexdsp's by MARGIN_DB. Fails when the
model file does not exist.
"""

import argparse
import os
import subprocess
import sys

import numpy as np

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evalset  # noqa: E402
import metrics  # noqa: E402

MARGIN_DB = 2.0
# Seeds of their own, apart from the benchmark's clips and from the training range.
FIRST_SEED = 2000000
# (voice or alsa phrase, noise type, SNR in dB)
CLIPS = [
    ("en-us+f3", "white", 0),
    ("de+f5", "pink", 5),
    ("flite-slt", "hum", 0),
    ("fr+m3", "babble", 5),
    ("es+f3", "modulated", 0),
    ("Front_Center", "brown", 0),
]


def make_clips(folder):
    speech = evalset.SpeechSource()
    clips = []
    for index, (speaker, noise, snr_db) in enumerate(CLIPS):
        voice = next((v for v in evalset.VOICES if v[0] == speaker), None)
        if voice:
            text = speech.sentences[voice[3]][index % len(speech.sentences[voice[3]])]
            utterance = speech.synthesise(voice, text)
        else:
            text = speaker
            utterance = speech.phrase(speaker)
        context = {"speech": speech, "voice": speaker if voice else None, "text": text, "recorded_pool": None}
        # About two seconds of speech keeps the test short.
        clean, noisy = evalset.mix(np.random.default_rng(FIRST_SEED + index), utterance[: 2 * evalset.RATE], noise,
                                   snr_db, context)
        name = f"{index}_{noise}_{snr_db:+d}dB_{speaker}"
        evalset.write_wav(os.path.join(folder, name + ".noisy.wav"), noisy)
        clips.append((name, clean, noisy))
    return clips


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit(f"FAILED: {' '.join(command)} exited with {result.returncode}: {result.stdout.strip()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--murel", required=True)
    parser.add_argument("--speex", required=True, help="the SpeexDenoise program")
    parser.add_argument("--model", required=True)
    parser.add_argument("--work", required=True, help="folder for the clips and outputs")
    arguments = parser.parse_args()

    if not os.path.isfile(arguments.model):
        print(f"FAILED: the shipped model {arguments.model} is missing")
        return 1
    os.makedirs(arguments.work, exist_ok=True)

    failures = []
    rows = []
    speex_outputs = []
    for name, clean, noisy in make_clips(arguments.work):
        noisy_path = os.path.join(arguments.work, name + ".noisy.wav")
        model_path = os.path.join(arguments.work, name + ".model.wav")
        speex_path = os.path.join(arguments.work, name + ".speex.wav")
        run([arguments.murel, "process", noisy_path, model_path, "--overwrite", "--model", arguments.model, "--gain", "Noise=0",
             "--quiet"])
        run([arguments.speex, noisy_path, speex_path])
        output = evalset.read_wav(model_path)
        speex_outputs.append(evalset.read_wav(speex_path))

        if len(output) != len(noisy):
            failures.append(f"{name}: the output has {len(output)} samples, the input {len(noisy)}")
            continue
        if not np.all(np.isfinite(output)):
            failures.append(f"{name}: the output holds samples that are not finite")
            continue
        # murel compensates the latency: the speech must come out where it went in.
        lag = metrics.estimate_delay(clean, output, evalset.RATE // 20)
        if abs(lag) > 1:
            failures.append(f"{name}: the output lags the input by {lag} samples")
        rows.append((name, clean, noisy, output))

    if failures:
        print("FAILED:\n  " + "\n  ".join(failures))
        return 1

    # speexdsp delays its output by a frame; found on all clips together, as the benchmark does.
    speex_delay = int(np.median([metrics.estimate_delay(clean, out, evalset.RATE // 20)
                                 for (_, clean, _, _), out in zip(rows, speex_outputs)]))
    print(f"{'clip':32s} {'input SI-SDR':>12s} {'model':>8s} {'speexdsp':>8s}  (SI-SDR improvement, dB)")
    model_gains, speex_gains = [], []
    for (name, clean, noisy, output), speex in zip(rows, speex_outputs):
        # The end that the delay compensation fills with zeros is scored for nobody.
        scored = len(clean) - speex_delay
        before = metrics.si_sdr(clean[:scored], noisy[:scored])
        model_gains.append(metrics.si_sdr(clean[:scored], output[:scored]) - before)
        speex_gains.append(metrics.si_sdr(clean[:scored], metrics.shift(speex, speex_delay)[:scored]) - before)
        print(f"{name:32s} {before:12.2f} {model_gains[-1]:+8.2f} {speex_gains[-1]:+8.2f}")
    model_mean, speex_mean = float(np.mean(model_gains)), float(np.mean(speex_gains))
    print(f"{'mean':32s} {'':12s} {model_mean:+8.2f} {speex_mean:+8.2f}  (speexdsp delay {speex_delay} samples)")
    if model_mean < speex_mean + MARGIN_DB:
        print(f"FAILED: the model's mean SI-SDR improvement {model_mean:+.2f} dB is not {MARGIN_DB} dB above "
              f"speexdsp's {speex_mean:+.2f} dB")
        return 1
    print(f"passed: the model beats speexdsp by {model_mean - speex_mean:.2f} dB (at least {MARGIN_DB} dB needed)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""The clean-recording test: what a denoiser does to speech without noise.

    /usr/bin/python3 bench/quality/transparency.py models/speech-denoiser.model build-training/candidate.model

Runs each model through `murel process` (residual removed) on clean recordings of real people
(the alsa-utils phrases, evaluation material) and on clean evaluation voices of espeak-ng and
flite, at 48 and 16 kHz, and prints per model and rate: the output's SI-SDR against the input
(higher is more transparent), the largest level change, and the change of energy above 8 kHz
(full-band material at 48 kHz: a negative figure means trimmed fricatives and breath).
"""

import argparse
import glob
import os
import subprocess
import sys
import tempfile
import warnings

import numpy as np
from scipy.io import wavfile

HERE = os.path.dirname(os.path.abspath(__file__))
# The training recipe's synthesisers and decoder; the material here is evaluation material only.
sys.path.insert(0, os.path.join(HERE, "..", "..", "python", "training"))

import speech_data  # noqa: E402

# Evaluation voices (never trained on) and one sentence of the benchmark's own.
VOICES = ["en-us+f3", "de+f5", "nl+m3"]
SENTENCE = "The evening train was late again, so we walked along the river and talked about the summer."


def clean_clips():
    clips = [(os.path.basename(p)[:-4], speech_data.decode(p)) for p in sorted(glob.glob("/usr/share/sounds/alsa/*.wav"))
             if "Noise" not in p]
    for voice in VOICES:
        clips.append((voice, speech_data.synthesise_espeak((voice, 160, 50, SENTENCE))))
    clips.append(("flite-slt", speech_data.synthesise_flite(("slt", SENTENCE))))
    return [(name, x / (np.max(np.abs(x)) + 1e-9) * 0.3) for name, x in clips if x is not None]


def si_sdr(estimate, reference):
    a = np.dot(estimate, reference) / (np.dot(reference, reference) + 1e-12)
    return 10 * np.log10(np.sum((a * reference) ** 2) / (np.sum((estimate - a * reference) ** 2) + 1e-12))


def high_band_db(out, ref, rate, above=8000.0):
    f = np.fft.rfftfreq(ref.size, 1 / rate)
    e = np.sum(np.abs(np.fft.rfft(out)[f > above]) ** 2)
    r = np.sum(np.abs(np.fft.rfft(ref)[f > above]) ** 2)
    return 10 * np.log10((e + 1e-12) / (r + 1e-12))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("models", nargs="+")
    parser.add_argument("--murel", default="build/tools/murel/murel")
    args = parser.parse_args()
    warnings.simplefilter("ignore", wavfile.WavFileWarning)
    clips = clean_clips()
    with tempfile.TemporaryDirectory() as work:
        for model in args.models:
            for rate in (48000, 16000):
                scores, levels, highs = [], [], []
                for name, x in clips:
                    x = speech_data.resample(x, speech_data.RATE, rate)
                    source, target = os.path.join(work, "in.wav"), os.path.join(work, "out.wav")
                    wavfile.write(source, rate, x.astype(np.float32))
                    subprocess.run([args.murel, "process", source, target, "-m", model, "-g", "Noise=0", "-y", "-q",
                                    "--format", "float"], check=True)
                    y = wavfile.read(target)[1].astype(np.float64)
                    scores.append(si_sdr(y, x))
                    levels.append(10 * np.log10(np.sum(y ** 2) / np.sum(x.astype(np.float64) ** 2)))
                    if rate == 48000 and name[0].isupper():
                        highs.append(high_band_db(y, x, rate))
                line = (f"{model} at {rate} Hz: SI-SDR against the input mean {np.mean(scores):.1f} dB "
                        f"(lowest {np.min(scores):.1f}), level change mean {np.mean(levels):+.2f} dB "
                        f"(largest {levels[int(np.argmax(np.abs(levels)))]:+.2f})")
                if highs:
                    line += f", recorded speech above 8 kHz {np.mean(highs):+.1f} dB"
                print(line, flush=True)


if __name__ == "__main__":
    main()

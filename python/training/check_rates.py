#!/usr/bin/python3
"""Checks that training at pretend rates matches what the engine does at other host rates.

    /usr/bin/python3 python/training/check_rates.py --weights build-training/best-large.pt \
        --murel build/tools/murel/murel

For each host rate, a noisy clip at that rate goes through `murel process`; the same clip,
resampled to the rate the engine's scaled frames correspond to, goes through the toolkit's model
labelled 48 kHz and back. The two outputs must agree (SI-SDR of one against the other), which
also shows that they are aligned.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import warnings

import numpy as np
import torch
from scipy.io import wavfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import denoiser  # noqa: E402
import murel.export  # noqa: E402
import speech_data  # noqa: E402


def si_sdr(estimate, reference):
    a = np.dot(estimate, reference) / (np.dot(reference, reference) + 1e-12)
    return 10 * np.log10(np.sum((a * reference) ** 2) / (np.sum((estimate - a * reference) ** 2) + 1e-12))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--weights", required=True, help="a state dict or checkpoint of the model")
    parser.add_argument("--size", default="large", choices=sorted(denoiser.SIZES))
    parser.add_argument("--murel", default="build/tools/murel/murel")
    parser.add_argument("--rates", default="16000,8000,22050,44100")
    args = parser.parse_args()

    model = denoiser.make_model(args.size)
    state = torch.load(args.weights)
    model.load_state_dict(state.get("model", state))
    model.eval()
    rng = np.random.default_rng(7)
    warnings.simplefilter("ignore", wavfile.WavFileWarning)
    speech = speech_data.synthesise_espeak(("en-us+m1", 160, 50, "Checking the scaled frames at other host rates."))
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "model.model")
        murel.export.save(model, path, half=False)
        for rate in (int(r) for r in args.rates.split(",")):
            clean = speech_data.resample(speech, speech_data.RATE, rate)
            noisy = clean / np.std(clean) * 0.05 + 0.01 * rng.standard_normal(clean.size)
            # Clear of the resamplers' transition bands near rate / 2, which the engine never sees.
            spectrum = np.fft.rfft(noisy)
            spectrum[np.fft.rfftfreq(noisy.size, 1 / rate) > 0.42 * rate] = 0
            noisy = np.fft.irfft(spectrum, noisy.size).astype(np.float32)
            source, target = os.path.join(work, "in.wav"), os.path.join(work, "out.wav")
            wavfile.write(source, rate, noisy)
            subprocess.run([args.murel, "process", source, target, "--model", path, "--gain", "Noise=0", "-y",
                            "--format", "float"], check=True, capture_output=True)
            engine = wavfile.read(target)[1].astype(np.float64)
            pretend = speech_data.pretend_rate(rate)
            with torch.no_grad():
                wide = torch.from_numpy(speech_data.resample(noisy, rate, pretend))[None]
                toolkit = speech_data.resample(model(wide)[0].numpy(), pretend, rate)[:engine.size]
            lags = range(-4, 5)
            best = max(lags, key=lambda k: np.dot(np.roll(toolkit, k), engine))
            print(f"{rate} Hz (as {pretend:.0f} Hz): engine against toolkit SI-SDR {si_sdr(engine, toolkit):.1f} dB, "
                  f"best lag {best} samples; noisy against toolkit {si_sdr(noisy[:engine.size], toolkit):.1f} dB")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Bring your own model in a minute: train a tiny tone-keeping denoiser with murel.nn, export it,
and run it through the engine from Python.

    PYTHONPATH=python /usr/bin/python3 examples/python/train_tiny.py tiny.model

The network keeps steady tones and removes white noise: 32 bands, two causal convolutions and a
sigmoid gain per band, trained end to end on waveforms with an SI-SDR loss.
"""

import sys

import numpy as np
import torch

import murel.export
import murel.nn as mn
from murel.engine import Processor

RATE, FFT, HOP = 16000, 512, 256


class Tiny(torch.nn.Module):
    def __init__(self):
        super().__init__()
        pool, expand = mn.triangular_bands(FFT, RATE, 32)
        self.pool = mn.FrequencyRescale(FFT // 2 + 1, pool)
        self.level = mn.PreNorm(8)
        self.c1 = mn.Conv(1, 16, (3, 3))
        self.a1 = mn.ELU()
        self.c2 = mn.Conv(16, 1, (3, 3))
        self.gain = mn.Sigmoid()
        self.expand = mn.FrequencyRescale(32, expand)

    def forward(self, x):
        return self.expand(self.gain(self.c2(self.a1(self.c1(self.level(self.pool(x)))))))


def batch(generator, size=16, seconds=1.0):
    t = torch.arange(int(RATE * seconds)) / RATE
    freq = 200 + 3000 * torch.rand(size, 1, generator=generator)
    clean = 0.3 * torch.sin(2 * np.pi * freq * t)
    noise = 0.3 * torch.rand(size, 1, generator=generator) * torch.randn(size, t.numel(), generator=generator)
    return clean + noise, clean


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "tiny.model"
    model = mn.SpectralModel(Tiny(), sample_rate=RATE, fft_size=FFT, hop_size=HOP, output_names=("Tone", "Noise"))
    optimiser = torch.optim.Adam(model.parameters(), lr=3e-3)
    generator = torch.Generator().manual_seed(1)
    for step in range(200):
        noisy, clean = batch(generator)
        loss = -mn.si_sdr(model(noisy), clean).mean()  # gains: "Tone" kept, the residual "Noise" removed
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        if step % 50 == 0:
            print(f"step {step}: SI-SDR {-loss.item():.1f} dB")
    murel.export.save(model, path)
    print(f"wrote {path}: latency {model.latency_samples()} samples, {model.flops_per_frame() / 1e3:.0f} kFLOP per frame")

    noisy, clean = batch(generator, size=1)
    with Processor(path, channels=1, rate=RATE) as processor:
        processor.set_gain("Noise", 0.0)
        cleaned = processor.process(noisy[0].numpy())
    with torch.no_grad():
        in_torch = model(noisy)[0].numpy()
    before = mn.si_sdr(noisy, clean).item()
    after = mn.si_sdr(torch.from_numpy(cleaned)[None], clean).item()
    print(f"through the engine: SI-SDR {before:.1f} dB -> {after:.1f} dB; "
          f"difference to PyTorch {np.max(np.abs(cleaned - in_torch)):.1e}")


if __name__ == "__main__":
    main()

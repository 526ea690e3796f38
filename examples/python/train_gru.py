#!/usr/bin/python3
"""A GRU denoiser written in plain PyTorch, trained through murel.nn.SpectralModel for about a
minute, exported and run through the engine: from Python and with `murel process`.

    PYTHONPATH=python /usr/bin/python3 examples/python/train_gru.py gru.model [path/to/murel]

The network is what a PyTorch user writes: magnitudes of one frame in, a Linear, a GRU over the
frames and a sigmoid mask per bin out. murel.export converts it (weights included) to engine layers.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import wave

import numpy as np
import torch
from torch import nn

import murel.export
import murel.nn as mn
from murel.engine import Processor

RATE, FFT, HOP = 16000, 512, 256
BINS = FFT // 2 + 1


class GruDenoiser(nn.Module):
    def __init__(self, hidden=64):
        super().__init__()
        self.squeeze = nn.Linear(BINS, hidden)
        self.gru = nn.GRU(hidden, hidden, batch_first=True)
        self.mask = nn.Sequential(nn.Linear(hidden, BINS), nn.Sigmoid())

    def forward(self, x):  # [batch, frames, bins, 1]: magnitudes
        b, t, bins, channels = x.shape
        h = torch.relu(self.squeeze(x.reshape(b, t, bins * channels)))
        h, _ = self.gru(h)
        return self.mask(h).unsqueeze(-1)  # [batch, frames, bins, 1]: a gain per bin


def batch(generator, size=16, seconds=1.0):
    t = torch.arange(int(RATE * seconds)) / RATE
    freq = 200 + 3000 * torch.rand(size, 1, generator=generator)
    clean = 0.3 * torch.sin(2 * np.pi * freq * t)
    noise = 0.3 * torch.rand(size, 1, generator=generator) * torch.randn(size, t.numel(), generator=generator)
    return clean + noise, clean


def write_wav(path, samples):
    pcm = np.clip(np.round(samples * 32767), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as f:
        f.setnchannels(1)
        f.setsampwidth(2)
        f.setframerate(RATE)
        f.writeframes(pcm.tobytes())


def read_wav(path):
    with wave.open(path, "rb") as f:
        return np.frombuffer(f.readframes(f.getnframes()), dtype="<i2").astype(np.float32) / 32768


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "gru.model"
    tool = sys.argv[2] if len(sys.argv) > 2 else os.environ.get("MUREL_TOOL") or shutil.which("murel")
    torch.manual_seed(0)
    model = mn.SpectralModel(GruDenoiser(), sample_rate=RATE, fft_size=FFT, hop_size=HOP,
                             output_names=("Tone", "Noise"))  # magnitude masks by default
    optimiser = torch.optim.Adam(model.parameters(), lr=3e-3)
    generator = torch.Generator().manual_seed(1)
    for step in range(600):
        noisy, clean = batch(generator)
        loss = -mn.si_sdr(model(noisy), clean).mean()
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        if step % 100 == 0:
            print(f"step {step}: SI-SDR {-loss.item():.1f} dB")
    murel.export.save(model, path)
    print(f"wrote {path}: latency {model.latency_samples()} samples, {model.flops_per_frame() / 1e3:.0f} kFLOP per frame")

    noisy, clean = batch(generator, size=1)
    with torch.no_grad():
        in_torch = model(noisy)[0].numpy()
    with Processor(path, channels=1, rate=RATE) as processor:  # removes the residual "Noise"
        cleaned = processor.process(noisy[0].numpy())
    before = mn.si_sdr(noisy, clean).item()
    after = mn.si_sdr(torch.from_numpy(cleaned)[None], clean).item()
    print(f"through the binding: SI-SDR {before:.1f} dB -> {after:.1f} dB; "
          f"difference to PyTorch {np.max(np.abs(cleaned - in_torch)):.1e}")
    if tool:
        with tempfile.TemporaryDirectory() as folder:
            noisy_path, clean_path = os.path.join(folder, "noisy.wav"), os.path.join(folder, "clean.wav")
            write_wav(noisy_path, noisy[0].numpy())
            subprocess.run([tool, "process", noisy_path, clean_path, "-m", path, "--gain", "Noise=0", "-q"], check=True)
            processed = read_wav(clean_path)
        after = mn.si_sdr(torch.from_numpy(processed)[None], clean).item()
        print(f"through murel process: SI-SDR {after:.1f} dB")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Writes untrained stand-ins for the separator's two model files, for developing and testing the
hosts before the trained models exist: the header, buses and framing of the real ones (48 kHz,
FFT 1024, window 960, hop 480, masks) around a small random network.

    PYTHONPATH=python /usr/bin/python3 bench/separation/standin.py FOLDER

writes FOLDER/separator-dialogue.model (buses "Dialogue", residual "Effects") and
FOLDER/separator-music.model ("Music", "Effects"). Never install these: they separate nothing.
"""

import os
import sys

import torch

import murel.export
import murel.format as fmt
import murel.nn as mn

RATE, FFT, WINDOW, HOP, BANDS = 48000, 1024, 960, 480, 24
MODELS = (("separator-dialogue.model", ("Dialogue", "Effects"), 1),
          ("separator-music.model", ("Music", "Effects"), 2))


class StandIn(torch.nn.Module):
    def __init__(self):
        super().__init__()
        pool, expand = mn.triangular_bands(FFT, RATE, BANDS)
        self.pool = mn.FrequencyRescale(FFT // 2 + 1, pool)
        self.level = mn.PreNorm(8)
        self.c1 = mn.Conv(1, 4, (3, 3))
        self.a1 = mn.ELU()
        self.c2 = mn.Conv(4, 1, (3, 3))
        self.gain = mn.Sigmoid()
        self.expand = mn.FrequencyRescale(BANDS, expand)

    def forward(self, x):
        return self.expand(self.gain(self.c2(self.a1(self.c1(self.level(self.pool(x)))))))


def write(folder):
    os.makedirs(folder, exist_ok=True)
    paths = []
    for name, buses, seed in MODELS:
        torch.manual_seed(seed)
        model = mn.SpectralModel(StandIn(), sample_rate=RATE, fft_size=FFT, window_size=WINDOW, hop_size=HOP,
                                 output_names=buses, processing_mode=fmt.MASKS)
        paths.append(os.path.join(folder, name))
        murel.export.save(model, paths[-1])
    return paths


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: standin.py FOLDER")
    for path in write(sys.argv[1]):
        print(path)

"""How a torch.stft configuration maps onto the engine's framing."""

from dataclasses import dataclass

import numpy as np
import torch

from .spectral import SpectralModel, windows


@dataclass
class Framing:
    """The engine framing nearest to a torch.stft configuration and how far apart they are."""

    exact: bool
    """The engine's spectra equal torch.stft's (magnitudes within -100 dB), frame for frame."""
    fft_size: int
    window_size: int
    hop_size: int
    frame_shift: int
    """Engine frame n + frame_shift is torch.stft frame n."""
    error_db: float
    """Magnitude error of the engine's spectra against torch.stft's, on noise, in dB (energy of
    the difference over the energy of torch.stft's), away from the signal's edges."""
    advice: str

    def __str__(self):
        verdict = "reproduces it" if self.exact else f"differs by {self.error_db:.1f} dB"
        return (f"engine framing fft_size={self.fft_size}, window_size={self.window_size}, "
                f"hop_size={self.hop_size} {verdict}. {self.advice}")


def stft_framing(n_fft, hop_length=None, win_length=None, window=None, center=True, pad_mode="reflect"):
    """Whether the engine's framing reproduces torch.stft(x, n_fft, hop_length, win_length,
    window, center, pad_mode) (a window of None is torch's rectangular one), and if not, the
    nearest engine framing and the error a model trained on torch.stft would see."""
    hop = int(hop_length or n_fft // 4)
    width = int(win_length or n_fft)
    window = torch.ones(width, dtype=torch.float64) if window is None else torch.as_tensor(window, dtype=torch.float64)
    fft = 1 << max(int(n_fft) - 1, 1).bit_length()
    engine_hop = min(hop, width // 2)
    advice = []
    if fft != n_fft:
        advice.append(f"the engine's FFT size is a power of two: use n_fft={fft} (the bins change, so retrain)")
    if engine_hop != hop:
        advice.append(f"the engine needs a window of at least two hops: use hop_length={engine_hop}")
    analysis = windows(fft, width, engine_hop)[0]
    if window.numel() != width or not np.allclose(window.numpy(), analysis, rtol=0, atol=1e-7):
        advice.append(f"train with window=torch.from_numpy(murel.nn.windows({fft}, {width}, {engine_hop})[0]) "
                      "(the engine's analysis window)")

    signal = torch.from_numpy(np.random.default_rng(0).standard_normal(64 * engine_hop + 4 * fft))
    reference = torch.stft(signal.float(), n_fft, hop, width, window.float(), center=center, pad_mode=pad_mode,
                           return_complex=True).abs().T.double()
    model = SpectralModel(torch.nn.Identity(), fft_size=fft, window_size=width, hop_size=engine_hop)
    engine = model.analyse(signal[None, None].float())[0, 0].abs().double()
    if fft != n_fft or engine_hop != hop:
        return Framing(False, fft, width, engine_hop, 0, float("inf"), "; ".join(advice) + ".")

    # The frames that stay clear of the edges on both sides, at the best shift.
    margin = fft // hop + 2
    best = (float("inf"), 0)
    for shift in range(-margin, margin + 1):
        frames = range(margin, min(reference.shape[0], engine.shape[0] - shift) - margin)
        if len(frames) < 4:
            continue
        r = reference[list(frames)]
        e = engine[[f + shift for f in frames]]
        error = float(torch.sum((r - e) ** 2) / torch.sum(r ** 2))
        best = min(best, (error, shift))
    error_db = 10 * np.log10(max(best[0], 1e-30))
    exact = error_db < -100
    if width < n_fft:
        advice.append(f"magnitudes only: torch.stft centres the window in n_fft, the engine puts it at the end, so "
                      f"complex spectra differ by a delay of {(n_fft - width) // 2} samples in the phase")
    if not exact and not advice:
        advice.append("the frames start between the engine's frames: with center=True torch.stft frames start "
                      "n_fft / 2 samples early; pad or trim the training audio so that they start on the engine's")
    return Framing(exact, fft, width, engine_hop, best[1], error_db,
                   "; ".join(advice) + "." if advice else "Nothing to change.")

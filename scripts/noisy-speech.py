#!/usr/bin/python3
"""Makes a noisy speech recording for the quick start, or scores a cleaned one against it.

    noisy-speech.py make FOLDER      writes FOLDER/noisy.wav (and the hidden reference
                                     FOLDER/.speech.wav): a sentence spoken by espeak-ng, with
                                     pink noise, mains hum and clicks at 5 dB SNR, 48 kHz mono
    noisy-speech.py score FOLDER FILE prints the SNR of FOLDER/noisy.wav and of FILE against the
                                     reference
"""

import subprocess
import sys
import wave
from pathlib import Path

import numpy as np

RATE = 48000
TEXT = ("The quick start removes the noise from this sentence. "
        "Listen to the hum and the hiss before and after.")


def write_wav(path, x):
    data = np.clip(np.round(x * 32767), -32768, 32767).astype("<i2").tobytes()
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(data)


def read_wav(path):
    with wave.open(str(path)) as w:
        if w.getsampwidth() != 2:
            raise SystemExit(f"{path}: expected 16-bit samples")
        x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64) / 32768
        return x.reshape(-1, w.getnchannels()).mean(axis=1), w.getframerate()


def resample(x, rate):
    """Band-limited resampling through the spectrum (fine for a short clip)."""
    n = int(round(x.size * RATE / rate))
    spectrum = np.fft.rfft(x)
    out = np.zeros(n // 2 + 1, dtype=complex)
    keep = min(out.size, spectrum.size)
    out[:keep] = spectrum[:keep]
    return np.fft.irfft(out, n) * n / x.size


def make(folder):
    folder.mkdir(parents=True, exist_ok=True)
    raw = subprocess.run(["espeak-ng", "-v", "en-us", "-s", "150", "--stdout", TEXT], check=True,
                         capture_output=True).stdout
    (folder / ".espeak.wav").write_bytes(raw)
    speech, rate = read_wav(folder / ".espeak.wav")
    (folder / ".espeak.wav").unlink()
    speech = resample(speech, rate)
    speech = np.concatenate([np.zeros(RATE // 2), speech, np.zeros(RATE // 2)])
    speech *= 0.3 / np.max(np.abs(speech))
    rng = np.random.default_rng(2026)
    n = speech.size
    spectrum = (rng.standard_normal(n // 2 + 1) + 1j * rng.standard_normal(n // 2 + 1)) / np.sqrt(
        np.maximum(np.arange(n // 2 + 1), 1))
    noise = np.fft.irfft(spectrum, n)
    t = np.arange(n) / RATE
    noise = noise / np.std(noise) + 0.8 * sum(np.sin(2 * np.pi * 50 * k * t) / k for k in range(1, 8))
    for at in rng.integers(0, n - 200, 12):
        noise[at:at + 200] += rng.choice([-6, 6]) * np.exp(-np.arange(200) / 30)
    noise *= np.std(speech) / np.std(noise) * 10 ** (-5 / 20)
    write_wav(folder / ".speech.wav", speech)
    write_wav(folder / "noisy.wav", speech + noise)


def snr(reference, x):
    n = min(reference.size, x.size)
    return 10 * np.log10(np.sum(reference[:n] ** 2) / np.sum((x[:n] - reference[:n]) ** 2))


def score(folder, cleaned):
    reference, _ = read_wav(folder / ".speech.wav")
    noisy, _ = read_wav(folder / "noisy.wav")
    clean, _ = read_wav(cleaned)
    print(f"SNR before: {snr(reference, noisy):5.1f} dB    after: {snr(reference, clean):5.1f} dB")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "make":
        make(Path(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "score":
        score(Path(sys.argv[2]), Path(sys.argv[3]))
    else:
        raise SystemExit(__doc__)

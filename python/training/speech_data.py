"""Training material for the speech denoiser, made only from what Debian packages ship or from
seeded synthesis, so the same seed gives the same data on any Debian 12 machine.

Speech: espeak-ng (many languages and voice variants, rates, pitches), flite voices, and the
recorded prompts of the asterisk-core-sounds packages. Noise: synthesised (coloured, modulated,
impulsive, hum, tones and sweeps, babble) and the recorded sounds of desktop and game sound
packages. Held out for evaluation and never read here: the sounds of alsa-utils, gnome-audio,
sound-theme-freedesktop and sound-icons, the espeak-ng variants m3, f3 and f5, the language nl,
the flite voice slt, and synthetic noise seeds of 1000000 and above.
"""

import glob
import io
import os
import random
import subprocess
import tempfile
import wave

import numpy as np
from scipy import signal

RATE = 48000
EVAL_SEED_START = 1_000_000

ESPEAK_LANGUAGES = ["en-us", "en-gb", "en-gb-scotland", "en-029", "en-gb-x-rp", "de", "fr-fr", "fr-be", "es", "es-419",
                    "it", "pt", "pt-br", "pl", "ru", "cs", "sv", "da", "fi", "hu", "ro", "tr", "el", "hi", "id", "vi",
                    "ca", "sk", "hr", "bg", "uk", "nb", "cmn", "ja", "ko", "ar", "fa", "sw", "af", "cy"]
ESPEAK_VARIANTS = ["m1", "m2", "m4", "m5", "m6", "m7", "m8", "f1", "f2", "f4", "klatt", "klatt2", "klatt3", "klatt4",
                   "klatt5", "klatt6", "adam", "anika", "antonio", "aunty", "belinda", "benjamin", "boris", "caleb",
                   "david", "ed", "edward", "grandma", "grandpa", "gustave", "iven", "iven2", "john", "linda", "max",
                   "michel", "norbert", "paul", "pedro", "Andy", "Annie", "Denis", "Gene", "Hugo", "Lee", "Mario",
                   "Michael", "Mike", "RicishayMax", "Storm", "Alicia", "Andrea", "Diogo", "Henrique", "Marco"]
FLITE_VOICES = ["kal16", "awb", "rms"]
HELD_OUT_VARIANTS = {"m3", "f3", "f5"}
HELD_OUT_LANGUAGES = {"nl"}
NOISE_PACKAGES = ["oxygen-sounds", "yaru-theme-sound", "deepin-sound-theme", "heroes-sound-effects", "psi-plus-sounds"]
SPEECH_PACKAGES = ["asterisk-core-sounds-en-g722", "asterisk-core-sounds-es-g722", "asterisk-core-sounds-fr-g722",
                   "asterisk-core-sounds-it-g722", "asterisk-core-sounds-ru-g722"]
assert not HELD_OUT_VARIANTS & set(ESPEAK_VARIANTS) and not HELD_OUT_LANGUAGES & set(ESPEAK_LANGUAGES)


def package_files(package, extensions):
    out = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True, check=True).stdout.split("\n")
    return sorted(p for p in out if p.lower().endswith(extensions) and os.path.isfile(p))


def resample(x, rate):
    if rate == RATE:
        return x.astype(np.float32)
    g = np.gcd(int(rate), RATE)
    return signal.resample_poly(x, RATE // g, int(rate) // g).astype(np.float32)


def read_wav_bytes(data):
    with wave.open(io.BytesIO(data)) as w:
        frames = w.readframes(w.getnframes())
        x = np.frombuffer(frames, dtype="<i2").astype(np.float32) / 32768.0
        if w.getnchannels() > 1:
            x = x.reshape(-1, w.getnchannels()).mean(axis=1)
        return resample(x, w.getframerate())


def decode(path):
    """Any file ffmpeg reads, as mono float at RATE."""
    options = ["-f", "g722"] if path.endswith(".g722") else []
    out = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", *options, "-i", path, "-ac", "1", "-ar",
                          str(RATE), "-f", "f32le", "-"], capture_output=True, check=True).stdout
    return np.frombuffer(out, dtype="<f4").copy()


def texts():
    """Sentences from the fortune files and word salads from the dictionary."""
    lines = []
    for path in sorted(glob.glob("/usr/share/games/fortunes/*.u8")) or sorted(glob.glob("/usr/share/games/fortunes/*")):
        if path.endswith(".dat"):
            continue
        with open(path, encoding="utf-8", errors="ignore") as f:
            for entry in f.read().split("\n%\n"):
                entry = " ".join(entry.split())
                if 20 <= len(entry) <= 220 and entry.isascii():
                    lines.append(entry)
    with open("/usr/share/dict/words", encoding="utf-8", errors="ignore") as f:
        words = [w.strip() for w in f if w.strip().isascii() and w.strip().isalpha()]
    return lines, words


def synthesise_espeak(job):
    language, variant, speed, pitch, text = job
    out = subprocess.run(["espeak-ng", "-v", f"{language}+{variant}", "-s", str(speed), "-p", str(pitch), "--stdout",
                          text], capture_output=True)
    if out.returncode != 0 or len(out.stdout) < 1000:
        return None
    return read_wav_bytes(out.stdout)


def synthesise_flite(job):
    voice, text = job
    with tempfile.NamedTemporaryFile(suffix=".wav") as f:
        out = subprocess.run(["flite", "-voice", voice, "-t", text, "-o", f.name], capture_output=True)
        if out.returncode != 0:
            return None
        with open(f.name, "rb") as g:
            return read_wav_bytes(g.read())


def trim(x, threshold=1e-3):
    loud = np.nonzero(np.abs(x) > threshold)[0]
    return x[loud[0]:loud[-1] + 1] if loud.size else x[:0]


def build_speech(seed, num_espeak, num_flite, pool):
    rng = random.Random(seed)
    lines, words = texts()

    def text():
        if rng.random() < 0.6:
            return rng.choice(lines)
        return " ".join(rng.choice(words) for _ in range(rng.randint(4, 16)))

    espeak_jobs = [(rng.choice(ESPEAK_LANGUAGES), rng.choice(ESPEAK_VARIANTS), rng.randint(110, 240), rng.randint(15, 90),
                    text()) for _ in range(num_espeak)]
    flite_jobs = [(rng.choice(FLITE_VOICES), text()) for _ in range(num_flite)]
    recorded = [p for package in SPEECH_PACKAGES for p in package_files(package, (".g722",))]
    speech = list(pool.imap(synthesise_espeak, espeak_jobs, chunksize=8))
    speech += list(pool.imap(synthesise_flite, flite_jobs, chunksize=4))
    speech += list(pool.imap(decode, recorded, chunksize=8))
    speech = [trim(x) for x in speech if x is not None]
    return [x for x in speech if x.size > RATE // 4]


def build_noises(pool):
    files = [p for package in NOISE_PACKAGES for p in package_files(package, (".wav", ".ogg", ".oga", ".flac"))]
    noises = [trim(x, 1e-4) for x in pool.imap(decode, files, chunksize=4)]
    return [x for x in noises if x.size > RATE // 10]


def load_corpus(cache, seed, num_espeak=2400, num_flite=300):
    """Speech utterances and recorded noises (int16 at RATE), built once and kept in `cache`."""
    path = os.path.join(cache, f"corpus-{seed}-{num_espeak}-{num_flite}.npz")
    if os.path.exists(path):
        data = np.load(path, allow_pickle=True)
        return list(data["speech"]), list(data["noises"])
    import multiprocessing
    with multiprocessing.Pool(2) as pool:
        speech = build_speech(seed, num_espeak, num_flite, pool)
        noises = build_noises(pool)
    as16 = [np.clip(x * 32767, -32768, 32767).astype(np.int16) for x in speech]
    noise16 = [np.clip(x / max(np.max(np.abs(x)), 1e-6) * 32767, -32768, 32767).astype(np.int16) for x in noises]
    os.makedirs(cache, exist_ok=True)
    np.savez(path + ".tmp.npz", speech=np.array(as16, dtype=object), noises=np.array(noise16, dtype=object))
    os.replace(path + ".tmp.npz", path)
    return as16, noise16


# Synthetic noise ---------------------------------------------------------------------------------


def coloured(rng, n, slope):
    """Noise whose power falls by `slope` x 3 dB per octave (0 white, 1 pink, 2 brown)."""
    spectrum = rng.standard_normal(n // 2 + 1) + 1j * rng.standard_normal(n // 2 + 1)
    f = np.arange(n // 2 + 1, dtype=np.float64)
    f[0] = 1.0
    x = np.fft.irfft(spectrum / f ** (slope / 2), n)
    return x / (np.std(x) + 1e-12)


def hum(rng, n):
    base = rng.choice([50.0, 60.0]) * rng.uniform(0.98, 1.02)
    t = np.arange(n) / RATE
    x = np.zeros(n)
    decay = rng.uniform(0.3, 1.0)
    for k in range(1, rng.randint(3, 40)):
        if k * base > RATE / 2 - 100:
            break
        x += decay ** (k - 1) * rng.uniform(0.2, 1.0) * np.sin(2 * np.pi * k * base * t + rng.uniform(0, 2 * np.pi))
    if rng.random() < 0.5:  # buzz: clipped and rectified
        x = np.clip(x, -0.5 * np.max(np.abs(x)), 0.5 * np.max(np.abs(x)))
    return x / (np.std(x) + 1e-12)


def impulsive(rng, n):
    x = np.zeros(n)
    count = rng.randint(2, 80) * n // RATE + 1
    for _ in range(count):
        at = rng.randrange(n)
        length = min(n - at, int(RATE * rng.uniform(0.0005, 0.03)))
        x[at:at + length] += rng.choice([-1, 1]) * rng.uniform(0.2, 1.0) * np.exp(-np.arange(length) / (length / 5 + 1)) \
            * np.random.default_rng(rng.randrange(2**32)).standard_normal(length)
    if rng.random() < 0.5:
        x += 0.05 * coloured(np.random.default_rng(rng.randrange(2**32)), n, rng.uniform(0, 2))
    return x / (np.std(x) + 1e-12)


def tones(rng, n):
    t = np.arange(n) / RATE
    x = np.zeros(n)
    for _ in range(rng.randint(1, 4)):
        if rng.random() < 0.5:  # sweep
            f0, f1 = rng.uniform(50, 8000), rng.uniform(50, 16000)
            phase = 2 * np.pi * (f0 * t + (f1 - f0) * t ** 2 / (2 * t[-1] + 1e-9))
        else:
            phase = 2 * np.pi * rng.uniform(100, 12000) * t
        gate = np.ones(n)
        if rng.random() < 0.5:  # beeps
            period = rng.uniform(0.1, 1.0)
            gate = ((t % period) < period * rng.uniform(0.2, 0.8)).astype(float)
        x += rng.uniform(0.3, 1.0) * np.sin(phase) * gate
    return x / (np.std(x) + 1e-12)


def modulate(rng, x):
    t = np.arange(x.size) / RATE
    depth = rng.uniform(0.3, 1.0)
    lfo = 1 - depth * 0.5 * (1 + np.sin(2 * np.pi * rng.uniform(0.1, 8) * t + rng.uniform(0, 6.3)))
    return x * lfo


NOISE_KINDS = ["white", "pink", "brown", "coloured", "hum", "impulsive", "tones", "modulated", "babble", "recorded"]


def make_noise(rng, kind, n, speech, noises):
    nrng = np.random.default_rng(rng.randrange(2**32))
    if kind == "white":
        return coloured(nrng, n, 0.0)
    if kind == "pink":
        return coloured(nrng, n, 1.0)
    if kind == "brown":
        return coloured(nrng, n, 2.0)
    if kind == "coloured":
        return coloured(nrng, n, rng.uniform(-1.0, 3.0))
    if kind == "hum":
        return hum(rng, n)
    if kind == "impulsive":
        return impulsive(rng, n)
    if kind == "tones":
        return tones(rng, n)
    if kind == "modulated":
        return modulate(rng, coloured(nrng, n, rng.uniform(0, 2)))
    if kind == "babble":
        x = np.zeros(n)
        for _ in range(rng.randint(3, 8)):
            x += fill(rng, speech, n, gaps=False) * rng.uniform(0.5, 1.0)
        return x / (np.std(x) + 1e-12)
    x = np.zeros(n)  # recorded: sounds placed at random, sometimes looped
    while np.count_nonzero(x) < n * rng.uniform(0.3, 1.0):
        s = noises[rng.randrange(len(noises))].astype(np.float64) / 32768.0
        at = rng.randrange(n)
        piece = s[:n - at]
        x[at:at + piece.size] += piece * rng.uniform(0.3, 1.0)
    return x / (np.std(x) + 1e-12)


# Speech assembly and augmentation ----------------------------------------------------------------


def fill(rng, speech, n, gaps=True):
    """n samples of utterances one after another, with pauses."""
    x = np.zeros(n)
    at = rng.randrange(0, RATE // 2) if gaps else 0
    while at < n:
        s = speech[rng.randrange(len(speech))].astype(np.float64) / 32768.0
        if at == 0 and not gaps:
            s = s[rng.randrange(s.size):]
        piece = s[:n - at]
        x[at:at + piece.size] += piece / (np.std(s) + 1e-9)
        at += piece.size + (rng.randrange(RATE // 20, RATE // 2) if gaps else 0)
    return x


def equalise(rng, x):
    """A smooth random spectral tilt and a few bumps, a random low-pass, sometimes a high-pass."""
    n = x.size
    spectrum = np.fft.rfft(x)
    f = np.fft.rfftfreq(n, 1 / RATE)
    octaves = np.log2(np.maximum(f, 20) / 1000)
    gain_db = rng.uniform(-3, 3) * octaves
    for _ in range(rng.randint(0, 4)):
        gain_db += rng.uniform(-9, 9) * np.exp(-0.5 * ((octaves - rng.uniform(-3, 3.5)) / rng.uniform(0.2, 1.0)) ** 2)
    cutoff = rng.choice([rng.uniform(3400, 8000), rng.uniform(8000, 20000), 24000.0])
    gain = 10 ** (gain_db / 20) / (1 + (f / cutoff) ** 8)
    if rng.random() < 0.3:
        gain *= 1 / (1 + (rng.uniform(80, 300) / np.maximum(f, 1)) ** 4)
    return np.fft.irfft(spectrum * gain, n)


def extend_high_band(rng, x):
    """Band-limited synthetic speech gains a shifted copy of its upper band above its limit, so
    the model meets speech with content up to 20 kHz and does not learn to remove it."""
    n = x.size
    spectrum = np.fft.rfft(x)
    f = np.fft.rfftfreq(n, 1 / RATE)
    shift_hz = rng.uniform(5000, 9000)
    shift = int(shift_hz * n / RATE)
    band = (f > 3500) & (f < 11000)
    moved = np.zeros_like(spectrum)
    idx = np.nonzero(band)[0]
    idx = idx[idx + shift < spectrum.size]
    moved[idx + shift] = spectrum[idx]
    moved *= 1 / (1 + (f / rng.uniform(14000, 22000)) ** 6)
    return x + np.fft.irfft(moved, n) * 10 ** (rng.uniform(-22, -8) / 20)


def reverberate(rng, x):
    rt60 = rng.uniform(0.1, 0.9)
    length = int(RATE * min(rt60, 0.6))
    t = np.arange(length) / RATE
    nrng = np.random.default_rng(rng.randrange(2**32))
    ir = nrng.standard_normal(length) * np.exp(-6.9 * t / rt60)
    ir[:int(RATE * rng.uniform(0.001, 0.01))] = 0
    ir[0] = rng.uniform(1.0, 4.0) * np.sqrt(np.sum(ir ** 2))  # the direct sound
    ir /= np.sqrt(np.sum(ir ** 2))
    return signal.fftconvolve(x, ir)[:x.size]


def make_pair(rng, speech, noises, n, snr_range=(-5.0, 20.0)):
    """(noisy, clean) float32 mixtures of n samples."""
    clean = fill(rng, speech, n)
    if rng.random() < 0.7:
        clean = extend_high_band(rng, clean)
    clean = equalise(rng, clean)
    if rng.random() < 0.35:
        clean = reverberate(rng, clean)
    clean /= np.std(clean) + 1e-9
    kinds = [rng.choice(NOISE_KINDS)]
    if rng.random() < 0.25:
        kinds.append(rng.choice(NOISE_KINDS))
    noise = sum(make_noise(rng, k, n, speech, noises) * rng.uniform(0.5, 1.0) for k in kinds)
    if rng.random() < 0.5:
        noise = equalise(rng, noise)
    noise /= np.std(noise) + 1e-9
    snr = rng.uniform(*snr_range) if rng.random() > 0.04 else 60.0
    noise *= 10 ** (-snr / 20)
    level = 10 ** (rng.uniform(-40, -12) / 20)
    scale = level / (np.std(clean + noise) + 1e-9)
    noisy, clean = (clean + noise) * scale, clean * scale
    peak = np.max(np.abs(noisy))
    if peak > 0.99:
        noisy, clean = noisy * 0.99 / peak, clean * 0.99 / peak
    return noisy.astype(np.float32), clean.astype(np.float32)

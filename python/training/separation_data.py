"""Training material of the dialogue/music/effects separator, from Debian packages and synthesis.

Dialogue is the speech corpus of the denoiser (speech_data.py) with its augmentation; music the
soundtracks of game packages; effects the sound effects of game packages and synthetic events.
Every file whose name hashes to 0 modulo 5 is held out for evaluation (bench/separation uses
exactly those), and the benchmark's evaluation-only packages are never read here.
"""

import math
import os
import random
import zlib

import numpy as np
from scipy import signal

import speech_data
from speech_data import RATE

MUSIC_PACKAGES = ["wesnoth-1.16-music", "supertux-data", "warzone2100-music", "neverball-data", "frozen-bubble-data",
                  "xmoto-data", "lincity-ng-data", "pingus-data"]
EFFECT_PACKAGES = ["hedgewars-data", "supertuxkart-data", "supertux-data", "neverball-data", "frozen-bubble-data",
                   "xmoto-data", "lincity-ng-data", "pingus-data"]
AUDIO = (".ogg", ".opus", ".wav", ".flac", ".mp3")
TRACKERS = (".mod", ".xm", ".it", ".s3m")
MUSIC_HINTS = ("music", "/bgm/", "/mus/", "mainzik")
EFFECT_HINTS = ("sound", "/sfx/", "/snd", "/samples/")


def held_out(path):
    """Files kept for evaluation: the benchmark builds its mixtures from these."""
    return zlib.crc32(os.path.basename(path).encode()) % 5 == 0


def is_music(path):
    lower = path.lower()
    return lower.endswith(TRACKERS) or (lower.endswith(AUDIO) and any(h in lower for h in MUSIC_HINTS))


def is_effect(path):
    lower = path.lower()
    return (lower.endswith(AUDIO) and not is_music(path) and "voice" not in lower
            and any(h in lower for h in EFFECT_HINTS))


def music_files(packages=MUSIC_PACKAGES, evaluation=False):
    return [p for pkg in packages for p in speech_data.package_files(pkg, AUDIO + TRACKERS)
            if is_music(p) and held_out(p) == evaluation]


def effect_files(packages=EFFECT_PACKAGES, evaluation=False):
    return [p for pkg in packages for p in speech_data.package_files(pkg, AUDIO)
            if is_effect(p) and held_out(p) == evaluation]


def load_material(cache, seed, say=print, tracks_per_package=30, seconds=15.0, effects_per_package=400):
    """(speech corpus of the denoiser, music excerpts, effect sounds), int16 at RATE, cached."""
    import multiprocessing
    speech, _, _ = speech_data.load_corpus(cache, seed, say)
    rng = random.Random(seed)
    with multiprocessing.Pool(2) as pool:
        def build_music():
            jobs = []
            for pkg in MUSIC_PACKAGES:
                files = music_files([pkg])
                jobs += rng.sample(files, min(tracks_per_package, len(files)))
            lengths = list(pool.imap(speech_data.duration, jobs))
            windows = [(p, rng.uniform(0, max(0.0, d - seconds)), seconds) for p, d in zip(jobs, lengths) if d > 3]
            return [speech_data.as_int16(x, True) for x in pool.starmap(speech_data.decode, windows)
                    if x is not None and x.size > RATE]

        def build_effects():
            jobs = []
            for pkg in EFFECT_PACKAGES:
                files = effect_files([pkg])
                jobs += rng.sample(files, min(effects_per_package, len(files)))
            sounds = [speech_data.trim(x, 1e-4) for x in pool.imap(speech_data.decode, jobs, chunksize=4)
                      if x is not None]
            return [speech_data.as_int16(x[:RATE * 8], True) for x in sounds if x.size > RATE // 20]

        music = speech_data.cached(os.path.join(cache, f"separation-music-{seed}.npz"), build_music)
        effects = speech_data.cached(os.path.join(cache, f"separation-effects-{seed}.npz"), build_effects)
    say(f"separation: {len(music)} music excerpts ({sum(x.size for x in music) / RATE / 60:.0f} min), "
        f"{len(effects)} effect sounds")
    return speech, music, effects


# Synthetic events --------------------------------------------------------------------------------


def envelope(n, attack, decay):
    t = np.arange(n) / RATE
    return (1 - np.exp(-t / max(attack, 1e-4))) * np.exp(-t / decay)


def impact(rng, nrng):
    n = int(RATE * rng.uniform(0.2, 1.2))
    noise = signal.lfilter(*signal.butter(2, rng.uniform(800, 12000) / (RATE / 2)), nrng.standard_normal(n))
    body = np.sin(2 * np.pi * rng.uniform(50, 400) * np.arange(n) / RATE) * rng.uniform(0, 2)
    return (noise + body) * envelope(n, 0.001, rng.uniform(0.02, 0.3))


def whoosh(rng, nrng):
    n = int(RATE * rng.uniform(0.3, 1.5))
    x = nrng.standard_normal(n)
    out = np.zeros(n)
    lo, hi = sorted((rng.uniform(200, 1500), rng.uniform(1500, 8000)))
    centres = np.geomspace(lo, hi, 8) if rng.random() < 0.5 else np.geomspace(hi, lo, 8)
    for k, c in enumerate(centres):  # a band-pass that moves, piece by piece
        part = slice(k * n // 8, (k + 1) * n // 8)
        b, a = signal.butter(2, [c / 1.5 / (RATE / 2), min(c * 1.5, 23000) / (RATE / 2)], btype="band")
        out[part] = signal.lfilter(b, a, x)[part]
    return out * np.hanning(n)


def engine(rng, nrng, n):
    t = np.arange(n) / RATE
    f0 = rng.uniform(25, 120) * (1 + 0.3 * np.sin(2 * np.pi * rng.uniform(0.05, 0.5) * t))
    phase = 2 * np.pi * np.cumsum(f0) / RATE
    x = sum(np.sin(k * phase) / k ** rng.uniform(0.5, 1.5) for k in range(1, 12))
    rumble = signal.lfilter(*signal.butter(2, 600 / (RATE / 2)), nrng.standard_normal(n))
    return x / (np.std(x) + 1e-9) + rumble / (np.std(rumble) + 1e-9) * rng.uniform(0.2, 1.0)


def ambience(rng, nrng, n):
    kind = rng.choice(["wind", "rain", "room"])
    if kind == "wind":
        x = signal.lfilter(*signal.butter(2, rng.uniform(300, 2000) / (RATE / 2)), nrng.standard_normal(n))
        return x * (1 + 0.8 * np.sin(2 * np.pi * rng.uniform(0.05, 0.4) * np.arange(n) / RATE))
    if kind == "rain":
        return speech_data.coloured(nrng, n, rng.uniform(0.3, 1.2)) + speech_data.impulsive(rng, n)
    return speech_data.coloured(nrng, n, rng.uniform(0.8, 2.0))


def effects_track(rng, effects, speech, n):
    """A few recorded or synthetic events at random places, sometimes over a bed (ambience,
    engine, or a distant crowd made of synthesised chatter)."""
    nrng = np.random.default_rng(rng.randrange(2**32))
    x = np.zeros(n)
    if rng.random() < 0.5:
        kind = rng.choice(["ambience", "engine", "crowd"])
        bed = (ambience(rng, nrng, n) if kind == "ambience" else engine(rng, nrng, n) if kind == "engine"
               else speech_data.chatter(rng, speech, n))
        x += bed / (np.std(bed) + 1e-9) * 10 ** (rng.uniform(-12, 0) / 20)
    for _ in range(rng.randint(1 if x.any() else 2, 8)):
        u = rng.random()
        event = (effects[rng.randrange(len(effects))].astype(np.float64) / 32768.0 if u < 0.6
                 else impact(rng, nrng) if u < 0.8 else whoosh(rng, nrng))
        if rng.random() < 0.3:
            event = speech_data.reverberate(rng, event)[1]
        at = rng.randrange(-event.size // 2, n)
        piece = event[max(0, -at):n - at] if at < n else event[:0]
        start = max(0, at)
        x[start:start + piece.size] += piece / (np.sqrt(np.mean(event ** 2)) + 1e-9) * 10 ** (rng.uniform(-10, 0) / 20)
    return x


def dialogue_track(rng, speech, n):
    x = speech_data.fill(rng, speech, n)
    if rng.random() < 0.8:
        x = speech_data.extend_high_band(rng, x)
    x = speech_data.equalise(rng, x)
    if rng.random() < 0.5:  # the room belongs to the dialogue stem
        x = speech_data.reverberate(rng, x, direct=rng.uniform(1.0, 5.0))[1]
    return x


def music_track(rng, music, n):
    x = speech_data.music(rng, music, n)
    if rng.random() < 0.3:
        x = speech_data.equalise(rng, x)
    if rng.random() < 0.2:  # fades in or out
        ramp = np.clip(np.linspace(rng.uniform(-2, 0), rng.uniform(1, 3), n), 0, 1)
        x = x * (ramp if rng.random() < 0.5 else ramp[::-1])
    return x


def active_rms(x):
    """The level of the loud part (speech pauses and gaps in effects do not count)."""
    frames = x[:x.size // 480 * 480].reshape(-1, 480)
    power = np.mean(frames ** 2, axis=1)
    loud = power[power > np.max(power) * 1e-3] if power.size else power
    return math.sqrt(float(np.mean(loud))) if loud.size else 0.0


def make_mix(rng, speech, music, effects, n):
    """(mixture, dialogue, music, effects) float32 of n samples, mixed like film and television:
    dialogue in front, music 8 dB below to 2 dB above it, effects 6 dB below to 4 dB above, each
    stem now and then silent."""
    silent = rng.choices([None, "dialogue", "music", "effects"], [0.7, 0.08, 0.11, 0.11])[0]
    d = dialogue_track(rng, speech, n) if silent != "dialogue" else np.zeros(n)
    m = music_track(rng, music, n) if silent != "music" else np.zeros(n)
    e = effects_track(rng, effects, speech, n) if silent != "effects" else np.zeros(n)
    reference = active_rms(d) if d.any() else 1.0
    if d.any():
        d = d / reference
    if m.any():
        m = m / (active_rms(m) + 1e-9) * 10 ** (rng.uniform(-8, 2) / 20)
    if e.any():
        e = e / (active_rms(e) + 1e-9) * 10 ** (rng.uniform(-6, 4) / 20)
    mix = d + m + e
    scale = 10 ** (rng.uniform(-36, -14) / 20) / (np.std(mix) + 1e-9)
    peak = np.max(np.abs(mix)) * scale
    if peak > 0.99:
        scale *= 0.99 / peak
    return tuple((x * scale).astype(np.float32) for x in (mix, d, m, e))

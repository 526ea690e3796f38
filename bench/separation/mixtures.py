"""Film-like evaluation mixtures of dialogue, music and effects, made from fixed seeds.

Nothing here is training material:
- dialogue: the quality benchmark's evaluation voices (espeak-ng m3, f3, f5 and nl, flite slt)
  speaking its evaluation sentences, and the recorded alsa-utils phrases; a third in a synthetic
  room;
- music: the soundtrack of funnyboat and the kobodeluxe MIDI tunes rendered by fluidsynth with
  the TimGM6mb sound font (the quality benchmark's music);
- effects: the held-out files of hedgewars-data's sounds (not its voices) and supertuxkart-data's
  effects, a file being held out when the CRC-32 of its name is divisible by 5, and synthetic
  impacts, whooshes, engines and rain from generators seeded at 1000000 and above.

Levels as films and television mix them: the dialogue in front at -27 to -21 dBFS, the music 8 dB
below to 2 dB above it and the effects 6 dB below to 4 dB above (levels of the stems where they
sound). Music and effects are absent from some clips and fall silent for a while in others; the
dialogue pauses between utterances.
"""

import glob
import os
import sys
import zlib

import numpy as np
from scipy.signal import butter, fftconvolve, sosfilt

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "quality"))
import evalset  # noqa: E402

RATE = evalset.RATE
FIRST_SEED = evalset.FIRST_SEED
STEMS = ("Dialogue", "Music", "Effects")
EFFECT_FOLDERS = ("/usr/share/games/hedgewars/Data/Sounds", "/usr/share/games/supertuxkart/data/sfx")
DIALOGUE_DB = (-27.0, -21.0)
MUSIC_DB = (-8.0, 2.0)
EFFECTS_DB = (-6.0, 4.0)
ABSENT = 0.12  # chance that music or effects are missing from a clip
PAUSED = 0.35  # chance of a silent stretch in a present music or effects stem


def is_held_out(path):
    """The split shared with training: these files are for evaluation only."""
    return zlib.crc32(os.path.basename(path).encode()) % 5 == 0


def effect_files():
    files = []
    for folder in EFFECT_FOLDERS:
        for path in sorted(glob.glob(os.path.join(folder, "**", "*"), recursive=True)):
            if os.sep + "voices" + os.sep in path or not path.lower().endswith((".ogg", ".wav", ".flac")):
                continue
            if os.path.isfile(path) and is_held_out(path):
                files.append(path)
    return files


def active_level(samples):
    """RMS in dB over the 20 ms frames that sound (within 40 dB of the loudest)."""
    frame = RATE // 50
    count = len(samples) // frame
    energy = np.mean(np.square(samples[: count * frame].reshape(count, frame)), axis=1)
    loud = energy[energy > np.max(energy) * 1e-4] if count and np.max(energy) > 0 else np.zeros(1)
    return 10 * np.log10(np.mean(loud) + 1e-20)


def at_level(samples, decibels):
    return samples * 10 ** ((decibels - active_level(samples)) / 20)


def _fade(samples, seconds=0.02):
    n = min(int(seconds * RATE), len(samples) // 2)
    if n:
        ramp = np.sin(np.linspace(0, np.pi / 2, n)) ** 2
        samples[:n] *= ramp
        samples[-n:] *= ramp[::-1]
    return samples


def _band_noise(rng, n, low, high):
    sos = butter(4, [low, min(high, 0.45 * RATE)], btype="bandpass", fs=RATE, output="sos")
    return sosfilt(sos, rng.standard_normal(n))


# ---- Synthetic events: (rng) -> samples ----

def impact(rng):
    n = int(rng.uniform(0.15, 0.8) * RATE)
    t = np.arange(n) / RATE
    crack = _band_noise(rng, n, rng.uniform(200, 1500), rng.uniform(3000, 16000)) * np.exp(-t / rng.uniform(0.01, 0.08))
    thump = np.sin(2 * np.pi * rng.uniform(40, 120) * t) * np.exp(-t / rng.uniform(0.05, 0.2))
    return crack / (np.std(crack) + 1e-12) + rng.uniform(0.5, 2) * thump / (np.std(thump) + 1e-12)


def whoosh(rng):
    n = int(rng.uniform(0.4, 1.5) * RATE)
    blocks = 24
    centres = np.geomspace(rng.uniform(300, 1000), rng.uniform(2000, 8000), blocks)
    if rng.random() < 0.5:
        centres = centres[::-1]
    out = np.zeros(n)
    edges = np.linspace(0, n, blocks + 1).astype(int)
    for index, centre in enumerate(centres):
        piece = _band_noise(rng, n, centre / 1.5, centre * 1.5)
        window = np.zeros(n)
        a, b = edges[index], edges[index + 1]
        window[max(a - (b - a), 0) : min(b + (b - a), n)] = 1.0
        out += piece * window
    return out * np.sin(np.pi * np.arange(n) / n) ** 2


def engine(rng):
    n = int(rng.uniform(1.0, 4.0) * RATE)
    t = np.arange(n) / RATE
    f0 = rng.uniform(25, 110) * (1 + 0.15 * np.sin(2 * np.pi * rng.uniform(0.1, 0.6) * t))
    phase = 2 * np.pi * np.cumsum(f0) / RATE
    tone = sum(np.sin(k * phase) / k ** rng.uniform(0.7, 1.3) for k in range(1, 40))
    rumble = _band_noise(rng, n, 60, 2000)
    out = tone / np.std(tone) + rng.uniform(0.2, 0.8) * rumble / np.std(rumble)
    return _fade(out, 0.2)


def rain(rng):
    n = int(rng.uniform(2.0, 6.0) * RATE)
    drops = np.zeros(n)
    count = int(rng.uniform(50, 400) * n / RATE)
    drops[rng.integers(0, n, count)] = rng.uniform(-1, 1, count)
    bed = _band_noise(rng, n, 500, 12000)
    out = fftconvolve(drops, np.exp(-np.arange(int(0.004 * RATE)) / (0.001 * RATE)))[:n]
    return _fade(out / (np.std(out) + 1e-12) + 0.5 * bed / np.std(bed), 0.3)


SYNTHETIC_EVENTS = (impact, whoosh, engine, rain)


class Sources:
    """The evaluation material, loaded once."""

    def __init__(self):
        self.speech = evalset.SpeechSource()
        self.music = evalset.music_pieces()
        self.effect_files = effect_files()
        self._effects = {}
        phrases = [f"{evalset.SOUNDS}/alsa/{name}.wav" for name in evalset.PHRASES]
        self.phrases = [p for p in phrases if os.path.isfile(p)]

    def effect(self, path):
        if path not in self._effects:
            self._effects[path] = evalset.read_sound(path)
        return self._effects[path]

    def utterance(self, rng):
        if self.phrases and rng.random() < 0.2:
            return self.speech.recording(self.phrases[rng.integers(len(self.phrases))])
        voice = evalset.VOICES[rng.integers(len(evalset.VOICES))]
        sentences = self.speech.sentences[voice[3]]
        return self.speech.synthesise(voice, sentences[rng.integers(len(sentences))])


def dialogue(rng, n, sources):
    out = np.zeros(n)
    position = int(rng.uniform(0.0, 0.8) * RATE)
    while position < n:
        utterance = sources.utterance(rng)
        utterance = utterance / (np.std(utterance) + 1e-12) * 10 ** (rng.uniform(-3, 3) / 20)
        length = min(len(utterance), n - position)
        out[position : position + length] += utterance[:length]
        position += length + int(rng.uniform(0.2, 1.2) * RATE)
    if rng.random() < 1 / 3:
        response, _ = evalset.room_response(rng)
        out = fftconvolve(out, response)[:n]
    return out


def effects(rng, n, sources):
    out = np.zeros(n)
    if rng.random() < 0.3:  # an ambience under the events
        bed = rain(rng) if rng.random() < 0.5 else engine(rng)
        out[: min(n, len(bed))] += 0.3 * np.resize(bed, min(n, len(bed))) / (np.std(bed) + 1e-12)
    position = int(rng.uniform(0.0, 1.0) * RATE)
    while position < n:
        if sources.effect_files and rng.random() < 0.6:
            event = sources.effect(sources.effect_files[rng.integers(len(sources.effect_files))])
        else:
            event = SYNTHETIC_EVENTS[rng.integers(len(SYNTHETIC_EVENTS))](rng)
        event = _fade(event[: int(4 * RATE)].copy(), 0.005) / (np.max(np.abs(event)) + 1e-12)
        length = min(len(event), n - position)
        out[position : position + length] += 10 ** (rng.uniform(-10, 0) / 20) * event[:length]
        position += int(rng.uniform(0.3, 2.0) * RATE)
    return out


def _pause(rng, samples):
    """A silent stretch of 1 to 3 s with short fades."""
    n = len(samples)
    length = int(min(rng.uniform(1.0, 3.0) * RATE, n // 2))
    start = int(rng.integers(0, n - length))
    fade = int(0.02 * RATE)
    gain = np.ones(n)
    gain[start : start + length] = 0.0
    ramp = np.linspace(1, 0, fade)
    gain[start : start + fade] = ramp
    gain[start + length - fade : start + length] = ramp[::-1]
    return samples * gain


def make_clip(index, seconds, sources):
    """The stems {Dialogue, Music, Effects} of clip `index` (a stem that is absent is all zeros)."""
    rng = np.random.default_rng(FIRST_SEED + index)
    n = int(seconds * RATE)
    level = rng.uniform(*DIALOGUE_DB)
    stems = {"Dialogue": at_level(dialogue(rng, n, sources), level)}
    music = evalset.music(rng, n, {"music_pool": sources.music})
    stems["Music"] = at_level(music, level + rng.uniform(*MUSIC_DB))
    stems["Effects"] = at_level(effects(rng, n, sources), level + rng.uniform(*EFFECTS_DB))
    rolls = {name: rng.random() for name in ("Music", "Effects")}
    if all(roll < ABSENT for roll in rolls.values()):
        rolls["Effects"] = 1.0  # dialogue alone is no separation task
    for name, roll in rolls.items():
        if roll < ABSENT:
            stems[name] = np.zeros(n)
        elif roll < ABSENT + PAUSED:
            stems[name] = _pause(rng, stems[name])
    return stems

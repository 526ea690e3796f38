"""The evaluation set of the quality benchmark: noisy speech made from fixed seeds.

Nothing here is used for training. The training data keeps clear of it as follows:
- synthesised speech: the espeak-ng voice variants m3, f3 and f5, the language nl and the flite
  voice slt are evaluation-only, and the sentences come from sentences.txt (training text comes
  from other sources);
- recorded speech: the alsa-utils phrases;
- recorded noise: the sounds of gnome-audio, sound-theme-freedesktop, sound-icons and the
  alsa-utils noise;
- synthetic noise: every clip draws its noise from a generator seeded at 1000000 or above.

A clip is 48 kHz mono: a speech-free lead-in of LEAD_IN seconds (noise only, where a profile for
noise reduction can be taken), the utterance, and a short tail. The SNR is measured over the
utterance (from its first to its last sample above -40 dB of its peak).
"""

import glob
import os
import subprocess
import tempfile
import warnings

import numpy as np
from scipy.io import wavfile

RATE = 48000
LEAD_IN = 0.5
TAIL = 0.3
MAX_SPEECH = 4.0
FIRST_SEED = 1000000

NOISE_TYPES = ["white", "pink", "brown", "hum", "babble", "impulsive", "modulated", "tones", "recorded"]
SNRS = [-5, 0, 5, 10]

# (name, synthesiser, voice, language)
VOICES = [
    ("en-us+f3", "espeak-ng", "en-us+f3", "en"),
    ("en+m3", "espeak-ng", "en+m3", "en"),
    ("de+f5", "espeak-ng", "de+f5", "de"),
    ("fr+m3", "espeak-ng", "fr+m3", "fr"),
    ("es+f3", "espeak-ng", "es+f3", "es"),
    ("nl+m3", "espeak-ng", "nl+m3", "nl"),
    ("flite-slt", "flite", "slt", "en"),
]

SOUNDS = "/usr/share/sounds"
PHRASES = ["Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left", "Rear_Right", "Side_Left",
           "Side_Right"]


def recorded_noise_files():
    """The evaluation packages' sounds that are not speech."""
    files = sorted(glob.glob(f"{SOUNDS}/*.wav") + glob.glob(f"{SOUNDS}/gtk-events/*.wav")
                   + glob.glob(f"{SOUNDS}/panel/*.wav") + glob.glob(f"{SOUNDS}/sound-icons/*.wav"))
    # The freedesktop channel names are spoken; its test signal is the alsa-utils noise again.
    files += [f for f in sorted(glob.glob(f"{SOUNDS}/freedesktop/stereo/*.oga"))
              if "audio-channel-" not in f and "audio-test-signal" not in f]
    files.append(f"{SOUNDS}/alsa/Noise.wav")
    return [f for f in files if os.path.isfile(f)]


def read_sound(path):
    """Any file sox reads, as 48 kHz mono float64 (sox resamples and mixes the channels down)."""
    with tempfile.TemporaryDirectory() as folder:
        converted = os.path.join(folder, "converted.wav")
        subprocess.run(["sox", "-q", path, "-c", "1", "-r", str(RATE), "-e", "floating-point", "-b", "32",
                        converted], check=True)
        rate, samples = wavfile.read(converted)
    assert rate == RATE
    return samples.astype(np.float64)


def write_wav(path, samples):
    wavfile.write(path, RATE, np.asarray(samples, np.float32))


def read_wav(path):
    with warnings.catch_warnings():
        # Chunks such as tags or peaks that some writers add are no concern here.
        warnings.simplefilter("ignore", wavfile.WavFileWarning)
        rate, samples = wavfile.read(path)
    if rate != RATE or samples.ndim != 1:
        raise ValueError(f"{path}: expected {RATE} Hz mono, got {rate} Hz, shape {samples.shape}")
    return samples.astype(np.float64)


def load_sentences(path=None):
    path = path or os.path.join(os.path.dirname(os.path.abspath(__file__)), "sentences.txt")
    sentences = {}
    with open(path, encoding="utf-8") as file:
        for line in file:
            if line.strip() and not line.startswith("#"):
                language, text = line.rstrip("\n").split("\t", 1)
                sentences.setdefault(language, []).append(text)
    return sentences


def trim(speech, floor_db=-40.0, margin=0.02):
    """The utterance without the silence around it, keeping a few milliseconds on either side."""
    loud = np.flatnonzero(np.abs(speech) > np.max(np.abs(speech)) * 10 ** (floor_db / 20))
    first = max(loud[0] - int(margin * RATE), 0)
    last = min(loud[-1] + int(margin * RATE), len(speech))
    return speech[first:last]


class SpeechSource:
    """Synthesised utterances (cached per voice and sentence) and the recorded phrases."""

    def __init__(self, sentences=None):
        self.sentences = sentences or load_sentences()
        self._cache = {}

    def synthesise(self, voice, text):
        key = (voice[0], text)
        if key not in self._cache:
            name, synthesiser, voice_name, _ = voice
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "speech.wav")
                if synthesiser == "espeak-ng":
                    command = ["espeak-ng", "-v", voice_name, "-w", path, text]
                else:
                    command = ["flite", "-voice", voice_name, "-t", text, "-o", path]
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                self._cache[key] = trim(read_sound(path))
        return self._cache[key]

    def phrase(self, name):
        key = ("alsa", name)
        if key not in self._cache:
            self._cache[key] = trim(read_sound(f"{SOUNDS}/alsa/{name}.wav"))
        return self._cache[key]


# ---- Noise generators: (rng, number of samples, context) -> samples ----

def _coloured(rng, n, exponent):
    """Gaussian noise with a power spectrum falling as 1/f^exponent (flat below 20 Hz)."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    frequencies = np.maximum(np.fft.rfftfreq(n, 1.0 / RATE), 20.0)
    spectrum *= frequencies ** (-exponent / 2.0)
    spectrum[0] = 0.0
    noise = np.fft.irfft(spectrum, n)
    return noise / np.std(noise)


def white(rng, n, context):
    return rng.standard_normal(n)


def pink(rng, n, context):
    return _coloured(rng, n, 1.0)


def brown(rng, n, context):
    return _coloured(rng, n, 2.0)


def hum(rng, n, context):
    """Mains hum: 50 or 60 Hz (slightly off) and its harmonics, odd ones stronger, over a faint floor."""
    t = np.arange(n) / RATE
    fundamental = rng.choice([50.0, 60.0]) * (1 + rng.uniform(-0.005, 0.005))
    decay = rng.uniform(0.6, 1.4)
    odd_boost = rng.uniform(1.0, 3.0)
    noise = np.zeros(n)
    for k in range(1, int(4000 / fundamental) + 1):
        amplitude = k ** -decay * (odd_boost if k % 2 else 1.0)
        noise += amplitude * np.sin(2 * np.pi * k * fundamental * t + rng.uniform(0, 2 * np.pi))
    noise /= np.std(noise)
    return noise + 10 ** (-35 / 20) * _coloured(rng, n, 1.0)


def babble(rng, n, context):
    """Four to seven other evaluation voices speaking other sentences, each at its own level."""
    speech, target_voice, target_text = context["speech"], context["voice"], context["text"]
    voices = [v for v in VOICES if v[0] != target_voice]
    noise = np.zeros(n)
    for _ in range(rng.integers(4, 8)):
        voice = voices[rng.integers(len(voices))]
        texts = [s for s in speech.sentences[voice[3]] if s != target_text]
        start = int(rng.uniform(0, 1.0) * RATE)  # mid-utterance
        stream = []
        length = 0
        while length < start + n:
            utterance = speech.synthesise(voice, texts[rng.integers(len(texts))])
            stream += [utterance / (np.std(utterance) + 1e-12), np.zeros(int(rng.uniform(0.05, 0.3) * RATE))]
            length += len(stream[-2]) + len(stream[-1])
        noise += 10 ** (rng.uniform(-6, 0) / 20) * np.concatenate(stream)[start : start + n]
    return noise


def impulsive(rng, n, context):
    """Clicks and crackle: short decaying bursts at random times and levels, over a faint floor."""
    noise = np.zeros(n)
    rate_per_second = rng.uniform(3.0, 12.0)
    for _ in range(rng.poisson(rate_per_second * n / RATE)):
        length = int(rng.integers(int(0.0003 * RATE), int(0.004 * RATE)))
        start = int(rng.integers(0, n - length))
        burst = rng.standard_normal(length) * np.exp(-np.arange(length) / (length / 5.0))
        noise[start : start + length] += 10 ** (rng.uniform(-20, 0) / 20) * burst
    level = np.std(noise) if np.any(noise) else 1.0
    return noise + level * 10 ** (-35 / 20) * _coloured(rng, n, 1.0)


def modulated(rng, n, context):
    """Coloured noise whose level swells and falls a few times a second."""
    t = np.arange(n) / RATE
    base = _coloured(rng, n, rng.uniform(0.0, 2.0))
    depth = rng.uniform(0.6, 0.95)
    envelope = 1 + depth * np.sin(2 * np.pi * rng.uniform(0.5, 5.0) * t + rng.uniform(0, 2 * np.pi))
    return base * envelope


def tones(rng, n, context):
    """One to three steady tones and a repeating logarithmic sweep."""
    t = np.arange(n) / RATE
    noise = np.zeros(n)
    for _ in range(rng.integers(1, 4)):
        frequency = np.exp(rng.uniform(np.log(150.0), np.log(5000.0)))
        noise += 10 ** (rng.uniform(-10, 0) / 20) * np.sin(2 * np.pi * frequency * t + rng.uniform(0, 2 * np.pi))
    period = rng.uniform(0.4, 2.0)
    low, high = rng.uniform(200.0, 800.0), rng.uniform(1500.0, 6000.0)
    instantaneous = low * (high / low) ** ((t % period) / period)
    noise += 10 ** (rng.uniform(-6, 0) / 20) * np.sin(2 * np.pi * np.cumsum(instantaneous) / RATE)
    return noise


def recorded(rng, n, context):
    """Desktop and notification sounds of the evaluation packages, one after another, in two layers."""
    pool = context["recorded_pool"]
    noise = np.zeros(n)
    for layer_gain in (1.0, 10 ** (rng.uniform(-12, -3) / 20)):
        position = -int(rng.uniform(0, 0.5) * RATE)
        while position < n:
            sound = pool[rng.integers(len(pool))]
            sound = sound / (np.max(np.abs(sound)) + 1e-12) * 10 ** (rng.uniform(-6, 0) / 20)
            start = max(position, 0)
            end = min(position + len(sound), n)
            if end > start:
                noise[start:end] += layer_gain * sound[start - position : end - position]
            position += len(sound) + int(rng.uniform(0.0, 0.2) * RATE)
    return noise


GENERATORS = {
    "white": white,
    "pink": pink,
    "brown": brown,
    "hum": hum,
    "babble": babble,
    "impulsive": impulsive,
    "modulated": modulated,
    "tones": tones,
    "recorded": recorded,
}


def mix(rng, speech, noise_type, snr_db, context):
    """(clean, noisy) at 48 kHz for one utterance: speech-free lead-in, utterance, tail."""
    speech = speech[: int(MAX_SPEECH * RATE)]
    lead, tail = int(LEAD_IN * RATE), int(TAIL * RATE)
    n = lead + len(speech) + tail
    clean = np.zeros(n)
    clean[lead : lead + len(speech)] = speech
    active = slice(lead, lead + len(speech))
    noise = GENERATORS[noise_type](rng, n, context)
    # A generator whose sounds all fall outside the utterance would make the SNR meaningless.
    if np.mean(np.square(noise[active])) < 1e-12:
        noise += 10 ** (-30 / 20) * _coloured(rng, n, 1.0)

    # Speech at -30 to -20 dBFS over the utterance, noise set to the SNR there.
    speech_level = 10 ** (rng.uniform(-30, -20) / 20)
    clean *= speech_level / np.sqrt(np.mean(np.square(clean[active])))
    noise *= speech_level / np.sqrt(np.mean(np.square(noise[active]))) * 10 ** (-snr_db / 20)
    noisy = clean + noise
    peak = np.max(np.abs(noisy))
    if peak > 0.9:
        clean *= 0.9 / peak
        noisy *= 0.9 / peak
    return clean, noisy


def plan(clips_per_cell=(3, 2)):
    """The clips: per noise type and SNR, some synthesised and some recorded utterances; voices,
    sentences and phrases taken in turn so that each appears with every noise type."""
    synthesised, recorded_count = clips_per_cell
    sentences = load_sentences()
    turns = {language: 0 for language in sentences}
    clips = []
    voice_turn = phrase_turn = 0
    for noise_type in NOISE_TYPES:
        for snr_db in SNRS:
            for _ in range(synthesised):
                voice = VOICES[voice_turn % len(VOICES)]
                voice_turn += 1
                language_sentences = sentences[voice[3]]
                text = language_sentences[turns[voice[3]] % len(language_sentences)]
                turns[voice[3]] += 1
                clips.append({"noise": noise_type, "input_snr": snr_db, "source": "synthesised", "speaker": voice[0],
                              "text": text})
            for _ in range(recorded_count):
                phrase = PHRASES[phrase_turn % len(PHRASES)]
                phrase_turn += 1
                clips.append({"noise": noise_type, "input_snr": snr_db, "source": "recorded", "speaker": phrase,
                              "text": phrase.replace("_", " ")})
    for index, clip in enumerate(clips):
        clip["seed"] = FIRST_SEED + index
        clip["name"] = f"{index:03d}_{clip['noise']}_{clip['input_snr']:+d}dB_{clip['source'][:5]}_{clip['speaker']}"
    return clips


def generate(clips, folder, speech=None, log=None):
    """Writes NAME.clean.wav and NAME.noisy.wav for every clip into folder and notes its length
    in seconds in the clip."""
    os.makedirs(folder, exist_ok=True)
    speech = speech or SpeechSource()
    pool = None
    for clip in clips:
        if clip["source"] == "synthesised":
            voice = next(v for v in VOICES if v[0] == clip["speaker"])
            utterance = speech.synthesise(voice, clip["text"])
        else:
            voice = None
            utterance = speech.phrase(clip["speaker"])
        if clip["noise"] == "recorded" and pool is None:
            pool = [read_sound(path) for path in recorded_noise_files()]
        context = {"speech": speech, "voice": voice[0] if voice else None, "text": clip["text"],
                   "recorded_pool": pool}
        rng = np.random.default_rng(clip["seed"])
        clean, noisy = mix(rng, utterance, clip["noise"], clip["input_snr"], context)
        clip["seconds"] = len(noisy) / RATE
        write_wav(os.path.join(folder, clip["name"] + ".clean.wav"), clean)
        write_wav(os.path.join(folder, clip["name"] + ".noisy.wav"), noisy)
        if log:
            log(clip["name"])

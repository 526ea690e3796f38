"""The evaluation set of the quality benchmark: noisy speech made from fixed seeds.

Nothing here is used for training. The training data keeps clear of it as follows:
- synthesised speech: the espeak-ng voice variants m3, f3 and f5, the language nl and the flite
  voice slt are evaluation-only, and the sentences come from sentences.txt (training text comes
  from other sources);
- recorded speech: the alsa-utils phrases;
- recorded noise: the sounds of gnome-audio, sound-theme-freedesktop, sound-icons and the
  alsa-utils noise;
- recorded chatter: the alsa-utils phrases, the spoken channel names of sound-theme-freedesktop
  and the evaluation voices, each in a synthetic room of its own;
- music: the soundtrack of funnyboat and the MIDI tunes of kobodeluxe-data rendered by fluidsynth
  with the TimGM6mb sound font (timgm6mb-soundfont);
- synthetic noise and rooms: every clip draws them from a generator seeded at 1000000 or above.

A clip is mono: a speech-free lead-in of LEAD_IN seconds (noise only, where a profile for noise
reduction can be taken), the utterance, and a short tail. The SNR is measured over the utterance
(from its first to its last sample above -40 dB of its peak). Clips are mixed at 48 kHz; those of
the host-rate sets are then band-limited to their rate, and their 48 kHz twins carry exactly the
same band-limited material.
"""

import glob
import os
import subprocess
import tempfile
import warnings

import numpy as np
import scipy.fft
from scipy.io import wavfile
from scipy.signal import fftconvolve, resample_poly

RATE = 48000
LEAD_IN = 0.5
TAIL = 0.3
MAX_SPEECH = 4.0
FIRST_SEED = 1000000

NOISE_TYPES = ["white", "pink", "brown", "hum", "babble", "impulsive", "modulated", "tones", "recorded", "chatter",
               "music"]
SNRS = [-5, 0, 5, 10, 15, 20]
# The later three come last so that the clips of the first three keep their seeds.
HOST_RATES = [8000, 16000, 44100, 22050, 24000, 32000]
SUMMARY_RATES = HOST_RATES[:3]  # the summary table's columns; every rate has its row in the rate table

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
MUSIC_TRACKS = ["/usr/share/games/funnyboat/data/JDruid-Trip_on_the_Funny_Boat.ogg"]
MUSIC_TUNES = ["/usr/share/kobo-deluxe/sfx/test2.mid", "/usr/share/kobo-deluxe/sfx/trance1.mid"]
SOUND_FONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"


def recorded_noise_files():
    """The evaluation packages' sounds that are not speech."""
    files = sorted(glob.glob(f"{SOUNDS}/*.wav") + glob.glob(f"{SOUNDS}/gtk-events/*.wav")
                   + glob.glob(f"{SOUNDS}/panel/*.wav") + glob.glob(f"{SOUNDS}/sound-icons/*.wav"))
    # The freedesktop channel names are spoken; its test signal is the alsa-utils noise again.
    files += [f for f in sorted(glob.glob(f"{SOUNDS}/freedesktop/stereo/*.oga"))
              if "audio-channel-" not in f and "audio-test-signal" not in f]
    files.append(f"{SOUNDS}/alsa/Noise.wav")
    return [f for f in files if os.path.isfile(f)]


def spoken_files():
    """Recorded speech of the evaluation packages: the alsa-utils phrases and the spoken channel
    names of sound-theme-freedesktop."""
    files = [f"{SOUNDS}/alsa/{name}.wav" for name in PHRASES]
    files += sorted(glob.glob(f"{SOUNDS}/freedesktop/stereo/audio-channel-*.oga"))
    return [f for f in files if os.path.isfile(f)]


def music_pieces():
    """The evaluation music at 48 kHz: the funnyboat soundtrack and the kobodeluxe tunes rendered
    with the TimGM6mb sound font."""
    pieces = [read_sound(path) for path in MUSIC_TRACKS if os.path.isfile(path)]
    with tempfile.TemporaryDirectory() as folder:
        for tune in MUSIC_TUNES:
            if os.path.isfile(tune) and os.path.isfile(SOUND_FONT):
                rendered = os.path.join(folder, "tune.wav")
                subprocess.run(["fluidsynth", "-ni", "-q", "-F", rendered, "-r", str(RATE), SOUND_FONT, tune],
                               check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                pieces.append(read_sound(rendered))
    if not pieces:
        raise RuntimeError("no evaluation music: install funnyboat, kobodeluxe-data, fluidsynth and timgm6mb-soundfont")
    return pieces


def read_sound(path):
    """Any file sox reads, as 48 kHz mono float64 (sox resamples and mixes the channels down)."""
    with tempfile.TemporaryDirectory() as folder:
        converted = os.path.join(folder, "converted.wav")
        subprocess.run(["sox", "-q", path, "-c", "1", "-r", str(RATE), "-e", "floating-point", "-b", "32",
                        converted], check=True)
        rate, samples = wavfile.read(converted)
    assert rate == RATE
    return samples.astype(np.float64)


def write_wav(path, samples, rate=RATE):
    wavfile.write(path, rate, np.asarray(samples, np.float32))


def read_wav(path, rate=RATE):
    with warnings.catch_warnings():
        # Chunks such as tags or peaks that some writers add are no concern here.
        warnings.simplefilter("ignore", wavfile.WavFileWarning)
        found, samples = wavfile.read(path)
    if found != rate or samples.ndim != 1:
        raise ValueError(f"{path}: expected {rate} Hz mono, got {found} Hz, shape {samples.shape}")
    return samples.astype(np.float64)


def resample(samples, rate_from, rate_to):
    """Polyphase resampling (its low-pass is the band limit of the host-rate sets)."""
    if rate_from == rate_to:
        return np.asarray(samples, np.float64)
    divisor = np.gcd(int(rate_from), int(rate_to))
    return resample_poly(samples, rate_to // divisor, rate_from // divisor)


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
        return self.recording(f"{SOUNDS}/alsa/{name}.wav")

    def recording(self, path):
        key = ("file", path)
        if key not in self._cache:
            self._cache[key] = trim(read_sound(path))
        return self._cache[key]


def room_response(rng, distant=False):
    """A synthetic room: (whole impulse response, its direct path and first 50 ms). The direct
    path has gain 1; a few early reflections, then a diffuse tail decaying by 60 dB over RT60.
    A distant source gets more reverberation than direct sound."""
    rt60 = rng.uniform(0.3, 0.9)
    length = int(min(1.2 * rt60, 1.0) * RATE)
    t = np.arange(length) / RATE
    tail = rng.standard_normal(length) * 10 ** (-3 * t / rt60)
    tail[: int(0.005 * RATE)] = 0.0
    direct_to_reverberant = rng.uniform(-6, 0) if distant else rng.uniform(0, 8)
    tail *= 10 ** (-direct_to_reverberant / 20) / np.sqrt(np.sum(np.square(tail)))
    response = tail
    response[0] = 1.0
    for _ in range(rng.integers(3, 7)):
        response[int(rng.uniform(0.001, 0.02) * RATE)] += rng.choice([-1, 1]) * rng.uniform(0.2, 0.6)
    return response, response[: int(0.05 * RATE)].copy()


# ---- Noise generators: (rng, number of samples, context) -> samples ----

def _coloured(rng, n, exponent):
    """Gaussian noise with a power spectrum falling as 1/f^exponent (flat below 20 Hz)."""
    # A length of small factors: the clip lengths can be primes, slow to transform.
    size = scipy.fft.next_fast_len(n, real=True)
    spectrum = scipy.fft.rfft(rng.standard_normal(size))
    frequencies = np.maximum(np.fft.rfftfreq(size, 1.0 / RATE), 20.0)
    spectrum *= frequencies ** (-exponent / 2.0)
    spectrum[0] = 0.0
    noise = scipy.fft.irfft(spectrum, size)[:n]
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


def chatter(rng, n, context):
    """Three to six talkers further away than the target, each in a room of its own: recorded
    phrases and channel names and the evaluation voices, all saying something else."""
    speech, target_voice, target_text = context["speech"], context["voice"], context["text"]
    target_words = target_text.lower().replace("_", " ")
    recordings = [f for f in spoken_files()
                  if os.path.splitext(os.path.basename(f))[0].lower().replace("_", " ").replace("-", " ")
                  .replace("audio channel ", "") != target_words]
    voices = [v for v in VOICES if v[0] != target_voice]
    noise = np.zeros(n)
    for _ in range(rng.integers(3, 7)):
        stream, length = [], 0
        while length < n + RATE:
            if rng.random() < 0.5:
                utterance = speech.recording(recordings[rng.integers(len(recordings))])
            else:
                voice = voices[rng.integers(len(voices))]
                texts = [s for s in speech.sentences[voice[3]] if s != target_text]
                utterance = speech.synthesise(voice, texts[rng.integers(len(texts))])
            stream += [utterance / (np.std(utterance) + 1e-12), np.zeros(int(rng.uniform(0.1, 0.6) * RATE))]
            length += len(stream[-2]) + len(stream[-1])
        response, _ = room_response(rng, distant=True)
        talker = fftconvolve(np.concatenate(stream), response)
        start = int(rng.uniform(0, 1.0) * RATE)
        noise += 10 ** (rng.uniform(-8, 0) / 20) * talker[start : start + n] / (np.std(talker) + 1e-12)
    return noise


def music(rng, n, context):
    """An excerpt of one of the evaluation pieces, skipping near-silent passages."""
    piece = context["music_pool"][rng.integers(len(context["music_pool"]))]
    if len(piece) <= n:
        piece = np.tile(piece, n // len(piece) + 1)
    level = np.sqrt(np.mean(np.square(piece)))
    for _ in range(20):
        start = int(rng.integers(0, len(piece) - n))
        excerpt = piece[start : start + n]
        if np.sqrt(np.mean(np.square(excerpt))) > 0.3 * level:
            break
    return excerpt.copy()


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
    "chatter": chatter,
    "music": music,
}


def mix(rng, speech, noise_type, snr_db, context, room=False):
    """(clean, noisy) at 48 kHz for one utterance: speech-free lead-in, utterance, tail. With a
    room the noisy speech is reverberant and the clean reference keeps its direct path and early
    reflections; without a noise type the noisy signal is the clean one."""
    speech = speech[: int(MAX_SPEECH * RATE)]
    target = speech
    if room:
        response, early = room_response(rng)
        reverberant_length = len(speech) + int(0.25 * RATE)
        speech = fftconvolve(speech, response)[:reverberant_length]
        target = fftconvolve(target, early)[:reverberant_length]
    lead, tail = int(LEAD_IN * RATE), int(TAIL * RATE)
    n = lead + len(speech) + tail
    clean, wet = np.zeros(n), np.zeros(n)
    clean[lead : lead + len(target)] = target
    wet[lead : lead + len(speech)] = speech
    active = slice(lead, lead + len(speech))
    noise = np.zeros(n)
    if noise_type is not None:
        noise = GENERATORS[noise_type](rng, n, context)
        # A generator whose sounds all fall outside the utterance would make the SNR meaningless.
        if np.mean(np.square(noise[active])) < 1e-12:
            noise += 10 ** (-30 / 20) * _coloured(rng, n, 1.0)

    # Speech at -30 to -20 dBFS over the utterance, noise set to the SNR there.
    speech_level = 10 ** (rng.uniform(-30, -20) / 20)
    scale = speech_level / np.sqrt(np.mean(np.square(wet[active])))
    clean, wet = clean * scale, wet * scale
    if noise_type is not None:
        noise *= speech_level / np.sqrt(np.mean(np.square(noise[active]))) * 10 ** (-snr_db / 20)
    noisy = wet + noise
    peak = np.max(np.abs(noisy))
    if peak > 0.9:
        clean *= 0.9 / peak
        noisy *= 0.9 / peak
    return clean, noisy


def plan(clips_per_cell=(3, 2), reverberant=33, clean=True, per_rate=22):
    """The clips, each with the set it belongs to:
    - "noisy": per noise type and SNR, some synthesised and some recorded utterances;
    - "reverberant": reverberant utterances, noise types and SNRs in turn;
    - "clean": every evaluation voice and phrase without noise (transparency);
    - "rate": per host rate, utterances band-limited to that rate, each twice: at the rate and at
      48 kHz (the same material), noise types and SNRs in turn.
    Voices, sentences and phrases are taken in turn so that each appears with every noise type."""
    synthesised, recorded_count = clips_per_cell
    sentences = load_sentences()
    turns = {language: 0 for language in sentences}
    turn = {"voice": 0, "phrase": 0}

    def utterance(source):
        if source == "synthesised":
            voice = VOICES[turn["voice"] % len(VOICES)]
            turn["voice"] += 1
            language_sentences = sentences[voice[3]]
            text = language_sentences[turns[voice[3]] % len(language_sentences)]
            turns[voice[3]] += 1
            return {"source": source, "speaker": voice[0], "text": text}
        phrase = PHRASES[turn["phrase"] % len(PHRASES)]
        turn["phrase"] += 1
        return {"source": source, "speaker": phrase, "text": phrase.replace("_", " ")}

    clips = []
    base = {"rate": RATE, "band": None, "room": False}
    for noise_type in NOISE_TYPES:
        for snr_db in SNRS:
            for source in ["synthesised"] * synthesised + ["recorded"] * recorded_count:
                clips.append({**base, "set": "noisy", "noise": noise_type, "input_snr": snr_db, **utterance(source)})
    for index in range(reverberant):
        clips.append({**base, "set": "reverberant", "room": True, "noise": NOISE_TYPES[index % len(NOISE_TYPES)],
                      "input_snr": SNRS[index % len(SNRS)],
                      **utterance("synthesised" if index % 2 == 0 else "recorded")})
    if clean:
        for voice in VOICES:
            text = sentences[voice[3]][-1]
            clips.append({**base, "set": "clean", "noise": None, "input_snr": None, "source": "synthesised",
                          "speaker": voice[0], "text": text})
        for phrase in PHRASES:
            clips.append({**base, "set": "clean", "noise": None, "input_snr": None, "source": "recorded",
                          "speaker": phrase, "text": phrase.replace("_", " ")})
    twins = []
    for rate in HOST_RATES:
        for index in range(per_rate):
            clip = {**base, "set": "rate", "band": rate, "noise": NOISE_TYPES[index % len(NOISE_TYPES)],
                    "input_snr": SNRS[(index + rate // 1000) % len(SNRS)],
                    **utterance("synthesised" if index % 3 else "recorded")}
            twins.append(({**clip, "rate": rate}, {**clip, "rate": RATE}))
    for index, clip in enumerate(clips):
        clip["seed"] = FIRST_SEED + index
    for index, (low, high) in enumerate(twins):
        low["seed"] = high["seed"] = FIRST_SEED + len(clips) + index
        clips += [low, high]
    for index, clip in enumerate(clips):
        snr = "clean" if clip["noise"] is None else f"{clip['noise']}_{clip['input_snr']:+d}dB"
        rate = (f"_{clip['band'] // 1000}k" + ("_at48k" if clip["rate"] != clip["band"] else "")) if clip["band"] else ""
        clip["name"] = f"{index:03d}_{clip['set'][:5]}{rate}_{snr}_{clip['source'][:5]}_{clip['speaker']}"
    return clips


def make_clip(clip, speech, pools):
    """(clean, noisy) of one planned clip at its rate."""
    if clip["source"] == "synthesised":
        voice = next(v for v in VOICES if v[0] == clip["speaker"])
        utterance = speech.synthesise(voice, clip["text"])
    else:
        voice = None
        utterance = speech.phrase(clip["speaker"])
    if clip["noise"] == "recorded" and "recorded" not in pools:
        pools["recorded"] = [read_sound(path) for path in recorded_noise_files()]
    if clip["noise"] == "music" and "music" not in pools:
        pools["music"] = music_pieces()
    context = {"speech": speech, "voice": voice[0] if voice else None, "text": clip["text"],
               "recorded_pool": pools.get("recorded"), "music_pool": pools.get("music")}
    rng = np.random.default_rng(clip["seed"])
    clean, noisy = mix(rng, utterance, clip["noise"], clip["input_snr"], context, room=clip["room"])
    if clip["band"]:
        clean, noisy = (resample(resample(x, RATE, clip["band"]), clip["band"], clip["rate"]) for x in (clean, noisy))
    return clean, noisy


def generate(clips, folder, speech=None, log=None):
    """Writes NAME.clean.wav and NAME.noisy.wav for every clip into folder and notes its length
    in seconds in the clip."""
    os.makedirs(folder, exist_ok=True)
    speech = speech or SpeechSource()
    pools = {}
    for clip in clips:
        clean, noisy = make_clip(clip, speech, pools)
        clip["seconds"] = len(noisy) / clip["rate"]
        write_wav(os.path.join(folder, clip["name"] + ".clean.wav"), clean, clip["rate"])
        write_wav(os.path.join(folder, clip["name"] + ".noisy.wav"), noisy, clip["rate"])
        if log:
            log(clip["name"])

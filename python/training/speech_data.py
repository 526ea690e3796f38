"""Training material for the speech denoiser, made only from what Debian packages ship or from
seeded synthesis, so the same seed gives the same data on any Debian 12 machine with the packages
of setup-training.sh.

Speech: espeak-ng (every language and voice variant, rates, pitches), the MBROLA diphone voices
through espeak-ng, festival's voices, flite's voices, the recorded prompts of every
asterisk-core-sounds package (every language and encoding) and the voice packs of hedgewars-data.
Noise: synthesised (coloured, modulated, impulsive, hum, tones and sweeps), babble and chatter of
training talkers, game music and the recorded sounds of desktop and game sound packages.

Held out for evaluation and never read here: the sounds of alsa-utils, gnome-audio,
sound-theme-freedesktop and sound-icons, the espeak-ng variants m3, f3 and f5, the language nl
(and the Dutch MBROLA voices), the slt talker (flite's slt, festvox-us-slt-hts), the music of
supertux-data, neverball-data, xmoto-data and pingus-data, and synthetic noise seeds of 1000000
and above.
"""

import glob
import io
import math
import os
import random
import subprocess
import tempfile
import wave

import numpy as np
import scipy.fft
from scipy import signal

RATE = 48000
EVAL_SEED_START = 1_000_000

HELD_OUT_VARIANTS = {"m3", "f3", "f5"}
HELD_OUT_LANGUAGES = {"nl"}
FLITE_VOICES = ["kal", "kal16", "awb", "rms"]
HELD_OUT_FESTIVAL = {"cmu_us_slt_arctic_hts"}
NOISE_PACKAGES = ["oxygen-sounds", "yaru-theme-sound", "deepin-sound-theme", "heroes-sound-effects", "psi-plus-sounds"]
MUSIC_PACKAGES = ["wesnoth-1.16-music", "warzone2100-music", "frozen-bubble-data", "fb-music-high", "lincity-ng-data"]
ASTERISK_LANGUAGES = ["en", "es", "fr", "it", "ru"]
ASTERISK_PACKAGES = [f"asterisk-core-sounds-{lang}{enc}" for lang in ASTERISK_LANGUAGES
                     for enc in ("", "-g722", "-gsm", "-wav")]
VOICE_PACKAGES = ["hedgewars-data"]
TRACKER_EXTENSIONS = (".xm", ".mod", ".s3m", ".it")
MUSIC_EXTENSIONS = (".ogg", ".oga", ".opus", ".flac", ".mp3", ".wav") + TRACKER_EXTENSIONS
AUDIO_EXTENSIONS = (".wav", ".ogg", ".oga", ".flac", ".g722", ".gsm", ".ulaw", ".alaw", ".sln16", ".sln")

# Host rates a clip is rendered at (weights): the engine runs a 48 kHz model at other rates with
# frames scaled by a power of two, so the model sees a clip at rate r as if it were at pretend_rate(r).
HOST_RATES = [(48000, 3.0), (44100, 2.5), (32000, 1.0), (24000, 1.0), (22050, 1.0), (16000, 2.5), (8000, 1.5)]


def pretend_rate(rate):
    return rate / 2.0 ** math.ceil(math.log2(rate / RATE) - 1e-9)


def package_files(package, extensions):
    out = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True).stdout.split("\n")
    return sorted(p for p in out if p.lower().endswith(extensions) and os.path.isfile(p))


def resample(x, rate, to=RATE):
    if int(rate) == int(to):
        return np.asarray(x, dtype=np.float32)
    g = np.gcd(int(rate), int(to))
    return signal.resample_poly(x, int(to) // g, int(rate) // g).astype(np.float32)


def read_wav_bytes(data):
    with wave.open(io.BytesIO(data)) as w:
        frames = w.readframes(w.getnframes())
        x = np.frombuffer(frames, dtype="<i2").astype(np.float32) / 32768.0
        if w.getnchannels() > 1:
            x = x.reshape(-1, w.getnchannels()).mean(axis=1)
        return resample(x, w.getframerate())


RAW_FORMATS = {".g722": ["-f", "g722"], ".gsm": ["-f", "gsm", "-ar", "8000"], ".ulaw": ["-f", "mulaw", "-ar", "8000"],
               ".alaw": ["-f", "alaw", "-ar", "8000"], ".sln16": ["-f", "s16le", "-ar", "16000"],
               ".sln": ["-f", "s16le", "-ar", "8000"]}


def decode(path, start=None, seconds=None):
    """Any file ffmpeg reads, as mono float at RATE (None if it cannot be read)."""
    options = RAW_FORMATS.get(os.path.splitext(path)[1].lower(), [])
    window = (["-ss", f"{start:.2f}"] if start else []) + (["-t", f"{seconds:.2f}"] if seconds else [])
    out = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", *window, *options, "-i", path, "-ac", "1",
                          "-ar", str(RATE), "-f", "f32le", "-"], capture_output=True)
    if out.returncode != 0:
        return None
    return np.frombuffer(out.stdout, dtype="<f4").copy()


def duration(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                         capture_output=True, text=True)
    try:
        return float(out.stdout.strip())
    except ValueError:
        return 0.0


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
    words = []
    if os.path.exists("/usr/share/dict/words"):
        with open("/usr/share/dict/words", encoding="utf-8", errors="ignore") as f:
            words = [w.strip() for w in f if w.strip().isascii() and w.strip().isalpha()]
    return lines, words


def espeak_voices(kind):
    """(language codes, variant names, MBROLA voices with their data installed) of espeak-ng."""
    out = subprocess.run(["espeak-ng", f"--voices={kind}" if kind else "--voices"], capture_output=True,
                         text=True).stdout.split("\n")[1:]
    rows = [line.split() for line in out if line.strip()]
    if kind == "variant":
        return sorted({r[4].split("/")[-1] for r in rows} - HELD_OUT_VARIANTS)
    if kind == "mb":
        names = [r[4].split("/")[-1] for r in rows]
        return sorted(n for n in names if os.path.exists(f"/usr/share/mbrola/{n[3:]}")
                      and not any(n.startswith("mb-" + lang) for lang in HELD_OUT_LANGUAGES))
    return sorted({r[1] for r in rows} - HELD_OUT_LANGUAGES)


def festival_voices():
    out = subprocess.run(["festival", "--pipe"], input="(print (voice.list))\n", capture_output=True, text=True).stdout
    names = out.replace("(", " ").replace(")", " ").split()
    # The NSK voices read only their own scripts; the texts here are Latin.
    return sorted(n for n in set(names) - HELD_OUT_FESTIVAL if "_NSK_" not in n)


def synthesise_espeak(job):
    voice, speed, pitch, text = job
    out = subprocess.run(["espeak-ng", "-v", voice, "-s", str(speed), "-p", str(pitch), "--stdout", text],
                         capture_output=True)
    if out.returncode != 0 or len(out.stdout) < 1000:
        return None
    try:
        return read_wav_bytes(out.stdout)
    except (wave.Error, EOFError):
        return None


def synthesise_flite(job):
    voice, text = job
    with tempfile.NamedTemporaryFile(suffix=".wav") as f:
        out = subprocess.run(["flite", "-voice", voice, "-t", text, "-o", f.name], capture_output=True)
        if out.returncode != 0:
            return None
        with open(f.name, "rb") as g:
            try:
                return read_wav_bytes(g.read())
            except (wave.Error, EOFError):
                return None


def synthesise_festival(job):
    voice, text = job
    with tempfile.TemporaryDirectory() as d:
        source, target = os.path.join(d, "in.txt"), os.path.join(d, "out.wav")
        with open(source, "w") as f:
            f.write(text + "\n")
        try:
            out = subprocess.run(["text2wave", "-eval", f"(voice_{voice})", "-o", target, source], capture_output=True,
                                 timeout=60)
        except subprocess.TimeoutExpired:
            return None
        if out.returncode != 0 or not os.path.exists(target):
            return None
        with open(target, "rb") as g:
            try:
                return read_wav_bytes(g.read())
            except (wave.Error, EOFError):
                return None


def trim(x, threshold=1e-3):
    loud = np.nonzero(np.abs(x) > threshold)[0]
    return x[loud[0]:loud[-1] + 1] if loud.size else x[:0]


def text_source(rng):
    lines, words = texts()

    def text():
        if lines and (rng.random() < 0.6 or not words):
            return rng.choice(lines)
        return " ".join(rng.choice(words) for _ in range(rng.randint(4, 16)))
    return text


def build_source(name, seed, size, pool):
    """The utterances of one speech source, float at RATE."""
    rng = random.Random(f"{seed}-{name}")
    text = text_source(rng)
    if name == "espeak":
        languages, variants = espeak_voices(None), espeak_voices("variant")
        jobs = [(f"{rng.choice(languages)}+{rng.choice(variants)}", rng.randint(110, 240), rng.randint(15, 90), text())
                for _ in range(size)]
        out = pool.imap(synthesise_espeak, jobs, chunksize=8)
    elif name == "mbrola":
        voices = espeak_voices("mb")
        jobs = [(rng.choice(voices), rng.randint(110, 220), rng.randint(25, 75), text()) for _ in range(size)]
        out = pool.imap(synthesise_espeak, jobs, chunksize=8)
    elif name == "festival":
        voices = festival_voices()
        out = pool.imap(synthesise_festival, [(rng.choice(voices), text()) for _ in range(size)], chunksize=2)
    elif name == "flite":
        out = pool.imap(synthesise_flite, [(rng.choice(FLITE_VOICES), text()) for _ in range(size)], chunksize=4)
    elif name == "asterisk":
        files = []
        for package in ASTERISK_PACKAGES:
            found = package_files(package, AUDIO_EXTENSIONS)
            files += rng.sample(found, min(size, len(found)))
        out = pool.imap(decode, files, chunksize=8)
    elif name == "voices":
        files = [p for package in VOICE_PACKAGES for p in package_files(package, AUDIO_EXTENSIONS) if "/voices/" in p.lower()]
        out = pool.imap(decode, files, chunksize=8)
    else:
        raise ValueError(name)
    speech = [trim(x) for x in out if x is not None]
    return [x for x in speech if x.size > RATE // 4]


# Utterances per source (for asterisk: per package; voices: every clip).
SOURCES = {"espeak": 1800, "mbrola": 1200, "festival": 500, "flite": 300, "asterisk": 200, "voices": 0}


def music_excerpts(rng, pool, seconds=20.0, per_package=40):
    jobs = []
    for package in MUSIC_PACKAGES:
        files = [p for p in package_files(package, MUSIC_EXTENSIONS) if "music" in p.lower() or "mainzik" in p.lower()
                 or p.lower().endswith(TRACKER_EXTENSIONS)]
        for path in rng.sample(files, min(per_package, len(files))):
            jobs.append(path)
    lengths = list(pool.imap(duration, jobs))
    windows = [(p, rng.uniform(0, max(0.0, d - seconds)), seconds) for p, d in zip(jobs, lengths) if d > 3]
    return [x for x in pool.starmap(decode, windows) if x is not None and x.size > RATE]


def as_int16(x, normalise=False):
    if normalise:
        x = x / max(float(np.max(np.abs(x))), 1e-6)
    return np.clip(x * 32767, -32768, 32767).astype(np.int16)


def cached(path, build):
    if os.path.exists(path):
        return list(np.load(path, allow_pickle=True)["items"])
    items = build()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    np.savez(path + ".tmp.npz", items=np.array(items + [None], dtype=object)[:-1])
    os.replace(path + ".tmp.npz", path)
    return items


def load_corpus(cache, seed, say=print):
    """{source: utterances}, recorded noises and music excerpts (int16 at RATE), each part built
    once and kept in `cache`."""
    import multiprocessing
    with multiprocessing.Pool(2) as pool:
        speech = {}
        for name, size in SOURCES.items():
            speech[name] = cached(os.path.join(cache, f"speech-{name}-{seed}-{size}.npz"),
                                  lambda: [as_int16(x) for x in build_source(name, seed, size, pool)])
            say(f"corpus: {name}: {len(speech[name])} utterances, "
                f"{sum(x.size for x in speech[name]) / RATE / 3600:.2f} h")

        def noise_build():
            files = [p for package in NOISE_PACKAGES for p in package_files(package, AUDIO_EXTENSIONS)]
            noises = [trim(x, 1e-4) for x in pool.imap(decode, files, chunksize=4) if x is not None]
            return [as_int16(x, True) for x in noises if x.size > RATE // 10]
        noises = cached(os.path.join(cache, "noises.npz"), noise_build)
        music = cached(os.path.join(cache, f"music-{seed}.npz"),
                       lambda: [as_int16(x, True) for x in music_excerpts(random.Random(seed), pool)])
        say(f"corpus: {len(noises)} recorded noises, {len(music)} music excerpts "
            f"({sum(x.size for x in music) / RATE / 60:.0f} min)")
    return speech, noises, music


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


def chatter(rng, speech, n):
    """Several talkers further away than the target: reverberant, at different levels, with pauses."""
    # Two groups of talkers, each in a room of its own (one reverberation per group keeps the
    # mixture cheap to make).
    groups = [np.zeros(n), np.zeros(n)]
    for k in range(rng.randint(2, 6)):
        talker = fill(rng, speech, n, gaps=rng.random() < 0.7)
        groups[k % 2] += talker / (np.std(talker[::8]) + 1e-9) * 10 ** (rng.uniform(-12, 0) / 20)
    x = np.zeros(n)
    for group in groups:
        if group.any():
            x += reverberate(rng, equalise(rng, group), direct=rng.uniform(0.3, 1.5))[1]
    return x


def music(rng, tracks, n):
    s = tracks[rng.randrange(len(tracks))].astype(np.float64) / 32768.0
    start = rng.randrange(max(1, s.size - n))
    piece = s[start:start + n]
    x = np.zeros(n)
    x[:piece.size] = piece
    if piece.size < n:
        x[piece.size:] = np.resize(piece, n - piece.size)
    return x


NOISE_KINDS = ["white", "pink", "brown", "coloured", "hum", "impulsive", "tones", "modulated", "babble", "chatter",
               "chatter", "music", "music", "recorded", "recorded"]


def make_noise(rng, kind, n, speech, noises, tracks):
    nrng = np.random.default_rng(rng.randrange(2**32))
    if kind == "white":
        x = coloured(nrng, n, 0.0)
    elif kind == "pink":
        x = coloured(nrng, n, 1.0)
    elif kind == "brown":
        x = coloured(nrng, n, 2.0)
    elif kind == "coloured":
        x = coloured(nrng, n, rng.uniform(-1.0, 3.0))
    elif kind == "hum":
        x = hum(rng, n)
    elif kind == "impulsive":
        x = impulsive(rng, n)
    elif kind == "tones":
        x = tones(rng, n)
    elif kind == "modulated":
        x = modulate(rng, coloured(nrng, n, rng.uniform(0, 2)))
    elif kind == "babble":
        x = np.zeros(n)
        for _ in range(rng.randint(3, 8)):
            x += fill(rng, speech, n, gaps=False) * rng.uniform(0.5, 1.0)
    elif kind == "chatter":
        x = chatter(rng, speech, n)
    elif kind == "music":
        x = music(rng, tracks, n)
    else:
        x = np.zeros(n)  # recorded: sounds placed at random, sometimes looped
        while np.count_nonzero(x) < n * rng.uniform(0.3, 1.0):
            s = noises[rng.randrange(len(noises))].astype(np.float64) / 32768.0
            at = rng.randrange(n)
            piece = s[:n - at]
            x[at:at + piece.size] += piece * rng.uniform(0.3, 1.0)
    return x / (np.std(x) + 1e-12)


# Speech assembly and augmentation ----------------------------------------------------------------

# Sampling weight of each speech source (the recorded ones count more than their size).
SOURCE_WEIGHTS = {"espeak": 2.0, "mbrola": 2.0, "festival": 1.0, "flite": 0.7, "asterisk": 2.0, "voices": 0.6}


def pick_utterance(rng, speech):
    if isinstance(speech, dict):
        names = [k for k in speech if speech[k]]
        source = speech[rng.choices(names, [SOURCE_WEIGHTS.get(k, 1.0) for k in names])[0]]
    else:
        source = speech
    return source[rng.randrange(len(source))]


def fill(rng, speech, n, gaps=True):
    """n samples of utterances one after another, with pauses."""
    x = np.zeros(n)
    at = rng.randrange(0, RATE // 2) if gaps else 0
    while at < n:
        s = pick_utterance(rng, speech).astype(np.float64) / 32768.0
        if at == 0 and not gaps:
            s = s[rng.randrange(s.size):]
        piece = s[:n - at]
        x[at:at + piece.size] += piece / (np.std(s[::8]) + 1e-9)  # every 8th sample: the level, cheaply
        at += piece.size + (rng.randrange(RATE // 20, RATE // 2) if gaps else 0)
    return x


def upper_limit(x, floor_db=-50):
    """The frequency above which x has (almost) no energy: its band limit."""
    f, p = signal.welch(x, RATE, nperseg=1024)
    loud = np.nonzero(10 * np.log10(p + 1e-20) > 10 * np.log10(np.max(p) + 1e-20) + floor_db)[0]
    return f[loud[-1]] if loud.size else 0.0


def equalise(rng, x):
    """A smooth random spectral tilt and a few bumps (microphone and room), sometimes a
    low-pass or a high-pass (channel)."""
    n = x.size
    spectrum = np.fft.rfft(x)
    f = np.fft.rfftfreq(n, 1 / RATE)
    octaves = np.log2(np.maximum(f, 20) / 1000)
    gain_db = rng.uniform(-3, 3) * octaves
    for _ in range(rng.randint(0, 4)):
        gain_db += rng.uniform(-9, 9) * np.exp(-0.5 * ((octaves - rng.uniform(-3, 3.5)) / rng.uniform(0.2, 1.0)) ** 2)
    gain = 10 ** (gain_db / 20)
    if rng.random() < 0.3:
        gain /= 1 + (f / rng.uniform(3400, 20000)) ** 8
    if rng.random() < 0.3:
        gain *= 1 / (1 + (rng.uniform(80, 300) / np.maximum(f, 1)) ** 4)
    return np.fft.irfft(spectrum * gain, n)


def extend_high_band(rng, x):
    """Band-limited speech gains a plausible upper band: a shifted copy of its top octave or two,
    with a falling slope and a random level, sometimes whitened into a breath-like noise. Target
    and input both keep it, so the model learns to leave the upper band of full-band speech alone."""
    limit = upper_limit(x)
    if limit > 18000 or limit < 3000:
        return x
    n = x.size
    spectrum = np.fft.rfft(x)
    f = np.fft.rfftfreq(n, 1 / RATE)
    shift_hz = rng.uniform(0.45, 0.8) * limit
    shift = int(shift_hz * n / RATE)
    band = (f > limit - shift_hz) & (f < limit)
    moved = np.zeros_like(spectrum)
    idx = np.nonzero(band)[0]
    idx = idx[idx + shift < spectrum.size]
    moved[idx + shift] = spectrum[idx]
    if rng.random() < 0.3:  # keep the envelope, randomise the phase
        moved = np.abs(moved) * np.exp(2j * np.pi * np.random.default_rng(rng.randrange(2**32)).random(moved.size))
    slope = rng.uniform(0, 12) * np.log2(np.maximum(f, 1) / limit).clip(0)
    moved *= 10 ** (-slope / 20) / (1 + (f / rng.uniform(14000, 23000)) ** 6)
    extra = np.fft.irfft(moved, n)
    below = np.fft.irfft(spectrum * ((f > limit / 2) & (f < limit)), n)
    level = np.std(below) / (np.std(extra) + 1e-12)
    return x + extra * level * 10 ** (rng.uniform(-15, -3) / 20)


def room_response(rng, direct=None):
    """(full, early) synthetic impulse responses: a direct path, early reflections and a
    decaying diffuse tail; `early` keeps the direct path and the first 50 ms."""
    rt60 = rng.uniform(0.15, 1.2)
    length = int(RATE * min(rt60, 0.8))
    t = np.arange(length) / RATE
    nrng = np.random.default_rng(rng.randrange(2**32))
    ir = nrng.standard_normal(length) * np.exp(-6.9 * t / rt60)
    onset = int(RATE * rng.uniform(0.001, 0.01))
    ir[:onset] = 0
    for _ in range(rng.randint(2, 8)):  # discrete early reflections
        at = onset + int(RATE * rng.uniform(0.002, 0.04))
        if at < length:
            ir[at] += rng.choice([-1, 1]) * rng.uniform(0.2, 0.7)
    diffuse = np.sqrt(np.sum(ir ** 2))
    ratio = direct if direct is not None else rng.uniform(0.8, 4.0)
    ir[0] = ratio * diffuse
    ir /= np.sqrt(np.sum(ir ** 2))
    early = ir.copy()
    cut = onset + int(0.05 * RATE)
    early[cut:cut + 240] *= np.linspace(1, 0, min(240, max(0, length - cut)))
    early[cut + 240:] = 0
    return ir, early


def reverberate(rng, x, direct=None):
    """(early, full) reverberant versions of x."""
    ir, early = room_response(rng, direct)
    return signal.fftconvolve(x, early)[:x.size], signal.fftconvolve(x, ir)[:x.size]


def mu_law(x, mu=255.0):
    peak = np.max(np.abs(x)) + 1e-9
    y = np.sign(x) * np.log1p(mu * np.abs(x / peak)) / np.log1p(mu)
    y = np.round(y * 127) / 127
    return np.sign(y) * np.expm1(np.abs(y) * np.log1p(mu)) / mu * peak


def gsm(x):
    """x at 8 kHz through sox's GSM 06.10 coder (x unchanged if sox fails)."""
    peak = np.max(np.abs(x)) + 1e-9
    raw = (x / peak * 0.7).astype("<f4").tobytes()
    common = ["-r", "8000", "-c", "1"]
    encoded = subprocess.run(["sox", "-t", "f32", *common, "-", "-t", "gsm", *common, "-"], input=raw, capture_output=True)
    decoded = subprocess.run(["sox", "-t", "gsm", *common, "-", "-t", "f32", "-"], input=encoded.stdout,
                             capture_output=True)
    if encoded.returncode or decoded.returncode:
        return x
    y = np.frombuffer(decoded.stdout, dtype="<f4").astype(np.float64) / 0.7 * peak
    out = np.zeros_like(x)
    out[:min(x.size, y.size)] = y[:x.size]
    return out


def pick_rate(rng):
    return rng.choices([r for r, _ in HOST_RATES], [w for _, w in HOST_RATES])[0]


def at_host_rate(x, rate, n):
    """x (at RATE) band-limited by a host at `rate` and seen at its pretend rate: n samples."""
    y = resample(x, RATE, rate)
    return y, lambda z: resample(z, rate, pretend_rate(rate))[:n]


def make_pair(rng, speech, noises, tracks, n, snr=None, kinds=None, rate=None, reverb=None, clean_share=0.1,
              silent_start=0.0, pool=NOISE_KINDS):
    """(noisy, clean) float32 mixtures of n samples at the pretend rate of a random host rate.
    snr: fixed input SNR (None: drawn; inf: no noise); kinds: noise kinds (None: drawn); reverb:
    whether the talker is in a reverberant room (None: drawn); silent_start: the share of clips
    that begin with digital silence (a stream that starts muted), in input and target alike;
    pool: the noise kinds drawn from (a kind listed twice is drawn twice as often)."""
    rate = rate if rate is not None else pick_rate(rng)
    p = pretend_rate(rate)
    m = scipy.fft.next_fast_len(int(math.ceil(n * RATE / p)) + 64, real=True)  # FFT sizes with small factors
    dry = fill(rng, speech, m)
    if rng.random() < 0.8:
        dry = extend_high_band(rng, dry)
    dry = equalise(rng, dry)
    if rng.random() < 0.4 if reverb is None else reverb:
        clean, wet = reverberate(rng, dry)
    else:
        clean = wet = dry
    scale = 1.0 / (np.std(wet) + 1e-9)
    clean, wet = clean * scale, wet * scale

    if snr is None:
        u = rng.random()
        snr = math.inf if u < clean_share else rng.uniform(-5, 15) if u < 0.65 else rng.uniform(15, 35)
    if kinds is None:
        kinds = [rng.choice(pool)]
        if rng.random() < 0.25:
            kinds.append(rng.choice(pool))
    if math.isfinite(snr):
        noise = sum(make_noise(rng, k, m, speech, noises, tracks) * rng.uniform(0.5, 1.0) for k in kinds)
        if rng.random() < 0.5:
            noise = equalise(rng, noise)
        if "chatter" in kinds or "babble" in kinds:
            snr = max(snr, rng.uniform(0, 6))  # background talkers stay below the target
        noise *= 10 ** (-snr / 20) / (np.std(noise) + 1e-9)
    else:
        noise = np.zeros(m)

    # The host: band limit at its rate, telephone codecs at 8 kHz, then the pretend rate.
    wet_r, to_model = at_host_rate(wet, rate, n)
    clean_r = resample(clean, RATE, rate)
    noise_r = resample(noise, RATE, rate)
    if rate == 8000 and rng.random() < 0.5:
        coded = mu_law(wet_r) if rng.random() < 0.5 else gsm(wet_r)
        # The codec's error belongs to the recording: the target is the coded speech.
        clean_r = clean_r + (coded - wet_r) if clean is wet else clean_r
        wet_r = coded
    noisy, clean = to_model(wet_r + noise_r), to_model(clean_r)

    level = 10 ** (rng.uniform(-42, -10) / 20)
    scale = level / (np.std(noisy) + 1e-9)
    noisy, clean = noisy * scale, clean * scale
    peak = np.max(np.abs(noisy))
    if rng.random() < 0.05 and peak > 0:  # light clipping of the recording
        noisy = np.clip(noisy, -peak * rng.uniform(0.5, 0.9), peak * rng.uniform(0.5, 0.9))
        peak = np.max(np.abs(noisy))
    if peak > 0.99:
        noisy, clean = noisy * 0.99 / peak, clean * 0.99 / peak
    if silent_start and rng.random() < silent_start:
        # The level normalisation has seen nothing when the noise begins: it must not pass it.
        k = int(rng.uniform(0.05, 0.6) * n)
        noisy[:k] = 0.0
        clean[:k] = 0.0
    return noisy.astype(np.float32), clean.astype(np.float32)

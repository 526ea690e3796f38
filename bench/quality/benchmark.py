#!/usr/bin/python3
"""Speech denoising quality of a model in the engine next to classic and neural denoisers.

Generates the evaluation set (evalset.py), runs every system on the same noisy files at their
own rates, measures and compensates each system's delay, scores SI-SDR, SNR and STOI against the
clean speech (and, for clean input, the output against the input and its level), and writes
results.md (tables), results.json (every score) and the pictures into the output folder. It ends
with whether the model meets the quality goals. See README.md.
"""

import argparse
import concurrent.futures
import io
import json
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy.signal import spectrogram

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, HERE)
import evalset  # noqa: E402
import metrics  # noqa: E402

MODEL_SYSTEM = "MurelEngine"
COMPARED_SYSTEM = "Compared model"
RNNOISE_SYSTEM = "RNNoise"
CLASSIC_SYSTEMS = ["speexdsp", "WebRTC NS", "sox noisered"]
DEFAULT_MODEL = os.path.join(ROOT, "models", "speech-denoiser.model")
RNNOISE_PACKAGE = "@echogarden/rnnoise-wasm@0.2.0"
# Longest delay looked for, and the end of every clip left out of the scores so that the zeros a
# delay compensation shifts in count for nobody.
MAX_DELAY_SECONDS = 0.05
# Each clip is aligned within this many samples of its system's delay: filter banks that are not
# linear-phase (WebRTC's band split) delay some content a little more than the rest.
FINE_ALIGNMENT = 2
# The noise profile for sox ends a little before the utterance starts.
PROFILE_SECONDS = evalset.LEAD_IN - 0.05
# Rates each program runs at; at others the benchmark resamples to 48 kHz and back, as a user would.
WEBRTC_RATES = (8000, 16000, 32000, 48000)
# Clean input: the level change above this frequency tells whether a system trims fricatives and breath.
UPPER_BAND = 8000

# Quality goals of the model (dB of SI-SDR unless said otherwise).
GOAL_MEAN = 10.0
GOAL_RECORDED = 10.0
GOAL_NOISE = {"chatter": 3.0, "tones": 4.0, "recorded": 4.0}
GOAL_CELL = 1.0
GOAL_TRANSPARENCY = 25.0
GOAL_LEVEL = 0.5
GOAL_16K_DISTANCE = 1.0
GOAL_8K = 6.0
GOAL_AHEAD = 5.0
GOAL_STOI = 0.03

PICTURES = ["si-sdr-by-noise.png", "si-sdr-by-snr.png", "spectrogram.png"]
README_BEGIN = "<!-- results: written by benchmark.py --update-readme -->"
README_END = "<!-- end of results -->"
CARD = os.path.join(ROOT, "models", "README.md")
CARD_BEGIN = "<!-- quality: written by bench/quality/benchmark.py --update-readme -->"
CARD_END = "<!-- end of quality -->"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    build = os.path.join(ROOT, "build")
    parser.add_argument("--model", default=None,
                        help="model file (default: models/speech-denoiser.model; while that is missing, "
                        "a demonstration model made with 'murel make-model')")
    parser.add_argument("--compare", default=None, metavar="MODEL",
                        help="a second model run beside the first on the same clips (system 'Compared model')")
    parser.add_argument("--murel", default=os.path.join(build, "tools", "murel", "murel"), help="the murel tool")
    parser.add_argument("--gain", action="append", default=None,
                        help="murel --gain setting, repeatable (default: Noise=0, the residual bus removed)")
    parser.add_argument("--speex", default=os.path.join(build, "bench", "quality", "SpeexDenoise"),
                        help="SpeexDenoise program")
    parser.add_argument("--webrtc", default=os.path.join(build, "bench", "quality", "WebRtcDenoise"),
                        help="WebRtcDenoise program")
    parser.add_argument("--speex-suppress", type=int, default=-35, help="speexdsp noise suppression in dB")
    parser.add_argument("--webrtc-level", default="high", help="WebRTC suppression level")
    parser.add_argument("--noisered-amount", type=float, default=0.21, help="sox noisered amount")
    parser.add_argument("--no-rnnoise", action="store_true", help="leave RNNoise out")
    parser.add_argument("--npm-folder", default=None,
                        help="where npm installs RNNoise (default: npm/ in the output folder)")
    parser.add_argument("--out", default=os.path.join(ROOT, "out", "quality"), help="output folder")
    parser.add_argument("--clips", default="3,2",
                        help="synthesised and recorded clips per noise type and SNR (default 3,2: 330 clips)")
    parser.add_argument("--reverberant", type=int, default=33, help="reverberant clips")
    parser.add_argument("--per-rate", type=int, default=22, help="clips per host rate (8, 16, 22.05, 24, 32, 44.1 kHz)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="programs run at once")
    parser.add_argument("--spectrogram-clip", default=None,
                        help="name of the clip for the before/after picture (default: synthesised, chatter, 5 dB)")
    parser.add_argument("--update-readme", action="store_true",
                        help="also put the tables and pictures into README.md and results/ beside this script, "
                        "and the summary into the model card (models/README.md)")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a goal is missed")
    return parser.parse_args()


def log(message):
    print(message, flush=True)


def run(command):
    """Runs a program and returns the CPU seconds it used (user and system)."""
    with tempfile.TemporaryFile() as errors:
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            errors.seek(0)
            message = errors.read().decode(errors="replace").strip()
            raise RuntimeError(f"{' '.join(command)} failed ({process.returncode}): {message}")
    return usage.ru_utime + usage.ru_stime


def at_48k(runner):
    """runner made to take any rate: the input resampled to 48 kHz, the output back."""

    def wrapped(noisy, out, rate):
        if rate == evalset.RATE:
            return runner(noisy, out, rate)
        high_in, high_out = out + ".48k-in.wav", out + ".48k-out.wav"
        evalset.write_wav(high_in, evalset.resample(evalset.read_wav(noisy, rate), rate, evalset.RATE))
        seconds = runner(high_in, high_out, evalset.RATE)
        evalset.write_wav(out, evalset.resample(evalset.read_wav(high_out), evalset.RATE, rate)[: len(
            evalset.read_wav(noisy, rate))], rate)
        os.remove(high_in)
        os.remove(high_out)
        return seconds

    return wrapped


def prepare_rnnoise(arguments):
    """The folder RNNoise is installed in, or None (with the reason) when it cannot run here."""
    node, npm = shutil.which("node"), shutil.which("npm")
    if not node or not npm:
        return None, "node or npm is missing (Debian: apt-get install nodejs npm)"
    folder = arguments.npm_folder or os.path.join(arguments.out, "npm")
    entry = os.path.join(folder, "node_modules", "@echogarden", "rnnoise-wasm", "rnnoise.js")
    if not os.path.isfile(entry):
        os.makedirs(folder, exist_ok=True)
        result = subprocess.run([npm, "install", "--prefix", folder, "--no-audit", "--no-fund", "--no-save",
                                 "--loglevel", "error", RNNOISE_PACKAGE], capture_output=True, text=True)
        if result.returncode != 0 or not os.path.isfile(entry):
            return None, f"npm could not install {RNNOISE_PACKAGE}: {result.stderr.strip()[-300:]}"
    return folder, None


def systems(arguments, model, rnnoise_folder):
    """name -> function(noisy, out, rate) that writes the system's output for one file and
    returns the CPU seconds it took."""
    gains = arguments.gain or ["Noise=0"]

    def engine_with(model_file):
        def engine(noisy, out, rate):
            command = [arguments.murel, "process", noisy, out, "--model", model_file, "--quiet", "--overwrite"]
            for gain in gains:
                command += ["--gain", gain]
            return run(command)

        return engine

    def speex(noisy, out, rate):
        return run([arguments.speex, noisy, out, "--suppress", str(arguments.speex_suppress)])

    def webrtc(noisy, out, rate):
        if rate not in WEBRTC_RATES:
            return at_48k(webrtc)(noisy, out, rate)
        return run([arguments.webrtc, noisy, out, "--level", arguments.webrtc_level])

    def noisered(noisy, out, rate):
        profile = out + ".profile"
        seconds = run(["sox", noisy, "-n", "trim", "0", str(PROFILE_SECONDS), "noiseprof", profile])
        # noisered drops the last part of its input: padding and trimming keep the length.
        length = len(evalset.read_wav(noisy, rate))
        seconds += run(["sox", noisy, out, "pad", "0", "4096s", "noisered", profile, str(arguments.noisered_amount),
                        "trim", "0", f"{length}s"])
        os.remove(profile)
        return seconds

    runners = {MODEL_SYSTEM: engine_with(model)}
    if arguments.compare:
        runners[COMPARED_SYSTEM] = engine_with(arguments.compare)
    runners.update({"speexdsp": speex, "WebRTC NS": webrtc, "sox noisered": noisered})
    if rnnoise_folder:
        runners[RNNOISE_SYSTEM] = rnnoise_batch(rnnoise_folder)
    return runners


def rnnoise_batch(folder):
    """RNNoise through rnnoise.mjs: one node process for a batch of (noisy, out, rate), raw 48 kHz
    floats in and out."""
    script = os.path.join(HERE, "rnnoise.mjs")

    def runner(batch):
        arguments = []
        for noisy, out, rate in batch:
            evalset.resample(evalset.read_wav(noisy, rate), rate, evalset.RATE).astype("<f4").tofile(out + ".in.f32")
            arguments += [out + ".in.f32", out + ".out.f32"]
        seconds = run(["node", script, folder] + arguments)
        for noisy, out, rate in batch:
            processed = np.fromfile(out + ".out.f32", "<f4").astype(np.float64)
            length = len(evalset.read_wav(noisy, rate))
            evalset.write_wav(out, evalset.resample(processed, evalset.RATE, rate)[:length], rate)
            os.remove(out + ".in.f32")
            os.remove(out + ".out.f32")
        return seconds

    runner.batch = True
    return runner


def demo_model(arguments):
    path = os.path.join(arguments.out, "demo.model")
    run([arguments.murel, "make-model", path])
    return path


def process_all(clips, folders, runners, jobs):
    tasks = []
    for system, runner in runners.items():
        os.makedirs(os.path.join(folders["out"], system), exist_ok=True)
        files = [(os.path.join(folders["clips"], clip["name"] + ".noisy.wav"),
                  os.path.join(folders["out"], system, clip["name"] + ".wav"), clip["rate"]) for clip in clips]
        if getattr(runner, "batch", False):
            size = max(1, -(-len(files) // jobs))
            tasks += [(system, runner, files[i : i + size]) for i in range(0, len(files), size)]
        else:
            tasks += [(system, lambda one, runner=runner: runner(*one[0]), [f]) for f in files]
    seconds = {system: 0.0 for system in runners}

    def one(task):
        system, runner, batch = task
        return system, runner(batch)

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for system, cpu_seconds in pool.map(one, tasks):
            seconds[system] += cpu_seconds
    return seconds


def max_delay(rate):
    return int(MAX_DELAY_SECONDS * rate)


def _load(clip, folders, system_names):
    rate = clip["rate"]
    clean = evalset.read_wav(os.path.join(folders["clips"], clip["name"] + ".clean.wav"), rate)
    noisy = evalset.read_wav(os.path.join(folders["clips"], clip["name"] + ".noisy.wav"), rate)
    outputs = {}
    for system in system_names:
        out = evalset.read_wav(os.path.join(folders["out"], system, clip["name"] + ".wav"), rate)
        if len(out) != len(clean):
            raise RuntimeError(f"{system}: {clip['name']} has {len(out)} samples, the input {len(clean)}")
        if not np.all(np.isfinite(out)):
            raise RuntimeError(f"{system}: {clip['name']} holds samples that are not finite")
        outputs[system] = out
    return clean, noisy, outputs


def _find_delays(task):
    clip, folders, system_names = task
    clean, _, outputs = _load(clip, folders, system_names)
    return {system: metrics.estimate_delay(clean, out, max_delay(clip["rate"])) for system, out in outputs.items()}


def level_change(reference, signal):
    """Output level against the reference's in dB (energy over the scored part)."""
    return 10.0 * np.log10((np.dot(signal, signal) + 1e-20) / (np.dot(reference, reference) + 1e-20))


def upper_band_change(reference, signal, rate):
    """Output level above UPPER_BAND against the reference's in dB: how much of the upper band of
    full-band speech a system keeps (NaN when the reference has next to nothing there: speech
    synthesised at 16 kHz, or a low host rate)."""
    if rate < 2 * UPPER_BAND:
        return float("nan")
    above = np.fft.rfftfreq(len(reference), 1.0 / rate) > UPPER_BAND
    reference_spectrum, signal_spectrum = np.abs(np.fft.rfft(reference)), np.abs(np.fft.rfft(signal))
    if level_change(reference_spectrum, reference_spectrum[above]) < -50.0:
        return float("nan")
    return level_change(reference_spectrum[above], signal_spectrum[above])


def _score_clip(task):
    clip, folders, system_names, delays = task
    clean, noisy, outputs = _load(clip, folders, system_names)
    rate = clip["rate"]
    scored = len(clean) - max_delay(rate)
    reference = clean[:scored]
    signals = {"Input": noisy}
    for system, output in outputs.items():
        lag = metrics.estimate_delay(clean, output, FINE_ALIGNMENT, around=delays[(system, rate)])
        signals[system] = metrics.shift(output, lag)
    scores = []
    for system, signal in signals.items():
        signal = signal[:scored]
        scores.append({**clip, "system": system, "si_sdr": metrics.si_sdr(reference, signal),
                       "snr": metrics.snr(reference, signal), "stoi": metrics.stoi(reference, signal, rate),
                       "level": level_change(reference, signal),
                       # Only the clean set reports it (and the transforms cost time).
                       "upper_level": upper_band_change(reference, signal, rate) if clip["set"] == "clean"
                       else float("nan")})
    return scores


def score(clips, folders, system_names, jobs):
    """Per (system, rate): its delay in samples (the median over the clips) and the share of clips
    within FINE_ALIGNMENT of it; per clip and system (and "Input"): si_sdr, snr, stoi, level."""
    with multiprocessing.Pool(jobs) as pool:
        found = pool.map(_find_delays, [(clip, folders, system_names) for clip in clips])
        delays = {}
        for rate in sorted({clip["rate"] for clip in clips}):
            for system in system_names:
                lags = np.array([f[system] for f, clip in zip(found, clips) if clip["rate"] == rate])
                delay = int(np.median(lags))
                delays[(system, rate)] = (delay, float(np.mean(np.abs(lags - delay) <= FINE_ALIGNMENT)))
        chosen = {key: value[0] for key, value in delays.items()}
        scores = pool.map(_score_clip, [(clip, folders, system_names, chosen) for clip in clips])
    return delays, [s for clip_scores in scores for s in clip_scores]


def improvements(scores):
    """Adds si_sdr_i, snr_i and stoi_i (differences to the unprocessed input) to every score."""
    inputs = {s["name"]: s for s in scores if s["system"] == "Input"}
    for s in scores:
        reference = inputs[s["name"]]
        s["si_sdr_i"] = s["si_sdr"] - reference["si_sdr"]
        s["snr_i"] = s["snr"] - reference["snr"]
        s["stoi_i"] = s["stoi"] - reference["stoi"]


def select(scores, **where):
    return [s for s in scores if all(s[k] == v for k, v in where.items())]


def mean(scores, key, **where):
    """Mean over the scores that have a value (the upper-band level is undefined for some)."""
    values = [s[key] for s in select(scores, **where) if not np.isnan(s[key])]
    return float(np.mean(values)) if values else float("nan")


def rate_label(rate):
    return f"{rate / 1000:g} kHz"


def noisy_set(scores):
    return select(scores, set="noisy")


def group_table(scores, systems, group, heading, values, title, labels=None):
    lines = [f"#### {title}", "",
             "SI-SDR improvement (dB) / SNR improvement (dB) / STOI; the input column gives SI-SDR / SNR / STOI "
             "of the unprocessed mixtures.", ""]
    lines.append("| " + " | ".join([heading, "Clips", "Input"] + systems) + " |")
    lines.append("|" + " --- |" * (3 + len(systems)))
    for value in values:
        selected = [s for s in scores if s[group] == value]
        count = len({s["name"] for s in selected})
        if count == 0:
            continue
        label = (labels or {}).get(value, f"{value:+d} dB" if isinstance(value, int) else str(value))
        cells = [label, str(count),
                 f"{mean(selected, 'si_sdr', system='Input'):.1f} / {mean(selected, 'snr', system='Input'):.1f} / "
                 f"{mean(selected, 'stoi', system='Input'):.3f}"]
        for system in systems:
            cells.append(f"{mean(selected, 'si_sdr_i', system=system):+.1f} / "
                         f"{mean(selected, 'snr_i', system=system):+.1f} / {mean(selected, 'stoi', system=system):.3f}")
        lines.append("| " + " | ".join(cells) + " |")
    return lines + [""]


def cross_table(scores, system):
    """SI-SDR improvement of one system per noise type (rows) and input SNR (columns)."""
    lines = [f"| {system} | " + " | ".join(f"{snr:+d} dB" for snr in evalset.SNRS) + " | all |",
             "|" + " --- |" * (len(evalset.SNRS) + 2)]
    for noise in evalset.NOISE_TYPES:
        cells = [f"{mean(scores, 'si_sdr_i', system=system, noise=noise, input_snr=snr):+.1f}" for snr in evalset.SNRS]
        overall = mean(scores, "si_sdr_i", system=system, noise=noise)
        lines.append(f"| {noise} | " + " | ".join(cells) + f" | {overall:+.1f} |")
    cells = [f"{mean(scores, 'si_sdr_i', system=system, input_snr=snr):+.1f}" for snr in evalset.SNRS]
    lines.append("| all | " + " | ".join(cells) + f" | {mean(scores, 'si_sdr_i', system=system):+.1f} |")
    return lines + [""]


def signed(value):
    return "n/a" if np.isnan(value) else f"{value:+.1f}"


def worst_upper(scores):
    values = [s["upper_level"] for s in scores if not np.isnan(s["upper_level"])]
    return max(values, key=abs) if values else float("nan")


def clean_table(scores, systems):
    clean = select(scores, set="clean")
    lines = ["| Speech | Clips | " + " | ".join(systems) + " |", "|" + " --- |" * (2 + len(systems))]
    speakers = list(dict.fromkeys(s["speaker"] if s["source"] == "synthesised" else "alsa-utils phrases"
                                  for s in clean))
    for speaker in speakers:
        chosen = [s for s in clean
                  if (s["speaker"] if s["source"] == "synthesised" else "alsa-utils phrases") == speaker]
        cells = [f"{mean(chosen, 'si_sdr', system=system):.1f} / {mean(chosen, 'level', system=system):+.2f} / "
                 f"{signed(mean(chosen, 'upper_level', system=system))}" for system in systems]
        lines.append(f"| {speaker} | {len({s['name'] for s in chosen})} | " + " | ".join(cells) + " |")
    cells = [f"{min(s['si_sdr'] for s in select(clean, system=system)):.1f} / "
             f"{max((s['level'] for s in select(clean, system=system)), key=abs):+.2f} / "
             f"{signed(worst_upper(select(clean, system=system)))}" for system in systems]
    lines.append(f"| worst clip | {len({s['name'] for s in clean})} | " + " | ".join(cells) + " |")
    return lines + [""]


def rate_table(scores, systems):
    rated = select(scores, set="rate")
    lines = ["| Host rate | Clips | Input | " + " | ".join(systems) + f" | {MODEL_SYSTEM} at 48 kHz, same material |",
             "|" + " --- |" * (4 + len(systems))]
    for band in sorted(evalset.HOST_RATES):
        at_rate = select(rated, band=band, rate=band)
        twins = select(rated, band=band, rate=evalset.RATE)
        if not at_rate:
            continue
        cells = [f"{mean(at_rate, 'si_sdr_i', system=system):+.1f} / {mean(at_rate, 'stoi', system=system):.3f}"
                 for system in systems]
        lines.append(f"| {rate_label(band)} | {len({s['name'] for s in at_rate})} | "
                     f"{mean(at_rate, 'si_sdr', system='Input'):.1f} / {mean(at_rate, 'stoi', system='Input'):.3f} | "
                     + " | ".join(cells) + f" | {mean(twins, 'si_sdr_i', system=MODEL_SYSTEM):+.1f} / "
                     f"{mean(twins, 'stoi', system=MODEL_SYSTEM):.3f} |")
    return lines + [""]


def summary_rows(scores, systems):
    """One row per system: the headline figures of every set."""
    noisy = noisy_set(scores)
    rows = []
    for system in ["Input"] + systems:
        row = {"system": system, "si_sdr_i": mean(noisy, "si_sdr_i", system=system),
               "snr_i": mean(noisy, "snr_i", system=system), "stoi": mean(noisy, "stoi", system=system),
               "stoi_i": mean(noisy, "stoi_i", system=system),
               "synthesised": mean(noisy, "si_sdr_i", system=system, source="synthesised"),
               "recorded": mean(noisy, "si_sdr_i", system=system, source="recorded"),
               "chatter": mean(noisy, "si_sdr_i", system=system, noise="chatter"),
               "music": mean(noisy, "si_sdr_i", system=system, noise="music"),
               "reverberant": mean(scores, "si_sdr_i", system=system, set="reverberant"),
               "clean_si_sdr": mean(scores, "si_sdr", system=system, set="clean"),
               "clean_level": mean(scores, "level", system=system, set="clean")}
        for band in evalset.SUMMARY_RATES:
            row[f"rate_{band}"] = mean(scores, "si_sdr_i", system=system, set="rate", band=band, rate=band)
        rows.append(row)
    return rows


def summary_table(scores, systems, bold=None, names=None):
    def number(value, digits=2, sign=True):
        if np.isnan(value):
            return ""
        return f"{value:+.{digits}f}" if sign else f"{value:.{digits}f}"

    heading = ["System", "SI-SDR impr.", "SNR impr.", "STOI", "synthesised", "recorded", "chatter", "music",
               "reverberant", "clean: SI-SDR", "clean: level"] + [rate_label(b) for b in evalset.SUMMARY_RATES]
    lines = ["| " + " | ".join(heading) + " |", "| --- |" + " ---: |" * (len(heading) - 1)]
    for row in summary_rows(scores, systems):
        if row["system"] == "Input":
            cells = ["unprocessed", f"0 ({mean(noisy_set(scores), 'si_sdr', system='Input'):.1f} dB)",
                     f"0 ({mean(noisy_set(scores), 'snr', system='Input'):.1f} dB)", f"{row['stoi']:.3f}"]
            cells += [""] * (len(heading) - 4)
        else:
            cells = [(names or {}).get(row["system"], row["system"]), number(row["si_sdr_i"]), number(row["snr_i"]),
                     f"{row['stoi']:.3f} ({row['stoi_i']:+.3f})", number(row["synthesised"]),
                     number(row["recorded"]), number(row["chatter"]), number(row["music"]),
                     number(row["reverberant"]), number(row["clean_si_sdr"], 1, False),
                     number(row["clean_level"])]
            cells += [number(row[f"rate_{b}"]) for b in evalset.SUMMARY_RATES]
        if bold and row["system"] == bold:
            cells = [f"**{c}**" if c else c for c in cells]
        lines.append("| " + " | ".join(cells) + " |")
    return lines + [""]


def goals(scores, systems):
    """(description, met, detail) for each quality goal of the model."""
    noisy = noisy_set(scores)
    model = MODEL_SYSTEM
    results = []

    def at_least(description, value, goal, detail=""):
        results.append((description, value >= goal, f"{value:+.2f} dB, {value - goal:+.2f} dB from the goal" + detail))

    at_least(f"mean SI-SDR improvement over all noises and SNRs >= +{GOAL_MEAN:g} dB",
             mean(noisy, "si_sdr_i", system=model), GOAL_MEAN)
    at_least(f"recorded speech >= +{GOAL_RECORDED:g} dB", mean(noisy, "si_sdr_i", system=model, source="recorded"),
             GOAL_RECORDED)
    for noise, goal in GOAL_NOISE.items():
        at_least(f"noise type {noise} >= +{goal:g} dB", mean(noisy, "si_sdr_i", system=model, noise=noise), goal)
    cells = [(mean(noisy, "si_sdr_i", system=model, noise=n, input_snr=snr), n, snr)
             for n in evalset.NOISE_TYPES for snr in evalset.SNRS if select(noisy, noise=n, input_snr=snr)]
    worst = min(cells)
    at_least(f"no (noise, SNR) cell below +{GOAL_CELL:g} dB", worst[0], GOAL_CELL,
             f" (lowest: {worst[1]} at {worst[2]:+d} dB; {sum(c[0] < GOAL_CELL for c in cells)} of {len(cells)} "
             "cells below)")
    clean = select(scores, set="clean", system=model)
    if clean:
        for source in ("synthesised", "recorded"):
            values = [s["si_sdr"] for s in clean if s["source"] == source]
            value = float(np.mean(values))
            results.append((f"clean {source} input: output SI-SDR against the input >= {GOAL_TRANSPARENCY:g} dB",
                            value >= GOAL_TRANSPARENCY,
                            f"{value:.1f} dB (lowest clip {min(values):.1f} dB), "
                            f"{value - GOAL_TRANSPARENCY:+.1f} dB from the goal"))
        level = max((s["level"] for s in clean), key=abs)
        results.append((f"clean input: level change within {GOAL_LEVEL:g} dB", abs(level) <= GOAL_LEVEL,
                        f"largest {level:+.2f} dB, mean {np.mean([s['level'] for s in clean]):+.2f} dB"))
    rated = select(scores, set="rate", system=model)
    # 16 kHz is the goal's rate; the others say whether any common host rate falls behind 48 kHz.
    for band in [16000] + [b for b in sorted(evalset.HOST_RATES) if b != 16000]:
        if select(rated, band=band):
            low = mean(rated, "si_sdr_i", band=band, rate=band)
            high = mean(rated, "si_sdr_i", band=band, rate=evalset.RATE)
            results.append((f"{rate_label(band)} within {GOAL_16K_DISTANCE:g} dB of 48 kHz on the same band-limited "
                            "material", low >= high - GOAL_16K_DISTANCE,
                            f"{low:+.2f} dB at {rate_label(band)}, {high:+.2f} dB at 48 kHz: {low - high:+.2f} dB"))
    if select(rated, band=8000):
        at_least(f"8 kHz telephone speech >= +{GOAL_8K:g} dB", mean(rated, "si_sdr_i", band=8000, rate=8000), GOAL_8K)
    model_recorded = mean(noisy, "si_sdr_i", system=model, source="recorded")
    classic = [s for s in systems if s in CLASSIC_SYSTEMS]
    rivals = []
    if classic:
        rivals.append(max(classic, key=lambda b: mean(noisy, "si_sdr_i", system=b, source="recorded")))
    if RNNOISE_SYSTEM in systems:
        rivals.append(RNNOISE_SYSTEM)
    for rival in rivals:
        value = mean(noisy, "si_sdr_i", system=rival, source="recorded")
        results.append((f"recorded speech >= {GOAL_AHEAD:g} dB ahead of {rival}",
                        model_recorded >= value + GOAL_AHEAD,
                        f"{model_recorded:+.2f} against {value:+.2f} dB: {model_recorded - value:+.2f} dB"))
    stoi_change = mean(noisy, "stoi_i", system=model)
    results.append((f"STOI change >= +{GOAL_STOI:g}", stoi_change >= GOAL_STOI, f"{stoi_change:+.3f}"))
    return results


def cpu_name():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as file:
            for line in file:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def describe_model(model, demo):
    if demo:
        return "the demonstration model of `murel make-model` (a hand-built spectral gate, no trained network)"
    inside = os.path.abspath(model).startswith(ROOT + os.sep)
    return f"`{os.path.relpath(model, ROOT) if inside else os.path.basename(model)}`"


def settings_lines(arguments, clips, delays, seconds, system_names):
    audio_seconds = sum(clip["seconds"] for clip in clips)
    delay_text = "; ".join(
        f"{system} " + ", ".join(f"{delays[(system, rate)][0]} at {rate_label(rate)} "
                                 f"({100 * delays[(system, rate)][1]:.0f}% within {FINE_ALIGNMENT})"
                                 for rate in sorted({r for (s, r) in delays if s == system}))
        for system in system_names)
    return ["Settings: murel --gain " + " --gain ".join(arguments.gain or ["Noise=0"])
            + f"; speexdsp suppression {arguments.speex_suppress} dB; WebRTC level {arguments.webrtc_level} "
            "(at 44.1 kHz through 48 kHz); sox noisered amount "
            f"{arguments.noisered_amount}, profile from the first {PROFILE_SECONDS:.2f} s"
            + (f"; RNNoise {RNNOISE_PACKAGE.rsplit('@', 1)[1]} (WebAssembly under node, 480-sample frames at 48 kHz, "
               "other rates through 48 kHz)" if RNNOISE_SYSTEM in system_names else "") + ".",
            f"Delays compensated (samples; share of clips that agree): {delay_text}.",
            f"CPU time for all {audio_seconds:.0f} s of audio ({cpu_name()}, shared machine; multiple of real "
            "time in brackets): " + ", ".join(f"{s} {seconds[s]:.1f} s ({audio_seconds / seconds[s]:.0f}x)"
                                              for s in system_names) + ".", ""]


def report_lines(arguments, model, demo, clips, delays, seconds, scores, goal_results):
    system_names = list(dict.fromkeys(system for system, _ in delays))
    noisy = noisy_set(scores)
    count = {name: sum(c["set"] == name for c in clips) for name in ("noisy", "reverberant", "clean", "rate")}
    compared = f" (\"{COMPARED_SYSTEM}\": {describe_model(arguments.compare, False)})" if arguments.compare else ""
    lines = [f"Model: {describe_model(model, demo)}{compared}; {len(clips)} clips: {count['noisy']} noisy "
             f"({sum(c['set'] == 'noisy' and c['source'] == 'synthesised' for c in clips)} synthesised, "
             f"{sum(c['set'] == 'noisy' and c['source'] == 'recorded' for c in clips)} recorded; "
             f"{len(evalset.NOISE_TYPES)} noise types at {', '.join(f'{s:+d}' for s in evalset.SNRS)} dB SNR), "
             f"{count['reverberant']} reverberant, {count['clean']} clean, {count['rate']} at host rates "
             f"({count['rate'] // 2} band-limited utterances, each at its rate and at 48 kHz).", "",
             "### Summary", "",
             "SI-SDR improvement in dB over the noisy set (all noise types and SNRs) and its parts; STOI with its "
             "change from the input; clean input: the output's SI-SDR against the input (dB) and its level change "
             "(dB); host rates: SI-SDR improvement at that rate.", ""]
    lines += summary_table(scores, system_names)
    lines += ["### SI-SDR improvement per noise type and input SNR", "",
              "One table per system, in dB; the noisy set at 48 kHz.", ""]
    for system in system_names:
        lines += cross_table(noisy, system)
    lines += ["### Noisy set", ""]
    lines += group_table(noisy, system_names, "noise", "Noise", evalset.NOISE_TYPES, "Per noise type")
    lines += group_table(noisy, system_names, "input_snr", "Input SNR", evalset.SNRS, "Per input SNR")
    lines += group_table([s for s in scores if s["set"] in ("noisy", "reverberant")], system_names, "source", "Speech",
                         ["synthesised", "recorded"], "Per speech source (noisy and reverberant sets)")
    lines += group_table(select(scores, set="reverberant"), system_names, "source", "Speech",
                         ["synthesised", "recorded"], "Reverberant speech (reference: direct path and first 50 ms)")
    lines += ["### Clean input", "",
              "Output SI-SDR against the clean input (dB) / level change (dB) / level change above "
              f"{UPPER_BAND // 1000} kHz (dB). The higher the first and the nearer zero the others, the more "
              "transparent.", ""]
    lines += clean_table(scores, system_names)
    lines += ["### Host rates", "",
              "Band-limited utterances processed at the host rate and scored against the clean speech at that "
              "rate: SI-SDR improvement (dB) / STOI. The last column runs the model on the same band-limited "
              "material at 48 kHz.", ""]
    lines += rate_table(scores, system_names)
    lines += ["### Goals", ""]
    for description, met, detail in goal_results:
        lines.append(f"- {'met' if met else '**not met**'}: {description} ({detail})")
    lines += [""] + settings_lines(arguments, clips, delays, seconds, system_names)
    return lines


def card_lines(arguments, model, demo, clips, delays, seconds, scores, goal_results):
    """The model card's quality section."""
    system_names = list(dict.fromkeys(system for system, _ in delays))
    noisy = noisy_set(scores)
    per_noise = ", ".join(f"{n} {mean(noisy, 'si_sdr_i', system=MODEL_SYSTEM, noise=n):+.1f}"
                          for n in evalset.NOISE_TYPES)
    per_snr = ", ".join(f"{snr:+d} dB: {mean(noisy, 'si_sdr_i', system=MODEL_SYSTEM, input_snr=snr):+.1f}"
                        for snr in evalset.SNRS)
    lines = [f"Measured by `bench/quality/benchmark.py` ({describe_model(model, demo)}) on {len(clips)} evaluation "
             "clips that share nothing with training (held-out voices and sentences, the recorded alsa-utils "
             "phrases, the evaluation sound and music packages, held-out noise and room seeds): "
             f"{len(evalset.NOISE_TYPES)} noise types at {', '.join(f'{s:+d}' for s in evalset.SNRS)} dB SNR, "
             "reverberant speech, clean speech and band-limited speech at "
             f"{', '.join(rate_label(r) for r in sorted(evalset.HOST_RATES))}; every table is in `bench/quality/README.md`. "
             "SI-SDR improvement in dB unless said otherwise:", ""]
    model_name = "demonstration model" if demo else os.path.basename(model)
    lines += summary_table(scores, system_names, bold=MODEL_SYSTEM, names={MODEL_SYSTEM: model_name})
    lines += [f"Per noise type: {per_noise} dB. Per input SNR: {per_snr} dB."]
    clean = select(scores, set="clean", system=MODEL_SYSTEM)
    if clean:
        lines[-1] += (f" Clean input, level change above {UPPER_BAND // 1000} kHz: " + ", ".join(
            f"{source} speech {mean(clean, 'upper_level', source=source):+.1f} dB"
            for source in ("synthesised", "recorded")) + ".")
    lines += ["", "Goals:", ""]
    lines += [f"- {'met' if met else '**not met**'}: {description} ({detail})"
              for description, met, detail in goal_results]
    audio_seconds = sum(clip["seconds"] for clip in clips)
    lines += ["", f"CPU time in the benchmark: {seconds[MODEL_SYSTEM]:.1f} s for {audio_seconds:.0f} s of audio "
              f"({audio_seconds / seconds[MODEL_SYSTEM]:.0f}x real time, one process per file; {cpu_name()}, "
              "shared machine).", ""]
    return lines


def replace_between(path, begin_marker, end_marker, lines):
    with open(path, encoding="utf-8") as file:
        text = file.read()
    begin, end = text.index(begin_marker) + len(begin_marker), text.index(end_marker)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text[:begin] + "\n" + "\n".join(lines) + text[end:])


def update_readme(lines, card, out):
    """Replaces the README's results section with this run's tables and pictures, and the model
    card's and the project README's quality sections with its summary."""
    pictures = os.path.join(HERE, "results")
    os.makedirs(pictures, exist_ok=True)
    for name in PICTURES:
        shutil.copyfile(os.path.join(out, name), os.path.join(pictures, name))
    section = lines + [f"![SI-SDR improvement per noise type](results/{PICTURES[0]})", "",
                       f"![SI-SDR improvement per input SNR](results/{PICTURES[1]})", "",
                       f"![Spectrograms before and after](results/{PICTURES[2]})", ""]
    replace_between(os.path.join(HERE, "README.md"), README_BEGIN, README_END, section)
    replace_between(CARD, CARD_BEGIN, CARD_END, card)
    replace_between(os.path.join(ROOT, "README.md"), CARD_BEGIN, CARD_END, card)


def save_picture(figure, path, dpi):
    """A PNG with a 64-colour palette: a quarter of the size, the same to the eye."""
    from PIL import Image

    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=dpi)
    buffer.seek(0)
    Image.open(buffer).convert("RGB").quantize(colors=64).save(path, optimize=True)


def plot_bars(path, scores, system_names):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(11, 4.2))
    width = 0.8 / len(system_names)
    positions = np.arange(len(evalset.NOISE_TYPES))
    for i, system in enumerate(system_names):
        values = [mean(scores, "si_sdr_i", system=system, noise=t) for t in evalset.NOISE_TYPES]
        axes.bar(positions + (i - (len(system_names) - 1) / 2) * width, values, width, label=system)
    axes.axhline(0.0, color="black", linewidth=0.8)
    axes.set_xticks(positions, evalset.NOISE_TYPES)
    axes.set_ylabel("SI-SDR improvement (dB)")
    axes.set_title("SI-SDR improvement per noise type (mean over SNRs and speech sources)")
    axes.grid(axis="y", alpha=0.3)
    low, high = axes.get_ylim()
    axes.set_ylim(low, high + 0.15 * (high - low))  # room for the legend above the bars
    axes.legend(fontsize="small", ncol=len(system_names), loc="upper center")
    figure.tight_layout()
    save_picture(figure, path, 100)
    plt.close(figure)


def plot_snr(path, scores, system_names):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(7, 4))
    for system in system_names:
        axes.plot(evalset.SNRS, [mean(scores, "si_sdr_i", system=system, input_snr=snr) for snr in evalset.SNRS],
                  marker="o", label=system)
    axes.axhline(0.0, color="black", linewidth=0.8)
    axes.set_xticks(evalset.SNRS)
    axes.set_xlabel("input SNR (dB)")
    axes.set_ylabel("SI-SDR improvement (dB)")
    axes.set_title("SI-SDR improvement per input SNR (mean over noise types)")
    axes.grid(alpha=0.3)
    axes.legend(fontsize="small")
    figure.tight_layout()
    save_picture(figure, path, 100)
    plt.close(figure)


def plot_spectrograms(path, folders, clip_name):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("Clean speech", os.path.join(folders["clips"], clip_name + ".clean.wav")),
              ("Noisy input", os.path.join(folders["clips"], clip_name + ".noisy.wav")),
              (f"{MODEL_SYSTEM} output", os.path.join(folders["out"], MODEL_SYSTEM, clip_name + ".wav"))]
    figure, axes = plt.subplots(len(panels), 1, figsize=(9, 6.5), sharex=True)
    top = None
    for axis, (title, file) in zip(axes, panels):
        signal = evalset.read_wav(file)
        frequencies, _, power = spectrogram(signal, evalset.RATE, nperseg=1024, noverlap=512)
        shown = frequencies <= 12000
        level = 10 * np.log10(power[shown] + 1e-20)
        top = np.max(level) if top is None else top  # one colour scale, from the clean speech
        axis.imshow(level, origin="lower", aspect="auto", cmap="magma", vmin=top - 80, vmax=top,
                    extent=(0, len(signal) / evalset.RATE, 0, frequencies[shown][-1]))
        axis.set_ylabel("Hz")
        axis.set_title(title, fontsize="medium")
    axes[-1].set_xlabel("seconds")
    figure.suptitle(clip_name)
    figure.tight_layout()
    save_picture(figure, path, 72)
    plt.close(figure)


def main():
    arguments = parse_arguments()
    started = time.monotonic()
    folders = {"clips": os.path.join(arguments.out, "clips"), "out": os.path.join(arguments.out, "outputs")}
    os.makedirs(arguments.out, exist_ok=True)
    for program in (arguments.murel, arguments.speex, arguments.webrtc):
        if not os.access(program, os.X_OK):
            sys.exit(f"benchmark: {program} is missing; build it with "
                     f"cmake --build build --target murel SpeexDenoise WebRtcDenoise")
    model = arguments.model or DEFAULT_MODEL
    demo = arguments.model is None and not os.path.isfile(model)
    if demo:
        model = demo_model(arguments)
        log(f"NOTE: {DEFAULT_MODEL} does not exist yet; using the demonstration model {model} "
            "(a hand-built spectral gate, not a trained denoiser)")
    elif not os.path.isfile(model):
        sys.exit(f"benchmark: the model {model} does not exist")
    if arguments.compare and not os.path.isfile(arguments.compare):
        sys.exit(f"benchmark: the model {arguments.compare} does not exist")
    rnnoise_folder = None
    if not arguments.no_rnnoise:
        rnnoise_folder, reason = prepare_rnnoise(arguments)
        if reason:
            log(f"NOTE: RNNoise skipped: {reason}")

    synthesised, recorded = (int(n) for n in arguments.clips.split(","))
    clips = evalset.plan((synthesised, recorded), reverberant=arguments.reverberant, per_rate=arguments.per_rate)
    log(f"Generating {len(clips)} clips in {folders['clips']}")
    evalset.generate(clips, folders["clips"])

    runners = systems(arguments, model, rnnoise_folder)
    log(f"Running {', '.join(runners)} on every clip ({arguments.jobs} at a time)")
    seconds = process_all(clips, folders, runners, arguments.jobs)

    log("Scoring")
    delays, scores = score(clips, folders, list(runners), arguments.jobs)
    improvements(scores)
    goal_results = goals(scores, list(runners))

    report = os.path.join(arguments.out, "results.md")
    lines = report_lines(arguments, model, demo, clips, delays, seconds, scores, goal_results)
    with open(report, "w", encoding="utf-8") as file:
        file.write("\n".join(["# Speech denoising quality", ""] + lines))
    with open(os.path.join(arguments.out, "results.json"), "w", encoding="utf-8") as file:
        json.dump({"model": describe_model(model, demo), "cpu": cpu_name(), "cpu_seconds": seconds,
                   "delays": {f"{s} {r}": d for (s, r), d in delays.items()},
                   "goals": [{"goal": d, "met": bool(m), "detail": t} for d, m, t in goal_results],
                   "scores": [{k: (None if isinstance(v, float) and not np.isfinite(v) else v) for k, v in s.items()}
                              for s in scores]}, file, indent=0)
    noisy = noisy_set(scores)
    plot_bars(os.path.join(arguments.out, PICTURES[0]), noisy, list(runners))
    plot_snr(os.path.join(arguments.out, PICTURES[1]), noisy, list(runners))
    example = arguments.spectrogram_clip or next(
        c["name"] for c in clips
        if c["set"] == "noisy" and c["source"] == "synthesised" and c["noise"] == "chatter" and c["input_snr"] == 5)
    plot_spectrograms(os.path.join(arguments.out, PICTURES[2]), folders, example)
    if arguments.update_readme:
        card = card_lines(arguments, model, demo, clips, delays, seconds, scores, goal_results)
        update_readme(lines, card, arguments.out)

    with open(report, encoding="utf-8") as file:
        print(file.read())
    log(f"Written: {report}, results.json and {', '.join(PICTURES)} in {arguments.out}"
        + (" and the results sections of bench/quality/README.md, models/README.md and README.md" if arguments.update_readme else "") + " "
        f"({time.monotonic() - started:.0f} s)")
    log("Goals:")
    for description, met, detail in goal_results:
        log(f"  {'MET    ' if met else 'NOT MET'}  {description}: {detail}")
    if arguments.strict and not all(met for _, met, _ in goal_results):
        sys.exit(1)


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as error:
        sys.exit(f"benchmark: {error}")

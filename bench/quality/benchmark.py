#!/usr/bin/python3
"""Speech denoising quality of a model in the engine next to classic denoisers.

Generates the evaluation set (evalset.py), runs every system on the same noisy files, measures and
compensates each system's delay, scores SI-SDR, SNR and STOI against the clean speech, and writes
results.md (tables), si-sdr-by-noise.png and spectrogram.png into the output folder. It ends with
whether the model meets the quality goals. See README.md.
"""

import argparse
import concurrent.futures
import io
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
DEFAULT_MODEL = os.path.join(ROOT, "models", "speech-denoiser.model")
# Longest delay looked for, and the end of every clip left out of the scores so that the zeros a
# delay compensation shifts in count for nobody.
MAX_DELAY = int(0.05 * evalset.RATE)
# Each clip is aligned within this many samples of its system's delay: filter banks that are not
# linear-phase (WebRTC's band split) delay some content a little more than the rest.
FINE_ALIGNMENT = 2
# The noise profile for sox ends a little before the utterance starts.
PROFILE_SECONDS = evalset.LEAD_IN - 0.05

# Quality goals for the model, in dB of SI-SDR improvement over the best baseline.
GOAL_MARGIN = {"synthesised": 3.0, "recorded": 2.0}
GOAL_WORST_NOISE = -0.5

PICTURES = ["si-sdr-by-noise.png", "spectrogram.png"]
RESULTS_BEGIN = "<!-- results: written by benchmark.py --update-readme -->"
RESULTS_END = "<!-- end of results -->"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    build = os.path.join(ROOT, "build")
    parser.add_argument("--model", default=None,
                        help="model file (default: models/speech-denoiser.model; while that is missing, "
                        "a demonstration model made with 'murel make-model')")
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
    parser.add_argument("--out", default=os.path.join(ROOT, "out", "quality"), help="output folder")
    parser.add_argument("--clips", default="3,2",
                        help="synthesised and recorded clips per noise type and SNR (default 3,2: 180 clips)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="programs run at once")
    parser.add_argument("--spectrogram-clip", default=None,
                        help="name of the clip for the before/after picture (default: synthesised, pink noise, 0 dB)")
    parser.add_argument("--update-readme", action="store_true",
                        help="also put the tables and pictures into README.md and results/ beside this script")
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


def systems(arguments, model):
    """name -> function(noisy, out) that writes the system's output for one file and returns the
    CPU seconds it took."""
    gains = arguments.gain or ["Noise=0"]

    def engine(noisy, out):
        command = [arguments.murel, "process", noisy, out, "--model", model, "--quiet", "--overwrite"]
        for gain in gains:
            command += ["--gain", gain]
        return run(command)

    def speex(noisy, out):
        return run([arguments.speex, noisy, out, "--suppress", str(arguments.speex_suppress)])

    def webrtc(noisy, out):
        return run([arguments.webrtc, noisy, out, "--level", arguments.webrtc_level])

    def noisered(noisy, out):
        profile = out + ".profile"
        seconds = run(["sox", noisy, "-n", "trim", "0", str(PROFILE_SECONDS), "noiseprof", profile])
        # noisered drops the last part of its input: padding and trimming keep the length.
        length = len(evalset.read_wav(noisy))
        seconds += run(["sox", noisy, out, "pad", "0", "4096s", "noisered", profile, str(arguments.noisered_amount),
                        "trim", "0", f"{length}s"])
        os.remove(profile)
        return seconds

    return {MODEL_SYSTEM: engine, "speexdsp": speex, "WebRTC NS": webrtc, "sox noisered": noisered}


def demo_model(arguments):
    path = os.path.join(arguments.out, "demo.model")
    run([arguments.murel, "make-model", path])
    return path


def process_all(clips, folders, runners, jobs):
    tasks = []
    for system, runner in runners.items():
        os.makedirs(os.path.join(folders["out"], system), exist_ok=True)
        for clip in clips:
            noisy = os.path.join(folders["clips"], clip["name"] + ".noisy.wav")
            tasks.append((system, runner, noisy, os.path.join(folders["out"], system, clip["name"] + ".wav")))
    seconds = {system: 0.0 for system in runners}

    def one(task):
        system, runner, noisy, out = task
        return system, runner(noisy, out)

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for system, cpu_seconds in pool.map(one, tasks):
            seconds[system] += cpu_seconds
    return seconds


def _load(clip, folders, system_names):
    clean = evalset.read_wav(os.path.join(folders["clips"], clip["name"] + ".clean.wav"))
    noisy = evalset.read_wav(os.path.join(folders["clips"], clip["name"] + ".noisy.wav"))
    outputs = {}
    for system in system_names:
        out = evalset.read_wav(os.path.join(folders["out"], system, clip["name"] + ".wav"))
        if len(out) != len(clean):
            raise RuntimeError(f"{system}: {clip['name']} has {len(out)} samples, the input {len(clean)}")
        if not np.all(np.isfinite(out)):
            raise RuntimeError(f"{system}: {clip['name']} holds samples that are not finite")
        outputs[system] = out
    return clean, noisy, outputs


def _find_delays(task):
    clip, folders, system_names = task
    clean, _, outputs = _load(clip, folders, system_names)
    return {system: metrics.estimate_delay(clean, out, MAX_DELAY) for system, out in outputs.items()}


def _score_clip(task):
    clip, folders, system_names, delays = task
    clean, noisy, outputs = _load(clip, folders, system_names)
    scored = len(clean) - MAX_DELAY
    reference = clean[:scored]
    signals = {"Input": noisy}
    for system, output in outputs.items():
        lag = metrics.estimate_delay(clean, output, FINE_ALIGNMENT, around=delays[system])
        signals[system] = metrics.shift(output, lag)
    scores = []
    for system, signal in signals.items():
        signal = signal[:scored]
        scores.append({**clip, "system": system, "si_sdr": metrics.si_sdr(reference, signal),
                       "snr": metrics.snr(reference, signal), "stoi": metrics.stoi(reference, signal, evalset.RATE)})
    return scores


def score(clips, folders, system_names, jobs):
    """Per system: its delay in samples (the median over the clips) and the share of clips within
    FINE_ALIGNMENT of it; per clip and system (and "Input"): si_sdr, snr, stoi."""
    with multiprocessing.Pool(jobs) as pool:
        found = pool.map(_find_delays, [(clip, folders, system_names) for clip in clips])
        delays = {}
        for system in system_names:
            lags = np.array([f[system] for f in found])
            delay = int(np.median(lags))
            delays[system] = (delay, float(np.mean(np.abs(lags - delay) <= FINE_ALIGNMENT)))
        system_delays = {system: delays[system][0] for system in system_names}
        scores = pool.map(_score_clip, [(clip, folders, system_names, system_delays) for clip in clips])
    return delays, [s for clip_scores in scores for s in clip_scores]


def improvements(scores):
    """Adds si_sdr_i, snr_i and stoi_i (differences to the unprocessed input) to every score."""
    inputs = {s["name"]: s for s in scores if s["system"] == "Input"}
    for s in scores:
        reference = inputs[s["name"]]
        s["si_sdr_i"] = s["si_sdr"] - reference["si_sdr"]
        s["snr_i"] = s["snr"] - reference["snr"]
        s["stoi_i"] = s["stoi"] - reference["stoi"]


def mean(scores, key, **where):
    values = [s[key] for s in scores if all(s[k] == v for k, v in where.items())]
    return float(np.mean(values)) if values else float("nan")


def group_table(scores, systems, group, heading, values, title):
    lines = [f"### {title}", "",
             "SI-SDR improvement (dB) / SNR improvement (dB) / STOI; the input column gives SI-SDR / SNR / STOI "
             "of the unprocessed mixtures.", ""]
    lines.append("| " + " | ".join([heading, "Clips", "Input"] + systems) + " |")
    lines.append("|" + " --- |" * (3 + len(systems)))
    for value in values:
        selected = [s for s in scores if s[group] == value]
        count = len({s["name"] for s in selected})
        if count == 0:
            continue
        label = f"{value:+d} dB" if isinstance(value, int) else str(value)
        cells = [label, str(count),
                 f"{mean(selected, 'si_sdr', system='Input'):.1f} / {mean(selected, 'snr', system='Input'):.1f} / "
                 f"{mean(selected, 'stoi', system='Input'):.3f}"]
        for system in systems:
            cells.append(f"{mean(selected, 'si_sdr_i', system=system):+.1f} / "
                         f"{mean(selected, 'snr_i', system=system):+.1f} / {mean(selected, 'stoi', system=system):.3f}")
        lines.append("| " + " | ".join(cells) + " |")
    return lines + [""]


def goals(scores, baselines):
    """(description, met, detail) for each quality goal."""
    results = []
    for source, margin in GOAL_MARGIN.items():
        model = mean(scores, "si_sdr_i", system=MODEL_SYSTEM, source=source)
        best_name = max(baselines, key=lambda b: mean(scores, "si_sdr_i", system=b, source=source))
        best = mean(scores, "si_sdr_i", system=best_name, source=source)
        results.append((f"mean SI-SDR improvement on {source} speech >= best baseline + {margin:.0f} dB",
                        model >= best + margin,
                        f"{model:+.2f} dB against {best_name} {best:+.2f} dB (margin {model - best:+.2f} dB)"))
    worst = min(evalset.NOISE_TYPES, key=lambda t: mean(scores, "si_sdr_i", system=MODEL_SYSTEM, noise=t))
    worst_value = mean(scores, "si_sdr_i", system=MODEL_SYSTEM, noise=worst)
    results.append((f"no noise type worse than the input by more than {-GOAL_WORST_NOISE} dB SI-SDR",
                    worst_value >= GOAL_WORST_NOISE, f"lowest: {worst} {worst_value:+.2f} dB"))
    stoi_in = mean(scores, "stoi", system="Input")
    stoi_out = mean(scores, "stoi", system=MODEL_SYSTEM)
    results.append(("STOI not lower than the input on average", stoi_out >= stoi_in,
                    f"{stoi_out:.3f} against {stoi_in:.3f}"))
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


def report_lines(arguments, model, demo, clips, delays, seconds, scores, goal_results):
    system_names = list(delays)
    audio_seconds = sum(clip["seconds"] for clip in clips)
    if demo:
        described = "the demonstration model of `murel make-model` (a hand-built spectral gate, no trained network)"
    else:
        inside = os.path.abspath(model).startswith(ROOT + os.sep)
        described = f"`{os.path.relpath(model, ROOT) if inside else model}`"
    lines = [f"Model: {described}; {len(clips)} clips "
             f"({sum(c['source'] == 'synthesised' for c in clips)} synthesised, "
             f"{sum(c['source'] == 'recorded' for c in clips)} recorded), "
             f"{len(evalset.NOISE_TYPES)} noise types at {', '.join(f'{s:+d}' for s in evalset.SNRS)} dB SNR.",
             "", "### Summary", "",
             "| System | SI-SDR impr. (dB) | SNR impr. (dB) | STOI | SI-SDR impr. synthesised | "
             "SI-SDR impr. recorded | Delay compensated |",
             "| --- | --- | --- | --- | --- | --- | --- |",
             f"| Input | 0 ({mean(scores, 'si_sdr', system='Input'):.1f} dB) | 0 ({mean(scores, 'snr', system='Input'):.1f}"
             f" dB) | {mean(scores, 'stoi', system='Input'):.3f} | | | |"]
    for system in system_names:
        delay, agreement = delays[system]
        lines.append(f"| {system} | {mean(scores, 'si_sdr_i', system=system):+.2f} | "
                     f"{mean(scores, 'snr_i', system=system):+.2f} | {mean(scores, 'stoi', system=system):.3f} | "
                     f"{mean(scores, 'si_sdr_i', system=system, source='synthesised'):+.2f} | "
                     f"{mean(scores, 'si_sdr_i', system=system, source='recorded'):+.2f} | "
                     f"{delay} samples ({100 * agreement:.0f}% of clips within {FINE_ALIGNMENT}) |")
    lines += [""]
    lines += group_table(scores, system_names, "noise", "Noise", evalset.NOISE_TYPES, "Per noise type")
    lines += group_table(scores, system_names, "input_snr", "Input SNR", evalset.SNRS, "Per input SNR")
    lines += group_table(scores, system_names, "source", "Speech", ["synthesised", "recorded"], "Per speech source")
    lines += ["### Goals", ""]
    for description, met, detail in goal_results:
        lines.append(f"- {'met' if met else '**not met**'}: {description} ({detail})")
    lines += ["", "Settings: murel --gain " + " --gain ".join(arguments.gain or ["Noise=0"])
              + f"; speexdsp suppression {arguments.speex_suppress} dB; WebRTC level {arguments.webrtc_level}; "
              f"sox noisered amount {arguments.noisered_amount}, profile from the first {PROFILE_SECONDS:.2f} s.",
              f"CPU time for all {audio_seconds:.0f} s of audio ({cpu_name()}, shared machine; multiple of real "
              "time in brackets): " + ", ".join(f"{s} {seconds[s]:.1f} s ({audio_seconds / seconds[s]:.0f}x)"
                                                for s in system_names) + ".", ""]
    return lines


def update_readme(lines, out):
    """Replaces the README's results section with this run's tables and pictures."""
    pictures = os.path.join(HERE, "results")
    os.makedirs(pictures, exist_ok=True)
    for name in PICTURES:
        shutil.copyfile(os.path.join(out, name), os.path.join(pictures, name))
    readme = os.path.join(HERE, "README.md")
    with open(readme, encoding="utf-8") as file:
        text = file.read()
    begin, end = text.index(RESULTS_BEGIN) + len(RESULTS_BEGIN), text.index(RESULTS_END)
    section = lines + [f"![SI-SDR improvement per noise type](results/{PICTURES[0]})", "",
                       f"![Spectrograms before and after](results/{PICTURES[1]})", ""]
    with open(readme, "w", encoding="utf-8") as file:
        file.write(text[:begin] + "\n" + "\n".join(section) + text[end:])


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

    figure, axes = plt.subplots(figsize=(10, 4.2))
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
    axes.legend(fontsize="small", ncol=len(system_names))
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

    synthesised, recorded = (int(n) for n in arguments.clips.split(","))
    clips = evalset.plan((synthesised, recorded))
    log(f"Generating {len(clips)} clips in {folders['clips']}")
    evalset.generate(clips, folders["clips"])

    runners = systems(arguments, model)
    log(f"Running {', '.join(runners)} on every clip ({arguments.jobs} at a time)")
    seconds = process_all(clips, folders, runners, arguments.jobs)

    log("Scoring")
    delays, scores = score(clips, folders, list(runners), arguments.jobs)
    improvements(scores)
    baselines = [s for s in runners if s != MODEL_SYSTEM]
    goal_results = goals(scores, baselines)

    report = os.path.join(arguments.out, "results.md")
    lines = report_lines(arguments, model, demo, clips, delays, seconds, scores, goal_results)
    with open(report, "w", encoding="utf-8") as file:
        file.write("\n".join(["# Speech denoising quality", ""] + lines))
    plot_bars(os.path.join(arguments.out, PICTURES[0]), scores, list(runners))
    example = arguments.spectrogram_clip or next(
        c["name"] for c in clips if c["source"] == "synthesised" and c["noise"] == "pink" and c["input_snr"] == 0)
    plot_spectrograms(os.path.join(arguments.out, PICTURES[1]), folders, example)
    if arguments.update_readme:
        update_readme(lines, arguments.out)

    with open(report, encoding="utf-8") as file:
        print(file.read())
    log(f"Written: {report}, {' and '.join(PICTURES)} in {arguments.out}"
        + (" and the results section of README.md" if arguments.update_readme else "") + " "
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

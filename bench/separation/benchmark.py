#!/usr/bin/python3
"""Dialogue, music and effects separation by the engine's separator, against references.

Makes the evaluation mixtures (mixtures.py), runs the separator through the engine (the Python
binding: each stem is its bus soloed, as `murel separate` writes it) and scores the SI-SDR
improvement of every stem over the mixture. References on the same clips:
- the speech denoiser as a dialogue extractor (its Speech bus; it has no music or effects);
- the ideal ratio mask at the engine's framing (FFT 1024, window 960 square-root Hann, hop 480 at
  48 kHz): each stem's magnitude over the sum of all stems' magnitudes, applied to the mixture.
  It knows the answer, so it is the ceiling a mask of this framing can reach.
Writes results.md, results.json and separation.png into --out; --update-readme puts the table and
the picture into README.md here and the summary into the card in models/README.md.

    PYTHONPATH=python /usr/bin/python3 bench/separation/benchmark.py --out build/separation
"""

import argparse
import json
import os
import platform
import shutil
import sys
import time

import numpy as np
from scipy.signal import istft, stft

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "python"))
import mixtures  # noqa: E402
from murel.engine import Processor, model_set  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(HERE), "quality"))
import metrics  # noqa: E402

STEMS = mixtures.STEMS
FFT, WINDOW, HOP = 1024, 960, 480
SEPARATOR = "Separator"
DENOISER = "Speech denoiser"
ORACLE = "Ideal ratio mask (oracle)"
SYSTEMS = (SEPARATOR, DENOISER, ORACLE)
PICTURE = "separation.png"
README_BEGIN = "<!-- results: written by benchmark.py --update-readme -->"
README_END = "<!-- end of results -->"
CARD = os.path.join(ROOT, "models", "README.md")
CARD_BEGIN = "<!-- separation: written by bench/separation/benchmark.py --update-readme -->"
CARD_END = "<!-- end of separation -->"
GOALS = {"Dialogue": 8.0, "Music": 5.0, "Effects": 5.0}


def default_models():
    try:
        return model_set("separator")
    except Exception:
        return [os.path.join(ROOT, "models", name) for name in ("separator-dialogue.model", "separator-music.model")]


def oracle(stems, mixture):
    """Each stem's magnitude share of the mixture's spectrum, at the engine's framing."""
    window = np.sqrt(np.hanning(WINDOW + 1)[:WINDOW])
    settings = dict(fs=mixtures.RATE, window=window, nperseg=WINDOW, noverlap=WINDOW - HOP, nfft=FFT)
    spectra = {name: np.abs(stft(signal, **settings)[2]) for name, signal in stems.items()}
    total = sum(spectra.values()) + 1e-12
    mixed = stft(mixture, **settings)[2]
    return {name: istft(mixed * spectra[name] / total, **settings)[1][: len(mixture)] for name in stems}


def separate(processor, mixture):
    """The stems as the hosts write them: every bus soloed in turn."""
    out = {}
    for name in processor.buses:
        processor.apply_mix([f"solo={name}", "stems"])
        out[name] = processor.process(mixture.astype(np.float32)).astype(np.float64)
    return out


def score(stems, mixture, estimates):
    """SI-SDR improvement per stem present in the clip (None when the stem is silent)."""
    result = {}
    for name in STEMS:
        if name not in estimates or not np.any(stems[name]):
            result[name] = None
            continue
        result[name] = metrics.si_sdr(stems[name], estimates[name]) - metrics.si_sdr(stems[name], mixture)
    return result


def mean(values):
    values = [v for v in values if v is not None]
    return float(np.mean(values)) if values else None


def run(models, denoiser, clips, seconds, log=print):
    sources = mixtures.Sources()
    scores = {system: [] for system in SYSTEMS}
    inputs = []
    sum_error = 0.0
    cpu = 0.0
    audio = 0.0
    with Processor(models, channels=1, rate=mixtures.RATE, mix=False) as separator, \
            Processor(denoiser, channels=1, rate=mixtures.RATE) as speech:
        if separator.buses != list(STEMS):
            raise SystemExit(f"the separator's buses are {separator.buses}, not {list(STEMS)}")
        for index in range(clips):
            stems = mixtures.make_clip(index, seconds, sources)
            mixture = sum(stems.values())
            started = time.process_time()
            estimates = separate(separator, mixture)
            cpu += time.process_time() - started
            audio += len(mixture) / mixtures.RATE
            sum_error = max(sum_error, float(np.max(np.abs(sum(estimates.values()) - mixture))))
            scores[SEPARATOR].append(score(stems, mixture, estimates))
            dialogue = speech.process(mixture.astype(np.float32)).astype(np.float64)
            scores[DENOISER].append(score(stems, mixture, {"Dialogue": dialogue}))
            scores[ORACLE].append(score(stems, mixture, oracle(stems, mixture)))
            inputs.append({name: (metrics.si_sdr(stems[name], mixture) if np.any(stems[name]) else None)
                           for name in STEMS})
            log(f"clip {index + 1}/{clips}: " + ", ".join(
                f"{name} {value:+.1f}" for name, value in scores[SEPARATOR][-1].items() if value is not None))
    summary = {system: {name: mean(clip[name] for clip in scores[system]) for name in STEMS} for system in SYSTEMS}
    return {"clips": clips, "seconds": seconds, "models": [os.path.relpath(m, ROOT) if m.startswith(ROOT) else
                                                          os.path.basename(m) for m in models],
            "summary": summary, "input": {name: mean(clip[name] for clip in inputs) for name in STEMS},
            "present": {name: sum(1 for clip in inputs if clip[name] is not None) for name in STEMS},
            "sum_error": sum_error, "cpu_seconds": cpu, "audio_seconds": audio, "cpu": platform.processor()
            or _cpu_name(), "per_clip": scores}


def _cpu_name():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as file:
            for line in file:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def _cell(value):
    return "—" if value is None else f"{value:+.2f}"


def table(results):
    summary = results["summary"]
    lines = ["| System | " + " | ".join(STEMS) + " |", "| --- |" + " ---: |" * len(STEMS),
             "| unprocessed (SI-SDR of the mixture) | " + " | ".join(
                 f"0 ({results['input'][name]:.1f} dB)" if results["input"][name] is not None else "—"
                 for name in STEMS) + " |"]
    for system in SYSTEMS:
        cells = [_cell(summary[system][name]) for name in STEMS]
        if system == SEPARATOR:
            cells = [f"**{c}**" for c in cells]
            system = f"**{system}**"
        lines.append(f"| {system} | " + " | ".join(cells) + " |")
    return lines


def goals(results):
    lines = []
    for name, goal in GOALS.items():
        value = results["summary"][SEPARATOR][name]
        met = value is not None and value >= goal
        lines.append(f"- {'met' if met else '**not met**'}: {name} >= +{goal:.0f} dB SI-SDR improvement "
                     f"({_cell(value)} dB)")
    lines.append(f"- {'met' if results['sum_error'] < 1e-4 else '**not met**'}: the stems add up to the input "
                 f"(largest difference {results['sum_error']:.1e})")
    return lines


def describe(results):
    speed = results["audio_seconds"] / max(results["cpu_seconds"], 1e-9)
    return (f"{results['clips']} mono clips of {results['seconds']:g} s at 48 kHz "
            f"(dialogue in all, music in {results['present']['Music']}, effects in {results['present']['Effects']}); "
            f"separator CPU time {results['cpu_seconds']:.1f} s for three soloed passes over "
            f"{results['audio_seconds']:.0f} s of audio ({3 * speed:.0f}x real time per pass, both models, one "
            f"process; {results['cpu']})")


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(8, 3.6))
    width = 0.8 / len(SYSTEMS)
    for offset, system in enumerate(SYSTEMS):
        values = [results["summary"][system][name] for name in STEMS]
        positions = [i + (offset - (len(SYSTEMS) - 1) / 2) * width for i in range(len(STEMS))]
        bars = axes.bar([p for p, v in zip(positions, values) if v is not None],
                        [v for v in values if v is not None], width, label=system)
        axes.bar_label(bars, fmt="%+.1f", fontsize=8)
    for index, name in enumerate(STEMS):
        axes.hlines(GOALS[name], index - 0.45, index + 0.45, colors="black", linestyles="dashed", linewidth=1)
    axes.set_xticks(range(len(STEMS)), STEMS)
    axes.set_ylabel("SI-SDR improvement (dB)")
    axes.axhline(0, color="grey", linewidth=0.5)
    axes.margins(y=0.15)
    axes.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=len(SYSTEMS), frameon=False)
    axes.set_title("Separation of film-like mixtures (dashed: goals)", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


def replace_between(path, begin_marker, end_marker, lines):
    with open(path, encoding="utf-8") as file:
        text = file.read()
    if begin_marker not in text or end_marker not in text:
        print(f"{path}: no markers, left as it is", file=sys.stderr)
        return
    begin, end = text.index(begin_marker) + len(begin_marker), text.index(end_marker)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text[:begin] + "\n" + "\n".join(lines) + "\n" + text[end:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", default=None, help="the separator's models (default: installed)")
    parser.add_argument("--denoiser", default=os.path.join(ROOT, "models", "speech-denoiser.model"))
    parser.add_argument("--clips", type=int, default=40)
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "separation"))
    parser.add_argument("--update-readme", action="store_true")
    arguments = parser.parse_args()
    models = arguments.models or default_models()
    results = run(models, arguments.denoiser, arguments.clips, arguments.seconds)
    os.makedirs(arguments.out, exist_ok=True)
    with open(os.path.join(arguments.out, "results.json"), "w", encoding="utf-8") as file:
        json.dump(results, file, indent=1)
    lines = [f"Measured by `bench/separation/benchmark.py` ({', '.join(results['models'])}) on " + describe(results)
             + ". SI-SDR improvement over the mixture in dB, mean over the clips that hold the stem:", ""]
    lines += table(results) + ["", "Goals:", ""] + goals(results) + [""]
    with open(os.path.join(arguments.out, "results.md"), "w", encoding="utf-8") as file:
        file.write("\n".join(lines) + "\n")
    plot(results, os.path.join(arguments.out, PICTURE))
    print("\n".join(lines))
    if arguments.update_readme:
        os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
        shutil.copyfile(os.path.join(arguments.out, PICTURE), os.path.join(HERE, "results", PICTURE))
        replace_between(os.path.join(HERE, "README.md"), README_BEGIN, README_END,
                        lines + [f"![SI-SDR improvement per stem](results/{PICTURE})", ""])
        replace_between(CARD, CARD_BEGIN, CARD_END,
                        lines + [f"![SI-SDR improvement per stem](../bench/separation/results/{PICTURE})"])


if __name__ == "__main__":
    main()

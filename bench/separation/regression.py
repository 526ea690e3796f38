#!/usr/bin/python3
"""Quick quality regression of the shipped separator (CTest: SeparationRegression).

A few short mixtures of the benchmark (mixtures.py, seeds of their own) through the separator
and the speech denoiser in the engine. Fails unless the stems are finite and add up to the
mixture, the dialogue's SI-SDR improvement beats the speech denoiser's by DIALOGUE_MARGIN_DB, and
music and effects improve by FLOOR_DB at least. Exits with SKIPPED (status 77) when the
separator's model files are not there.
"""

import argparse
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import benchmark  # noqa: E402
import mixtures  # noqa: E402
from murel.engine import Processor  # noqa: E402

SKIPPED = 77
CLIPS = 4
SECONDS = 5.0
FIRST_CLIP = 1000  # the benchmark uses clips 0 to its count
DIALOGUE_MARGIN_DB = 0.75
FLOOR_DB = 1.0
SUM_TOLERANCE = 1e-4


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", default=[os.path.join(benchmark.ROOT, "models", name) for name in
                                                        ("separator-dialogue.model", "separator-music.model")])
    parser.add_argument("--denoiser", default=os.path.join(benchmark.ROOT, "models", "speech-denoiser.model"))
    arguments = parser.parse_args()
    missing = [path for path in arguments.models if not os.path.isfile(path)]
    if missing:
        print(f"SKIPPED: no separator model ({', '.join(missing)})")
        return SKIPPED

    sources = mixtures.Sources()
    separated, denoised = [], []
    failures = []
    with Processor(arguments.models, channels=1, rate=mixtures.RATE, mix=False) as separator, \
            Processor(arguments.denoiser, channels=1, rate=mixtures.RATE) as speech:
        if separator.buses != list(benchmark.STEMS):
            failures.append(f"buses {separator.buses}, not {list(benchmark.STEMS)}")
        for index in range(FIRST_CLIP, FIRST_CLIP + CLIPS):
            stems = mixtures.make_clip(index, SECONDS, sources)
            mixture = sum(stems.values())
            estimates = benchmark.separate(separator, mixture)
            if not all(np.all(np.isfinite(s)) and len(s) == len(mixture) for s in estimates.values()):
                failures.append(f"clip {index}: a stem is not finite or not of the mixture's length")
                continue
            error = float(np.max(np.abs(sum(estimates.values()) - mixture)))
            if error > SUM_TOLERANCE:
                failures.append(f"clip {index}: the stems differ from the mixture by up to {error:.1e}")
            separated.append(benchmark.score(stems, mixture, estimates))
            dialogue = speech.process(mixture.astype(np.float32)).astype(np.float64)
            denoised.append(benchmark.score(stems, mixture, {"Dialogue": dialogue}))
    result = {name: benchmark.mean(clip[name] for clip in separated) for name in benchmark.STEMS}
    reference = benchmark.mean(clip["Dialogue"] for clip in denoised)
    print("SI-SDR improvement: " + ", ".join(f"{name} {benchmark._cell(value)} dB" for name, value in result.items())
          + f"; speech denoiser on the dialogue {benchmark._cell(reference)} dB")
    if result["Dialogue"] is None or result["Dialogue"] < reference + DIALOGUE_MARGIN_DB:
        failures.append(f"dialogue not {DIALOGUE_MARGIN_DB} dB above the speech denoiser")
    for name in ("Music", "Effects"):
        if result[name] is not None and result[name] < FLOOR_DB:
            failures.append(f"{name.lower()} below +{FLOOR_DB} dB")
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

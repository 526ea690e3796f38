#!/usr/bin/python3
"""Throughput of murel.batch on a local Dask cluster of 1 and 2 workers over the same tree.

    PYTHONPATH=python /usr/bin/python3 bench/batch/bench_batch.py --tool build/tools/murel/murel

Makes a model of the default denoiser's architecture and size (untrained weights: the same work
per frame) unless --model is given, a tree of files of mixed formats with --minutes of audio, and
runs it --repeats times per worker count into fresh output folders. Reports medians: x real time
(audio seconds per wall second, cluster start excluded), CPU seconds per audio hour (all worker
processes, measured around each run), the time to create one processor (the model load a worker
pays once per format) and the bytes read and written per audio second, which the scaling on paper
for N machines is computed from.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "python"))

from murel import batch  # noqa: E402
from murel.engine import Processor  # noqa: E402

# (name pattern, rate, channels, sample format): the mix an archive of interviews might hold.
FORMATS = [("wav", 48000, 1, "16"), ("flac", 44100, 2, "24"), ("wav", 16000, 1, "float"), ("wav", 48000, 2, "16")]


def cpu_name():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def make_model(path):
    sys.path.insert(0, os.path.join(ROOT, "python", "training"))
    import torch

    import denoiser
    import murel.export

    torch.manual_seed(1)
    murel.export.save(denoiser.make_model(), path, half=True)


def make_tree(tool, folder, minutes, files):
    seconds = minutes * 60 / files
    for index in range(files):
        extension, rate, channels, sample_format = FORMATS[index % len(FORMATS)]
        path = os.path.join(folder, f"set{index % 3}", f"take{index:03d}.{extension}")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run([tool, "make-test-signal", path, "--seconds", f"{seconds:.3f}", "--rate", str(rate),
                        "--channels", str(channels), "--format", sample_format, "--seed", str(index + 1)],
                       check=True, stdout=subprocess.DEVNULL)


def worker_cpu(client):
    return sum(client.run(time.process_time).values())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.environ.get("MUREL_TOOL", os.path.join(ROOT, "build/tools/murel/murel")))
    parser.add_argument("--model", help="a model file (default: the denoiser's architecture, untrained)")
    parser.add_argument("--minutes", type=float, default=4.0, help="audio in the tree")
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--workers", default="1,2")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    work = tempfile.mkdtemp(prefix="murel-batch-bench-")
    try:
        model = args.model or os.path.join(work, "denoiser-architecture.model")
        if not args.model:
            make_model(model)
        tree = os.path.join(work, "tree")
        make_tree(args.tool, tree, args.minutes, args.files)
        input_bytes = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(tree) for f in fs)

        loads = []
        for _ in range(5):
            started = time.perf_counter()
            Processor(model, 2, 44100).close()
            loads.append(time.perf_counter() - started)

        print(f"{cpu_name()}, {os.cpu_count()} cores; {args.files} files, {args.minutes:g} min of audio, "
              f"{input_bytes / 1e6:.1f} MB; model {os.path.basename(model)}")
        print(f"processor creation (model load): {statistics.median(loads) * 1000:.1f} ms")
        alone = subprocess.run([args.tool, "bench", model, "--rate", "48000", "--channels", "1", "--block", "4096"],
                               check=True, capture_output=True, text=True).stdout.strip().splitlines()
        print("the processor alone, murel bench at 48 kHz mono:", *alone[-3:-1], sep="\n  ")
        counts = [int(w) for w in args.workers.split(",")]
        clusters = {w: LocalCluster(n_workers=w, threads_per_worker=1, processes=True, dashboard_address=None,
                                    silence_logs=40) for w in counts}
        clients = {w: Client(clusters[w]) for w in counts}
        measured = {w: ([], [], [], []) for w in counts}
        try:
            # Worker counts alternate, so that the machine's other load falls on both alike.
            for repeat in range(args.repeats):
                for workers in counts:
                    client, (speeds, cpus, walls, busy) = clients[workers], measured[workers]
                    output = os.path.join(work, f"out-{workers}-{repeat}")
                    cpu = worker_cpu(client)
                    summary = batch.run(tree, output, models=[model], gains=["Noise=0"], client=client)
                    cpu = worker_cpu(client) - cpu
                    cpus.append(cpu / (summary.audio_seconds / 3600))
                    busy.append(cpu / summary.wall_seconds)
                    assert not summary.failed, summary
                    speeds.append(summary.x_real_time)
                    walls.append(summary.wall_seconds)
                    shutil.rmtree(output)
        finally:
            for workers in counts:
                clients[workers].close()
                clusters[workers].close()
        rows = [(w, *(statistics.median(values) for values in measured[w])) for w in counts]
        # Cores obtained: worker CPU time over wall time; below the worker count the machine's
        # other load, not the run, sets the speed.
        print(f"{'workers':>7} {'x real time':>12} {'CPU s per audio h':>18} {'wall s':>8} {'cores obtained':>15} "
              f"{'x real time per core':>21}")
        for workers, speed, cpu_per_hour, wall, cores in rows:
            print(f"{workers:>7} {speed:>12.1f} {cpu_per_hour:>18.0f} {wall:>8.2f} {cores:>15.2f} "
                  f"{speed / cores:>21.1f}")
        if len(rows) > 1:
            print(f"scaling {rows[0][0]} -> {rows[-1][0]} workers: {rows[-1][1] / rows[0][1]:.2f}x")
        audio_seconds = args.minutes * 60
        print(f"I/O: {input_bytes / audio_seconds / 1e3:.0f} kB read and about as much written per audio second")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Cleaning folders of audio on a Dask cluster: every file a task, the same result as `murel process`.

    from murel.batch import run
    summary = run("archive/", "clean/", models=["speech-denoiser.model"], gains=["Noise=0"])
    print(summary)              # done, skipped, failed with reasons, audio hours, x real time

Each file runs through a processor of its worker: processors are kept per worker thread and per
channel count and rate, so a model loads once per worker (and per format it meets), not once per
file. Outputs are those of `murel process` with the same options, byte for byte: same file type,
sample format, rate, channels and length as the input, text tags copied, written to a temporary
file beside the target and renamed when complete. An existing output is never replaced unless
`overwrite` is given; one that is complete (it opens, and has the format, rate, channels and
length the input gives and is newer than the input) is skipped, so an interrupted run resumes where
it stopped. A file that fails is reported with its reason and never stops the others.

Without a scheduler address the run starts a local cluster of one single-threaded worker process
per core; with one (`tcp://host:8786`) it runs on that cluster, whose workers must see the input,
output and model paths under the same names (a shared file system) and import this package.
"""

import argparse
import collections
import dataclasses
import logging
import math
import os
import sys
import threading
import time
import warnings

import numpy as np

from .audiofile import EXTENSIONS, AudioFileError, Reader, Writer, file_extension, output_format
from .engine import EngineError, Processor

BLOCK_SIZE = 4096  # frames read and pushed at a time, as the tool; the result does not depend on it
MAX_CONTROLLED_BUSES = 16
# Processors kept per worker thread, one entry per (models, channels, rate): archives mix a few
# formats, and re-creating a processor reloads its models.
PROCESSOR_CACHE_SIZE = 4
# The gain of the residual (last) bus when no gain, solo, residual or stems option is given, as
# gain text ("0", "-12dB"); None keeps every bus at unity, as `murel process` does.
DEFAULT_RESIDUAL = None


class UsageError(ValueError):
    """Options that cannot work for any file: an unknown bus, a bad value, clashing outputs."""


# Bus settings, as the tool reads them -----------------------------------------------------------


def _lower(text):
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def _trim(text):
    return text.strip(" \t")


def _number(text):
    if not text or text != text.strip():
        return None
    try:
        value = float(text)
    except ValueError:
        return None
    return None if math.isnan(value) else value


def _list_buses(names):
    return ", ".join(f"{index} '{name}'" for index, name in enumerate(names))


def find_bus(names, bus):
    """The index of a bus named exactly, else case-insensitively and uniquely, else by index."""
    if bus in names:
        return names.index(bus)
    matches = [index for index, name in enumerate(names) if _lower(name) == _lower(bus)]
    if len(matches) > 1:
        raise UsageError(f"bus name '{bus}' is ambiguous; use its index (buses: {_list_buses(names)})")
    if matches:
        return matches[0]
    if bus and all("0" <= c <= "9" for c in bus) and len(bus) < 6 and int(bus) < len(names):
        return int(bus)
    raise UsageError(f"unknown bus '{bus}'; the buses are {_list_buses(names)}")


def parse_gain(text):
    """A linear factor from 0 to 100 or a level in dB ("-12dB", "-inf dB"), as a float32 value."""
    lower = _lower(_trim(text))
    if len(lower) > 2 and lower.endswith("db"):
        level = _trim(lower[:-2])
        if level in ("-inf", "-infinity"):
            return 0.0
        value = _number(level)
        if value is None or math.isinf(value):
            raise UsageError(f"bad gain '{text}': expected a level such as -12dB")
        if value > 40.0:
            raise UsageError(f"gain '{text}' is above the largest, 40 dB")
        return float(np.float32(10.0 ** (value / 20.0)))
    value = _number(lower)
    if value is None or math.isinf(value):
        raise UsageError(f"bad gain '{text}': expected a factor such as 0.5 or a level such as -6dB")
    if value < 0.0:
        raise UsageError(f"gain '{text}' is negative; write levels in decibels with dB, e.g. {text}dB")
    if value > 100.0:
        raise UsageError(f"gain '{text}' is above the largest factor, 100")
    return float(np.float32(value))


def parse_sensitivity(text):
    value = _number(_trim(text))
    if value is None or not -100.0 <= value <= 100.0:
        raise UsageError(f"bad sensitivity '{text}': expected a number from -100 to 100")
    return float(np.float32(value))


def _split(names, request, option):
    equals = request.rfind("=")
    if equals <= 0:
        raise UsageError(f"{option} expects BUS=VALUE, not '{request}'")
    return find_bus(names, _trim(request[:equals])), _trim(request[equals + 1:])


def _check_controlled(names, bus, what):
    if bus >= MAX_CONTROLLED_BUSES:
        raise UsageError(f"{what} bus {bus} '{names[bus]}': the engine controls buses 0 to "
                         f"{MAX_CONTROLLED_BUSES - 1} only")


def isolate(mix, bus):
    """The mix with only one bus audible, at the gain the mix gives it."""
    gains, sensitivities = mix
    if len(gains) > MAX_CONTROLLED_BUSES:
        raise UsageError(f"cannot isolate a bus of {len(gains)} buses: the engine silences buses 0 to "
                         f"{MAX_CONTROLLED_BUSES - 1} only")
    return [g if index == bus else 0.0 for index, g in enumerate(gains)], list(sensitivities)


@dataclasses.dataclass(frozen=True)
class Options:
    """What every file gets: the tool's process options."""

    models: tuple
    gains: tuple = ()  # "BUS=GAIN" texts, BUS a name or index
    sensitivities: tuple = ()  # "BUS=VALUE"
    solo: str = None  # the bus the mixed output keeps alone
    residual: str = None  # gain text for the residual (last) bus
    stems: bool = False  # every bus to NAME/BUS.EXT beside where the mixed file would go
    mix: bool = True  # the mixed file (off for stems only)
    overwrite: bool = False
    block_size: int = BLOCK_SIZE

    def residual_gain(self):
        if self.residual is not None:
            return self.residual
        if not self.gains and self.solo is None and not self.stems:
            return DEFAULT_RESIDUAL
        return None

    def resolve(self, names, solo=True):
        """(gains, sensitivities) for every bus; solo=False ignores --solo (for the stems)."""
        gains, sensitivities = [1.0] * len(names), [0.0] * len(names)
        residual = self.residual_gain()
        if residual is not None and names:
            value = parse_gain(residual)
            _check_controlled(names, len(names) - 1, "cannot set the gain of")
            gains[-1] = value
        for request in self.gains:
            bus, text = _split(names, request, "--gain")
            value = parse_gain(text)
            _check_controlled(names, bus, "cannot set the gain of")
            gains[bus] = value
        for request in self.sensitivities:
            bus, text = _split(names, request, "--sensitivity")
            value = parse_sensitivity(text)
            _check_controlled(names, bus, "cannot set the sensitivity of")
            sensitivities[bus] = value
        mix = gains, sensitivities
        if solo and self.solo is not None:
            mix = isolate(mix, find_bus(names, _trim(self.solo)))
        return mix


def stem_file_names(names, extension):
    """Bus names made safe as file names, as the tool names stems."""
    stems = []
    for name in names:
        stem = "".join("_" if c in "/\\" or ord(c) < 32 or ord(c) == 127 else c for c in name)
        stems.append("_" + stem[1:] if stem.startswith(".") else stem)
    files = []
    for index, stem in enumerate(stems):
        name = stem if stem else f"bus{index}"
        if stem and stems.count(stem) > 1:
            name += f"-{index}"
        files.append(f"{name}.{extension}")
    return files


# Planning ---------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Job:
    input: str
    output: str  # where the mixed file goes (also names the stems folder: without its extension)
    size: int = 0

    @property
    def stems_folder(self):
        return os.path.splitext(self.output)[0]


def is_audio_name(name):
    return not name.startswith(".") and "." in name and name.rsplit(".", 1)[1].lower() in EXTENSIONS


def plan(inputs, output):
    """Jobs for folders (walked for audio files by extension; hidden entries and the output folder
    are left out) and files. A folder's files keep their paths under it below `output`, a file
    goes to `output` by its name. Raises UsageError when two inputs would share an output or an
    output would replace its input."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    output = os.path.abspath(output)
    jobs, claimed = [], {}

    def add(path, target):
        if target in claimed:
            raise UsageError(f"'{path}' and '{claimed[target]}' would both be written to '{target}'")
        if os.path.abspath(path) == target:
            raise UsageError(f"'{path}' would be replaced by its own output; choose another output folder")
        claimed[target] = path
        jobs.append(Job(path, target, os.stat(path).st_size))

    for item in inputs:
        item = os.path.abspath(item)
        if os.path.isdir(item):
            for folder, folders, files in os.walk(item):
                folders[:] = sorted(f for f in folders
                                    if not f.startswith(".") and os.path.join(folder, f) != output)
                for name in sorted(files):
                    path = os.path.join(folder, name)
                    if is_audio_name(name) and os.path.isfile(path):
                        add(path, os.path.join(output, os.path.relpath(path, item)))
        elif os.path.exists(item):
            add(item, os.path.join(output, os.path.basename(item)))
        else:
            raise UsageError(f"cannot open '{item}': no such file or folder")
    return jobs


# Work on a worker -------------------------------------------------------------------------------

_local = threading.local()


def _processors(models, channels, rate, count):
    """count processors for the format, from this thread's cache; returns them and how many
    were created (each creation loads the models)."""
    cache = getattr(_local, "cache", None)
    if cache is None:
        cache = _local.cache = collections.OrderedDict()
    key = (tuple(models), channels, rate)
    entry = cache.pop(key, [])
    created = 0
    while len(entry) < count:
        entry.append(Processor(list(models), channels, rate))
        created += 1
    cache[key] = entry
    while len(cache) > PROCESSOR_CACHE_SIZE:
        for processor in cache.popitem(last=False)[1]:
            processor.close()
    for processor in entry[:count]:
        processor.reset()
    return entry[:count], created


def _apply(processor, mix):
    gains, sensitivities = mix
    for bus in range(min(len(gains), MAX_CONTROLLED_BUSES)):
        processor.set_gain(bus, gains[bus])
        processor.set_sensitivity(bus, sensitivities[bus])


def _state(path, reader, fmt):
    """'missing', 'complete' (this input's output, as a finished earlier run leaves it) or
    'other'."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return "missing"
    if not os.path.isfile(path) or status.st_mtime_ns < os.stat(reader.path).st_mtime_ns:
        return "other"
    try:
        with Reader(path) as written:
            same = (written.format, written.channels, written.rate) == (fmt, reader.channels, reader.rate)
            return "complete" if same and (reader.frames < 0 or written.frames == reader.frames) else "other"
    except AudioFileError:
        return "other"


def _render(reader, targets, block_size):
    """The tool's render loop: the input read once in blocks, every processor drained after each
    block, then flushed with silence until it has given the input's length."""
    channels = reader.channels
    block = np.zeros((block_size, channels), dtype=np.float32)
    written = [0] * len(targets)

    def drain(index, limit):
        processor, writer = targets[index]
        take = min(processor.pending, limit - written[index])
        while take > 0:
            frames = processor.pull_interleaved(min(take, block_size))
            if frames.shape[0] == 0:
                raise EngineError("the processor did not deliver the audio it reported as pending")
            writer.write(frames)
            written[index] += frames.shape[0]
            take -= frames.shape[0]

    total = 0
    while True:
        count = reader.read(block)
        if count == 0:
            break
        total += count
        for index, (processor, _) in enumerate(targets):
            processor.push_interleaved(block[:count])
            drain(index, total)
    block[:] = 0.0
    for index, (processor, _) in enumerate(targets):
        most = max(processor.latency, 0) + block_size
        silent = 0
        while written[index] < total:
            if silent >= most:
                raise EngineError(f"the processor returned {total - written[index]} frames fewer than it was "
                                  f"given, more than its reported latency of {processor.latency} samples explains")
            count = min(block_size, most - silent)
            processor.push_interleaved(block[:count])
            silent += count
            drain(index, total)
    return total


def process_file(job, options):
    """Runs one file; never raises. Returns a dict: input, status ("done", "skipped" or
    "failed"), reason, outputs, seconds of audio, cpu seconds, clipped samples, model loads."""
    cpu = time.process_time()
    result = {"input": job.input, "status": "failed", "reason": "", "outputs": [], "seconds": 0.0, "cpu": 0.0,
              "clipped": 0, "loads": 0}
    writers, made_folder = [], None
    try:
        with Reader(job.input) as reader:
            channels, rate = reader.channels, reader.rate
            if reader.frames >= 0:
                result["seconds"] = reader.frames / rate
            fmt = output_format(reader.format, channels, rate, job.output)
            if not options.stems and not options.overwrite and _state(job.output, reader, fmt) == "complete":
                result.update(status="skipped", outputs=[job.output])
                return result
            # A processor per target: the engine mixes its buses, so each stem hears only its own.
            processors, result["loads"] = _processors(options.models, channels, float(rate), 1)
            names = processors[0].buses
            wanted = []  # (path, format, mix)
            if options.mix:
                wanted.append((job.output, fmt, options.resolve(names)))
            if options.stems:
                stem_format = fmt if options.mix else output_format(reader.format, channels, rate, "")
                stem_mix = options.resolve(names, solo=False)
                for bus, name in enumerate(stem_file_names(names, file_extension(stem_format))):
                    wanted.append((os.path.join(job.stems_folder, name), stem_format, isolate(stem_mix, bus)))
            todo = []
            for path, target_format, mix in wanted:
                state = "missing" if options.overwrite else _state(path, reader, target_format)
                if state == "other":
                    raise AudioFileError(f"'{path}' exists and is not a complete output of this input; "
                                         "not overwritten (--overwrite replaces it)")
                if state == "missing":
                    todo.append((path, target_format, mix))
            if not todo:
                result.update(status="skipped", outputs=[path for path, _, _ in wanted])
                return result
            processors, loads = _processors(options.models, channels, float(rate), len(todo))
            result["loads"] += loads
            tags = reader.tags()
            os.makedirs(os.path.dirname(job.output), exist_ok=True)
            if options.stems and not os.path.isdir(job.stems_folder):
                os.mkdir(job.stems_folder)
                made_folder = job.stems_folder
            targets = []
            for (path, target_format, mix), processor in zip(todo, processors):
                _apply(processor, mix)
                writers.append(Writer(path, target_format, channels, rate, tags))
                targets.append((processor, writers[-1]))
            frames = _render(reader, targets, options.block_size)
            for writer in writers:
                writer.close()
            for writer in writers:
                writer.commit(replace=options.overwrite)
            result.update(status="done", seconds=frames / rate, outputs=[w.path for w in writers],
                          clipped=sum(w.clipped for w in writers))
    except (AudioFileError, EngineError, UsageError, OSError) as error:
        result["reason"] = str(error)
    except Exception as error:  # a failure of one file must not stop the others
        result["reason"] = f"{type(error).__name__}: {error}"
    finally:
        for writer in writers:
            writer.discard()
        if made_folder and result["status"] == "failed":
            try:
                os.rmdir(made_folder)  # as the tool: a stems folder of a failed file goes again
            except OSError:
                pass
        result["cpu"] = time.process_time() - cpu
    return result


# The run ----------------------------------------------------------------------------------------


@dataclasses.dataclass
class Summary:
    results: list
    wall_seconds: float
    workers: int = 0

    def _with(self, status):
        return [r for r in self.results if r["status"] == status]

    @property
    def done(self):
        return self._with("done")

    @property
    def skipped(self):
        return self._with("skipped")

    @property
    def failed(self):
        return self._with("failed")

    @property
    def audio_seconds(self):
        """Audio processed in this run (skipped files not counted)."""
        return sum(r["seconds"] for r in self.done)

    @property
    def cpu_seconds(self):
        return sum(r["cpu"] for r in self.done)

    @property
    def x_real_time(self):
        return self.audio_seconds / self.wall_seconds if self.wall_seconds > 0 else 0.0

    @property
    def model_loads(self):
        return sum(r["loads"] for r in self.results)

    def __str__(self):
        hours = self.audio_seconds / 3600
        lines = [f"{len(self.done)} done, {len(self.skipped)} skipped, {len(self.failed)} failed in "
                 f"{self.wall_seconds:.1f} s on {self.workers} worker{'' if self.workers == 1 else 's'}",
                 f"{hours:.3f} h of audio processed, {self.x_real_time:.1f}x real time"
                 + (f", {self.cpu_seconds / hours:.0f} s CPU per audio hour" if hours > 0 else "")
                 + f", {self.model_loads} processor{'' if self.model_loads == 1 else 's'} created"]
        clipped = [r for r in self.done if r["clipped"]]
        if clipped:
            lines.append(f"samples clipped in {len(clipped)} file{'' if len(clipped) == 1 else 's'}; lower a gain")
        lines += [f"failed: {r['input']}: {r['reason']}" for r in self.failed]
        return "\n".join(lines)


def default_models():
    """The shipped default model of an installed copy, if there is one."""
    try:
        from . import _install
    except ImportError:
        return []
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.path.normpath(os.path.join(here, _install.MODELS, "speech-denoiser.model"))
    return [path] if os.path.exists(path) else []


def _check_options(options):
    """Refuses bus options that cannot work before any task starts, where the model loads here."""
    try:
        with Processor(list(options.models), 1, 48000.0) as processor:
            names = processor.buses
    except EngineError:
        return  # the workers report it per file, with the reason (they may see other paths)
    options.resolve(names)
    options.resolve(names, solo=False)


def run(inputs, output, models=None, gains=(), sensitivities=(), solo=None, residual=None, stems=False, mix=None,
        overwrite=False, scheduler=None, workers=None, client=None, progress=None, block_size=BLOCK_SIZE):
    """Processes folders or files into the folder `output` on a Dask cluster and returns a
    Summary. `scheduler` is a Dask scheduler address, `client` a dask.distributed Client;
    without either a local cluster of `workers` single-threaded processes (default: one per
    core) runs for the call. `progress(result, results_so_far, total)` is called in the
    caller's thread as each file finishes. `mix` defaults to not `stems`: with stems=True, mix=True
    writes both. Raises UsageError for options that cannot work for any file."""
    models = [models] if isinstance(models, (str, os.PathLike)) else list(models or default_models())
    if not models:
        raise UsageError("give a model file (none is installed to use by default)")
    options = Options(models=tuple(os.path.abspath(m) for m in models), gains=tuple(gains),
                      sensitivities=tuple(sensitivities), solo=solo, residual=residual, stems=bool(stems),
                      mix=(not stems) if mix is None else bool(mix), overwrite=bool(overwrite),
                      block_size=int(block_size))
    if not options.mix and not options.stems:
        raise UsageError("nothing to write: ask for the mixed file, the stems, or both")
    if options.solo is not None and not options.mix:
        raise UsageError("solo chooses what goes into the mixed file; with stems alone every bus gets its own file")
    if not 1 <= options.block_size <= 1 << 20:
        raise UsageError("the block size must be from 1 to 1048576 frames")
    _check_options(options)
    jobs = sorted(plan(inputs, output), key=lambda job: -job.size)  # longest first balances the end

    from dask.distributed import Client, LocalCluster, as_completed

    owned = []
    try:
        if client is None:
            if scheduler is not None:
                client = Client(scheduler)
            else:
                with warnings.catch_warnings():
                    # Its health page moves to a free port when another cluster has the usual one.
                    warnings.filterwarnings("ignore", message="Port .* is already in use")
                    cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                                           processes=True, dashboard_address=None, silence_logs=logging.ERROR)
                owned.append(cluster)
                client = Client(cluster)
            owned.insert(0, client)
        worker_count = len(client.scheduler_info().get("workers", {}))
        started = time.monotonic()  # the cluster's start is not the files' time
        futures = client.map(process_file, jobs, options=options, pure=False, retries=0)
        job_of = {future.key: job for future, job in zip(futures, jobs)}
        results = []
        try:
            for future in as_completed(futures):
                try:
                    result = future.result()
                except Exception as error:  # the worker died or could not run the task
                    result = {"input": job_of[future.key].input, "status": "failed", "outputs": [], "seconds": 0.0,
                              "cpu": 0.0, "clipped": 0, "loads": 0,
                              "reason": f"the task failed on its worker: {type(error).__name__}: {error}"}
                results.append(result)
                if progress is not None:
                    progress(result, results, len(jobs))
        except BaseException:
            client.cancel(futures)
            raise
        return Summary(results, time.monotonic() - started, worker_count)
    finally:
        for owned_object in owned:
            owned_object.close()


# The command ------------------------------------------------------------------------------------


def _duration(seconds):
    if seconds >= 3600:
        return f"{int(seconds // 3600)} h {int(seconds % 3600 // 60):02d} min"
    return f"{int(seconds // 60)} min {int(seconds % 60):02d} s" if seconds >= 60 else f"{seconds:.1f} s"


class _Progress:
    """One line redrawn on a terminal; elsewhere only failures, as they happen."""

    def __init__(self, stream, quiet):
        self.stream, self.quiet = stream, quiet
        self.terminal = stream.isatty() and not quiet
        self.started = time.monotonic()

    def __call__(self, result, results, total):
        if result["status"] == "failed" and not self.quiet:
            self._clear()
            print(f"murel-batch: {result['input']}: {result['reason']}", file=self.stream)
        if self.terminal:
            counts = collections.Counter(r["status"] for r in results)
            seconds = sum(r["seconds"] for r in results if r["status"] == "done")
            wall = max(time.monotonic() - self.started, 1e-9)
            width = 24
            filled = width * len(results) // max(total, 1)
            line = (f"[{'#' * filled}{'.' * (width - filled)}] {len(results)}/{total} files, {counts['failed']} failed, "
                    f"{_duration(seconds)} of audio, {seconds / wall:.0f}x real time")
            self.stream.write("\r" + line[:200] + "\x1b[K")
            self.stream.flush()

    def _clear(self):
        if self.terminal:
            self.stream.write("\r\x1b[K")

    def finish(self):
        if self.terminal:
            self.stream.write("\n")
            self.stream.flush()


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="murel-batch",
        description="Process folders of audio files as `murel process` does, file by file on a Dask cluster. "
                    "A folder's audio files (by extension, recursively) keep their paths below OUTPUT; "
                    "existing complete outputs are skipped, so a run resumes where it stopped.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="audio files and folders")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="the output folder")
    parser.add_argument("-m", "--model", action="append", default=[], metavar="MODEL",
                        help="a model file; several make a stem separator (default: the installed speech denoiser)")
    parser.add_argument("-g", "--gain", action="append", default=[], metavar="BUS=GAIN",
                        help="gain of a bus: a factor from 0 to 100 or a level such as -12dB")
    parser.add_argument("-s", "--sensitivity", action="append", default=[], metavar="BUS=VALUE",
                        help="sensitivity of a bus, -100 (permissive) to 100 (strict)")
    parser.add_argument("--solo", metavar="BUS", help="keep only this bus in the output")
    parser.add_argument("--residual", metavar="GAIN", help="gain of the residual (last) bus")
    parser.add_argument("--stems", action="store_true",
                        help="write every bus to NAME/BUS.EXT instead of the mixed file NAME.EXT")
    parser.add_argument("--with-mix", action="store_true", help="with --stems, write the mixed file as well")
    parser.add_argument("--overwrite", action="store_true", help="replace existing outputs, complete or not")
    parser.add_argument("-j", "--workers", type=int, metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler to run on, e.g. tcp://host:8786")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    progress = _Progress(sys.stderr, args.quiet)
    try:
        summary = run(args.inputs, args.output, models=args.model, gains=args.gain, sensitivities=args.sensitivity,
                      solo=args.solo, residual=args.residual, stems=args.stems,
                      mix=True if args.with_mix else None, overwrite=args.overwrite, scheduler=args.scheduler,
                      workers=args.workers, progress=progress)
    except UsageError as error:
        print(f"murel-batch: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        progress.finish()
        print("murel-batch: interrupted; run again to resume", file=sys.stderr)
        return 130
    progress.finish()
    print(summary)
    return 1 if summary.failed else 0


if __name__ == "__main__":
    # Through the package, so that tasks name murel.batch.process_file rather than __main__'s copy.
    from murel import batch

    sys.exit(batch.main())

"""Cleaning folders of audio on a Dask cluster: every file a task, the same result as `murel process`.

    from murel.batch import run

    if __name__ == "__main__":      # Dask's local workers import the main module again
        summary = run("archive/", "clean/")
        print(summary)              # done, skipped, failed with reasons, audio hours, x real time

With no bus options the residual bus (the noise, for the default speech denoiser) is removed, as
`murel process` does; the bus options are the tool's, and the engine applies them
(murelApplyHostMix), so both hosts mix alike. Without models each file gets the installed
default model for its rate, or with `--separator` (run(model_set="separator")) the installed
stem separator; `--separate` writes its Dialogue, Music and Effects stems for every file, as
`murel separate` does.

Each file runs through a processor of its worker: processors are kept per worker thread and per
channel count and rate, so a model loads once per worker (and per format it meets), not once per
file. Outputs are those of `murel process` with the same options, byte for byte: same file type,
sample format, rate, channels and length as the input, text tags copied, written to a temporary
file beside the target (".NAME.murel-XXXXXXXX") and renamed when complete.

What made each output is recorded in the manifest, the folder MANIFEST in the output folder:
one JSON line per output written, with the input (path, size, time), the models (path,
SHA-256), the engine's mix settings and the output's size and time. Each worker process appends
to a file of its own there (no locking, also on a shared file system), just before it renames
its finished output into place. A rerun skips an output whose record matches; one that this
command made otherwise (other options, models or input) is made again and replaced; any other
file in the way (not recorded, or changed since) is kept and reported unless `overwrite` is
given. Temporary files of a killed run are removed by the next run into the same folder (two
runs into one folder at once are not supported).

Without a scheduler address the run starts a local cluster of one single-threaded worker process
per core; with one (`tcp://host:8786`) it runs on that cluster, whose workers must see the input,
output and model paths under the same names (a shared file system) and import this package.
Before any file is submitted every worker loads the library and the models: a worker that cannot
fails the run at once with its reason.
"""

import argparse
import ast
import collections
import dataclasses
import hashlib
import json
import logging
import multiprocessing
import os
import signal
import socket
import sys
import threading
import time
import warnings

import numpy as np

from .audiofile import EXTENSIONS, AudioFileError, Reader, Writer, file_extension, output_format, temporary_owner
from .engine import EngineError, Processor, default_model, model_set

BLOCK_SIZE = 4096  # frames read and pushed at a time, as the tool; the result does not depend on it
# Processors kept per worker thread, one entry per (models, channels, rate): archives mix a few
# formats, and re-creating a processor reloads its models.
PROCESSOR_CACHE_SIZE = 4
MANIFEST = ".murel-batch"
# How long a scheduler given by address may take to show its first worker.
WORKER_WAIT_SECONDS = 60


class UsageError(ValueError):
    """Options that cannot work for any file: an unknown bus, a bad value, clashing outputs."""


class ClusterError(RuntimeError):
    """The workers cannot run the files: no workers, or a worker that cannot import this package
    or load the library or a model. Raised before any file is submitted."""


@dataclasses.dataclass(frozen=True)
class Options:
    """What every file gets: the tool's process options."""

    models: tuple = ()  # empty: the installed model set (or default model) for each file's rate
    model_set: str = None  # "separator": the installed separator instead of the default model
    gains: tuple = ()  # "BUS=GAIN" texts, BUS a name or index
    sensitivities: tuple = ()  # "BUS=VALUE"
    solo: str = None  # the bus the mixed output keeps alone
    residual: str = None  # gain text for the residual (last) bus
    stems: bool = False  # every bus to NAME/BUS.EXT beside where the mixed file would go
    mix: bool = True  # the mixed file (off for stems only)
    overwrite: bool = False
    block_size: int = BLOCK_SIZE
    manifest: str = None  # the manifest folder that records the outputs; None records nothing

    def model_files(self, rate):
        """The models for a file at `rate`, as the tool finds them."""
        if self.models:
            return list(self.models)
        return model_set(self.model_set, rate) if self.model_set else [default_model(rate)]

    def settings(self):
        """The engine's mix settings for the mixed file, as the tool makes them."""
        settings = [f"gain={g}" for g in self.gains] + [f"sensitivity={s}" for s in self.sensitivities]
        if self.solo is not None:
            settings.append(f"solo={self.solo}")
        if self.residual is not None:
            settings.append(f"residual={self.residual}")
        if self.stems:
            settings.append("stems")
        return settings

    def stem_settings(self, bus):
        """As the tool: each stem is its bus alone at the gain --gain gives it; --solo and
        --residual shape only the mixed file."""
        return ([f"gain={g}" for g in self.gains] + [f"sensitivity={s}" for s in self.sensitivities]
                + [f"solo={bus}", "stems"])


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
    recorded: tuple = ()  # (path, manifest entry as JSON) for every record of this job's outputs

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
_digests = {}


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
        entry.append(Processor(list(models), channels, rate, mix=False))
        created += 1
    cache[key] = entry
    while len(cache) > PROCESSOR_CACHE_SIZE:
        for processor in cache.popitem(last=False)[1]:
            processor.close()
    for processor in entry[:count]:
        processor.reset()
    return entry[:count], created


def _digest(path):
    """The SHA-256 of a model file, computed once per file version."""
    status = os.stat(path)
    key = (path, status.st_size, status.st_mtime_ns)
    if key not in _digests:
        hasher = hashlib.sha256()
        with open(path, "rb") as file:
            for chunk in iter(lambda: file.read(1 << 20), b""):
                hasher.update(chunk)
        _digests[key] = hasher.hexdigest()
    return _digests[key]


def _recipe(job, models, settings):
    """What makes an output: its input as it is now, the models' contents and the mix."""
    status = os.stat(job.input)
    return {"input": job.input, "input_size": status.st_size, "input_mtime_ns": status.st_mtime_ns,
            "models": [[path, _digest(path)] for path in models], "settings": list(settings)}


def _same_recipe(a, b):
    def key(recipe):
        return (recipe["input"], recipe["input_size"], recipe["input_mtime_ns"],
                [digest for _, digest in recipe["models"]], recipe["settings"])

    return key(a) == key(b)


def _state(path, recipe, recorded, overwrite):
    """'missing', 'done' (recorded with this recipe and unchanged since), 'redo' (made by this
    command otherwise, or overwrite given) or 'foreign' (any other file: kept). An output is
    known by its size and time; every record counts, since a run killed after recording an
    output but before renaming it into place leaves the older output under the name."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return "missing"
    if overwrite:
        return "redo"
    entries = [entry for entry in recorded.get(path, ())
               if (entry["size"], entry["mtime_ns"]) == (status.st_size, status.st_mtime_ns)]
    if not entries or not os.path.isfile(path):
        return "foreign"
    return "done" if _same_recipe(entries[-1], recipe) else "redo"


def _journal(folder, entries):
    """Appends records to this process's file in the manifest folder, in one write."""
    os.makedirs(folder, exist_ok=True)
    name = f"{socket.gethostname()}-{os.getpid()}.jsonl"
    descriptor = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    try:
        os.write(descriptor, "".join(json.dumps(entry, sort_keys=True) + "\n" for entry in entries).encode())
    finally:
        os.close(descriptor)


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
        recorded = collections.defaultdict(list)
        for path, entry in job.recorded:
            recorded[path].append(json.loads(entry))
        with Reader(job.input) as reader:
            channels, rate = reader.channels, reader.rate
            if reader.frames >= 0:
                result["seconds"] = reader.frames / rate
            models = options.model_files(float(rate))
            fmt = output_format(reader.format, channels, rate, job.output)
            wanted = []  # (path, format, settings)
            if options.mix:
                wanted.append((job.output, fmt, options.settings()))
            if options.stems:
                # A processor per target: the engine mixes its buses, so each stem hears only its own.
                processors, result["loads"] = _processors(models, channels, float(rate), 1)
                names = processors[0].buses
                stem_format = fmt if options.mix else output_format(reader.format, channels, rate, "")
                for bus, name in enumerate(stem_file_names(names, file_extension(stem_format))):
                    wanted.append((os.path.join(job.stems_folder, name), stem_format, options.stem_settings(bus)))
            todo = []
            for path, target_format, settings in wanted:
                recipe = _recipe(job, models, settings)
                state = _state(path, recipe, recorded, options.overwrite)
                if state == "foreign":
                    raise AudioFileError(f"'{path}' exists and was not made by murel-batch from this input "
                                         "(or changed since); not overwritten (--overwrite replaces it)")
                if state != "done":
                    todo.append((path, target_format, settings, recipe, state == "redo"))
            if not todo:
                result.update(status="skipped", outputs=[path for path, _, _ in wanted])
                return result
            processors, loads = _processors(models, channels, float(rate), len(todo))
            result["loads"] += loads
            tags = reader.tags()
            os.makedirs(os.path.dirname(job.output), exist_ok=True)
            if options.stems and not os.path.isdir(job.stems_folder):
                os.mkdir(job.stems_folder)
                made_folder = job.stems_folder
            targets = []
            for (path, target_format, settings, _, _), processor in zip(todo, processors):
                processor.apply_mix(settings)
                writers.append(Writer(path, target_format, channels, rate, tags))
                targets.append((processor, writers[-1]))
            frames = _render(reader, targets, options.block_size)
            entries = []
            for writer, (path, _, _, recipe, _) in zip(writers, todo):
                writer.close()
                status = os.stat(writer.temporary)  # a rename keeps size and time
                entries.append(dict(recipe, output=os.path.relpath(path, os.path.dirname(options.manifest))
                                    if options.manifest else path, size=status.st_size, mtime_ns=status.st_mtime_ns))
            if options.manifest:
                _journal(options.manifest, entries)
            for writer, (_, _, _, _, replace) in zip(writers, todo):
                writer.commit(replace=replace)
            result.update(status="done", seconds=frames / rate, outputs=[w.path for w in writers],
                          clipped=sum(w.clipped for w in writers))
    except (AudioFileError, EngineError, UsageError, ValueError, OSError) as error:
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


def probe(options):
    """Loads the library and the models and applies the mix settings, as every file will:
    returns the bus names and the note about the mix. Raises EngineError when the models do
    not load and UsageError for settings that cannot work. Runs on every worker before a run."""
    models = options.model_files(0.0)
    try:
        with Processor(models, 1, 48000.0, mix=False) as processor:
            note = processor.apply_mix(options.settings()) if options.mix else ""
            if options.stems:
                processor.apply_mix(options.stem_settings(0))
            return processor.buses, note
    except ValueError as error:
        raise UsageError(str(error)) from None


# The run ----------------------------------------------------------------------------------------


@dataclasses.dataclass
class Summary:
    results: list
    wall_seconds: float
    workers: int = 0
    note: str = ""  # what the mix does that the options did not say (the tool's note)
    removed: list = dataclasses.field(default_factory=list)  # temporary files of a killed run

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
        if self.removed:
            lines.append(f"removed {len(self.removed)} temporary file{'' if len(self.removed) == 1 else 's'} "
                         "of an interrupted run")
        clipped = [r for r in self.done if r["clipped"]]
        if clipped:
            lines.append(f"samples clipped in {len(clipped)} file{'' if len(clipped) == 1 else 's'}; lower a gain")
        lines += [f"failed: {r['input']}: {r['reason']}" for r in self.failed]
        return "\n".join(lines)


def read_manifest(output):
    """Every record of the outputs under the folder `output`: {absolute path: [entries, oldest
    first within each worker's file]}."""
    entries = collections.defaultdict(list)
    folder = os.path.join(output, MANIFEST)
    try:
        names = sorted(name for name in os.listdir(folder) if name.endswith(".jsonl"))
    except FileNotFoundError:
        return entries
    for name in names:
        with open(os.path.join(folder, name), encoding="utf-8") as journal:
            for line in journal:
                try:
                    entry = json.loads(line)
                    entries[os.path.join(output, entry["output"])].append(entry)
                except (ValueError, KeyError, TypeError):
                    continue  # a line cut short by a killed run
    return entries


def remove_temporaries(jobs):
    """Removes the temporary files that a killed run left beside the jobs' outputs (and in their
    stems folders); returns their paths."""
    owners = collections.defaultdict(set)
    for job in jobs:
        owners[os.path.dirname(job.output)].add(os.path.basename(job.output))
        owners[job.stems_folder].add(None)  # any stem
    removed = []
    for folder, names in owners.items():
        try:
            entries = os.listdir(folder)
        except OSError:
            continue
        for entry in entries:
            owner = temporary_owner(entry)
            if owner is not None and (owner in names or None in names):
                try:
                    os.unlink(os.path.join(folder, entry))
                    removed.append(os.path.join(folder, entry))
                except OSError:
                    pass
    return removed


def _check_workers(client, options):
    """Runs probe on every worker; raises ClusterError naming each worker that cannot and why."""
    try:
        client.wait_for_workers(1, timeout=WORKER_WAIT_SECONDS)
    except (TimeoutError, OSError) as error:
        raise ClusterError(f"no worker joined the scheduler within {WORKER_WAIT_SECONDS} s") from error
    answers = client.run(probe, options, on_error="return")
    failures = []
    for worker, answer in sorted(answers.items()):
        if isinstance(answer, UsageError):
            raise answer
        if isinstance(answer, BaseException):
            reason = f"{type(answer).__name__}: {answer}"
            if isinstance(answer, ImportError):
                reason += " (install the murel package where the workers run, or set their PYTHONPATH)"
            failures.append(f"{worker}: {reason}")
    if failures:
        raise ClusterError("the workers cannot run the files: " + "; ".join(failures))
    return next(iter(answers.values()))


def _local_cluster(workers):
    """A local cluster whose worker processes ignore Ctrl-C: the terminal sends it to the whole
    process group, and the client alone stops the run (and the workers with it)."""
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if threading.current_thread() is threading.main_thread() \
        else None
    try:
        with warnings.catch_warnings():
            # Its health page moves to a free port when another cluster has the usual one.
            warnings.filterwarnings("ignore", message="Port .* is already in use")
            from dask.distributed import LocalCluster

            return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1, processes=True,
                                dashboard_address=None, silence_logs=logging.CRITICAL)
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)


def _guarded_call():
    """False when run() is called from the top level of a script outside an `if __name__ ...`
    block: every local worker process imports that script again and would start a cluster of
    its own (Dask then restarts the failing workers endlessly)."""
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        return False  # this is a worker importing the script
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    name = getattr(getattr(main, "__spec__", None), "name", None) or ""
    if name == "__main__" or name.endswith(".__main__"):
        return True  # a package's __main__ (python -m unittest): workers do not import it again
    frame = sys._getframe(1)
    while frame is not None and frame.f_globals is not getattr(main, "__dict__", None):
        frame = frame.f_back
    while frame is not None and frame.f_back is not None and frame.f_back.f_globals is frame.f_globals:
        frame = frame.f_back  # the outermost frame of the script
    if path is None or frame is None or frame.f_code.co_name != "<module>":
        return True
    try:
        with open(path, encoding="utf-8") as source:
            tree = ast.parse(source.read())
    except (OSError, SyntaxError, ValueError):
        return True
    line = frame.f_lineno

    def guarded(node):
        for child in ast.iter_child_nodes(node):
            start, end = getattr(child, "lineno", None), getattr(child, "end_lineno", None)
            if start is not None and start <= line <= (end or start):
                mentions = isinstance(child, ast.If) and any(isinstance(name, ast.Name) and name.id == "__name__"
                                                             for name in ast.walk(child.test))
                return mentions or guarded(child)
        return False

    return guarded(tree)


def run(inputs, output, models=None, gains=(), sensitivities=(), solo=None, residual=None, stems=False, mix=None,
        overwrite=False, scheduler=None, workers=None, client=None, progress=None, block_size=BLOCK_SIZE,
        model_set=None):
    """Processes folders or files into the folder `output` on a Dask cluster and returns a
    Summary. `models` None (or empty) takes the installed default model for each file's rate, or
    with `model_set` ("separator") that set's installed models.
    `scheduler` is a Dask scheduler address, `client` a dask.distributed Client; without either a
    local cluster of `workers` single-threaded processes (default: one per core) runs for the
    call (so a script that calls run needs the `if __name__ == "__main__":` guard). `progress(
    result, results_so_far, total)` is called in the caller's thread as each file finishes. `mix`
    defaults to not `stems`: with stems=True, mix=True writes both. Raises UsageError for options
    that cannot work for any file and ClusterError when the workers cannot run the files."""
    models = [models] if isinstance(models, (str, os.PathLike)) else list(models or ())
    if model_set is not None and models:
        raise UsageError(f"the model set {model_set!r} and model files cannot go together")
    options = Options(models=tuple(os.path.abspath(m) for m in models), model_set=model_set, gains=tuple(gains),
                      sensitivities=tuple(sensitivities), solo=solo, residual=residual, stems=bool(stems),
                      mix=(not stems) if mix is None else bool(mix), overwrite=bool(overwrite),
                      block_size=int(block_size), manifest=os.path.join(os.path.abspath(output), MANIFEST))
    if not options.mix and not options.stems:
        raise UsageError("nothing to write: ask for the mixed file, the stems, or both")
    if options.solo is not None and not options.mix:
        raise UsageError("solo chooses what goes into the mixed file; with stems alone every bus gets its own file")
    if not 1 <= options.block_size <= 1 << 20:
        raise UsageError("the block size must be from 1 to 1048576 frames")
    note = ""
    try:  # here first where the library loads, so that bad options fail before a cluster starts
        note = probe(options)[1]
    except EngineError:
        pass  # the workers are asked below; they may see other paths
    output = os.path.abspath(output)
    jobs = sorted(plan(inputs, output), key=lambda job: -job.size)  # longest first balances the end
    recorded = read_manifest(output)
    jobs = [dataclasses.replace(job, recorded=tuple((path, json.dumps(entry)) for path, entries in recorded.items()
                                                    if path == job.output or path.startswith(job.stems_folder + os.sep)
                                                    for entry in entries))
            for job in jobs]
    removed = remove_temporaries(jobs)

    from dask.distributed import Client, as_completed

    if client is None and scheduler is None and not _guarded_call():
        raise UsageError("murel.batch.run starts worker processes that import the calling script again: "
                         "call it under `if __name__ == \"__main__\":`")
    owned = []
    try:
        if client is None:
            if scheduler is not None:
                client = Client(scheduler)
            else:
                owned.append(_local_cluster(workers))
                client = Client(owned[0])
            owned.insert(0, client)
        note = _check_workers(client, options)[1] or note
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
        return Summary(results, time.monotonic() - started, worker_count, note, removed)
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
                    "outputs made before with the same options and models are skipped, so a run resumes "
                    "where it stopped, and those made otherwise are made again.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="audio files and folders")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="the output folder")
    parser.add_argument("-m", "--model", action="append", default=[], metavar="MODEL",
                        help="a model file; several make a stem separator (default: the installed default model "
                             "for each file's rate)")
    parser.add_argument("--separator", action="store_true",
                        help="run the installed stem separator (buses Dialogue, Music and Effects) instead of the "
                             "default model")
    parser.add_argument("--separate", action="store_true",
                        help="write the stems of the separator (or of the models given) for every file: "
                             "NAME/Dialogue.EXT, NAME/Music.EXT, NAME/Effects.EXT; as --separator --stems")
    parser.add_argument("-g", "--gain", action="append", default=[], metavar="BUS=GAIN",
                        help="gain of a bus: a factor from 0 to 100 or a level such as -12dB")
    parser.add_argument("-s", "--sensitivity", action="append", default=[], metavar="BUS=VALUE",
                        help="sensitivity of a bus, -100 (permissive) to 100 (strict)")
    parser.add_argument("--solo", metavar="BUS", help="keep only this bus in the output")
    parser.add_argument("--residual", metavar="GAIN", help="gain of the residual (last) bus")
    parser.add_argument("--stems", action="store_true",
                        help="write every bus to NAME/BUS.EXT instead of the mixed file NAME.EXT")
    parser.add_argument("--with-mix", action="store_true", help="with --stems, write the mixed file as well")
    parser.add_argument("--overwrite", action="store_true",
                        help="make every output again and replace any file in the way, also one this command "
                             "did not make")
    parser.add_argument("-j", "--workers", type=int, metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler to run on, e.g. tcp://host:8786")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    # As the tool takes them: "--residual -12dB" is a value, not an option.
    argv = list(sys.argv[1:] if argv is None else argv)
    valued = {option for action in parser._actions if action.nargs is None for option in action.option_strings}
    joined = []
    for argument in argv:
        if joined and joined[-1] in valued and argument.startswith("-") and argument != "--":
            option = joined.pop()
            argument = f"{option}={argument}" if option.startswith("--") else option + argument
        joined.append(argument)
    args = parser.parse_args(joined)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.separator and args.model:
        parser.error("--separator runs the installed separator; leave out --model")
    use_set = args.separator or (args.separate and not args.model)
    progress = _Progress(sys.stderr, args.quiet)
    try:
        summary = run(args.inputs, args.output, models=args.model, gains=args.gain, sensitivities=args.sensitivity,
                      solo=args.solo, residual=args.residual, stems=args.stems or args.separate,
                      model_set="separator" if use_set else None,
                      mix=True if args.with_mix else None, overwrite=args.overwrite, scheduler=args.scheduler,
                      workers=args.workers, progress=progress)
    except (UsageError, ClusterError, EngineError) as error:
        progress.finish()
        print(f"murel-batch: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        progress.finish()
        print("murel-batch: interrupted; run again to resume", file=sys.stderr)
        return 130
    progress.finish()
    if summary.note and not args.quiet:
        print(f"murel-batch: {summary.note}", file=sys.stderr)
    print(summary)
    return 1 if summary.failed else 0


if __name__ == "__main__":
    # Through the package, so that tasks name murel.batch.process_file rather than __main__'s copy.
    from murel import batch

    sys.exit(batch.main())

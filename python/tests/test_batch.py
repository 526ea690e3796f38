"""murel.batch on a local Dask cluster of two workers against `murel process`: the same bytes for
a tree of mixed formats, rates and channel counts, a corrupt file reported while the rest
complete, a second run that skips what is done and overwrites nothing it did not make, a third
with other options that makes everything again; and a worker that cannot import the package
failing the run before any file."""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

try:
    from dask.distributed import LocalCluster
except ImportError:  # reported as a skip below
    LocalCluster = None

from murel import batch

TOOL = os.environ.get("MUREL_TOOL")
OPTIONS = ["--gain", "Noise=-9dB", "--sensitivity", "0=30"]
# (path below the input folder, seconds, rate, channels, sample format)
TREE = [
    ("a/one.wav", 0.8, 48000, 2, "16"),
    ("a/b/two.wav", 0.5, 44100, 1, "float"),
    ("three.flac", 0.6, 16000, 2, "24"),
    ("b/four.aiff", 0.4, 22050, 3, "16"),
    ("b/five.wav", 0.3, 48000, 2, "16"),
]


def comparable(data):
    """The file's bytes with the time stamp libsndfile writes into the PEAK chunk of float files
    zeroed: two runs of the tool itself differ there."""
    position = data.find(b"PEAK")
    if position < 0:
        return data
    return data[:position + 12] + bytes(4) + data[position + 16:]


def tool(*arguments):
    subprocess.run([TOOL, *arguments], check=True, stdout=subprocess.DEVNULL)


@unittest.skipUnless(TOOL and LocalCluster, "needs MUREL_TOOL and python3-distributed")
class BatchTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="murel-batch-")
        cls.model = os.path.join(cls.folder, "gate.model")
        tool("make-model", cls.model)
        cls.input = os.path.join(cls.folder, "in")
        for path, seconds, rate, channels, sample_format in TREE:
            os.makedirs(os.path.dirname(os.path.join(cls.input, path)), exist_ok=True)
            tool("make-test-signal", os.path.join(cls.input, path), "--seconds", str(seconds), "--rate", str(rate),
                 "--channels", str(channels), "--format", sample_format, "--seed", str(rate + channels))
        with open(os.path.join(cls.input, "b/corrupt.wav"), "wb") as corrupt:
            corrupt.write(b"RIFF\x10\x00\x00\x00WAVEnot audio at all")
        with open(os.path.join(cls.input, "notes.txt"), "w") as notes:
            notes.write("not an audio file name: left alone")
        cls.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                   silence_logs=40)

    @classmethod
    def tearDownClass(cls):
        cls.cluster.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def reference(self, path, *extra):
        target = os.path.join(self.folder, "reference", path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        source = os.path.join(self.input, path.replace("-solo", ""))
        tool("process", source, target, "-m", self.model, *OPTIONS, *extra, "-q")
        return target

    def test_tree_matches_the_tool_and_resumes(self):
        output = os.path.join(self.folder, "out")
        summary = batch.run(self.input, output, models=[self.model], gains=[OPTIONS[1]], sensitivities=[OPTIONS[3]],
                            scheduler=self.cluster.scheduler_address)
        self.assertEqual(sorted(os.path.relpath(r["input"], self.input) for r in summary.done),
                         sorted(path for path, *_ in TREE))
        self.assertEqual(len(summary.failed), 1)
        self.assertIn("corrupt.wav': not an audio file", summary.failed[0]["reason"])
        self.assertAlmostEqual(summary.audio_seconds, sum(seconds for _, seconds, *_ in TREE), places=3)
        for path, *_ in TREE:
            with open(os.path.join(output, path), "rb") as mine, open(self.reference(path), "rb") as tools:
                self.assertEqual(comparable(mine.read()), comparable(tools.read()), path)
        written = sorted(os.path.relpath(os.path.join(d, f), output) for d, _, fs in os.walk(output) for f in fs
                         if batch.MANIFEST not in d)
        self.assertEqual(written, sorted(path for path, *_ in TREE))  # no temporary or partial files

        # Resume through the command, with one output replaced by another file: it is reported, kept.
        foreign = os.path.join(output, "b/five.wav")
        shutil.copyfile(os.path.join(output, "a/one.wav"), foreign)
        times = {path: os.stat(os.path.join(output, path)).st_mtime_ns for path, *_ in TREE}
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            status = batch.main([self.input, "-o", output, "-m", self.model, *OPTIONS, "-q",
                                 "--scheduler", self.cluster.scheduler_address])
        self.assertEqual(status, 1)
        self.assertIn("0 done, 4 skipped, 2 failed", printed.getvalue())
        self.assertIn("five.wav' exists and was not made by murel-batch from this input", printed.getvalue())
        self.assertEqual(times, {path: os.stat(os.path.join(output, path)).st_mtime_ns for path, *_ in TREE})

        # Other options make every output of this command again; a killed run's temporary file goes.
        leftover = os.path.join(output, "a", ".one.wav.murel-k1ll3d_x")
        open(leftover, "wb").close()
        summary = batch.run(self.input, output, models=[self.model], gains=["Noise=-3dB"],
                            scheduler=self.cluster.scheduler_address)
        self.assertEqual((len(summary.done), len(summary.skipped)), (len(TREE) - 1, 0))
        self.assertEqual(summary.removed, [leftover])
        reference = os.path.join(self.folder, "reference-3dB.wav")
        tool("process", os.path.join(self.input, "a/one.wav"), reference, "-m", self.model, "--gain", "Noise=-3dB")
        with open(os.path.join(output, "a/one.wav"), "rb") as mine, open(reference, "rb") as tools:
            self.assertEqual(mine.read(), tools.read())

    def test_a_worker_without_the_package_fails_the_run_at_once(self):
        cluster = LocalCluster(n_workers=0, dashboard_address=None, silence_logs=50)
        environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", cluster.scheduler_address,
                                   "--nthreads", "1", "--no-nanny"], env=environment, cwd="/",
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        outcome = []

        def attempt():
            try:
                batch.run(self.input, os.path.join(self.folder, "never"), models=[self.model],
                          scheduler=cluster.scheduler_address)
            except batch.ClusterError as error:
                outcome.append(str(error))

        try:
            runner = threading.Thread(target=attempt, daemon=True)
            runner.start()
            runner.join(120)  # before, the client waited forever
            self.assertFalse(runner.is_alive())
        finally:
            worker.kill()
            worker.wait()
            cluster.close()
        self.assertEqual(len(outcome), 1)
        self.assertIn("No module named 'murel'", outcome[0])
        self.assertFalse(os.path.exists(os.path.join(self.folder, "never")))

    def test_stems_and_a_reused_processor_match_the_tool(self):
        # In this process, so that the second file of the same format surely reuses the processors.
        output = os.path.join(self.folder, "stems")
        options = batch.Options(models=(self.model,), gains=(OPTIONS[1],), sensitivities=(OPTIONS[3],),
                                stems=True, mix=True, solo="Signal")
        loads = []
        for path in ("a/one.wav", "b/five.wav"):
            result = batch.process_file(batch.Job(os.path.join(self.input, path), os.path.join(output, path)), options)
            self.assertEqual(result["status"], "done", result["reason"])
            loads.append(result["loads"])
            stems = os.path.join(self.folder, "stems-of-" + os.path.basename(path)[:-4])
            mixed = self.reference(path.replace(".wav", "-solo.wav"), "--solo", "Signal", "--stems", stems)
            pairs = [(os.path.join(output, path), mixed)]
            pairs += [(os.path.join(output, path[:-4], name), os.path.join(stems, name))
                      for name in ("Signal.wav", "Noise.wav")]
            for mine, tools in pairs:
                with open(mine, "rb") as a, open(tools, "rb") as b:
                    self.assertEqual(a.read(), b.read(), mine)
        self.assertEqual(loads, [3, 0])  # the mixed file and two stems: three processors, made once


if __name__ == "__main__":
    unittest.main()

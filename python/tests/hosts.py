"""Every host with no options gives the same samples: `murel process`, `murel-batch`, the Python
binding and the LV2 plug-in, on the default model and on a stem separator of two models. Each
host's own default (its model when none is given, its mix when nothing is said about the buses)
is what is compared, so a host that drifts from the others fails here. The separator's stems
(`murel separate`, `murel-batch --separate`, the binding and the separator plug-in) are compared
the same way, on untrained stand-ins of its two models."""

import contextlib
import importlib.util
import io
import os
import shutil
import subprocess
import tempfile
import unittest

import numpy as np

from murel import batch
from murel.audiofile import Reader
from murel.engine import EngineError, Processor, default_model, model_set

TOOL = os.environ.get("MUREL_TOOL")
LV2_HOST = os.environ.get("MUREL_LV2_HOST")  # the lilv host test program, with the bundle beside it
LV2_BUNDLE = os.environ.get("MUREL_LV2_BUNDLE")
TOLERANCE = 1e-6


def read(path):
    with Reader(path) as reader:
        frames = np.zeros((max(reader.frames, 0), reader.channels), dtype=np.float32)
        count = reader.read(frames)
    return frames[:count]


def tool(*arguments):
    return subprocess.run([TOOL, *arguments], check=True, capture_output=True, text=True)


@unittest.skipUnless(TOOL, "needs MUREL_TOOL")
class EveryHostAgrees(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="murel-hosts-")
        cls.input = os.path.join(cls.folder, "in", "noisy.wav")
        os.makedirs(os.path.dirname(cls.input))
        tool("make-test-signal", cls.input, "--seconds", "1.5", "--channels", "2", "--format", "float")
        # A separator of a gate and a constant mask with the same blocking: buses Signal,
        # Processed and one residual.
        gate, constant = os.path.join(cls.folder, "gate.model"), os.path.join(cls.folder, "constant.model")
        tool("make-model", gate)
        tool("make-model", constant, "--kind", "constant", "--mask", "0.3", "--fft", "1024", "--window", "1024",
             "--hop", "256")
        cls.separator = [gate, constant]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def outputs(self, name, models):
        """{host: samples} for every host with no options but the models (none: the default)."""
        noisy = read(self.input)
        model_options = [option for model in models for option in ("-m", model)]
        results = {}

        reference = os.path.join(self.folder, f"{name}-tool.wav")
        note = tool("process", self.input, reference, *model_options).stderr
        results["murel process"] = read(reference)

        out = os.path.join(self.folder, f"{name}-batch")
        printed = io.StringIO()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(printed):
            self.assertEqual(batch.main([os.path.dirname(self.input), "-o", out, "-j", "1", *model_options]), 0,
                             printed.getvalue())
        results["murel-batch"] = read(os.path.join(out, "noisy.wav"))
        # The same one-line note as the tool, under the command's name.
        self.assertEqual(printed.getvalue().splitlines()[-1].replace("murel-batch:", "murel process:"), note.strip())

        with Processor(models or None, channels=2, rate=48000) as processor:
            results["Python Processor"] = processor.process(noisy.T).T

        if LV2_HOST and LV2_BUNDLE and len(models) <= 1:  # the plug-in runs one model file
            out = os.path.join(self.folder, f"{name}-lv2.wav")
            subprocess.run([LV2_HOST, "render", LV2_BUNDLE, "urn:murel:lv2:stereo", (models or [default_model()])[0],
                            self.input, out], check=True, capture_output=True)
            results["LV2 plug-in"] = read(out)
        return noisy, results

    def check(self, name, models):
        noisy, results = self.outputs(name, models)
        reference = results["murel process"]
        self.assertEqual(reference.shape, noisy.shape)
        # The default mix removes the residual: the output is not the input passed through.
        self.assertGreater(np.max(np.abs(reference - noisy)), 0.01)
        for host, samples in results.items():
            with self.subTest(host=host):
                self.assertEqual(samples.shape, reference.shape)
                self.assertLessEqual(float(np.max(np.abs(samples - reference))), TOLERANCE)

    def test_default_model(self):
        self.check("default", [])

    def test_two_model_separator(self):
        self.check("separator", self.separator)


if __name__ == "__main__":
    unittest.main()


def standin_models(folder):
    """The separator's two model files, untrained (bench/separation/standin.py)."""
    path = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "separation", "standin.py")
    location = importlib.util.spec_from_file_location("standin", path)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module.write(folder)


@unittest.skipUnless(TOOL, "needs MUREL_TOOL")
class SeparatorHostsAgree(unittest.TestCase):
    STEMS = ["Dialogue", "Music", "Effects"]

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="murel-separator-")
        cls.input = os.path.join(cls.folder, "in", "film.wav")
        os.makedirs(os.path.dirname(cls.input))
        tool("make-test-signal", cls.input, "--seconds", "1.5", "--channels", "2", "--format", "float")
        cls.models = standin_models(os.path.join(cls.folder, "models"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_every_host_writes_the_same_stems_and_they_add_up(self):
        film = read(self.input)
        model_options = [option for model in self.models for option in ("-m", model)]
        stems = os.path.join(self.folder, "tool")
        tool("separate", self.input, stems, *model_options)
        self.assertEqual(sorted(os.listdir(stems)), sorted(f"{name}.wav" for name in self.STEMS))
        reference = {name: read(os.path.join(stems, f"{name}.wav")) for name in self.STEMS}
        # Float rounding only: the residual is one minus the sum of the models' masks.
        self.assertLess(float(np.max(np.abs(sum(reference.values()) - film))), 1e-5)
        self.assertGreater(min(float(np.max(np.abs(s))) for s in reference.values()), 0.01)
        # A dialogue-clarity mix is the stems summed at their gains.
        clear = os.path.join(self.folder, "clear.wav")
        tool("process", self.input, clear, *model_options, "--gain", "Dialogue=+6dB", "--gain", "Music=-6dB")
        expected = 10 ** (6 / 20) * reference["Dialogue"] + 10 ** (-6 / 20) * reference["Music"] + reference["Effects"]
        self.assertLess(float(np.max(np.abs(read(clear) - expected))), 1e-5)

        results = {}
        out = os.path.join(self.folder, "batch")
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()) as printed:
            self.assertEqual(batch.main([os.path.dirname(self.input), "-o", out, "-j", "1", "--separate",
                                         *model_options]), 0, printed.getvalue())
        results["murel-batch"] = {name: read(os.path.join(out, "film", f"{name}.wav")) for name in self.STEMS}

        with Processor(self.models, channels=2, rate=48000, mix=False) as processor:
            self.assertEqual(processor.buses, self.STEMS)
            results["Python Processor"] = {}
            for name in self.STEMS:
                processor.apply_mix([f"solo={name}", "stems"])
                results["Python Processor"][name] = processor.process(film.T).T

        if LV2_HOST and LV2_BUNDLE:
            results["LV2 plug-in"] = {}
            for name in self.STEMS:
                out = os.path.join(self.folder, f"lv2-{name}.wav")
                gains = [f"{stem.lower()}_gain={0 if stem == name else -90}" for stem in self.STEMS]
                subprocess.run([LV2_HOST, "render", LV2_BUNDLE, "urn:murel:lv2:separator-stereo",
                                ":".join(self.models), self.input, out, *gains], check=True, capture_output=True)
                results["LV2 plug-in"][name] = read(out)

        for host, stems_of_host in results.items():
            for name in self.STEMS:
                with self.subTest(host=host, stem=name):
                    self.assertEqual(stems_of_host[name].shape, film.shape)
                    self.assertLessEqual(float(np.max(np.abs(stems_of_host[name] - reference[name]))), TOLERANCE)

    def test_the_installed_separator_by_name(self):
        # The trained models may not be in this tree; then every host says so, and the plug-in
        # passes audio through.
        plugin = None
        if LV2_HOST and LV2_BUNDLE:
            out = os.path.join(self.folder, "lv2-default.wav")
            subprocess.run([LV2_HOST, "render", LV2_BUNDLE, "urn:murel:lv2:separator-stereo", "", self.input, out,
                            "music_gain=-90", "effects_gain=-90"], check=True, capture_output=True)
            plugin = read(out)
        try:
            installed = model_set("separator")
        except EngineError:
            with self.assertRaises(EngineError):
                Processor("separator", channels=2)
            failed = subprocess.run([TOOL, "separate", self.input, os.path.join(self.folder, "none")],
                                    capture_output=True, text=True)
            self.assertEqual(failed.returncode, 2)
            self.assertIn("separator-dialogue.model", failed.stderr)
            if plugin is not None:
                np.testing.assert_array_equal(plugin, read(self.input))
            return
        with Processor("separator", channels=2) as processor:
            self.assertEqual(processor.models, installed)
            self.assertEqual(processor.buses, self.STEMS)
        stems = os.path.join(self.folder, "installed")
        tool("separate", self.input, stems)
        if plugin is not None:
            self.assertLessEqual(float(np.max(np.abs(plugin - read(os.path.join(stems, "Dialogue.wav"))))), TOLERANCE)

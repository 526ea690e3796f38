"""Parity of murel.nn with the engine: every layer type and a whole encoder/decoder graph, exported
with random weights, run over a whole sequence in PyTorch and streamed through the engine's tensor
functions in odd push sizes; and a model's PyTorch enhancement against `murel process`."""

import os
import struct
import subprocess
import tempfile
import unittest

import numpy as np
import torch

import murel.export
import murel.nn as mn
from murel import format as fmt
from murel.engine import EngineError, Model, Processor

RELATIVE_TOLERANCE = 1e-4
PUSH_SIZES = (1, 3, 2, 5, 1, 4)


class Wrap(torch.nn.Module):
    """A network from a function of named layers."""

    def __init__(self, body, **layers):
        super().__init__()
        self.body = body
        for name, layer in layers.items():
            setattr(self, name, layer)

    def forward(self, x):
        return self.body(self, x)


def chain(*layers):
    return Wrap(lambda s, x: _run_chain(s, x), **{f"l{i}": layer for i, layer in enumerate(layers)})


def _run_chain(module, x):
    for child in module.children():
        x = child(x)
    return x


def randomise(network, seed):
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for parameter in network.parameters():
            parameter.copy_(torch.randn(parameter.shape, generator=generator) * 0.5 + (0.3 if parameter.dim() == 1 else 0.0))


def stream(path, sequence):
    """The engine's output for a sequence [frames, rows, channels] pushed in odd sizes."""
    outputs, start, i = [], 0, 0
    with Model(path) as model:
        while start < sequence.shape[0]:
            size = PUSH_SIZES[i % len(PUSH_SIZES)]
            outputs.append(model.push(sequence[start:start + size]))
            start, i = start + size, i + 1
    return np.concatenate([o for o in outputs if o.shape[0]], axis=0)


def layer_cases():
    """(name, network, rows, channels) for every layer type and the main variants."""
    R, C = 12, 4
    bands = [(0, [1.0]), (1, [0.5, 0.5]), (3, [0.2, 0.3, 0.5]), (2, [1.0, -1.0]), (6, [0.25] * 6)]
    return [
        ("conv dilated, frequency stride", chain(mn.Conv(C, 6, (3, 3), frequency_stride=2, time_dilation=2)), R, C),
        ("conv time stride and offset", chain(mn.Conv(C, 3, (2, 1), time_stride=2, time_offset=1)), R, C),
        ("conv narrow kernel, wide stride", chain(mn.Conv(C, 3, (1, 1), frequency_stride=4)), R, C),
        ("conv depthwise", chain(mn.Conv(C, 8, (2, 3), depthwise=True)), R, C),
        ("transposed conv strides and offset", chain(mn.TransposedConv(C, 3, (3, 4), 2, 2, time_offset=1)), R, C),
        ("transposed conv depthwise", chain(mn.TransposedConv(C, C, (2, 3), frequency_stride=2, depthwise=True)), R, C),
        ("separable channel conv", chain(mn.SeparableChannelConv(3, 5)), R, C),
        ("dense", chain(mn.Dense(R, C)), R, C),
        ("norm affine", chain(mn.Norm(C)), R, C),
        ("norm rms, no offset", chain(mn.Norm(C, rms=True, offset=False)), R, C),
        ("pre-norm", chain(mn.PreNorm(4)), R, C),
        ("attack-release pre-norm", chain(mn.ARPreNorm(0.7, 0.95, 0.01)), R, C),
        ("self-attention with context and delay", chain(mn.SelfAttention(R, C, context=3, output_delay=2)), R, C),
        ("self-attention plain", chain(mn.SelfAttention(R, C)), R, C),
        ("activations", chain(mn.ReLU(), mn.Conv(C, C), mn.LeakyReLU(0.2), mn.Conv(C, C), mn.ELU(), mn.Conv(C, C),
                              mn.Sigmoid(), mn.Conv(C, C), mn.HardSigmoid(), mn.Conv(C, C), mn.Softplus()), R, C),
        ("frequency rescale", chain(mn.FrequencyRescale(R, bands)), R, C),
        ("concat and arithmetic", Wrap(lambda s, x: s.cat([s.sub([s.a(x), x]), s.mul([x, s.b(x), x]), s.div([s.c(x), x]),
                                                            s.add([x, s.a(x)])]),
                                       a=mn.Conv(C, C, (2, 1)), b=mn.Conv(C, C, (1, 3)), c=mn.Softplus(),
                                       sub=mn.Arithmetic("subtract"), mul=mn.Multiply(), div=mn.Arithmetic("divide"),
                                       add=mn.Add(), cat=mn.Concat()), R, C),
    ]


class UNet(torch.nn.Module):
    """An encoder/decoder with frequency strides, a time-strided pair, skip concatenations,
    normalisation, attention and a sigmoid mask: the shape of a real denoiser."""

    def __init__(self, rows, channels):
        super().__init__()
        self.norm = mn.PreNorm(3)
        self.e1 = mn.Conv(channels, 8, (2, 3), frequency_stride=2)
        self.r1 = mn.ReLU()
        self.e2 = mn.Conv(8, 12, (2, 3), frequency_stride=2)
        self.r2 = mn.ELU()
        self.down = mn.Conv(12, 12, (2, 1), time_stride=2, time_offset=1)
        self.attention = mn.SelfAttention(rows // 4, 12, context=2)
        self.up = mn.TransposedConv(12, 12, (2, 1), time_stride=2)
        self.n2 = mn.Norm(12, rms=True)
        self.d2 = mn.TransposedConv(24, 8, (1, 4), frequency_stride=2)
        self.cat2 = mn.Concat()
        self.d1 = mn.TransposedConv(16, channels, (1, 4), frequency_stride=2)
        self.cat1 = mn.Concat()
        self.mask = mn.Sigmoid()

    def forward(self, x):
        x = self.norm(x)
        a = self.r1(self.e1(x))
        b = self.r2(self.e2(a))
        c = self.n2(self.up(self.attention(self.down(b))))
        d = self.d2(self.cat2([c, b]))
        return self.mask(self.d1(self.cat1([d, a])))


def read_float_wav(path):
    with open(path, "rb") as f:
        data = f.read()
    position, channels, bits, fmt_code = 12, 1, 32, 3
    while position + 8 <= len(data):
        chunk, size = data[position:position + 4], struct.unpack("<I", data[position + 4:position + 8])[0]
        body = data[position + 8:position + 8 + size]
        if chunk == b"fmt ":
            fmt_code, channels = struct.unpack("<HH", body[:4])
            bits = struct.unpack("<H", body[14:16])[0]
            if fmt_code == 0xFFFE:
                fmt_code = struct.unpack("<H", body[24:26])[0]
        elif chunk == b"data":
            assert fmt_code == 3 and bits == 32, "expected 32-bit float WAV"
            return np.frombuffer(body, dtype="<f4").reshape(-1, channels).T.copy()
        position += 8 + size + (size & 1)
    raise ValueError("no data chunk")


def write_float_wav(path, audio, rate):
    audio = np.asarray(audio, dtype="<f4")
    channels = audio.shape[0]
    payload = audio.T.tobytes()
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(payload), b"WAVE", b"fmt ", 16, 3, channels, rate,
                         rate * channels * 4, channels * 4, 32, b"data", len(payload))
    with open(path, "wb") as f:
        f.write(header + payload)


class LayerParity(unittest.TestCase):
    def check(self, name, network, rows, channels, half=False, frames=23, seed=1, spread=True):
        # The model's input has few rows, spread over `rows` by a first layer, so that layers
        # that reduce the rows still give the loader the rows its output packing reads.
        narrow = 3 if spread else rows
        if spread:
            spread = mn.FrequencyRescale(narrow, [(i % 2, [1.0] * (1 + i % 2)) for i in range(rows)], trainable=True)
            network = Wrap(lambda s, x: s.layer(s.spread(x)), spread=spread, layer=network)
        randomise(network, seed)
        model = mn.SpectralModel(network, fft_size=64, hop_size=16, input_packing=fmt.PACK_COMPLEX,
                                 bins=narrow, channels=channels // 2)
        if half:  # the exported weights are rounded to half floats; compare with the rounded network
            with torch.no_grad():
                for parameter in network.parameters():
                    parameter.copy_(parameter.half().float())
        sequence = np.random.default_rng(seed).standard_normal((frames, narrow, channels)).astype(np.float32)
        with torch.no_grad():
            expected = network(torch.from_numpy(sequence)[None])[0].numpy()
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "layer.model")
            murel.export.save(model, path, half=half, processor=False)
            actual = stream(path, sequence)
        self.assertGreater(actual.shape[0], 0, name)
        self.assertLessEqual(actual.shape[0], expected.shape[0], name)
        reference = expected[:actual.shape[0]]
        self.assertEqual(actual.shape, reference.shape, name)
        error = np.max(np.abs(actual - reference)) / max(np.max(np.abs(reference)), 1e-6)
        self.assertLess(error, RELATIVE_TOLERANCE, f"{name}: relative error {error:.2e}")

    def test_every_layer_type(self):
        for seed, (name, network, rows, channels) in enumerate(layer_cases()):
            with self.subTest(name):
                self.check(name, network, rows, channels, seed=seed)

    def test_recurrent_layers(self):
        """GRU and LSTM over whole frames (rows x channels), hidden sizes that are and are not
        multiples of four, one and two stacked, float and half; spread back over the rows."""
        rows, channels = 5, 4
        for kind in (mn.GRU, mn.LSTM):
            for hidden, layers, half in [(8, 1, False), (6, 2, False), (8, 2, True), (7, 1, True)]:
                name = f"{kind.__name__} hidden {hidden} x {layers}{' half' if half else ''}"
                with self.subTest(name):
                    bands = mn.FrequencyRescale(hidden, [(0, [1.0] * hidden)] * rows, trainable=True)
                    network = Wrap(lambda s, x: s.mix(s.bands(s.rnn(x))), rnn=kind(rows * channels, hidden, num_layers=layers),
                                   bands=bands, mix=mn.Conv(1, channels))
                    self.check(name, network, rows, channels, half=half, frames=41, seed=hidden + layers, spread=False)

    def test_encoder_decoder_graph_float_and_half(self):
        for half in (False, True):
            with self.subTest(half=half):
                self.check("encoder/decoder", UNet(16, 2), 16, 2, half=half, frames=40)


class Refusals(unittest.TestCase):
    def test_what_the_engine_cannot_run_is_refused_with_a_reason(self):
        cases = [
            ("channels", mn.SpectralModel(chain(mn.Conv(2, 3)), fft_size=16, hop_size=8, input_packing=4), "channels"),
            ("frame rate", mn.SpectralModel(chain(mn.Conv(2, 2, time_stride=2)), fft_size=16, hop_size=8, input_packing=4),
             "frame rate"),
            ("rows", mn.SpectralModel(chain(mn.Conv(2, 2, frequency_stride=2)), fft_size=16, hop_size=8, input_packing=4),
             "rows"),
            ("byte range", mn.SpectralModel(chain(mn.Conv(2, 2, time_offset=300)), fft_size=16, hop_size=8,
                                            input_packing=4), "time_offset"),
        ]
        for name, model, words in cases:
            with self.subTest(name), self.assertRaisesRegex(fmt.FormatError, words):
                murel.export.to_bytes(model)
        big = chain(mn.Conv(2, 2))
        with torch.no_grad():
            big.l0.weight.fill_(1e6)
        with self.assertRaisesRegex(fmt.FormatError, "half-float"):
            murel.export.to_bytes(mn.SpectralModel(big, fft_size=16, hop_size=8, input_packing=4), half=True)


class FrontToBack(unittest.TestCase):
    """A model's PyTorch enhancement of a waveform and `murel process` of the same file agree."""

    def test_magnitude_and_complex_models_through_the_tool(self):
        tool = os.environ.get("MUREL_TOOL")
        if not tool:
            self.skipTest("MUREL_TOOL is not set")
        rate = 48000
        t = np.arange(int(0.7 * rate)) / rate
        rng = np.random.default_rng(7)
        wave = np.stack([0.3 * np.sin(2 * np.pi * 440 * t) + 0.05 * rng.standard_normal(t.size),
                         0.2 * np.sin(2 * np.pi * 1234 * t) + 0.05 * rng.standard_normal(t.size)]).astype(np.float32)
        pool, expand = mn.triangular_bands(1024, rate, 24)
        magnitude_net = chain(mn.FrequencyRescale(513, pool), mn.PreNorm(3), mn.Conv(1, 4, (2, 3), time_offset=1),
                              mn.ELU(), mn.Conv(4, 1, (1, 3)), mn.Sigmoid(), mn.FrequencyRescale(24, expand))
        cases = [
            ("magnitude masks, 960/480 sqrt-Hann", mn.SpectralModel(
                magnitude_net, fft_size=1024, window_size=960, hop_size=480, output_names=("Speech", "Noise"))),
            ("complex masks, Hann 4 overlaps", mn.SpectralModel(
                UNet(257, 2), fft_size=512, window_size=512, hop_size=128, input_packing=fmt.PACK_COMPLEX, bins=256)),
        ]
        with tempfile.TemporaryDirectory() as folder:
            noisy = os.path.join(folder, "in.wav")
            write_float_wav(noisy, wave, rate)
            for seed, (name, model) in enumerate(cases):
                with self.subTest(name):
                    randomise(model.network, seed + 3)
                    path = os.path.join(folder, f"{seed}.model")
                    murel.export.save(model, path)
                    out = os.path.join(folder, f"{seed}.wav")
                    buses = ",".join(model.output_names)
                    subprocess.run([tool, "process", noisy, out, "-m", path, "--gain", f"{model.output_names[-1]}=0",
                                    "--format", "float", "-q"], check=True)
                    engine_out = read_float_wav(out)
                    with torch.no_grad():
                        expected = model(torch.from_numpy(wave)[None])[0].numpy()
                    self.assertEqual(engine_out.shape, expected.shape, buses)
                    error = np.sum((engine_out - expected) ** 2) / np.sum(expected ** 2)
                    self.assertLess(10 * np.log10(error), -60.0, name)
                    # The same through the binding.
                    with Processor(path, channels=2, rate=rate) as processor:
                        processor.set_gain(len(processor.buses) - 1, 0.0)
                        bound = processor.process(wave)
                    self.assertLess(10 * np.log10(np.sum((bound - expected) ** 2) / np.sum(expected ** 2)), -60.0)


class Binding(unittest.TestCase):
    def test_bad_input_raises_instead_of_crashing(self):
        with tempfile.TemporaryDirectory() as folder:
            garbage = os.path.join(folder, "garbage.model")
            with open(garbage, "wb") as f:
                f.write(b"not a model")
            for path in (garbage, os.path.join(folder, "missing.model")):
                with self.assertRaises(EngineError):
                    Processor(path)
                with self.assertRaises(EngineError):
                    Model(path)
            path = os.path.join(folder, "identity.model")
            murel.export.save(mn.SpectralModel(chain(), fft_size=16, hop_size=8, channels=2, input_packing=fmt.PACK_COMPLEX,
                                               processing_mode=fmt.SPECTRA), path)
            with Processor(path, channels=2) as processor:
                for bad in (np.zeros(10), np.zeros((3, 10)), np.array([["a", "b"], ["c", "d"]])):
                    with self.assertRaises((ValueError, TypeError)):
                        processor.push(bad)
                with self.assertRaises(ValueError):
                    processor.set_gain("nope", 1.0)
                with self.assertRaises(ValueError):
                    processor.set_gain(0, float("inf"))
                wave = np.random.default_rng(1).standard_normal((2, 1001)).astype(np.float32)
                np.testing.assert_allclose(processor.process(wave), wave, atol=1e-5)
            with Model(path) as model, self.assertRaises(ValueError):
                model.push(np.zeros((2, 2)))


if __name__ == "__main__":
    unittest.main()

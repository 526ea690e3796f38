"""Networks written in plain PyTorch: traced into engine layers with their weights converted, and
run in the engine with parity; what the engine cannot run is refused with the line and a way out."""

import os
import tempfile
import unittest

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

import murel.export
import murel.nn as mn
from murel import format as fmt
from tests.test_parity import RELATIVE_TOLERANCE, randomise, stream

ROWS, CHANNELS = 6, 4


class Plain(nn.Module):
    """Every operation the tracer supports, as a PyTorch user writes it."""

    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(CHANNELS, 8, (2, 3), padding=(0, 1))
        self.up = nn.ConvTranspose2d(8, 8, (1, 4), stride=(1, 2), padding=(0, 1))
        self.down = nn.Conv2d(8, 8, (1, 4), stride=(1, 2), padding=(0, 1), groups=8)
        self.norm = nn.LayerNorm(8)
        self.acts = nn.Sequential(nn.ReLU(), nn.Identity(), nn.Dropout(0.2))
        self.more = nn.ModuleList([nn.ELU(), nn.LeakyReLU(0.2), nn.PReLU(), nn.Tanh(), nn.Softplus(), nn.Hardsigmoid()])
        self.mix = nn.Linear(8, 8)
        self.gru = nn.GRU(ROWS * 16, 10, batch_first=True)
        self.lstm = nn.LSTM(10, 7, num_layers=2, batch_first=True)
        self.head = nn.Linear(7, ROWS * 2)
        self.real, self.imag, self.gate = nn.Linear(7, ROWS), nn.Linear(7, ROWS), nn.Linear(7, ROWS)

    def forward(self, x):
        y = self.conv(F.pad(x.permute(0, 3, 1, 2), (0, 0, 1, 0)))
        y = self.down(self.up(y)).permute(0, 2, 3, 1)
        y = self.acts(self.norm(y))
        for activation in self.more:
            y = activation(y)
        z = 0.5 * y + y * 2 - y / 4 + 1 - y
        z = (z - self.mix(y)) / (torch.sigmoid(y) + 1.5)
        b, t, r, c = z.shape
        h, _ = self.gru(torch.cat([z, -y], dim=-1).flatten(2))
        h, _ = self.lstm(F.relu(h))
        spread = self.head(h).reshape(b, t, r, 2)
        stacked = torch.stack([self.real(h), self.imag(h)], dim=-1)
        gate = torch.sigmoid(self.gate(h)).unsqueeze(-1)
        return torch.sigmoid(spread) * stacked + torch.cat([gate, gate], dim=-1)


def spectral(network):
    return mn.SpectralModel(network, fft_size=32, hop_size=8, input_packing=fmt.PACK_COMPLEX, bins=ROWS,
                            channels=CHANNELS // 2)


class PlainPyTorch(unittest.TestCase):
    def test_every_traced_operation_runs_in_the_engine(self):
        network = Plain().eval()
        randomise(network, 4)
        with torch.no_grad():
            network.norm.weight.copy_(1.0 + 0.1 * network.norm.weight)
        sequence = np.random.default_rng(2).standard_normal((31, ROWS, CHANNELS)).astype(np.float32)
        with torch.no_grad():
            expected = network(torch.from_numpy(sequence)[None])[0].numpy()
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "plain.model")
            murel.export.save(spectral(network), path, processor=False)
            actual = stream(path, sequence)
        self.assertEqual(actual.shape, expected.shape)
        error = np.max(np.abs(actual - expected)) / np.max(np.abs(expected))
        self.assertLess(error, RELATIVE_TOLERANCE)

    def test_what_the_engine_cannot_run_names_the_operation_the_line_and_a_way_out(self):
        cases = [
            ("indexing", Lambda(lambda s, x: x[..., 0:1]), "indexing.*FrequencyRescale"),
            ("tensor method", Lambda(lambda s, x: x - x.mean(-1, keepdim=True)), "Tensor.mean"),
            ("function", Lambda(lambda s, x: torch.softmax(x, -1)), "softmax.*sigmoid"),
            ("module", Lambda(lambda s, x: s.m(x), m=nn.BatchNorm2d(CHANNELS)), "batch_norm.*LayerNorm"),
            ("non-causal convolution", Lambda(lambda s, x: s.m(x.permute(0, 3, 1, 2)), m=nn.Conv2d(CHANNELS, 2, 3, padding=1)),
             "time padding.*causal"),
            ("time-major recurrence", Lambda(lambda s, x: s.m(x.flatten(2))[0], m=nn.GRU(ROWS * CHANNELS, 4)),
             "batch_first=True"),
            ("recurrence over rows", Lambda(lambda s, x: s.m(x)[0], m=nn.GRU(CHANNELS, 4, batch_first=True)),
             "flatten the frames"),
            ("number over tensor", Lambda(lambda s, x: 2 / x), "dividing a number"),
            ("concatenated rows", Lambda(lambda s, x: torch.cat([x, x], dim=2)), "along the channels"),
        ]
        for name, network, words in cases:
            with self.subTest(name):
                with self.assertRaisesRegex(fmt.FormatError, words) as caught:
                    murel.export.to_bytes(spectral(network), processor=False)
                # The user's own line, not the library's.
                self.assertIn(os.path.basename(__file__), str(caught.exception))

    def test_stft_framing_against_torch_stft(self):
        engine_window = torch.from_numpy(mn.windows(512, 512, 128)[0])
        for center in (True, False):
            self.assertTrue(mn.stft_framing(512, 128, window=engine_window, center=center).exact)
        hann = mn.stft_framing(512, 128, window=torch.hann_window(512))
        self.assertFalse(hann.exact)
        self.assertLess(hann.error_db, -40)
        self.assertIn("windows(512, 512, 128)", hann.advice)
        self.assertIn("power of two", mn.stft_framing(400, 100).advice)

    def test_a_network_that_does_not_trace_still_trains(self):
        model = spectral(Lambda(lambda s, x: x * torch.sigmoid(x.mean(-1, keepdim=True) + LEARNED)))
        loss = model(torch.randn(2, 200)).square().mean()
        loss.backward()
        self.assertIsNotNone(LEARNED.grad)
        self.assertEqual(model.latency_frames, 0)


LEARNED = nn.Parameter(torch.zeros(1))


class Lambda(nn.Module):
    """A network from a function of itself and its input, with the modules given."""

    def __init__(self, body, **modules):
        super().__init__()
        self.body = body
        for name, module in modules.items():
            setattr(self, name, module)

    def forward(self, x):
        return self.body(self, x)


if __name__ == "__main__":
    unittest.main()

"""The shipped model is what its card (models/README.md) says it is."""

import os
import unittest

import numpy as np

from murel.engine import Model, Processor

MODEL = os.path.join(os.path.dirname(__file__), "..", "..", "models", "speech-denoiser.model")


class DefaultModel(unittest.TestCase):
    def test_header_buses_and_latency_match_the_card(self):
        with Model(MODEL) as model:
            self.assertEqual(model.info(), {"sample_rate": 48000.0, "channels": 1, "fft_size": 1024, "window_size": 960,
                                            "hop_size": 480, "latency_frames": 1})
        for rate, latency in ((48000, 1440), (44100, 1440), (16000, 720)):
            with self.subTest(rate=rate), Processor(MODEL, channels=2, rate=rate) as processor:
                self.assertEqual(processor.buses, ["Speech", "Noise"])
                self.assertEqual(processor.latency, latency)
                processor.set_gain("Noise", 0.0)
                out = processor.process(np.zeros((2, rate // 10), np.float32))
                self.assertTrue(np.all(out == 0.0))


if __name__ == "__main__":
    unittest.main()

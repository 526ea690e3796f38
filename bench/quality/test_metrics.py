"""Known properties of the benchmark's scores and clips (run by CTest as QualityMetrics)."""

import os
import sys
import unittest

import numpy as np

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evalset  # noqa: E402
import metrics  # noqa: E402

RATE = 48000


def speech_like(rng, seconds):
    """Noise with a syllable-rate envelope and pauses, so that STOI has silent frames to drop."""
    t = np.arange(int(seconds * RATE)) / RATE
    envelope = np.maximum(np.sin(2 * np.pi * 3.0 * t), 0.0) ** 2 * (np.sin(2 * np.pi * 0.4 * t) > -0.5)
    return envelope * rng.standard_normal(len(t))


class StoiTest(unittest.TestCase):
    def test_reference_cases(self):
        rng = np.random.default_rng(1000001)
        clean = speech_like(rng, 3.0)
        steady = rng.standard_normal(len(clean))
        # Envelopes of independent steady noises do not correlate. (Against a modulated clean
        # signal, noise scores above 0: the clipping and the removal of silent frames impose the
        # clean envelope on it.)
        cases = [
            ("identical", clean, clean, 1.0, 1e-6),
            ("scaled copy", clean, 0.1 * clean, 1.0, 1e-6),
            ("independent steady noise", steady, rng.standard_normal(len(clean)), 0.0, 0.05),
        ]
        for name, reference, processed, expected, tolerance in cases:
            with self.subTest(name):
                self.assertAlmostEqual(metrics.stoi(reference, processed, RATE), expected, delta=tolerance)

    def test_falls_with_noise(self):
        rng = np.random.default_rng(1000002)
        clean = speech_like(rng, 3.0)
        noise = rng.standard_normal(len(clean)) * np.std(clean)
        scores = [metrics.stoi(clean, clean + noise * 10 ** (-snr / 20), RATE) for snr in (20, 5, -10)]
        self.assertGreater(scores[0], scores[1])
        self.assertGreater(scores[1], scores[2])


class RatioTest(unittest.TestCase):
    def test_si_sdr_and_snr_of_a_constructed_error(self):
        # estimate = 2 s + e with e orthogonal to s and 10 dB below 2 s: SI-SDR is 10 dB whatever
        # the scale; the plain SNR sees the gain error as well: |s|^2 / |s + e|^2.
        rng = np.random.default_rng(1000003)
        s = rng.standard_normal(RATE)
        s -= s.mean()
        e = rng.standard_normal(RATE)
        e -= e.mean()
        e -= np.dot(e, s) / np.dot(s, s) * s
        e *= np.sqrt(np.dot(2 * s, 2 * s) / np.dot(e, e) / 10.0)
        self.assertAlmostEqual(metrics.si_sdr(s, 2 * s + e), 10.0, places=6)
        expected_snr = 10 * np.log10(np.dot(s, s) / np.dot(s + e, s + e))
        self.assertAlmostEqual(metrics.snr(s, 2 * s + e), expected_snr, places=6)


class DelayTest(unittest.TestCase):
    def test_found_and_undone(self):
        rng = np.random.default_rng(1000004)
        clean = speech_like(rng, 1.0)
        for lag in (0, 480, -37):
            with self.subTest(lag=lag):
                late = np.roll(clean, lag)
                found = metrics.estimate_delay(clean, late + 0.3 * rng.standard_normal(len(clean)), 2400)
                self.assertEqual(found, lag)
                aligned = metrics.shift(late, found)
                inner = slice(abs(lag), len(clean) - abs(lag))
                np.testing.assert_array_equal(aligned[inner], clean[inner])


class HostRateClipTest(unittest.TestCase):
    def test_band_limited_twins_carry_the_same_material(self):
        # The 16 kHz clip and its 48 kHz twin: nothing above 8 kHz in the twin, and the twin brought
        # down to 16 kHz is the 16 kHz clip (the comparison of rates is like with like).
        clip = next(c for c in evalset.plan((0, 0), reverberant=0, clean=False, per_rate=1)
                    if c["band"] == 16000 and c["rate"] == 16000)
        speech = evalset.SpeechSource()
        _, low = evalset.make_clip(clip, speech, {})
        _, twin = evalset.make_clip({**clip, "rate": evalset.RATE}, speech, {})
        spectrum = np.abs(np.fft.rfft(twin)) ** 2
        above = np.fft.rfftfreq(len(twin), 1 / evalset.RATE) > 8500
        self.assertLess(10 * np.log10(spectrum[above].sum() / spectrum.sum()), -50)
        down = evalset.resample(twin, evalset.RATE, 16000)[: len(low)]
        inner = slice(200, len(low) - 200)  # the resampling filters' edges
        # Twice through the resampling filter: the edge of the band differs a little.
        self.assertGreater(metrics.si_sdr(low[inner], down[inner]), 30)


if __name__ == "__main__":
    unittest.main()

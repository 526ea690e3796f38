"""The binding's promises where users trip: one processor shared by threads, tensors of the wrong
shape, integer PCM, values outside a parameter's range, and calls that cannot work."""

import threading
import unittest

import numpy as np

from murel.engine import EngineError, Model, Processor, default_model

RATE = 48000


def noise(channels, samples, seed):
    return (np.random.default_rng(seed).standard_normal((channels, samples)) * 0.2).astype(np.float32)


class Binding(unittest.TestCase):
    def test_default_mix_and_parameter_ranges(self):
        with Processor(channels=1, rate=RATE) as processor:  # the default model, as the other hosts
            self.assertEqual(processor.models, [default_model(RATE)])
            self.assertEqual([processor.gain(bus) for bus in range(2)], [1.0, 0.0])
            self.assertIn("removed the residual bus 'Noise'", processor.note)
            # One rule: clamped to the range the C API reports (gain 0 to 100, sensitivity +-100).
            for setter, getter, value, stored in ((processor.set_gain, processor.gain, 1000, 100.0),
                                                  (processor.set_gain, processor.gain, -3, 0.0),
                                                  (processor.set_sensitivity, processor.sensitivity, 500, 100.0),
                                                  (processor.set_sensitivity, processor.sensitivity, -500, -100.0)):
                setter("speech", value)  # names as every host finds them: case does not matter
                self.assertEqual(getter(0), stored)
            processor.set_gain(1, "-6dB")
            self.assertAlmostEqual(processor.gain("Noise"), 10 ** (-6 / 20), places=6)
            with self.assertRaisesRegex(ValueError, r"no bus 'Music'; the buses are \['Speech', 'Noise'\]"):
                processor.set_gain("Music", 0.0)
            with self.assertRaisesRegex(ValueError, "block size"):
                processor.process(np.zeros(100, np.float32), block_size=0)
        with self.assertRaisesRegex(EngineError, "closed"):
            processor.process(np.zeros(100, np.float32))
        with Processor(channels=1, rate=RATE, mix=False) as processor:
            self.assertEqual([processor.gain(bus) for bus in range(2)], [1.0, 1.0])

    def test_integer_pcm_is_scaled_by_its_full_scale(self):
        signal = noise(2, 6000, 1)
        cases = {np.int16: (np.round(signal * 32767).astype(np.int16), lambda a: a / 32768.0),
                 np.int32: (np.round(signal * 2**31).astype(np.int32), lambda a: a / 2.0**31),
                 np.uint8: (np.round(signal * 127 + 128).astype(np.uint8), lambda a: (a - 128.0) / 128.0)}
        with Processor(channels=2, rate=RATE) as processor:
            for dtype, (pcm, scale) in cases.items():
                with self.subTest(dtype=dtype.__name__):
                    out = processor.process(pcm)
                    self.assertEqual(out.dtype, np.float32)
                    reference = processor.process(scale(pcm.astype(np.float64)).astype(np.float32))
                    np.testing.assert_array_equal(out, reference)
                    self.assertLess(np.max(np.abs(out)), 2.0)

    def test_threads_sharing_a_processor_take_turns(self):
        signal = noise(1, 9000, 2)
        with Processor(channels=1, rate=RATE) as processor:
            expected = processor.process(signal, block_size=512)
            results, errors = [], []

            def work():
                try:
                    for _ in range(4):
                        results.append(processor.process(signal, block_size=512))
                        processor.push(signal[:, :700])  # streaming calls interleave with whole-signal ones
                        processor.pull()
                        processor.set_sensitivity(0, 0.0)
                except Exception as error:  # reported below, not lost in the thread
                    errors.append(error)

            threads = [threading.Thread(target=work) for _ in range(3)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        self.assertEqual(errors, [])
        self.assertEqual(len(results), 12)
        for result in results:
            np.testing.assert_array_equal(result, expected)

    def test_model_push_names_the_shape_it_takes(self):
        with Model(default_model()) as model:
            rows, channels = model.input_shape
            self.assertEqual(model.push(np.ones((3, rows, channels), np.float32)).shape[1:], (rows, channels))
            for shape in ((1, rows - 1, channels), (1, rows, channels + 1), (1, channels, rows)):
                with self.subTest(shape=shape), \
                        self.assertRaisesRegex(ValueError, rf"shaped \[frames, {rows}, {channels}\], not \[{shape[0]}, "):
                    model.push(np.zeros(shape, np.float32))


if __name__ == "__main__":
    unittest.main()

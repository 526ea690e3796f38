"""The model file format: codes, limits and a little-endian writer of its records.

docs/model-format.md describes every field; this module is the one place where the exporter
turns values into bytes.
"""

import struct

import numpy as np

MAGIC = "MUREL.model"
VERSION = 4106
"""The version the exporter writes for models without recurrent layers (every feature of the
older versions), so that such files load in engines that predate those layers."""
RECURRENT_VERSION = 4107
"""The version of files with recurrent layers."""

# Layer type codes.
CONV = 2
TRANSPOSED_CONV = 3
RELU = 4
ELU = 5
SIGMOID = 6
NORM = 7
CONCAT = 9
LEAKY_RELU = 12
DENSE = 14
SEPARABLE_CHANNEL_CONV = 15
PRE_NORM = 16
SOFTPLUS = 17
ARITHMETIC = 18
SELF_ATTENTION = 19
HARD_SIGMOID = 20
FREQUENCY_RESCALE = 22
AR_PRE_NORM = 23
GRU = 24
LSTM = 25
RECURRENT = (GRU, LSTM)

# Packing codes: how a spectrum becomes the input tensor and the output tensor becomes masks.
PACK_MAGNITUDE = 1
PACK_MAGNITUDE_LOW_COMPLEX = 2
PACK_COMPLEX = 4
PACK_COMPLEX_DECIMATED = 6
PACKINGS = (PACK_MAGNITUDE, PACK_MAGNITUDE_LOW_COMPLEX, PACK_COMPLEX, PACK_COMPLEX_DECIMATED)

# Processing modes.
MASKS = 0
SPECTRA = 1

# Element formats of a tensor record.
FLOAT16 = 0
FLOAT32 = 1

HALF_MAX = 65504.0


class FormatError(ValueError):
    """A value the model format cannot hold, or a graph the engine cannot run."""


def _check_range(name, value, low, high):
    if not isinstance(value, (int, np.integer)) or not low <= int(value) <= high:
        raise FormatError(f"{name} must be an integer from {low} to {high}, not {value!r}")
    return int(value)


class Writer:
    """Collects the bytes of a model file, field by field."""

    def __init__(self, half=False):
        self.parts = []
        self.half = half

    def int8(self, value, name="value"):
        self.parts.append(struct.pack("<b", _check_range(name, value, -128, 127)))

    def int16(self, value, name="value"):
        self.parts.append(struct.pack("<h", _check_range(name, value, -32768, 32767)))

    def int32(self, value, name="value"):
        self.parts.append(struct.pack("<i", _check_range(name, value, -(2**31), 2**31 - 1)))

    def float32(self, value, name="value"):
        value = float(value)
        if not np.isfinite(np.float32(value)):
            raise FormatError(f"{name} must be a finite 32-bit float, not {value!r}")
        self.parts.append(struct.pack("<f", value))

    def float64(self, value):
        self.parts.append(struct.pack("<d", float(value)))

    def string(self, text):
        data = text.encode("utf-8")
        self.int32(len(data))
        self.parts.append(data)

    def tensor(self, values, name="tensor", shape=None):
        """A stored tensor record: format byte, rank, axes, payload (row-major)."""
        array = np.asarray(values, dtype=np.float64)
        if shape is not None:
            array = array.reshape(shape)
        if not np.all(np.isfinite(array)):
            raise FormatError(f"{name} holds values that are not finite")
        half = self.half and array.size > 0
        if half and np.max(np.abs(array), initial=0.0) > HALF_MAX:
            raise FormatError(f"{name} holds values beyond the half-float range ({HALF_MAX})")
        self.parts.append(struct.pack("<B", FLOAT16 if half else FLOAT32))
        self.int8(array.ndim, f"rank of {name}")
        for axis in array.shape:
            self.int32(axis, f"axis of {name}")
        if array.size:
            dtype = "<f2" if half else "<f4"
            self.parts.append(np.ascontiguousarray(array.astype(dtype)).tobytes())

    def bytes(self):
        return b"".join(self.parts)

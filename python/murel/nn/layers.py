"""The base of the PyTorch modules for the layers the engine runs; the layers themselves are in
modules by family, as in the engine (convolution, activation, normalisation, attention,
combining).

Each module computes over a whole sequence [batch, time, rows, channels] what the engine computes
frame by frame after a reset: the same causal taps, strides, offsets and dropped start-up frames,
so the engine's streamed output equals the module's output frame for frame. Parameters are kept
in the engine's own layout (documented per class), so export copies them as they are.
"""

import math

import torch

from .. import format as fmt
from .graph import Node, as_sequence, is_traced, source_of

RMS_EPSILON = 1e-12


def _rms(x, dims):
    return torch.sqrt(torch.mean(x * x, dim=dims, keepdim=True))


def _gcd_rate(numerator, denominator):
    g = math.gcd(numerator, denominator)
    return numerator // g, denominator // g


def _check_byte(name, value, low=-128, high=127):
    if not isinstance(value, int) or not low <= value <= high:
        raise fmt.FormatError(f"{name} must be an integer from {low} to {high}, not {value!r}")
    return value


class Layer(torch.nn.Module):
    """A single-input layer. Subclasses define `code`, `compute`, `write` and, where the shape
    or timing changes, `trace_shape` and `measure_latency`."""

    code = None

    def forward(self, x):
        if isinstance(x, Node):
            return Node(self, [source_of(x)])
        return self.compute(as_sequence(x))

    def trace_shape(self, inputs):
        if len(inputs) != 1:
            raise fmt.FormatError(f"{type(self).__name__} takes one input")
        return inputs[0]

    def measure_latency(self, k, downstream):
        return downstream(k)

    def flops(self, rows, channels):
        """Floating-point operations per input frame (multiply-adds count two)."""
        return rows * channels

    def write(self, writer, version):
        """The record after the layer name, type and source names."""


class MultiInputLayer(Layer):
    """Base of the layers with several inputs: frames are combined in arrival order, the n-th frame
    of every input together, so the output has as many frames as the shortest input."""

    def forward(self, *inputs):
        if len(inputs) == 1 and isinstance(inputs[0], (list, tuple)):
            inputs = tuple(inputs[0])
        if len(inputs) < 1:
            raise fmt.FormatError(f"{type(self).__name__} needs at least one input")
        if is_traced(inputs):
            return Node(self, [source_of(x) for x in inputs])
        inputs = [as_sequence(x) for x in inputs]
        frames = min(x.shape[1] for x in inputs)
        return self.combine([x[:, :frames] for x in inputs])

    def trace_shape(self, inputs):
        rates = {rate for _, _, rate in inputs}
        if len(rates) != 1:
            raise fmt.FormatError(f"{type(self).__name__} combines inputs of different frame rates")
        return self.combined_shape(inputs)

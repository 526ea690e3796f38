"""Concat, Arithmetic (Add, Multiply) and FrequencyRescale (the engine's CombiningLayers)."""

import torch

from .. import format as fmt
from .layers import Layer, MultiInputLayer


class Concat(MultiInputLayer):
    """Joins inputs along the channel axis (code 9); rows come from the first input."""

    code = fmt.CONCAT

    def combine(self, inputs):
        rows = inputs[0].shape[2]
        return torch.cat([x[:, :, :rows] for x in inputs], dim=3)

    def combined_shape(self, inputs):
        rows = inputs[0][0]
        if any(r < rows for r, _, _ in inputs):
            raise fmt.FormatError("Concat needs every input to have at least the first input's rows")
        return rows, sum(c for _, c, _ in inputs), inputs[0][2]


class Arithmetic(MultiInputLayer):
    """Element-wise combination (code 18), folded from the first input: multiply r x x_i,
    divide x_i / r, add r + x_i, subtract x_i - r."""

    code = fmt.ARITHMETIC
    OPERATIONS = {"multiply": 0, "divide": 1, "add": 2, "subtract": 3}

    def __init__(self, operation):
        super().__init__()
        if operation not in self.OPERATIONS:
            raise ValueError(f"operation must be one of {sorted(self.OPERATIONS)}")
        self.operation = operation

    def combine(self, inputs):
        r = inputs[0]
        for x in inputs[1:]:
            if self.operation == "multiply":
                r = r * x
            elif self.operation == "divide":
                r = x / r
            elif self.operation == "add":
                r = r + x
            else:
                r = x - r
        return r

    def combined_shape(self, inputs):
        if len({(r, c) for r, c, _ in inputs}) != 1:
            raise fmt.FormatError("Arithmetic needs inputs of one shape")
        return inputs[0]

    def write(self, writer, version):
        writer.int8(self.OPERATIONS[self.operation])


def Add():
    return Arithmetic("add")


def Multiply():
    return Arithmetic("multiply")


class FrequencyRescale(Layer):
    """Maps rows onto bands (code 22): band m is sum over k of weights_m[k] x[start_m + k]. Bands
    may overlap or skip rows. `bands` is a list of (start, weights); the weights are trained when
    trainable is True."""

    code = fmt.FREQUENCY_RESCALE

    def __init__(self, in_rows, bands, trainable=False):
        super().__init__()
        self.in_rows = in_rows
        matrix = torch.zeros(len(bands), in_rows)
        support = torch.zeros(len(bands), in_rows)
        self.starts, self.lengths = [], []
        for m, (start, weights) in enumerate(bands):
            weights = torch.as_tensor(weights, dtype=torch.float32).flatten()
            if weights.numel() < 1 or start < 0 or start + weights.numel() > in_rows:
                raise fmt.FormatError(f"band {m} does not fit {in_rows} rows")
            matrix[m, start:start + weights.numel()] = weights
            support[m, start:start + weights.numel()] = 1.0
            self.starts.append(int(start))
            self.lengths.append(int(weights.numel()))
        self.matrix = torch.nn.Parameter(matrix, requires_grad=trainable)
        self.register_buffer("support", support)

    def compute(self, x):
        return torch.einsum("btrc,mr->btmc", x, self.matrix * self.support)

    def trace_shape(self, inputs):
        rows, channels, rate = super().trace_shape(inputs)
        if rows < self.in_rows:
            raise fmt.FormatError(f"FrequencyRescale reads {self.in_rows} rows, the graph gives {rows}")
        return len(self.starts), channels, rate

    def flops(self, rows, channels):
        return 2 * sum(self.lengths) * channels

    def write(self, writer, version):
        writer.int16(len(self.starts), "band count")
        matrix = self.matrix.detach().cpu().numpy()
        for m, (start, length) in enumerate(zip(self.starts, self.lengths)):
            writer.int16(start, "band start")
            writer.tensor(matrix[m, start:start + length], "band weights")

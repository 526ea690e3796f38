"""SelfAttention (the engine's SelfAttentionLayer)."""

import math

import torch
import torch.nn.functional as F

from .. import format as fmt
from .layers import Layer, _check_byte


class SelfAttention(Layer):
    """Channel mixing with an optional causal context filter (code 19): z = sum over k of
    context[k] x[t - (K - 1 - k)] per channel (or z = x without context), then
    out[f][j] = sum over i of z[f][i] weight[i][j] + bias[f][j]. With output_delay D the first D
    frames give no output and D frames of latency are reported."""

    code = fmt.SELF_ATTENTION

    def __init__(self, rows, channels, context=0, output_delay=0):
        super().__init__()
        self.rows, self.channels, self.output_delay = rows, channels, output_delay
        self.weight = torch.nn.Parameter(torch.randn(channels, channels) / math.sqrt(channels))
        self.bias = torch.nn.Parameter(torch.zeros(rows, channels))
        if context > 0:
            kernel = torch.zeros(context, channels)
            kernel[-1] = 1.0
            self.context = torch.nn.Parameter(kernel)
        else:
            self.context = None

    def compute(self, x):
        frames = x.shape[1]
        z = x
        if self.context is not None:
            k = self.context.shape[0]
            padded = F.pad(x, (0, 0, 0, 0, k - 1, 0))
            z = sum(self.context[tap] * padded[:, tap:tap + frames] for tap in range(k))
        y = torch.matmul(z, self.weight) + self.bias
        return y[:, self.output_delay:]

    def trace_shape(self, inputs):
        rows, channels, rate = super().trace_shape(inputs)
        if (rows, channels) != (self.rows, self.channels):
            raise fmt.FormatError(f"SelfAttention is {self.rows} x {self.channels}, the graph gives {rows} x {channels}")
        return rows, channels, rate

    def measure_latency(self, k, downstream):
        return downstream(k) + self.output_delay

    def flops(self, rows, channels):
        context = self.context.shape[0] if self.context is not None else 0
        return 2 * rows * channels * (channels + context)

    def write(self, writer, version):
        writer.tensor(self.weight.detach().cpu().numpy(), "SelfAttention weights")
        writer.tensor(self.bias.detach().cpu().numpy(), "SelfAttention bias")
        writer.int8(_check_byte("output_delay", self.output_delay, 0))
        if self.context is not None:
            writer.tensor(self.context.detach().cpu().numpy(), "SelfAttention context")
        else:
            writer.tensor([], "SelfAttention context", shape=(0,))

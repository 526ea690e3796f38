"""Convolutions over time and frequency: Conv, TransposedConv and SeparableChannelConv (the
engine's ConvolutionLayers)."""

import math

import torch
import torch.nn.functional as F

from .. import format as fmt
from .layers import Layer, _gcd_rate, _check_byte


class Conv(Layer):
    """Causal 2-D convolution over (time, frequency) with channel mixing (code 2).

    weight: [kernel_time, kernel_frequency, in_channels, out_channels]; with in_channels 1 and a
    multi-channel input the layer is depthwise with out_channels / input channels outputs per
    channel. Time tap kt sees the frame (kernel_time - 1 - kt) x time_dilation frames back.
    Output row o reads input rows o x frequency_stride - pad + kf, pad = (kernel_frequency -
    frequency_stride) / 2 truncated, rows outside the input being zero. An output is produced on
    input frames time_offset, time_offset + time_stride, ...; the offset is also its latency.
    """

    code = fmt.CONV

    def __init__(self, in_channels, out_channels, kernel=(1, 1), time_stride=1, frequency_stride=1,
                 time_dilation=1, time_offset=0, bias=True, depthwise=False):
        super().__init__()
        kt, kf = kernel
        self.depthwise = depthwise
        weight_in = 1 if depthwise else in_channels
        if depthwise and out_channels % in_channels:
            raise fmt.FormatError("a depthwise Conv needs out_channels to be a multiple of in_channels")
        self.in_channels, self.out_channels = in_channels, out_channels
        self.time_stride, self.frequency_stride = time_stride, frequency_stride
        self.time_dilation, self.time_offset = time_dilation, time_offset
        fan_in = kt * kf * weight_in
        self.weight = torch.nn.Parameter(torch.randn(kt, kf, weight_in, out_channels) / math.sqrt(fan_in))
        self.bias = torch.nn.Parameter(torch.zeros(out_channels)) if bias else None

    def compute(self, x):
        kt, kf, _, cout = self.weight.shape
        rows, channels = x.shape[2], x.shape[3]
        fs, ts = self.frequency_stride, self.time_stride
        out_rows = rows // fs
        pad = int((kf - fs) / 2)
        h = x.permute(0, 3, 1, 2)  # [B, C, T, R]
        # Rows: o * fs - pad + kf must index the zero-padded input.
        top = max(pad, 0)
        h = h[..., max(-pad, 0):]
        needed = (out_rows - 1) * fs + kf
        available = top + h.shape[-1]
        h = F.pad(h, (top, max(needed - available, 0), (kt - 1) * self.time_dilation, 0))
        w = self.weight.permute(3, 2, 0, 1)  # [Cout, Cin, kT, kF]
        groups = channels if (self.depthwise or (self.weight.shape[2] == 1 and channels != 1)) else 1
        y = F.conv2d(h, w, self.bias, stride=(1, fs), dilation=(self.time_dilation, 1), groups=groups)
        y = y[..., :out_rows]
        y = y[:, :, self.time_offset::ts]
        return y.permute(0, 2, 3, 1)

    def trace_shape(self, inputs):
        rows, channels, (num, den) = super().trace_shape(inputs)
        expected = self.in_channels
        if channels != expected:
            raise fmt.FormatError(f"Conv expects {expected} input channels, the graph gives {channels}")
        if rows // self.frequency_stride < 1:
            raise fmt.FormatError("Conv leaves no rows")
        return rows // self.frequency_stride, self.out_channels, _gcd_rate(num, den * self.time_stride)

    def measure_latency(self, k, downstream):
        return downstream(k * self.time_stride) + k * self.time_offset

    def flops(self, rows, channels):
        kt, kf, cin, cout = self.weight.shape
        return 2 * kt * kf * cin * cout * (rows // self.frequency_stride) / self.time_stride

    def write(self, writer, version):
        writer.tensor(self.weight.detach().cpu().numpy(), "Conv weights")
        writer.tensor(self.bias.detach().cpu().numpy() if self.bias is not None else [], "Conv bias",
                      shape=None if self.bias is not None else (0,))
        writer.int8(_check_byte("time_stride", self.time_stride, 1))
        writer.int8(_check_byte("frequency_stride", self.frequency_stride, 1))
        writer.int8(_check_byte("time_dilation", self.time_dilation, 1))
        writer.int8(1)  # frequency dilation: stored, frequency taps are always adjacent
        writer.int8(_check_byte("time_offset", self.time_offset, 0))


class TransposedConv(Layer):
    """Up-sampling convolution (code 3): each input frame gives time_stride output frames and each
    row frequency_stride rows.

    weight: [kernel_time, kernel_frequency, out_channels, in_channels] (depthwise: out_channels
    axis 1 and out_channels = in_channels). Output frame n sums tap kt of input frame (n - kt) /
    time_stride where that divides; output row f x frequency_stride - pad + kf gets tap kf of input
    row f. The first time_offset output frames are dropped; the offset is the latency.
    """

    code = fmt.TRANSPOSED_CONV

    def __init__(self, in_channels, out_channels, kernel=(1, 1), time_stride=1, frequency_stride=1,
                 time_offset=0, bias=True, depthwise=False):
        super().__init__()
        kt, kf = kernel
        if depthwise and out_channels != in_channels:
            raise fmt.FormatError("a depthwise TransposedConv keeps its channel count")
        self.depthwise = depthwise
        self.in_channels, self.out_channels = in_channels, out_channels
        self.time_stride, self.frequency_stride, self.time_offset = time_stride, frequency_stride, time_offset
        weight_out = 1 if depthwise else out_channels
        self.weight = torch.nn.Parameter(torch.randn(kt, kf, weight_out, in_channels) / math.sqrt(kt * kf * in_channels))
        self.bias = torch.nn.Parameter(torch.zeros(out_channels)) if bias else None

    def compute(self, x):
        kt, kf, _, _ = self.weight.shape
        frames, rows = x.shape[1], x.shape[2]
        ts, fs = self.time_stride, self.frequency_stride
        out_rows = rows * fs
        pad = int((kf - fs) / 2)
        w = self.weight.permute(3, 2, 0, 1)  # [Cin, Cout or 1, kT, kF]
        groups = self.in_channels if self.depthwise else 1
        y = F.conv_transpose2d(x.permute(0, 3, 1, 2), w, None, stride=(ts, fs), groups=groups)
        # Rows: shift by -pad and keep out_rows; frames: keep frames * ts, drop the offset.
        if pad >= 0:
            y = y[..., pad:pad + out_rows]
        else:
            y = F.pad(y, (-pad, 0))[..., :out_rows]
        y = F.pad(y, (0, out_rows - y.shape[-1], 0, max(frames * ts - y.shape[-2], 0)))
        y = y[:, :, self.time_offset:frames * ts]
        if self.bias is not None:
            y = y + self.bias.view(1, -1, 1, 1)
        return y.permute(0, 2, 3, 1)

    def trace_shape(self, inputs):
        rows, channels, (num, den) = super().trace_shape(inputs)
        if channels != self.in_channels:
            raise fmt.FormatError(f"TransposedConv expects {self.in_channels} input channels, the graph gives {channels}")
        return rows * self.frequency_stride, self.out_channels, _gcd_rate(num * self.time_stride, den)

    def measure_latency(self, k, downstream):
        return downstream(k // self.time_stride) + k * self.time_offset

    def flops(self, rows, channels):
        kt, kf, cwo, cin = self.weight.shape
        return 2 * kt * kf * cwo * cin * rows

    def write(self, writer, version):
        writer.tensor(self.weight.detach().cpu().numpy(), "TransposedConv weights")
        writer.tensor(self.bias.detach().cpu().numpy() if self.bias is not None else [], "TransposedConv bias",
                      shape=None if self.bias is not None else (0,))
        writer.int16(self.out_channels, "out_channels")
        writer.int8(_check_byte("time_stride", self.time_stride, 1))
        writer.int8(_check_byte("frequency_stride", self.frequency_stride, 1))
        writer.int8(1)
        writer.int8(1)
        writer.int8(_check_byte("time_offset", self.time_offset, 0))


class SeparableChannelConv(Layer):
    """A light filter shared by every channel (code 15): a time kernel of K taps, then a frequency
    kernel of L taps centred on (L - 1) / 2. Time tap K - 1 weights the current frame and tap
    k < K - 1 the frame k + 1 back. The first (K + 1) / 2 - 1 frames give no output (not counted
    as latency by the engine)."""

    code = fmt.SEPARABLE_CHANNEL_CONV

    def __init__(self, time_taps, frequency_taps):
        super().__init__()
        self.time_kernel = torch.nn.Parameter(torch.full((time_taps,), 1.0 / time_taps))
        centre = torch.zeros(frequency_taps)
        centre[(frequency_taps - 1) // 2] = 1.0
        self.frequency_kernel = torch.nn.Parameter(centre)

    def compute(self, x):
        k = self.time_kernel.shape[0]
        length = self.frequency_kernel.shape[0]
        frames = x.shape[1]
        padded = F.pad(x, (0, 0, 0, 0, k, 0))
        y = self.time_kernel[k - 1] * x
        for tap in range(k - 1):
            back = tap + 1
            y = y + self.time_kernel[tap] * padded[:, k - back:k - back + frames]
        centre = (length - 1) // 2
        out = torch.zeros_like(y)
        rows = y.shape[2]
        for tap in range(length):
            d = tap - centre  # out[f] += kernel[tap] * y[f - d]
            if abs(d) >= rows:
                continue
            if d >= 0:
                out[:, :, d:] = out[:, :, d:] + self.frequency_kernel[tap] * y[:, :, :rows - d]
            else:
                out[:, :, :rows + d] = out[:, :, :rows + d] + self.frequency_kernel[tap] * y[:, :, -d:]
        return out[:, (k + 1) // 2 - 1:]

    def flops(self, rows, channels):
        return 2 * (self.time_kernel.shape[0] + self.frequency_kernel.shape[0]) * rows * channels

    def write(self, writer, version):
        writer.tensor(self.time_kernel.detach().cpu().numpy(), "time kernel")
        writer.tensor(self.frequency_kernel.detach().cpu().numpy(), "frequency kernel")

"""PyTorch modules for every layer the engine runs.

Each module computes over a whole sequence [batch, time, rows, channels] what the engine computes
frame by frame after a reset: the same causal taps, strides, offsets and dropped start-up frames,
so the engine's streamed output equals the module's output frame for frame. Parameters are kept
in the engine's own layout (documented per class), so export copies them as they are.
"""

import math

import torch
import torch.nn.functional as F

from .. import format as fmt
from .graph import Node, as_sequence, is_traced

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
            return Node(self, [x])
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
            return Node(self, inputs)
        inputs = [as_sequence(x) for x in inputs]
        frames = min(x.shape[1] for x in inputs)
        return self.combine([x[:, :frames] for x in inputs])

    def trace_shape(self, inputs):
        rates = {rate for _, _, rate in inputs}
        if len(rates) != 1:
            raise fmt.FormatError(f"{type(self).__name__} combines inputs of different frame rates")
        return self.combined_shape(inputs)


# Convolutions ---------------------------------------------------------------------------------


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


# Activations ----------------------------------------------------------------------------------


class ReLU(Layer):
    code = fmt.RELU

    def compute(self, x):
        return torch.relu(x)


class LeakyReLU(Layer):
    code = fmt.LEAKY_RELU

    def __init__(self, negative_slope=0.01):
        super().__init__()
        self.negative_slope = float(negative_slope)

    def compute(self, x):
        return F.leaky_relu(x, self.negative_slope)

    def write(self, writer, version):
        writer.float32(self.negative_slope, "negative_slope")


class ELU(Layer):
    code = fmt.ELU

    def compute(self, x):
        return F.elu(x)


class Sigmoid(Layer):
    """The engine clamps the argument to [-10, 10]."""

    code = fmt.SIGMOID

    def compute(self, x):
        return torch.sigmoid(torch.clamp(x, -10.0, 10.0))


class HardSigmoid(Layer):
    code = fmt.HARD_SIGMOID

    def compute(self, x):
        return torch.clamp(x * (1.0 / 6.0) + 0.5, 0.0, 1.0)


class Softplus(Layer):
    """log(1 + e^x) without a linear branch: the engine overflows to infinity above x = 88."""

    code = fmt.SOFTPLUS

    def compute(self, x):
        return torch.where(x > 88.0, torch.full_like(x, math.inf), F.softplus(x, threshold=20.0))


# Normalisation and dense ----------------------------------------------------------------------


class Norm(Layer):
    """Per-row affine transform over the channels (code 7); with rms=True each row is first
    divided by its root-mean-square (+1e-12)."""

    code = fmt.NORM

    def __init__(self, channels, rms=False, offset=True):
        super().__init__()
        self.rms = rms
        self.channels = channels
        self.scale = torch.nn.Parameter(torch.ones(channels))
        self.offset = torch.nn.Parameter(torch.zeros(channels)) if offset else None

    def compute(self, x):
        if self.rms:
            x = x * (1.0 / (_rms(x, (3,)) + RMS_EPSILON))
        y = x * self.scale
        return y + self.offset if self.offset is not None else y

    def trace_shape(self, inputs):
        rows, channels, rate = super().trace_shape(inputs)
        if channels != self.channels:
            raise fmt.FormatError(f"Norm has {self.channels} channels, the graph gives {channels}")
        return rows, channels, rate

    def write(self, writer, version):
        writer.int8(1 if self.rms else 0)
        writer.tensor(self.scale.detach().cpu().numpy(), "Norm scale")
        writer.tensor(self.offset.detach().cpu().numpy() if self.offset is not None else [], "Norm offset",
                      shape=None if self.offset is not None else (0,))


class PreNorm(Layer):
    """Divides each frame by a learned weighted sum of the root-mean-square levels of the current
    and the last L - 1 frames (code 16). kernel[0] weights the current frame, kernel[k] the frame
    L - k back; before the first frame every level counts as the first frame's."""

    code = fmt.PRE_NORM

    def __init__(self, length):
        super().__init__()
        kernel = torch.zeros(length)
        kernel[0] = 1.0
        self.kernel = torch.nn.Parameter(kernel)

    def compute(self, x):
        length = self.kernel.shape[0]
        frames = x.shape[1]
        levels = _rms(x, (2, 3))[:, :, 0, 0]  # [B, T]
        padded = torch.cat([levels[:, :1].expand(-1, length - 1), levels], dim=1)
        s = self.kernel[0] * levels
        for k in range(1, length):
            start = k - 1  # frame t - (L - k) sits at padded index t + k - 1
            s = s + self.kernel[k] * padded[:, start:start + frames]
        return x * (1.0 / (s + RMS_EPSILON))[:, :, None, None]

    def write(self, writer, version):
        writer.tensor(self.kernel.detach().cpu().numpy(), "PreNorm kernel")


class ARPreNorm(Layer):
    """Divides each frame by a level that follows its root-mean-square with attack and release
    smoothing (code 23); the level starts at 0. Runs frame by frame."""

    code = fmt.AR_PRE_NORM

    def __init__(self, attack, release, epsilon=1e-3):
        super().__init__()
        if not epsilon > 0:
            raise fmt.FormatError("ARPreNorm needs a positive epsilon")
        self.attack, self.release, self.epsilon = float(attack), float(release), float(epsilon)

    def compute(self, x):
        levels = _rms(x, (2, 3))[:, :, 0, 0]
        level = torch.zeros_like(levels[:, 0])
        gains = []
        for t in range(levels.shape[1]):
            a = levels[:, t]
            c = torch.where(level < a, torch.full_like(a, self.attack), torch.full_like(a, self.release))
            level = level * c + a * (1.0 - c)
            gains.append(1.0 / (level + self.epsilon))
        return x * torch.stack(gains, dim=1)[:, :, None, None]

    def write(self, writer, version):
        writer.float32(self.attack, "attack")
        writer.float32(self.release, "release")
        writer.float32(self.epsilon, "epsilon")


class Dense(Layer):
    """Mixes the rows of each channel (code 14): out[o][c] = sum over r of weight[o][r][c] x[r][c]
    + bias[o][c]. Channels never mix."""

    code = fmt.DENSE

    def __init__(self, rows, channels, bias=True):
        super().__init__()
        self.rows, self.channels = rows, channels
        self.weight = torch.nn.Parameter(torch.randn(rows, rows, channels) / math.sqrt(rows))
        self.bias = torch.nn.Parameter(torch.zeros(rows, channels)) if bias else None

    def compute(self, x):
        y = torch.einsum("btrc,orc->btoc", x, self.weight)
        return y + self.bias if self.bias is not None else y

    def trace_shape(self, inputs):
        rows, channels, rate = super().trace_shape(inputs)
        if (rows, channels) != (self.rows, self.channels):
            raise fmt.FormatError(f"Dense is {self.rows} x {self.channels}, the graph gives {rows} x {channels}")
        return rows, channels, rate

    def flops(self, rows, channels):
        return 2 * rows * rows * channels

    def write(self, writer, version):
        writer.tensor(self.weight.detach().cpu().numpy(), "Dense weights")
        writer.tensor(self.bias.detach().cpu().numpy() if self.bias is not None else [], "Dense bias",
                      shape=None if self.bias is not None else (0,))


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


# Combining ------------------------------------------------------------------------------------


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

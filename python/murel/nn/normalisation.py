"""Norm, PreNorm, ARPreNorm and Dense (the engine's NormalisationLayers)."""

import math

import torch

from .. import format as fmt
from .layers import Layer, RMS_EPSILON, _rms


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

"""The element-wise activations (the engine's ActivationLayers)."""

import math

import torch
import torch.nn.functional as F

from .. import format as fmt
from .layers import Layer


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

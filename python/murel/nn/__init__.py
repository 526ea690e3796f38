"""PyTorch modules for the engine's layers and its spectral front and back end."""

from .graph import Input, Node
from .layers import (ARPreNorm, Add, Arithmetic, Concat, Conv, Dense, ELU, FrequencyRescale, HardSigmoid, Layer,
                     LeakyReLU, Multiply, MultiInputLayer, Norm, PreNorm, ReLU, SelfAttention, SeparableChannelConv,
                     Sigmoid, Softplus, TransposedConv)
from .spectral import SpectralModel, band_centres, si_sdr, triangular_bands, windows

__all__ = [
    "ARPreNorm", "Add", "Arithmetic", "Concat", "Conv", "Dense", "ELU", "FrequencyRescale", "HardSigmoid", "Input",
    "Layer", "LeakyReLU", "Multiply", "MultiInputLayer", "Node", "Norm", "PreNorm", "ReLU", "SelfAttention",
    "SeparableChannelConv", "Sigmoid", "Softplus", "SpectralModel", "TransposedConv", "band_centres", "si_sdr",
    "triangular_bands", "windows",
]

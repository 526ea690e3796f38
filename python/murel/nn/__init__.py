"""PyTorch modules for the engine's layers and its spectral front and back end."""

from .graph import Input, Node
from .framing import Framing, stft_framing
from .activation import ELU, HardSigmoid, LeakyReLU, ReLU, Sigmoid, Softplus
from .attention import SelfAttention
from .combining import Add, Arithmetic, Concat, FrequencyRescale, Multiply
from .convolution import Conv, SeparableChannelConv, TransposedConv
from .layers import Layer, MultiInputLayer
from .normalisation import ARPreNorm, Dense, Norm, PreNorm
from .recurrent import GRU, LSTM
from .spectral import SpectralModel, band_centres, si_sdr, triangular_bands, windows

__all__ = [
    "ARPreNorm", "Add", "Arithmetic", "Concat", "Conv", "Dense", "ELU", "Framing", "FrequencyRescale", "GRU", "HardSigmoid", "Input", "LSTM",
    "Layer", "LeakyReLU", "Multiply", "MultiInputLayer", "Node", "Norm", "PreNorm", "ReLU", "SelfAttention",
    "SeparableChannelConv", "Sigmoid", "Softplus", "SpectralModel", "TransposedConv", "band_centres", "si_sdr", "stft_framing",
    "triangular_bands", "windows",
]

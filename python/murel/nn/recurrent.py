"""GRU and LSTM (the engine's RecurrentLayers)."""

import torch

from .. import format as fmt
from .graph import Node, source_of
from .layers import Layer


class _Stage(Layer):
    """One stacked layer of a GRU or LSTM in a traced graph: one record of the model file."""

    def __init__(self, owner, index):
        super().__init__()
        self.code = owner.code
        object.__setattr__(self, "owner", owner)  # not a submodule: the owner holds the weights
        self.index = index

    def trace_shape(self, inputs):
        (rows, channels, rate), = inputs
        size = self.owner.module.input_size if self.index == 0 else self.owner.module.hidden_size
        if rows * channels != size:
            raise fmt.FormatError(f"{type(self.owner).__name__} takes {size} values per frame, the graph gives "
                                  f"{rows} rows x {channels} channels = {rows * channels}")
        return self.owner.module.hidden_size, 1, rate

    def flops(self, rows, channels):
        m = self.owner.module
        gates = 4 if self.code == fmt.LSTM else 3
        return 2 * gates * m.hidden_size * (rows * channels + m.hidden_size)

    def write(self, writer, version):
        m, k = self.owner.module, self.index
        name = type(self.owner).__name__
        for kind in ("ih", "hh"):
            writer.tensor(getattr(m, f"weight_{kind}_l{k}").detach().cpu().numpy(), f"{name} weight_{kind}_l{k}")
        for kind in ("ih", "hh"):
            bias = getattr(m, f"bias_{kind}_l{k}", None) if m.bias else None
            if bias is None:
                writer.tensor([], f"{name} bias_{kind}_l{k}", shape=(0,))
            else:
                writer.tensor(bias.detach().cpu().numpy(), f"{name} bias_{kind}_l{k}")


class _Recurrent(Layer):
    """A recurrence over the frames whose input vector is the whole frame (rows x channels,
    row-major) and whose output is the hidden state as one column per frame: [batch, time, rows,
    channels] -> [batch, time, hidden, 1]. The weights are those of the wrapped torch module
    (batch_first, unidirectional, no projection), each stacked layer one record."""

    def __init__(self, module):
        super().__init__()
        if not isinstance(module, self.torch_class):
            raise TypeError(f"{type(self).__name__} wraps a torch.nn.{self.torch_class.__name__}")
        if module.bidirectional:
            raise fmt.FormatError(f"the engine runs causal recurrences only: use a unidirectional {type(module).__name__}"
                                  " (bidirectional=False)")
        if getattr(module, "proj_size", 0):
            raise fmt.FormatError("the engine's LSTM has no projection: use proj_size=0")
        self.module = module

    def forward(self, x):
        if isinstance(x, Node):
            x = source_of(x)
            for index in range(self.module.num_layers):
                x = Node(_Stage(self, index), [x])
            return x
        b, t = x.shape[:2]
        y, _ = self.module(self._batch_first(x.reshape(b, t, -1)))
        return self._batch_first(y).unsqueeze(-1)

    def _batch_first(self, x):
        return x if self.module.batch_first else x.transpose(0, 1)


class GRU(_Recurrent):
    """GRU over the frames (code 24). GRU(input_size, hidden_size, num_layers=1, bias=True) or
    GRU(module) for an existing torch.nn.GRU."""

    code = fmt.GRU
    torch_class = torch.nn.GRU

    def __init__(self, input_size, hidden_size=None, num_layers=1, bias=True):
        if isinstance(input_size, torch.nn.GRU):
            module = input_size
        else:
            module = torch.nn.GRU(input_size, hidden_size, num_layers=num_layers, bias=bias, batch_first=True)
        super().__init__(module)


class LSTM(_Recurrent):
    """LSTM over the frames (code 25). LSTM(input_size, hidden_size, num_layers=1, bias=True) or
    LSTM(module) for an existing torch.nn.LSTM."""

    code = fmt.LSTM
    torch_class = torch.nn.LSTM

    def __init__(self, input_size, hidden_size=None, num_layers=1, bias=True):
        if isinstance(input_size, torch.nn.LSTM):
            module = input_size
        else:
            module = torch.nn.LSTM(input_size, hidden_size, num_layers=num_layers, bias=bias, batch_first=True)
        super().__init__(module)

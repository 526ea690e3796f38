"""Tracing of networks written in plain PyTorch.

A traced value (a Node) stands for the frames [batch, time, rows, channels] of one engine layer.
It also takes the forms plain PyTorch code gives it: [batch, time, features] after a flatten or
reshape (the frame's rows x channels, row-major, which is how the engine's recurrent layers and a
linear layer over all bands read a frame), and [batch, channels, time, rows] after
permute(0, 3, 1, 2) for Conv2d / ConvTranspose2d. Operators, torch functions and the supported
torch.nn modules turn into engine layers here; anything else is refused with the operation, the
line of the user's code and what to use instead.
"""

import contextlib
import math
import os
import traceback

import torch
import torch.nn.functional as F

from .. import format as fmt

SPATIAL, FLAT, CHANNELS_FIRST = "spatial", "flat", "channels first"

_TORCH_DIR = os.path.dirname(os.path.abspath(torch.__file__))
_MUREL_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def user_line():
    """file:line: source of the innermost frame outside torch and this package."""
    for frame in reversed(traceback.extract_stack()):
        path = os.path.abspath(frame.filename)
        if path.startswith(_TORCH_DIR) or path.startswith(_MUREL_DIR) or frame.filename.startswith("<"):
            continue
        return f"{frame.filename}:{frame.lineno}: {(frame.line or '').strip()}"
    return "(no source line)"


def refuse(operation, instead):
    raise fmt.FormatError(f"{operation} cannot run in the engine, at {user_line()}; {instead}")


# Layers -----------------------------------------------------------------------------------------


def _node(layer, inputs, form=SPATIAL, anchor=None):
    from .graph import Node
    if anchor is not None:
        object.__setattr__(layer, "anchor", anchor)
    node = Node(layer, inputs)
    node.form = form
    return node


def _with_form(node, form):
    """The same layer output seen in another form (no engine layer)."""
    from .graph import Node
    view = Node.__new__(Node)
    view.__dict__.update(node.__dict__)
    view.form = form
    view.base = getattr(node, "base", node)
    return view


def _source(node):
    """The node whose layer actually emits the frames (views share it)."""
    return getattr(node, "base", node)


def _set(parameter, values):
    with torch.no_grad():
        parameter.copy_(torch.as_tensor(values, dtype=torch.float32).reshape(parameter.shape))


def _affine(x, scale, offset, anchor=None):
    """x * scale + offset per channel, scalars or tensors broadcasting over the channels."""
    from .normalisation import Norm
    channels = x.channels
    scale = torch.as_tensor(scale, dtype=torch.float32).detach().cpu()
    offset = torch.as_tensor(offset, dtype=torch.float32).detach().cpu()
    for name, value in (("scale", scale), ("offset", offset)):
        if value.numel() not in (1, channels) or (value.numel() > 1 and x.form != SPATIAL):
            refuse(f"an element-wise {name} of shape {list(value.shape)}",
                   "use a scalar, or one value per channel on [batch, time, rows, channels]")
    layer = Norm(channels)
    _set(layer.scale, scale.expand(channels) if scale.numel() == 1 else scale.flatten())
    _set(layer.offset, offset.expand(channels) if offset.numel() == 1 else offset.flatten())
    return _node(layer, [_source(x)], x.form, anchor)


def _activation(x, layer, anchor=None):
    _require_not_channels_first(x, type(layer).__name__)
    return _node(layer, [_source(x)], x.form, anchor)


def _require_not_channels_first(x, what):
    if x.form == CHANNELS_FIRST:
        refuse(f"{what} on [batch, channels, time, rows]",
               "apply it on [batch, time, rows, channels] (permute(0, 2, 3, 1) back after Conv2d)")
    if getattr(x, "padding", None):
        refuse(f"{what} on a padded tensor", "pad only right before Conv2d")


def relu(x, anchor=None):
    from .activation import ReLU
    return _activation(x, ReLU(), anchor)


def sigmoid(x, anchor=None):
    from .activation import Sigmoid
    return _activation(x, Sigmoid(), anchor)


def tanh(x, anchor=None):
    # 2 sigmoid(2x) - 1: the engine has no tanh layer of its own.
    return _affine(sigmoid(_affine(x, 2.0, 0.0, anchor), anchor), 2.0, -1.0, anchor)


def elu(x, alpha=1.0, anchor=None):
    from .activation import ELU
    if alpha != 1.0:
        refuse(f"ELU with alpha {alpha}", "use alpha=1.0")
    return _activation(x, ELU(), anchor)


def leaky_relu(x, slope=0.01, anchor=None):
    from .activation import LeakyReLU
    return _activation(x, LeakyReLU(slope), anchor)


def softplus(x, beta=1.0, anchor=None):
    from .activation import Softplus
    if beta != 1.0:
        refuse(f"Softplus with beta {beta}", "use beta=1")
    return _activation(x, Softplus(), anchor)


def hardsigmoid(x, anchor=None):
    from .activation import HardSigmoid
    return _activation(x, HardSigmoid(), anchor)


def prelu(x, weight, anchor=None):
    weight = weight.detach().cpu().flatten()
    if weight.numel() != 1:
        # PyTorch applies one slope per index of dim 1, which is time in this layout.
        refuse(f"PReLU with {weight.numel()} parameters", "use PReLU() with one parameter")
    return leaky_relu(x, float(weight[0]), anchor)


def combine(operation, inputs, anchor=None):
    from .combining import Arithmetic
    forms = {n.form for n in inputs}
    if len(forms) != 1 or len({(n.rows, n.channels) for n in inputs}) != 1:
        refuse(f"'{operation}' of tensors of different shapes", "combine tensors of one shape (no broadcasting)")
    for n in inputs:
        _require_not_channels_first(n, operation)
    return _node(Arithmetic(operation), [_source(n) for n in inputs], inputs[0].form, anchor)


def binary(operation, a, b, anchor=None):
    """a (op) b in PyTorch's order, each a node or a constant."""
    from .graph import Node
    if isinstance(a, Node) and isinstance(b, Node):
        # The engine folds from the first input: subtract gives x1 - x0, divide x1 / x0.
        ordered = [b, a] if operation in ("subtract", "divide") else [a, b]
        return combine(operation, ordered, anchor)
    node, constant = (a, b) if isinstance(a, Node) else (b, a)
    _require_not_channels_first(node, operation)
    if not isinstance(constant, (int, float, torch.Tensor)) or isinstance(constant, bool):
        refuse(f"'{operation}' with a {type(constant).__name__}", "use numbers or tensors of weights")
    if isinstance(constant, torch.Tensor):
        if constant.requires_grad:
            constant = constant.detach()
    constant = torch.as_tensor(constant, dtype=torch.float32)
    if operation == "add":
        return _affine(node, 1.0, constant, anchor)
    if operation == "multiply":
        return _affine(node, constant, 0.0, anchor)
    if operation == "subtract":
        return _affine(node, 1.0, -constant, anchor) if node is a else _affine(node, -1.0, constant, anchor)
    if node is a:
        return _affine(node, 1.0 / constant, 0.0, anchor)
    refuse("dividing a number by a tensor", "multiply by a learned gain instead, or divide two tensors")


# Shapes -----------------------------------------------------------------------------------------


def shape_of(x):
    """What x.shape gives while tracing: batch and time 1, the frame's own sizes."""
    if x.form == FLAT:
        return torch.Size([1, 1, x.rows * x.channels])
    if x.form == CHANNELS_FIRST:
        return torch.Size([1, x.channels, 1, x.rows])
    return torch.Size([1, 1, x.rows, x.channels])


def _target(x, shape):
    shape = [int(s) for s in (shape[0] if len(shape) == 1 and isinstance(shape[0], (tuple, list, torch.Size))
                              else shape)]
    total = x.rows * x.channels
    if shape.count(-1) == 1:
        known = -math.prod(shape)
        shape[shape.index(-1)] = total // known if known and total % known == 0 else -1
    return shape


def reshape(x, *shape):
    _require_not_channels_first(x, "reshape")
    shape = _target(x, shape)
    total = x.rows * x.channels
    if len(shape) == 3 and shape[:2] == [1, 1] and shape[2] == total:
        return _with_form(x, FLAT)
    if len(shape) == 4 and shape[:2] == [1, 1] and shape[2] * shape[3] == total:
        return to_spatial(x, shape[2], shape[3])
    refuse(f"reshape to {shape} from {list(shape_of(x))}",
           "reshape only between [batch, time, rows, channels] and [batch, time, features], keeping batch and time")


def _pick_rows(x, bands):
    """A frequency rescale of fixed bands (start, weights)."""
    from .combining import FrequencyRescale
    return _node(FrequencyRescale(x.rows, bands), [_source(x)], SPATIAL)


def to_spatial(x, rows, channels):
    """The frame as rows x channels: nothing to do when the layer already emits that shape;
    a column of values (what Linear and recurrent layers give) is dealt out over the channels by
    one row picker per channel."""
    if (x.rows, x.channels) == (rows, channels):
        return _with_form(x, SPATIAL)
    if x.channels != 1:
        refuse(f"reshape of {x.rows} x {x.channels} frames to {rows} x {channels}",
               "flatten to [batch, time, features] and unflatten the output of a Linear or recurrent layer")
    from .combining import Concat
    parts = [_pick_rows(x, [(r * channels + c, [1.0]) for r in range(rows)]) for c in range(channels)]
    return _node(Concat(), parts, SPATIAL)


def flatten(x, start_dim=0, end_dim=-1):
    start, end = start_dim % 4 if x.form != FLAT else start_dim % 3, end_dim % 4 if x.form != FLAT else end_dim % 3
    if x.form == SPATIAL and (start, end) == (2, 3):
        return _with_form(x, FLAT)
    if x.form == FLAT and start == end:
        return x
    refuse(f"flatten({start_dim}, {end_dim})", "flatten only the rows and channels: x.flatten(2)")


def unsqueeze(x, dim):
    if x.form == FLAT and dim in (-1, 3):
        return to_spatial(x, x.rows * x.channels, 1)
    if x.form == FLAT and dim in (2, -2):
        return to_spatial(x, 1, x.rows * x.channels)
    refuse(f"unsqueeze({dim}) of {list(shape_of(x))}", "unsqueeze [batch, time, features] at dim 2 or -1")


def squeeze(x, dim=None):
    if x.form == SPATIAL and dim in (-1, 3) and x.channels == 1:
        return _with_form(x, FLAT)
    if x.form == SPATIAL and dim in (2, -2) and x.rows == 1:
        return _with_form(x, FLAT)
    refuse(f"squeeze({dim}) of {list(shape_of(x))}", "squeeze a row or channel axis of length 1 by its index")


def permute(x, *dims):
    dims = tuple(int(d) % 4 for d in (dims[0] if len(dims) == 1 else dims))
    if x.form == SPATIAL and dims == (0, 3, 1, 2):
        return _with_form(x, CHANNELS_FIRST)
    if x.form == CHANNELS_FIRST and dims == (0, 2, 3, 1) and not getattr(x, "padding", None):
        return _with_form(x, SPATIAL)
    refuse(f"permute{dims}", "permute only between [batch, time, rows, channels] and [batch, channels, time, rows]")


def pad(x, padding, mode="constant", value=0.0):
    padding = list(padding)
    if x.form != CHANNELS_FIRST or mode != "constant" or value != 0 or len(padding) != 4 or padding[3] != 0:
        refuse(f"F.pad({padding}, mode={mode!r})",
               "pad [batch, channels, time, rows] with zeros right before Conv2d: (rows, rows, past frames, 0)")
    view = _with_form(x, CHANNELS_FIRST)
    view.padding = padding
    return view


def cat(nodes, dim=0):
    from .combining import Concat
    nodes = list(nodes)
    if any(n.form != SPATIAL for n in nodes):
        refuse(f"torch.cat along {dim} of {[list(shape_of(n)) for n in nodes]}",
               "concatenate [batch, time, rows, channels] along the channels (dim -1), before flattening")
    if dim % 4 != 3:
        refuse(f"torch.cat along dim {dim}", "concatenate along the channels (dim -1); rows and time cannot be joined")
    if len({n.rows for n in nodes}) != 1:
        refuse("torch.cat of tensors with different rows", "give every input the same rows")
    return _node(Concat(), [_source(n) for n in nodes], nodes[0].form)


def stack(nodes, dim=0):
    nodes = list(nodes)
    if all(n.form == FLAT for n in nodes) and dim in (-1, 3):
        return cat([unsqueeze(n, -1) for n in nodes], -1)
    refuse(f"torch.stack along {dim}", "stack [batch, time, features] tensors along dim -1 (one channel each)")


# Modules ----------------------------------------------------------------------------------------


def _conv_weights(module):
    return module.weight.detach().cpu()


def conv2d(module, x):
    from .convolution import Conv
    if x.form != CHANNELS_FIRST:
        refuse("Conv2d on [batch, time, rows, channels]",
               "permute(0, 3, 1, 2) to [batch, channels, time, rows] before it and permute(0, 2, 3, 1) after")
    kt, kf = module.kernel_size
    ts, fs = module.stride
    dt, df = module.dilation
    pt, pf = module.padding if not isinstance(module.padding, str) else (None, None)
    padding = getattr(x, "padding", None) or [0, 0, 0, 0]
    if pt is None or module.padding_mode != "zeros" or df != 1 or module.groups not in (1, x.channels):
        refuse(f"Conv2d({module})", "use zero padding given as numbers, no frequency dilation, groups 1 or depthwise")
    past = padding[2] + pt
    if pt != 0 or past != (kt - 1) * dt:
        refuse(f"Conv2d with {kt} frames and time padding {pt} (F.pad gave {padding[2]} past frames)",
               f"make it causal: padding=(0, ...) and F.pad(x, (rows, rows, {(kt - 1) * dt}, 0)) before it")
    rows_pad = padding[0] + pf
    if padding[0] != padding[1] or rows_pad != int((kf - fs) / 2) or (x.rows + 2 * rows_pad - kf) // fs + 1 != x.rows // fs:
        refuse(f"Conv2d with {kf} rows, stride {fs} and row padding {rows_pad}",
               f"pad the rows by (kernel - stride) / 2 = {int((kf - fs) / 2)} on both sides")
    depthwise = module.groups > 1
    layer = Conv(module.in_channels, module.out_channels, (kt, kf), time_stride=ts, frequency_stride=fs,
                 time_dilation=dt, time_offset=0, bias=module.bias is not None, depthwise=depthwise)
    _set(layer.weight, _conv_weights(module).permute(2, 3, 1, 0))
    if module.bias is not None:
        _set(layer.bias, module.bias.detach().cpu())
    return _node(layer, [_source(x)], CHANNELS_FIRST, module)


def conv_transpose2d(module, x):
    from .convolution import TransposedConv
    if x.form != CHANNELS_FIRST or getattr(x, "padding", None):
        refuse("ConvTranspose2d on [batch, time, rows, channels]",
               "permute(0, 3, 1, 2) to [batch, channels, time, rows] before it and permute(0, 2, 3, 1) after")
    kt, kf = module.kernel_size
    ts, fs = module.stride
    pt, pf = module.padding
    ot, of = module.output_padding
    if kt != 1 or ts != 1 or pt != 0 or module.dilation != (1, 1) or module.groups not in (1, module.in_channels):
        refuse(f"ConvTranspose2d({module})", "up-sample the rows only: kernel (1, k), stride (1, s), no time padding")
    if pf != int((kf - fs) / 2) or (x.rows - 1) * fs - 2 * pf + kf + of != x.rows * fs:
        refuse(f"ConvTranspose2d with {kf} rows, stride {fs}, padding {pf}, output padding {of}",
               "give it padding (kernel - stride) / 2 and the output padding that makes rows x stride rows")
    depthwise = module.groups > 1
    layer = TransposedConv(module.in_channels, module.out_channels, (kt, kf), 1, fs,
                           bias=module.bias is not None, depthwise=depthwise)
    _set(layer.weight, _conv_weights(module).permute(2, 3, 1, 0))
    if module.bias is not None:
        _set(layer.bias, module.bias.detach().cpu())
    return _node(layer, [_source(x)], CHANNELS_FIRST, module)


def linear(module, x):
    from .convolution import Conv
    _require_not_channels_first(x, "Linear")
    weight = module.weight.detach().cpu()  # [out, in]
    bias = module.bias is not None
    if x.form == FLAT:
        return _flat_linear(module, x)
    else:
        if module.in_features != x.channels:
            refuse(f"Linear({module.in_features}, ...) on {x.channels} channels", "match in_features")
        layer = Conv(x.channels, module.out_features, (1, 1), bias=bias)
        _set(layer.weight, weight.t()[None, None])
        form = SPATIAL
    if bias:
        _set(layer.bias, module.bias.detach().cpu())
    return _node(layer, [_source(x)], form, module)


def _flat_linear(module, x):
    """Linear over the whole frame, giving a column of out_features rows: per input channel c a
    frequency rescale with one band over every row (the weights of channel c) makes
    [out_features, channels]; a 1 x 1 convolution keeps channel c of the c-th, summed; a
    self-attention record with the identity for weights adds the bias of each row."""
    from .attention import SelfAttention
    from .combining import Concat
    from .convolution import Conv
    if module.in_features != x.rows * x.channels:
        refuse(f"Linear({module.in_features}, ...) on {x.rows * x.channels} features", "match in_features")
    weight = module.weight.detach().cpu().reshape(module.out_features, x.rows, x.channels)
    parts = []
    for c in range(x.channels):
        part = _pick_rows(x, [(0, weight[n, :, c]) for n in range(module.out_features)])
        object.__setattr__(part.layer, "anchor", module)
        parts.append(part)
    y = parts[0]
    if x.channels > 1:
        joined = _node(Concat(), parts, SPATIAL, module)
        pick = Conv(x.channels * x.channels, 1, (1, 1), bias=False)
        selection = torch.zeros(x.channels, x.channels)
        selection[range(x.channels), range(x.channels)] = 1.0
        _set(pick.weight, selection.reshape(1, 1, -1, 1))
        y = _node(pick, [joined], SPATIAL, module)
    if module.bias is not None:
        offset = SelfAttention(module.out_features, 1)
        _set(offset.weight, torch.ones(1, 1))
        _set(offset.bias, module.bias.detach().cpu().reshape(-1, 1))
        y = _node(offset, [y], SPATIAL, module)
    return _with_form(y, FLAT)


def layer_norm(module, x):
    from .convolution import Conv
    from .normalisation import Norm
    _require_not_channels_first(x, "LayerNorm")
    if tuple(module.normalized_shape) != (x.channels,) or x.form != SPATIAL:
        refuse(f"LayerNorm{tuple(module.normalized_shape)} on {list(shape_of(x))}",
               "normalise over the channels of [batch, time, rows, channels] only")
    # x - mean over the channels, then divided by its root mean square (the engine's epsilon).
    mean = Conv(x.channels, x.channels, (1, 1), bias=False)
    _set(mean.weight, torch.full((1, 1, x.channels, x.channels), 1.0 / x.channels))
    centred = binary("subtract", x, _node(mean, [_source(x)], SPATIAL, module), module)
    norm = Norm(x.channels, rms=True)
    if module.elementwise_affine:
        _set(norm.scale, module.weight.detach().cpu())
        _set(norm.offset, module.bias.detach().cpu())
    return _node(norm, [_source(centred)], SPATIAL, module)


def recurrent(module, x):
    from .recurrent import GRU, LSTM
    _require_not_channels_first(x, type(module).__name__)
    if not module.batch_first:
        refuse(f"{type(module).__name__} with batch_first=False", "use batch_first=True on [batch, time, features]")
    if x.form != FLAT:
        refuse(f"{type(module).__name__} on {list(shape_of(x))}",
               "flatten the frames first: x.reshape(b, t, -1) or x.flatten(2)")
    wrapper = (GRU if isinstance(module, torch.nn.GRU) else LSTM)(module)
    object.__setattr__(wrapper, "anchor", module)
    out = _with_form(wrapper(_source(x)), FLAT)
    state = torch.zeros(0)
    return out, (state if isinstance(module, torch.nn.GRU) else (state, state))


def _dropped(module, x):
    return x


_MODULES = {
    torch.nn.Conv2d: conv2d,
    torch.nn.ConvTranspose2d: conv_transpose2d,
    torch.nn.Linear: linear,
    torch.nn.GRU: recurrent,
    torch.nn.LSTM: recurrent,
    torch.nn.LayerNorm: layer_norm,
    torch.nn.Identity: _dropped,
    torch.nn.Dropout: _dropped,
    torch.nn.ReLU: lambda m, x: relu(x, m),
    torch.nn.Sigmoid: lambda m, x: sigmoid(x, m),
    torch.nn.Tanh: lambda m, x: tanh(x, m),
    torch.nn.ELU: lambda m, x: elu(x, m.alpha, m),
    torch.nn.LeakyReLU: lambda m, x: leaky_relu(x, m.negative_slope, m),
    torch.nn.PReLU: lambda m, x: prelu(x, m.weight, m),
    torch.nn.Softplus: lambda m, x: softplus(x, m.beta, m),
    torch.nn.Hardsigmoid: lambda m, x: hardsigmoid(x, m),
}


@contextlib.contextmanager
def plain_modules(network):
    """While tracing, the supported torch.nn modules of network build engine layers when they get
    a traced value (and compute as usual on tensors)."""
    from .graph import Node
    patched = []
    for module in network.modules():
        handler = _MODULES.get(type(module))
        if handler is None:
            continue

        def forward(*args, _module=module, _handler=handler, _original=module.forward, **kwargs):
            if args and isinstance(args[0], Node):
                return _handler(_module, args[0])
            return _original(*args, **kwargs)

        module.forward = forward
        patched.append(module)
    try:
        yield
    finally:
        for module in patched:
            del module.forward


# Torch functions --------------------------------------------------------------------------------


def _first(args, kwargs, name, index, default=None):
    return args[index] if len(args) > index else kwargs.get(name, default)


_FUNCTIONS = {
    torch.relu: lambda a, k: relu(a[0]),
    F.relu: lambda a, k: relu(a[0]),
    torch.sigmoid: lambda a, k: sigmoid(a[0]),
    torch.tanh: lambda a, k: tanh(a[0]),
    F.elu: lambda a, k: elu(a[0], _first(a, k, "alpha", 1, 1.0)),
    F.leaky_relu: lambda a, k: leaky_relu(a[0], _first(a, k, "negative_slope", 1, 0.01)),
    F.softplus: lambda a, k: softplus(a[0], _first(a, k, "beta", 1, 1.0)),
    F.hardsigmoid: lambda a, k: hardsigmoid(a[0]),
    F.prelu: lambda a, k: prelu(a[0], _first(a, k, "weight", 1)),
    F.dropout: lambda a, k: a[0],
    F.pad: lambda a, k: pad(a[0], _first(a, k, "pad", 1), _first(a, k, "mode", 2, "constant"),
                            _first(a, k, "value", 3, 0.0)),
    torch.cat: lambda a, k: cat(a[0], _first(a, k, "dim", 1, 0)),
    torch.stack: lambda a, k: stack(a[0], _first(a, k, "dim", 1, 0)),
    torch.reshape: lambda a, k: reshape(a[0], _first(a, k, "shape", 1)),
    torch.flatten: lambda a, k: flatten(a[0], _first(a, k, "start_dim", 1, 0), _first(a, k, "end_dim", 2, -1)),
    torch.unsqueeze: lambda a, k: unsqueeze(a[0], _first(a, k, "dim", 1)),
    torch.squeeze: lambda a, k: squeeze(a[0], _first(a, k, "dim", 1)),
    torch.permute: lambda a, k: permute(a[0], _first(a, k, "dims", 1)),
    torch.add: lambda a, k: binary("add", a[0], a[1]),
    torch.sub: lambda a, k: binary("subtract", a[0], a[1]),
    torch.mul: lambda a, k: binary("multiply", a[0], a[1]),
    torch.div: lambda a, k: binary("divide", a[0], a[1]),
}
for _name in ("concat", "multiply", "subtract", "divide"):
    if hasattr(torch, _name):
        _FUNCTIONS[getattr(torch, _name)] = _FUNCTIONS[{"concat": torch.cat, "multiply": torch.mul,
                                                        "subtract": torch.sub, "divide": torch.div}[_name]]
_SUGGESTIONS = {
    "conv2d": "use torch.nn.Conv2d modules held by the network (or murel.nn.Conv)",
    "linear": "use torch.nn.Linear modules held by the network",
    "batch_norm": "use torch.nn.LayerNorm over the channels or murel.nn.Norm",
    "softmax": "use a sigmoid mask",
    "gelu": "use ReLU, ELU, LeakyReLU, PReLU, Sigmoid, Tanh, Softplus or Hardsigmoid",
}


def torch_function(func, args, kwargs):
    handler = _FUNCTIONS.get(func)
    if handler is not None:
        return handler(args, kwargs)
    name = getattr(func, "__name__", str(func))
    refuse(f"{name}()", _SUGGESTIONS.get(name, "use the operations murel.nn documents (see the README's "
                                               "'Plain PyTorch' section) or a murel.nn layer"))

"""Symbolic tracing of a network into the engine's layer graph.

A network written with murel.nn layers runs on real tensors [batch, time, rows, channels] for
training. Called once on an Input() node instead, every layer returns a Node, so the same forward
code describes the graph that murel.export writes.
"""

import torch


class Node:
    """One layer output in a traced graph. Plain PyTorch code works on it as on a tensor
    [batch, time, rows, channels] (see trace.py for what the engine can express)."""

    form = "spatial"

    def __init__(self, layer, inputs):
        self.layer = layer
        self.inputs = list(inputs)
        self.rows = None
        self.channels = None
        self.rate = (1, 1)
        if layer is not None:
            for source in self.inputs:
                if not isinstance(source, Node):
                    raise TypeError(f"{type(layer).__name__} mixes traced nodes and tensors")
            rows, channels, rate = layer.trace_shape([(n.rows, n.channels, n.rate) for n in self.inputs])
            self.rows, self.channels, self.rate = rows, channels, rate

    def __repr__(self):
        kind = "input" if self.layer is None else type(self.layer).__name__
        return f"<Node {kind} rows={self.rows} channels={self.channels}>"

    # Plain PyTorch on traced values ----------------------------------------------------------

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        from . import trace
        return trace.torch_function(func, args, kwargs or {})

    def __add__(self, other):
        return _trace().binary("add", self, other)

    def __radd__(self, other):
        return _trace().binary("add", other, self)

    def __sub__(self, other):
        return _trace().binary("subtract", self, other)

    def __rsub__(self, other):
        return _trace().binary("subtract", other, self)

    def __mul__(self, other):
        return _trace().binary("multiply", self, other)

    def __rmul__(self, other):
        return _trace().binary("multiply", other, self)

    def __truediv__(self, other):
        return _trace().binary("divide", self, other)

    def __rtruediv__(self, other):
        return _trace().binary("divide", other, self)

    def __neg__(self):
        return _trace().binary("multiply", self, -1.0)

    @property
    def shape(self):
        return _trace().shape_of(self)

    def size(self, dim=None):
        return self.shape if dim is None else self.shape[dim]

    def dim(self):
        return len(self.shape)

    def reshape(self, *shape):
        return _trace().reshape(self, *shape)

    view = reshape

    def flatten(self, start_dim=0, end_dim=-1):
        return _trace().flatten(self, start_dim, end_dim)

    def unsqueeze(self, dim):
        return _trace().unsqueeze(self, dim)

    def squeeze(self, dim=None):
        return _trace().squeeze(self, dim)

    def permute(self, *dims):
        return _trace().permute(self, *dims)

    def relu(self):
        return _trace().relu(self)

    def sigmoid(self):
        return _trace().sigmoid(self)

    def tanh(self):
        return _trace().tanh(self)

    def contiguous(self):
        return self

    def __getitem__(self, index):
        _trace().refuse(f"indexing [{index}]", "the engine does not slice; pick or pool rows with "
                                               "murel.nn.FrequencyRescale, split channels with a Linear")

    def __getattr__(self, name):
        if name.startswith("_") or name in ("base", "padding", "anchor"):
            raise AttributeError(name)
        _trace().refuse(f"Tensor.{name}", "use the operations murel.nn documents (README, 'Plain PyTorch')")


def _trace():
    from . import trace
    return trace


def source_of(node):
    """The node whose layer emits the frames of node (a reshaped view shares its layer)."""
    return getattr(node, "base", node)


class Input(Node):
    """The graph's input: the packed spectrum, `rows` x `channels` per frame."""

    def __init__(self, rows, channels):
        super().__init__(None, [])
        self.rows = rows
        self.channels = channels


def is_traced(values):
    return any(isinstance(v, Node) for v in values)


def topological_order(output):
    """Every node that feeds `output`, sources before consumers, first use first."""
    order, seen = [], set()
    stack = [(output, False)]
    while stack:
        node, expanded = stack.pop()
        if id(node) in seen:
            continue
        if expanded or not node.inputs:
            seen.add(id(node))
            order.append(node)
            continue
        stack.append((node, True))
        for source in reversed(node.inputs):
            if id(source) not in seen:
                stack.append((source, False))
    return order


def layer_names(network, order):
    """Names for the layers of a traced graph: the module path inside `network`, with a suffix
    for a module used more than once."""
    paths = {id(m): name for name, m in network.named_modules() if name}

    def path(layer):
        if id(layer) in paths:
            return paths[id(layer)]
        owner = getattr(layer, "owner", None)  # one record of a module that writes several
        if owner is not None and path(owner):
            return f"{path(owner)}.{layer.index}"
        anchor = getattr(layer, "anchor", None)  # a layer made for a plain torch module
        return paths.get(id(anchor)) if anchor is not None else None

    names, used = {}, set()
    for node in order:
        if node.layer is None:
            continue
        base = path(node.layer) or type(node.layer).__name__.lower()
        name, count = base, 1
        while name in used or name in ("input", "output"):
            count += 1
            name = f"{base}#{count}"
        used.add(name)
        names[id(node)] = name
    return names


def measure_latency(order, output):
    """The model's latency in frames, worked out as the engine does: the longest delay over the
    paths from the input to the ends of the graph."""
    consumers = {id(n): [] for n in order}
    for node in order:
        for source in node.inputs:
            if node not in consumers[id(source)]:
                consumers[id(source)].append(node)

    memo = {}

    def latency(node, k):
        key = (id(node), k)
        if key not in memo:
            best = 0
            for consumer in consumers[id(node)]:
                best = max(best, consumer.layer.measure_latency(k, lambda kk, c=consumer: latency(c, kk)))
            memo[key] = best
        return memo[key]

    return latency(order[0], 1)


def as_sequence(x):
    if not isinstance(x, torch.Tensor) or x.dim() != 4:
        raise ValueError("layers take tensors [batch, time, rows, channels]")
    return x

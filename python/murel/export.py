"""Writes a murel.nn.SpectralModel to a model file the engine loads.

    import murel.export
    murel.export.save(model, "denoiser.model", half=True)

The graph is traced once from the model's packed input; every murel.nn layer becomes one record,
sources before consumers. What the engine cannot run is refused with a FormatError that says why.
"""

import os
import tempfile

from . import format as fmt
from .nn.layers import Layer, MultiInputLayer
from .nn.spectral import SpectralModel

# Limits the engine's loader applies; checked here so that a refusal comes with a reason.
MAX_GRAPH_DEPTH = 1024
MAX_ROWS_TIMES_CHANNELS = 1 << 24


def _packing_block(writer, model, code):
    writer.int8(code, "packing code")
    if code in (fmt.PACK_MAGNITUDE, fmt.PACK_COMPLEX):
        writer.int16(model.bins, "bins")
    else:
        writer.int16(model.low_bins, "low bins")
        writer.int16(model.bins - model.low_bins, "high bins")
        if code == fmt.PACK_COMPLEX_DECIMATED:
            writer.int8(model.decimation, "decimation")


def _check_graph(model, order, output, processor):
    for node in order:
        if node.layer is not None and not isinstance(node.layer, Layer):
            raise fmt.FormatError(f"{type(node.layer).__name__} is not a murel.nn layer")
    columns = 2 if model.output_packing in (fmt.PACK_COMPLEX, fmt.PACK_COMPLEX_DECIMATED) else 1
    needed_columns = model.num_outputs * model.output_channels * columns if processor else columns
    if processor and output.rate != (1, 1):
        raise fmt.FormatError("the network changes the frame rate (time strides and transposed strides must cancel)")
    if output.channels < needed_columns or (processor and output.channels != needed_columns):
        raise fmt.FormatError(
            f"the network gives {output.channels} channels; {model.num_outputs} bus(es) x "
            f"{model.output_channels} channel(s) x {columns} column(s) need {needed_columns}")
    if model.output_packing == fmt.PACK_COMPLEX:
        rows = model.bins
    elif model.output_packing == fmt.PACK_COMPLEX_DECIMATED:
        rows = model.low_bins + (model.bins - model.low_bins) // model.decimation
    else:
        rows = model.bins + 3 * model.low_bins
    if output.rows < rows:
        raise fmt.FormatError(f"the network gives {output.rows} rows; the output packing needs {rows}")
    depth = {id(order[0]): 0}
    for node in order[1:]:
        depth[id(node)] = 1 + max(depth[id(s)] for s in node.inputs)
        if depth[id(node)] > MAX_GRAPH_DEPTH:
            raise fmt.FormatError(f"the graph is deeper than {MAX_GRAPH_DEPTH} layers")
        if node.rows * node.channels > MAX_ROWS_TIMES_CHANNELS:
            raise fmt.FormatError(f"{type(node.layer).__name__} gives frames of more than {MAX_ROWS_TIMES_CHANNELS} values")


def to_bytes(model, half=False, processor=True):
    """The model file as bytes. half=True stores weights as 16-bit floats. processor=False
    writes a model for the tensor functions only (murel.engine.Model): its output may change the
    frame rate and need not hold one column group per bus."""
    if not isinstance(model, SpectralModel):
        raise TypeError("export takes a murel.nn.SpectralModel")
    order, output, names = model.trace()
    _check_graph(model, order, output, processor)
    layers = [n for n in order if n.layer is not None]
    version = fmt.RECURRENT_VERSION if any(n.layer.code in fmt.RECURRENT for n in layers) else fmt.VERSION
    w = fmt.Writer(half=half)
    w.string(fmt.MAGIC)
    w.int32(version)
    w.int16(model.model_id, "model id")
    w.float64(model.sample_rate)
    w.int8(model.channels, "channels")
    _packing_block(w, model, model.input_packing)
    w.int8(model.processing_mode, "processing mode")
    w.int8(model.output_channels, "output channels")
    w.int8(model.num_outputs, "number of outputs")
    for name in model.output_names:
        w.string(name)
    _packing_block(w, model, model.output_packing)
    w.int16(model.fft_size, "FFT size")
    w.int16(model.window_size, "window size")
    w.int16(model.hop_size, "hop size")
    w.int32(len(layers))
    for node in layers:
        w.string(names[id(node)])
        w.int16(node.layer.code, "layer type")
        sources = ["input" if s.layer is None else names[id(s)] for s in node.inputs]
        if isinstance(node.layer, MultiInputLayer):
            w.int16(len(sources), "input count")
            for source in sources:
                w.string(source)
        else:
            w.string(sources[0])
        node.layer.write(w, version)
    w.string("input" if output.layer is None else names[id(output)])
    return w.bytes()


def save(model, path, half=False, processor=True):
    """Writes the model file at path (through a temporary file and a rename, so a failed export
    leaves no partial file). Returns the number of bytes written."""
    data = to_bytes(model, half=half, processor=processor)
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=".murel-")
    try:
        with os.fdopen(handle, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
    return len(data)

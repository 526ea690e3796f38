"""Binding to the installed libMurelEngine through its C API (ctypes).

ctypes rather than a compiled extension: the C API is small, exception-free and takes plain
pointers, so the binding needs no compiler, no Python headers and no rebuild per Python version;
numpy arrays are passed by pointer without copies beyond making them float32 and contiguous.

    from murel.engine import Processor
    with Processor("speech-denoiser.model", channels=2, rate=48000) as p:
        p.set_gain("Noise", 0.0)
        clean = p.process(noisy)            # numpy [channels, samples], same length out

The library is found, in order, at $MUREL_LIBRARY, beside an installed copy of this package, in a
build folder of the source tree this package sits in, and on the system's library path.
"""

import ctypes
import ctypes.util
import os
from pathlib import Path

import numpy as np

GAIN_PARAMETER = 256
SENSITIVITY_PARAMETER = 512
MAX_BUSSES = 16


class EngineError(RuntimeError):
    """A call the engine refused: a model that does not load, a bad argument."""


class _Info(ctypes.Structure):
    _fields_ = [("sampleRate", ctypes.c_double), ("numOfChannels", ctypes.c_int32), ("latency", ctypes.c_int32),
                ("windowSize", ctypes.c_int32), ("hopSize", ctypes.c_int32), ("modelLatency", ctypes.c_int32),
                ("reserved", ctypes.c_int32)]


def _candidates():
    here = Path(__file__).resolve().parent
    env = os.environ.get("MUREL_LIBRARY")
    if env:
        yield Path(env)
    try:
        from . import _install  # written by cmake --install: where the library went
        yield (here / _install.LIBRARY).resolve()
    except ImportError:
        pass
    source = here.parent.parent  # python/murel -> the repository
    for build in sorted(source.glob("build*/engine")):
        yield build / "libMurelEngine.so"
    found = ctypes.util.find_library("MurelEngine")
    if found:
        yield Path(found)


_lib = None


def library():
    """The loaded library (loaded once)."""
    global _lib
    if _lib is not None:
        return _lib
    tried = []
    for path in _candidates():
        tried.append(str(path))
        if str(path) and (path.exists() or "/" not in str(path)):
            try:
                _lib = _declare(ctypes.CDLL(str(path)))
                return _lib
            except OSError:
                continue
    raise EngineError("libMurelEngine not found (set MUREL_LIBRARY); tried: " + ", ".join(tried))


def _declare(lib):
    vp, i, f, d, b = ctypes.c_void_p, ctypes.c_int, ctypes.c_float, ctypes.c_double, ctypes.c_bool
    fp, ip, cp = ctypes.POINTER(ctypes.c_float), ctypes.POINTER(ctypes.c_int), ctypes.c_char_p
    table = {
        "murelCreateProcessor": (vp, [cp, i, d]),
        "murelCreateStemSeparator": (vp, [i, ctypes.POINTER(cp), i, d]),
        "murelDeleteProcessor": (None, [vp]),
        "murelAddAudio": (None, [vp, ctypes.POINTER(fp), i]),
        "murelGetAudio": (b, [vp, ctypes.POINTER(fp), i]),
        "murelAddAudioInterleaved": (None, [vp, fp, i]),
        "murelGetAudioInterleaved": (b, [vp, fp, i]),
        "murelGetNumOfPendingSamples": (i, [vp]),
        "murelResetProcessorState": (None, [vp]),
        "murelGetProcessorInfo": (None, [vp, ctypes.POINTER(_Info)]),
        "murelGetParameterValue": (f, [vp, i]),
        "murelSetParameterValue": (None, [vp, i, f]),
        "murelGetParameterRange": (None, [vp, i, ctypes.POINTER(f), ctypes.POINTER(f)]),
        "murelGetNumOfOutputBusses": (i, [vp]),
        "murelGetOutputBusName": (None, [vp, i, ctypes.c_char_p, i]),
        "murelGetVectorArithmeticWrapperName": (None, [ctypes.c_char_p, i]),
        "murelCreateModel": (vp, [cp]),
        "murelAddTensor": (None, [vp, fp, i, ip]),
        "murelGetResultTensorShape": (b, [vp, i, ip]),
        "murelGetTensor": (b, [vp, fp]),
        "murelResetModelState": (None, [vp]),
        "murelDeleteModel": (None, [vp]),
        "murelGetModelInfo": (None, [vp, ctypes.POINTER(_Info)]),
    }
    for name, (restype, argtypes) in table.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    if hasattr(lib, "murelGetLastErrorMessage"):
        lib.murelGetLastErrorMessage.restype = ctypes.c_char_p
        lib.murelGetLastErrorMessage.argtypes = []
    return lib


def _failure(action, paths):
    """The reason a create call failed: the engine's own message where it gives one."""
    lib = library()
    if hasattr(lib, "murelGetLastErrorMessage"):
        message = lib.murelGetLastErrorMessage()
        if message:
            return EngineError(f"{action}: {message.decode('utf-8', 'replace')}")
    for path in paths:
        if not os.path.exists(path):
            return EngineError(f"{action}: {path}: no such file")
        if not os.access(path, os.R_OK):
            return EngineError(f"{action}: {path}: not readable")
    return EngineError(f"{action}: the engine could not load or run {', '.join(paths)}")


def _as_path(path):
    path = os.fspath(path)
    if "\0" in path:
        raise ValueError("a path cannot hold a NUL character")
    return path


def vector_back_end():
    """The name of the engine's vector arithmetic back end."""
    buffer = ctypes.create_string_buffer(64)
    library().murelGetVectorArithmeticWrapperName(buffer, len(buffer))
    return buffer.value.decode()


class Handle:
    """An engine object freed by close(), by a with-block or when garbage collected."""

    _handle = None
    _kind = "handle"

    def _delete(self, handle):
        raise NotImplementedError

    def close(self):
        if self._handle:
            self._delete(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def _h(self):
        if not self._handle:
            raise EngineError(f"the {self._kind} is closed")
        return self._handle


class Processor(Handle):
    """A processor (one model) or stem separator (several) for audio of `channels` channels at
    `rate` Hz. Audio calls on one processor come from one thread at a time; gains and
    sensitivities may be set from any thread."""

    def __init__(self, models, channels=1, rate=48000.0):
        if isinstance(models, (str, bytes, os.PathLike)):
            models = [models]
        paths = [_as_path(m) for m in models]
        if not paths:
            raise ValueError("a processor needs at least one model file")
        if not isinstance(channels, (int, np.integer)) or not 1 <= channels <= 1024:
            raise ValueError(f"channels must be an integer from 1 to 1024, not {channels!r}")
        rate = float(rate)
        if not np.isfinite(rate) or rate <= 0:
            raise ValueError(f"rate must be a positive number of Hz, not {rate!r}")
        lib = library()
        encoded = [p.encode() for p in paths]
        if len(encoded) == 1:
            handle = lib.murelCreateProcessor(encoded[0], int(channels), rate)
        else:
            array = (ctypes.c_char_p * len(encoded))(*encoded)
            handle = lib.murelCreateStemSeparator(len(encoded), array, int(channels), rate)
        if not handle:
            raise _failure("cannot create the processor", paths)
        self._handle = handle
        self._lib = lib
        self.channels = int(channels)
        self.rate = rate
        self.models = paths

    _kind = "processor"

    def _delete(self, handle):
        self._lib.murelDeleteProcessor(handle)

    # Description ------------------------------------------------------------------------------

    def info(self):
        """The first model's rate and channels, its window and hop, and the latency in samples."""
        info = _Info()
        self._lib.murelGetProcessorInfo(self._h(), ctypes.byref(info))
        return {"sample_rate": info.sampleRate, "channels": info.numOfChannels, "latency": info.latency,
                "window_size": info.windowSize, "hop_size": info.hopSize}

    @property
    def latency(self):
        """Samples between a sample going in and coming out, at this processor's rate."""
        return self.info()["latency"]

    @property
    def buses(self):
        """The output bus names, the residual last."""
        names = []
        for index in range(self._lib.murelGetNumOfOutputBusses(self._h())):
            buffer = ctypes.create_string_buffer(256)
            self._lib.murelGetOutputBusName(self._h(), index, buffer, len(buffer))
            names.append(buffer.value.decode("utf-8", "replace"))
        return names

    def _bus(self, bus):
        names = self.buses
        if isinstance(bus, str):
            if bus not in names:
                raise KeyError(f"no bus named {bus!r}; the buses are {names}")
            return names.index(bus)
        if not isinstance(bus, (int, np.integer)) or not 0 <= bus < len(names):
            raise KeyError(f"bus index {bus!r} out of range 0..{len(names) - 1}")
        return int(bus)

    # Parameters -------------------------------------------------------------------------------

    def gain(self, bus):
        return self._lib.murelGetParameterValue(self._h(), GAIN_PARAMETER + self._bus(bus))

    def set_gain(self, bus, value):
        """Linear gain of a bus (by name or index); 0 removes it. A string such as "-12dB" is
        taken in decibels."""
        if isinstance(value, str):
            text = value.strip().lower()
            value = 0.0 if text in ("off", "-inf", "-infdb") else 10 ** (float(text.removesuffix("db")) / 20)
        value = float(value)
        if not np.isfinite(value) or value < 0:
            raise ValueError(f"a gain must be finite and not negative, not {value!r}")
        self._lib.murelSetParameterValue(self._h(), GAIN_PARAMETER + self._bus(bus), value)

    def sensitivity(self, bus):
        return self._lib.murelGetParameterValue(self._h(), SENSITIVITY_PARAMETER + self._bus(bus))

    def set_sensitivity(self, bus, value):
        """Sensitivity of a bus, -100 (permissive) to 100 (strict)."""
        value = float(value)
        if not np.isfinite(value):
            raise ValueError("a sensitivity must be finite")
        self._lib.murelSetParameterValue(self._h(), SENSITIVITY_PARAMETER + self._bus(bus), value)

    # Audio ------------------------------------------------------------------------------------

    def _planar(self, audio):
        array = np.asarray(audio)
        if array.dtype.kind not in "fiu":
            raise TypeError(f"audio must be numeric, not {array.dtype}")
        if array.ndim == 1 and self.channels == 1:
            array = array[np.newaxis]
        if array.ndim != 2 or array.shape[0] != self.channels:
            raise ValueError(f"audio must be shaped [channels={self.channels}, samples], not {list(array.shape)}")
        if array.shape[1] > 2**31 - 1:
            raise ValueError("too many samples in one call")
        return np.ascontiguousarray(array, dtype=np.float32)

    @staticmethod
    def _pointers(array):
        row = ctypes.POINTER(ctypes.c_float)
        return (row * array.shape[0])(*[array[c].ctypes.data_as(row) for c in range(array.shape[0])])

    def push(self, audio):
        """Adds audio [channels, samples] (1-D for mono)."""
        array = self._planar(audio)
        if array.shape[1]:
            self._lib.murelAddAudio(self._h(), self._pointers(array), array.shape[1])

    @property
    def pending(self):
        """Processed samples waiting to be pulled."""
        return self._lib.murelGetNumOfPendingSamples(self._h())

    def pull(self, max_samples=None):
        """Takes the processed samples waiting (at most max_samples): [channels, n]."""
        n = self.pending if max_samples is None else min(self.pending, int(max_samples))
        out = np.zeros((self.channels, max(n, 0)), dtype=np.float32)
        if n > 0 and not self._lib.murelGetAudio(self._h(), self._pointers(out), n):
            raise EngineError("the processor did not deliver the samples it reported as pending")
        return out

    def push_interleaved(self, frames):
        """Adds float32 frames [samples, channels] (C order), as read from an audio file."""
        array = np.ascontiguousarray(frames, dtype=np.float32)
        if array.ndim != 2 or array.shape[1] != self.channels:
            raise ValueError(f"frames must be shaped [samples, channels={self.channels}], not {list(array.shape)}")
        if array.shape[0]:
            self._lib.murelAddAudioInterleaved(self._h(), array.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                                               array.shape[0])

    def pull_interleaved(self, max_samples=None):
        """Takes the processed samples waiting (at most max_samples) as frames [n, channels]."""
        n = self.pending if max_samples is None else min(self.pending, int(max_samples))
        out = np.zeros((max(n, 0), self.channels), dtype=np.float32)
        if n > 0 and not self._lib.murelGetAudioInterleaved(self._h(), out.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), n):
            raise EngineError("the processor did not deliver the samples it reported as pending")
        return out

    def reset(self):
        """Forgets all audio, as after creation; parameters stay."""
        self._lib.murelResetProcessorState(self._h())

    def process(self, audio, block_size=4096):
        """Processes a whole signal [channels, samples] (1-D for mono) from a fresh state: the
        result has the input's length and is aligned with it sample for sample (the tail is
        flushed with silence). The processor is reset before and after."""
        array = self._planar(audio)
        squeeze = np.ndim(audio) == 1
        total = array.shape[1]
        self.reset()
        pieces, have = [], 0
        for start in range(0, total, block_size):
            self.push(array[:, start:start + block_size])
            piece = self.pull(total - have)
            pieces.append(piece)
            have += piece.shape[1]
        silence = np.zeros((self.channels, block_size), dtype=np.float32)
        flushed, limit = 0, max(self.latency, 0) + 4 * block_size
        while have < total:
            if flushed > limit:
                raise EngineError("the processor returned fewer samples than its latency explains")
            self.push(silence)
            flushed += block_size
            piece = self.pull(total - have)
            pieces.append(piece)
            have += piece.shape[1]
        self.reset()
        out = np.concatenate(pieces, axis=1) if pieces else np.zeros((self.channels, 0), np.float32)
        return out[0] if squeeze else out


class Model(Handle):
    """A model run directly on tensors [frames, rows, channels], streaming."""

    def __init__(self, path):
        path = _as_path(path)
        lib = library()
        handle = lib.murelCreateModel(path.encode())
        if not handle:
            raise _failure("cannot load the model", [path])
        self._handle, self._lib, self.path = handle, lib, path

    _kind = "model"

    def _delete(self, handle):
        self._lib.murelDeleteModel(handle)

    def info(self):
        """Rate, channels, FFT size, window, hop and the latency in frames."""
        info = _Info()
        self._lib.murelGetModelInfo(self._h(), ctypes.byref(info))
        return {"sample_rate": info.sampleRate, "channels": info.numOfChannels, "fft_size": info.latency,
                "window_size": info.windowSize, "hop_size": info.hopSize, "latency_frames": info.modelLatency}

    def push(self, tensor):
        """Pushes a tensor [frames, rows, channels] and returns everything the model finished
        during the call as [frames, rows, channels] (0 frames while its delays fill)."""
        array = np.asarray(tensor)
        if array.dtype.kind not in "fiu" or array.ndim != 3:
            raise ValueError(f"a tensor must be numeric and shaped [frames, rows, channels], not {array.dtype} {list(array.shape)}")
        if array.size >= 2**29:
            raise ValueError("the tensor is too large")
        array = np.ascontiguousarray(array, dtype=np.float32)
        shape = (ctypes.c_int * 3)(*array.shape)
        self._lib.murelAddTensor(self._h(), array.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), 3, shape)
        out_shape = (ctypes.c_int * 3)()
        if not self._lib.murelGetResultTensorShape(self._h(), 3, out_shape):
            return np.zeros((0, 0, 0), dtype=np.float32)
        out = np.zeros(tuple(out_shape), dtype=np.float32)
        if out.size and not self._lib.murelGetTensor(self._h(), out.ctypes.data_as(ctypes.POINTER(ctypes.c_float))):
            raise EngineError("the model did not deliver its result tensor")
        return out

    def reset(self):
        self._lib.murelResetModelState(self._h())

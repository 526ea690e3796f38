"""Binding to the installed libMurelEngine through its C API (ctypes).

ctypes rather than a compiled extension: the C API is small, exception-free and takes plain
pointers, so the binding needs no compiler, no Python headers and no rebuild per Python version;
numpy arrays are passed by pointer without copies beyond making them float32 and contiguous.

    from murel.engine import Processor
    with Processor(channels=2, rate=48000) as p:    # the default model, its noise removed
        clean = p.process(noisy)                     # numpy [channels, samples], same length out
    with Processor("separator", channels=2, mix=["gain=Music=-12dB"]) as p:
        quieter_music = p.process(film)              # the installed dialogue/music/effects separator

A processor mixes its buses as `murel process` and the plug-in do when given no options: the
residual bus (the noise, for a denoiser) is removed. `Processor(..., mix=False)` keeps every bus
at unity gain instead, and `mix=["residual=-12dB"]` takes the tool's bus options.

Exceptions: EngineError (a model that does not load, with the engine's reason; a closed handle;
a library older than this package), ValueError (a wrong shape, an unknown bus, a bad value) and
TypeError (audio that is not numeric). Each handle serialises its calls with a lock, so sharing
one between threads is safe (the calls take turns).

The library is found, in order, at $MUREL_LIBRARY, beside an installed copy of this package, in a
build folder of the source tree this package sits in, and on the system's library path.
"""

import ctypes
import ctypes.util
import os
import struct
import threading
from pathlib import Path

import numpy as np

GAIN_PARAMETER = 256
SENSITIVITY_PARAMETER = 512
MAX_BUSSES = 16


class EngineError(RuntimeError):
    """A call the engine refused: a model that does not load, a closed handle, a bad mix."""


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
_load_lock = threading.Lock()


def library():
    """The loaded library (loaded once)."""
    global _lib
    with _load_lock:
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
    # The hosts' shared mix policy; checked where used, so that an older library still runs
    # the calls it has.
    optional = {
        "murelGetLastErrorMessage": (cp, []),
        "murelGetDefaultModelPath": (b, [d, ctypes.c_char_p, i]),
        "murelGetModelSetPath": (i, [cp, i, d, ctypes.c_char_p, i]),
        "murelParseGain": (b, [cp, fp]),
        "murelFindOutputBus": (i, [vp, cp]),
        "murelApplyHostMix": (b, [vp, ctypes.POINTER(cp), i, ctypes.c_char_p, i]),
        "murelPrepareProcessor": (b, [vp, i]),
    }
    for name, (restype, argtypes) in table.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    for name, (restype, argtypes) in optional.items():
        if hasattr(lib, name):
            function = getattr(lib, name)
            function.restype, function.argtypes = restype, argtypes
    return lib


def _function(name):
    lib = library()
    if not hasattr(lib, name):
        raise EngineError(f"the loaded libMurelEngine lacks {name}: it is older than this package")
    return getattr(lib, name)


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
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if "\0" in path:
        raise ValueError("a path cannot hold a NUL character")
    return path


def vector_back_end():
    """The name of the engine's vector arithmetic back end."""
    buffer = ctypes.create_string_buffer(64)
    library().murelGetVectorArithmeticWrapperName(buffer, len(buffer))
    return buffer.value.decode()


def default_model(rate=0.0):
    """The path of the installed default model for audio at `rate` Hz (0: any rate), as
    `murel process` and the plug-in find it. Raises EngineError when none is installed."""
    buffer = ctypes.create_string_buffer(4096)
    if not _function("murelGetDefaultModelPath")(float(rate), buffer, len(buffer)):
        raise EngineError("no default model is installed; give a model file")
    return os.fsdecode(buffer.value)


MODEL_SETS = ("denoiser", "separator")


def model_set(name, rate=0.0):
    """The model files of a named set in loading order, as every host finds them: "denoiser"
    (the default model) or "separator" (dialogue and music models: buses Dialogue, Music and the
    residual Effects). Raises EngineError when the set is not installed in full."""
    function = _function("murelGetModelSetPath")
    buffer = ctypes.create_string_buffer(4096)
    count = function(str(name).encode(), 0, float(rate), buffer, len(buffer))
    paths = []
    for index in range(count):
        if function(str(name).encode(), index, float(rate), buffer, len(buffer)) != count:
            break
        paths.append(os.fsdecode(buffer.value))
    if not paths or len(paths) != count:
        known = ", ".join(MODEL_SETS)
        raise EngineError(f"the model set {name!r} is not installed" if name in MODEL_SETS
                          else f"no model set {name!r}; the sets are {known}")
    return paths


def parse_gain(text):
    """A gain as every host reads it: a factor ("0.5") or a level ("-12dB", "-inf dB", "off").
    Raises ValueError for anything else."""
    gain = ctypes.c_float()
    if "\0" in text or not _function("murelParseGain")(text.encode(), ctypes.byref(gain)):
        raise ValueError(f"bad gain {text!r}: expected a factor such as 0.5 or a level such as -12dB")
    return gain.value


def pcm_to_float(array):
    """Audio as float32: floats as they are, integer PCM scaled by its full scale (int16 by
    32768, int32 by 2**31, uint8 centred on 128 and scaled by 128), so that full scale is 1."""
    array = np.asarray(array)
    if array.dtype.kind == "f":
        return array.astype(np.float32, copy=False)
    if array.dtype.kind in "iu" and array.dtype != np.bool_:
        half = float(2 ** (8 * array.dtype.itemsize - 1))
        wide = array.astype(np.float64)
        if array.dtype.kind == "u":
            wide -= half
        return (wide / half).astype(np.float32)
    raise TypeError(f"audio must be float or integer PCM, not {array.dtype}")


class Handle:
    """An engine object freed by close(), by a with-block or when garbage collected. Its calls
    take turns under a lock: the C API allows one call at a time per handle."""

    _handle = None
    _kind = "handle"

    def __init__(self):
        self._lock = threading.RLock()

    def _delete(self, handle):
        raise NotImplementedError

    def close(self):
        lock = self.__dict__.get("_lock")
        if lock is None:  # __init__ failed before the handle existed
            return
        with lock:
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
        """The handle; call with the lock held."""
        if not self._handle:
            raise EngineError(f"this {self._kind} is closed (by close() or the end of its with-block); "
                              f"create a new one")
        return self._handle


class Processor(Handle):
    """A processor (one model) or stem separator (several) for audio of `channels` channels at
    `rate` Hz. `models` None takes the installed default model (default_model(rate)); the name of a
    model set, "separator" or "denoiser", takes its installed files (model_set(name, rate)).

    `mix` decides the buses' gains: True (the default) mixes as `murel process` and the plug-in
    do without options, removing the residual bus (its note is in `self.note`); False keeps every
    bus at unity (the input passes through, delayed); a list of host settings ("gain=BUS=VALUE",
    "sensitivity=BUS=VALUE", "solo=BUS", "residual=GAIN", "stems") applies those, as
    `murel process --gain BUS=VALUE ...` would. set_gain and set_sensitivity change it later.

    Calls on one processor take turns under a lock, so it may be shared between threads; gains
    and sensitivities have their own lock and may be set while another thread processes."""

    _kind = "processor"

    def __init__(self, models=None, channels=1, rate=48000.0, mix=True):
        super().__init__()
        self._parameter_lock = threading.Lock()
        if not isinstance(channels, (int, np.integer)) or isinstance(channels, bool) or not 1 <= channels <= 1024:
            raise ValueError(f"channels must be an integer from 1 to 1024, not {channels!r}")
        rate = float(rate)
        if not np.isfinite(rate) or rate <= 0:
            raise ValueError(f"rate must be a positive number of Hz, not {rate!r}")
        if models is None:
            models = [default_model(rate)]
        elif isinstance(models, str) and models in MODEL_SETS and not os.path.exists(models):
            models = model_set(models, rate)
        elif isinstance(models, (str, bytes, os.PathLike)):
            models = [models]
        paths = [_as_path(m) for m in models]
        if not paths:
            raise ValueError("a processor needs at least one model file")
        lib = library()
        encoded = [os.fsencode(p) for p in paths]
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
        self.note = ""
        if mix is True:
            self.apply_mix([])
        elif mix is not False:
            if isinstance(mix, str):
                raise TypeError("mix takes a list of settings, e.g. ['residual=-12dB']")
            self.apply_mix(list(mix))

    def _delete(self, handle):
        with self._parameter_lock:
            self._lib.murelDeleteProcessor(handle)

    def apply_mix(self, settings=()):
        """Sets every bus from host settings, as murel process does with the same options; with
        no gain, solo, residual or stems setting the residual bus is removed. Returns the note a
        host prints about it (also in self.note), "" if none. Raises ValueError for a setting
        that cannot work (an unknown bus, a bad value), with the engine's reason."""
        settings = [str(s) for s in settings]
        if any("\0" in s for s in settings):
            raise ValueError("a setting cannot hold a NUL character")
        apply = _function("murelApplyHostMix")
        array = (ctypes.c_char_p * max(len(settings), 1))(*[s.encode() for s in settings])
        message = ctypes.create_string_buffer(1024)
        with self._lock, self._parameter_lock:
            if not apply(self._h(), array, len(settings), message, len(message)):
                raise ValueError(message.value.decode("utf-8", "replace") or f"bad mix settings {settings}")
        self.note = message.value.decode("utf-8", "replace")
        return self.note

    # Description ------------------------------------------------------------------------------

    def info(self):
        """The first model's rate and channels, its window and hop, and the latency in samples."""
        info = _Info()
        with self._lock:
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
        with self._parameter_lock:
            return self._names()

    def _names(self):
        # Names never change after creation; the parameter lock keeps close() out.
        names = []
        for index in range(self._lib.murelGetNumOfOutputBusses(self._h())):
            buffer = ctypes.create_string_buffer(256)
            self._lib.murelGetOutputBusName(self._h(), index, buffer, len(buffer))
            names.append(buffer.value.decode("utf-8", "replace"))
        return names

    def _bus(self, bus):
        """The index of a bus given by name (exact, else unique case-insensitive) or index, as
        every host finds it. Call with the parameter lock held."""
        if isinstance(bus, (int, np.integer)) and not isinstance(bus, bool):
            index = int(bus) if 0 <= bus < self._lib.murelGetNumOfOutputBusses(self._h()) else -1
        elif isinstance(bus, str) and "\0" not in bus:
            index = _function("murelFindOutputBus")(self._h(), bus.encode())
        else:
            raise TypeError(f"a bus is a name or an index, not {bus!r}")
        if index < 0:
            raise ValueError(f"no bus {bus!r}; the buses are {self._names()}")
        if index >= MAX_BUSSES:
            raise ValueError(f"bus {bus!r}: the engine controls buses 0 to {MAX_BUSSES - 1} only")
        return index

    # Parameters -------------------------------------------------------------------------------

    def _set(self, family, bus, value, what):
        """Sets a bus parameter, limited to the range the C API reports for it."""
        value = float(value)
        if not np.isfinite(value):
            raise ValueError(f"a {what} must be a finite number, not {value}")
        with self._parameter_lock:
            parameter = family + self._bus(bus)
            low, high = ctypes.c_float(), ctypes.c_float()
            self._lib.murelGetParameterRange(self._h(), parameter, ctypes.byref(low), ctypes.byref(high))
            self._lib.murelSetParameterValue(self._h(), parameter, min(max(value, low.value), high.value))

    def _get(self, family, bus):
        with self._parameter_lock:
            return self._lib.murelGetParameterValue(self._h(), family + self._bus(bus))

    def gain(self, bus):
        return self._get(GAIN_PARAMETER, bus)

    def set_gain(self, bus, value):
        """Linear gain of a bus (by name or index), 0 to 100: 0 removes it, and values outside the
        range are clamped to it, as in every host. A string is read as the hosts read gains:
        "0.5", "-12dB", "-inf dB", "off"."""
        if isinstance(value, str):
            value = parse_gain(value)
        self._set(GAIN_PARAMETER, bus, value, "gain")

    def sensitivity(self, bus):
        return self._get(SENSITIVITY_PARAMETER, bus)

    def set_sensitivity(self, bus, value):
        """Sensitivity of a bus, -100 (permissive) to 100 (strict); clamped to that range."""
        self._set(SENSITIVITY_PARAMETER, bus, value, "sensitivity")

    # Audio ------------------------------------------------------------------------------------

    def _planar(self, audio):
        """Audio [channels, samples] (1-D for mono) as contiguous float32; integer PCM scaled by
        its full scale (pcm_to_float)."""
        array = np.asarray(audio)
        if array.dtype.kind not in "fiu" or array.dtype == np.bool_:
            raise TypeError(f"audio must be float or integer PCM, not {array.dtype}")
        if array.ndim == 1 and self.channels == 1:
            array = array[np.newaxis]
        if array.ndim != 2 or array.shape[0] != self.channels:
            raise ValueError(f"audio must be shaped [channels={self.channels}, samples], not {list(array.shape)}")
        if array.shape[1] > 2**31 - 1:
            raise ValueError("too many samples in one call")
        return np.ascontiguousarray(pcm_to_float(array))

    @staticmethod
    def _pointers(array):
        row = ctypes.POINTER(ctypes.c_float)
        return (row * array.shape[0])(*[array[c].ctypes.data_as(row) for c in range(array.shape[0])])

    def prepare(self, maximum_block_size):
        """Allocates, before audio starts, what blocks of up to this many samples need."""
        maximum_block_size = _block_size(maximum_block_size)
        with self._lock:
            if not _function("murelPrepareProcessor")(self._h(), maximum_block_size):
                raise EngineError(f"cannot prepare the processor for blocks of {maximum_block_size} samples")

    def push(self, audio):
        """Adds audio [channels, samples] (1-D for mono): float, or integer PCM scaled by its full
        scale (int16 by 32768, int32 by 2**31, uint8 centred on 128)."""
        array = self._planar(audio)
        with self._lock:
            if array.shape[1]:
                self._lib.murelAddAudio(self._h(), self._pointers(array), array.shape[1])

    @property
    def pending(self):
        """Processed samples waiting to be pulled."""
        with self._lock:
            return self._lib.murelGetNumOfPendingSamples(self._h())

    def pull(self, max_samples=None):
        """Takes the processed samples waiting (at most max_samples): float32 [channels, n]."""
        with self._lock:
            pending = self._lib.murelGetNumOfPendingSamples(self._h())
            n = pending if max_samples is None else min(pending, int(max_samples))
            out = np.zeros((self.channels, max(n, 0)), dtype=np.float32)
            if n > 0 and not self._lib.murelGetAudio(self._h(), self._pointers(out), n):
                raise EngineError("the processor did not deliver the samples it reported as pending")
        return out

    def push_interleaved(self, frames):
        """Adds frames [samples, channels] (C order), as read from an audio file; integer PCM is
        scaled as in push."""
        array = np.asarray(frames)
        if array.dtype.kind not in "fiu" or array.dtype == np.bool_:
            raise TypeError(f"audio must be float or integer PCM, not {array.dtype}")
        if array.ndim != 2 or array.shape[1] != self.channels:
            raise ValueError(f"frames must be shaped [samples, channels={self.channels}], not {list(array.shape)}")
        array = np.ascontiguousarray(pcm_to_float(array))
        with self._lock:
            if array.shape[0]:
                self._lib.murelAddAudioInterleaved(self._h(), array.ctypes.data_as(ctypes.POINTER(ctypes.c_float)),
                                                   array.shape[0])

    def pull_interleaved(self, max_samples=None):
        """Takes the processed samples waiting (at most max_samples) as float32 frames [n, channels]."""
        with self._lock:
            pending = self._lib.murelGetNumOfPendingSamples(self._h())
            n = pending if max_samples is None else min(pending, int(max_samples))
            out = np.zeros((max(n, 0), self.channels), dtype=np.float32)
            if n > 0 and not self._lib.murelGetAudioInterleaved(
                    self._h(), out.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), n):
                raise EngineError("the processor did not deliver the samples it reported as pending")
        return out

    def reset(self):
        """Forgets all audio, as after creation; parameters stay."""
        with self._lock:
            self._lib.murelResetProcessorState(self._h())

    def process(self, audio, block_size=4096):
        """Processes a whole signal [channels, samples] (1-D for mono) from a fresh state: the
        result is float32, has the input's length and is aligned with it sample for sample (the
        tail is flushed with silence). Integer PCM is scaled as in push. The processor is reset
        before and after; other threads wait until it is done."""
        block_size = _block_size(block_size)
        array = self._planar(audio)
        squeeze = np.ndim(audio) == 1
        total = array.shape[1]
        with self._lock:
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


def _block_size(value):
    if not isinstance(value, (int, np.integer)) or isinstance(value, bool) or not 1 <= value <= 1 << 24:
        raise ValueError(f"a block size must be an integer from 1 to {1 << 24} samples, not {value!r}")
    return int(value)


def _input_shape(path):
    """(rows, channels) of the input tensor a model file expects, from its header."""
    with open(path, "rb") as file:
        header = file.read(4096)

    def take(offset, form):
        return struct.unpack_from("<" + form, header, offset)[0], offset + struct.calcsize(form)

    length, at = take(0, "i")
    at += length + 4 + 2 + 8  # magic, version, identifier, rate
    channels, at = take(at, "b")
    code, at = take(at, "b")
    if code in (1, 4):
        bins, _ = take(at, "h")
        return bins, channels * (2 if code == 4 else 1)
    low, at = take(at, "h")
    high, at = take(at, "h")
    if code == 2:
        return high + 4 * low, channels
    if code == 5:
        history, _ = take(at, "h")
        return high + 4 * low, channels * history
    decimation, _ = take(at, "b")
    return low + (high // decimation if decimation else 0), 2 * channels


class Model(Handle):
    """A model run directly on tensors [frames, rows, channels], streaming."""

    _kind = "model"

    def __init__(self, path):
        super().__init__()
        path = _as_path(path)
        lib = library()
        handle = lib.murelCreateModel(os.fsencode(path))
        if not handle:
            raise _failure("cannot load the model", [path])
        self._handle, self._lib, self.path = handle, lib, path
        try:
            self.input_shape = _input_shape(path)
        except (OSError, struct.error):  # the file changed since it loaded
            self.input_shape = None

    def _delete(self, handle):
        self._lib.murelDeleteModel(handle)

    def info(self):
        """Rate, channels, FFT size, window, hop and the latency in frames."""
        info = _Info()
        with self._lock:
            self._lib.murelGetModelInfo(self._h(), ctypes.byref(info))
        return {"sample_rate": info.sampleRate, "channels": info.numOfChannels, "fft_size": info.latency,
                "window_size": info.windowSize, "hop_size": info.hopSize, "latency_frames": info.modelLatency}

    def push(self, tensor):
        """Pushes a tensor [frames, rows, channels] and returns everything the model finished
        during the call as float32 [frames, rows, channels] (0 frames while its delays fill).
        Values are taken as numbers (integer tensors are not rescaled). Raises ValueError naming
        the expected shape (self.input_shape gives rows and channels) for any other shape."""
        array = np.asarray(tensor)
        if array.dtype.kind not in "fiu" or array.ndim != 3:
            raise ValueError(f"a tensor must be numeric and shaped [frames, rows, channels], not {array.dtype} "
                             f"{list(array.shape)}")
        if self.input_shape is not None and tuple(array.shape[1:]) != tuple(self.input_shape):
            rows, channels = self.input_shape
            raise ValueError(f"this model takes tensors shaped [frames, {rows}, {channels}], not {list(array.shape)}")
        if array.size >= 2**29:
            raise ValueError("the tensor is too large")
        array = np.ascontiguousarray(array, dtype=np.float32)
        shape = (ctypes.c_int * 3)(*array.shape)
        out_shape = (ctypes.c_int * 3)()
        with self._lock:
            self._lib.murelAddTensor(self._h(), array.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), 3, shape)
            if not self._lib.murelGetResultTensorShape(self._h(), 3, out_shape):
                return np.zeros((0, 0, 0), dtype=np.float32)
            out = np.zeros(tuple(out_shape), dtype=np.float32)
            if out.size and not self._lib.murelGetTensor(self._h(), out.ctypes.data_as(ctypes.POINTER(ctypes.c_float))):
                raise EngineError("the model did not deliver its result tensor")
        return out

    def reset(self):
        with self._lock:
            self._lib.murelResetModelState(self._h())

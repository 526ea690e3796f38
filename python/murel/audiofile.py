"""Audio files through libsndfile (ctypes), read and written exactly as the `murel` tool does.

The batch runner promises the tool's output byte for byte, so this module makes the same
libsndfile calls in the same order: files opened by descriptor, samples as floats, clipping on for
integer sample types, text tags copied (the software tag set to "murel"), the output format chosen
by the tool's rules, and the result written to a temporary file beside the target that is renamed
only when complete.
"""

import ctypes
import ctypes.util
import os
import re
import tempfile
import threading

import numpy as np

from .engine import Handle

SF_FORMAT_WAV, SF_FORMAT_AIFF, SF_FORMAT_AU = 0x010000, 0x020000, 0x030000
SF_FORMAT_W64, SF_FORMAT_FLAC, SF_FORMAT_CAF = 0x0B0000, 0x170000, 0x180000
SF_FORMAT_OGG, SF_FORMAT_RF64, SF_FORMAT_MPEG = 0x200000, 0x220000, 0x230000
SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32 = 0x0001, 0x0002, 0x0003, 0x0004
SF_FORMAT_PCM_U8, SF_FORMAT_FLOAT, SF_FORMAT_DOUBLE = 0x0005, 0x0006, 0x0007
SF_FORMAT_ULAW, SF_FORMAT_ALAW = 0x0010, 0x0011
SF_FORMAT_VORBIS, SF_FORMAT_OPUS, SF_FORMAT_MPEG_LAYER_III = 0x0060, 0x0064, 0x0082
SF_FORMAT_SUBMASK, SF_FORMAT_TYPEMASK = 0x0000FFFF, 0x0FFF0000
SF_STR_SOFTWARE, SF_STR_FIRST, SF_STR_LAST = 0x03, 0x01, 0x10
SFC_SET_CLIPPING = 0x10C0
SFM_READ, SFM_WRITE = 0x10, 0x20
SF_COUNT_MAX = 2**63 - 1

# Name, container, sample type chosen when the input's cannot be kept (0: the general rule). The
# first entry of each container gives its usual extension.
CONTAINERS = [
    ("wav", SF_FORMAT_WAV, 0), ("wave", SF_FORMAT_WAV, 0), ("flac", SF_FORMAT_FLAC, 0),
    ("ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS), ("oga", SF_FORMAT_OGG, SF_FORMAT_VORBIS),
    ("opus", SF_FORMAT_OGG, SF_FORMAT_OPUS), ("aiff", SF_FORMAT_AIFF, 0), ("aif", SF_FORMAT_AIFF, 0),
    ("aifc", SF_FORMAT_AIFF, 0), ("caf", SF_FORMAT_CAF, 0), ("w64", SF_FORMAT_W64, 0),
    ("rf64", SF_FORMAT_RF64, 0), ("au", SF_FORMAT_AU, 0), ("snd", SF_FORMAT_AU, 0),
    ("mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III),
]
EXTENSIONS = frozenset(name for name, _, _ in CONTAINERS)
INTEGER_TYPES = frozenset({SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24,
                           SF_FORMAT_PCM_32, SF_FORMAT_ALAW, SF_FORMAT_ULAW})
SHORT_TYPES = frozenset({SF_FORMAT_PCM_16, SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_ALAW, SF_FORMAT_ULAW})


# A file being written is ".NAME.murel-" and mkstemp's eight characters, beside NAME.
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.murel-[a-z0-9_]{8}")


def temporary_owner(file_name):
    """The output name a temporary file of Writer belongs to, or None for any other name."""
    match = _TEMPORARY.fullmatch(file_name)
    return match.group("name") if match else None


class AudioFileError(RuntimeError):
    """A file that cannot be read or written, with the reason in the tool's words."""


class _Info(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


_lib = None
_lock = threading.Lock()


def _sndfile():
    global _lib
    with _lock:
        if _lib is None:
            name = ctypes.util.find_library("sndfile") or "libsndfile.so.1"
            lib = ctypes.CDLL(name)
            vp, i, c64, cp, fp = ctypes.c_void_p, ctypes.c_int, ctypes.c_int64, ctypes.c_char_p, ctypes.POINTER(ctypes.c_float)
            for fname, restype, argtypes in [
                ("sf_open_fd", vp, [i, i, ctypes.POINTER(_Info), i]),
                ("sf_close", i, [vp]),
                ("sf_readf_float", c64, [vp, fp, c64]),
                ("sf_writef_float", c64, [vp, fp, c64]),
                ("sf_get_string", cp, [vp, i]),
                ("sf_set_string", i, [vp, i, cp]),
                ("sf_command", i, [vp, i, vp, i]),
                ("sf_error", i, [vp]),
                ("sf_strerror", cp, [vp]),
                ("sf_format_check", i, [ctypes.POINTER(_Info)]),
                ("sf_write_sync", None, [vp]),
            ]:
                function = getattr(lib, fname)
                function.restype, function.argtypes = restype, argtypes
            _lib = lib
    return _lib


def _quote(text):
    return f"'{text}'"


def _reason(handle):
    return (_sndfile().sf_strerror(handle) or b"").decode("utf-8", "replace").rstrip(". \n")


def format_fits(fmt, channels, rate):
    info = _Info(format=fmt, channels=channels, samplerate=rate)
    return _sndfile().sf_format_check(ctypes.byref(info)) != 0


def output_format(input_format, channels, rate, output_path):
    """The format the tool writes for an input of this format when no type or sample format is
    asked for: the container named by the output's extension (else the input's), the input's
    sample type when the container holds it, else the closest it offers."""
    input_type = input_format & SF_FORMAT_SUBMASK
    container, preferred = input_format & SF_FORMAT_TYPEMASK, 0
    base = os.path.basename(output_path)
    extension = base.rsplit(".", 1)[1].lower() if "." in base and not base.endswith(".") else ""
    for name, entry_container, entry_preferred in CONTAINERS:
        if extension == name:
            container, preferred = entry_container, entry_preferred
            break
    fits = lambda sample_type: format_fits(container | sample_type, channels, rate)  # noqa: E731
    if preferred == 0 and fits(input_type):
        return container | input_type
    if preferred != 0 and fits(preferred):
        return container | preferred
    if input_type in SHORT_TYPES:
        candidates = [SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_FLOAT]
    else:
        candidates = [SF_FORMAT_FLOAT, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16]
    for sample_type in candidates + [SF_FORMAT_VORBIS, SF_FORMAT_MPEG_LAYER_III, SF_FORMAT_PCM_U8]:
        if fits(sample_type):
            return container | sample_type
    raise AudioFileError(f"cannot write {_quote(output_path)}: its file type cannot hold {channels} channels at {rate} Hz")


def file_extension(fmt):
    """The usual extension of a format's container ("wav", "flac", ...), as the tool names stems."""
    container = fmt & SF_FORMAT_TYPEMASK
    if container == SF_FORMAT_OGG and fmt & SF_FORMAT_SUBMASK == SF_FORMAT_OPUS:
        return "opus"
    for name, entry_container, _ in CONTAINERS:
        if entry_container == container:
            return name
    return "audio"


class Reader(Handle):
    """An audio file open for reading; frames come as float32 [frames, channels]."""

    def __init__(self, path):
        self.path = os.fspath(path)
        lib = _sndfile()
        # libsndfile words a missing file vaguely; ask the system first.
        try:
            descriptor = os.open(self.path, os.O_RDONLY)
        except OSError as error:
            raise AudioFileError(f"cannot open {_quote(self.path)}: {error.strerror}") from None
        if os.path.isdir(self.path):
            os.close(descriptor)
            raise AudioFileError(f"cannot open {_quote(self.path)}: it is a folder")
        self.info = _Info()
        self._handle = lib.sf_open_fd(descriptor, SFM_READ, ctypes.byref(self.info), 1)
        if not self._handle:
            raise AudioFileError(f"cannot read {_quote(self.path)}: not an audio file of a supported type "
                                 f"({_reason(None)})")
        if self.info.channels < 1 or self.info.samplerate < 1:
            self.close()
            raise AudioFileError(f"cannot read {_quote(self.path)}: it declares {self.info.channels} channels "
                                 f"at {self.info.samplerate} Hz")

    @property
    def channels(self):
        return self.info.channels

    @property
    def rate(self):
        return self.info.samplerate

    @property
    def format(self):
        return self.info.format

    @property
    def frames(self):
        """Frames in the file, or -1 when the file does not say."""
        return self.info.frames if 0 <= self.info.frames < SF_COUNT_MAX else -1

    def tags(self):
        """(string id, bytes) of every text tag but the software tag, in id order."""
        found = []
        for tag in range(SF_STR_FIRST, SF_STR_LAST + 1):
            if tag != SF_STR_SOFTWARE:
                text = _sndfile().sf_get_string(self._handle, tag)
                if text:
                    found.append((tag, text))
        return found

    def read(self, block):
        """Reads into block (float32 [frames, channels], C order); returns the frames read."""
        wanted = block.shape[0]
        got = _sndfile().sf_readf_float(self._handle, block.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), wanted)
        if got < wanted and _sndfile().sf_error(self._handle) != 0:
            raise AudioFileError(f"cannot read {_quote(self.path)}: {_reason(self._handle)}")
        return got

    _kind = "sound file"

    def _delete(self, handle):
        _sndfile().sf_close(handle)


def _new_file_mode():
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


class Writer:
    """An audio file written into a temporary file beside `path` (same file system, so the final
    rename is atomic); it appears under its name only through commit(), and discard() (or an
    exception before the commit) leaves nothing behind."""

    def __init__(self, path, fmt, channels, rate, tags=()):
        self.path, self.format, self.channels = os.fspath(path), fmt, channels
        self.clipped = 0
        folder, name = os.path.split(self.path)
        if not name or os.path.isdir(self.path):
            raise AudioFileError(f"{_quote(self.path)} is a folder, not a file name")
        try:
            descriptor, self.temporary = tempfile.mkstemp(prefix=f".{name}.murel-", dir=folder or ".")
        except OSError as error:
            raise AudioFileError(f"cannot create {_quote(self.path)}: {error.strerror}") from None
        self._handle = None
        try:
            # mkstemp makes the file private; the result gets the permissions of any new file.
            os.fchmod(descriptor, _new_file_mode())
        except OSError as error:
            os.close(descriptor)
            self.discard()
            raise AudioFileError(f"cannot create {_quote(self.path)}: {error.strerror}") from None
        lib = _sndfile()
        info = _Info(format=fmt, channels=channels, samplerate=rate)
        self._handle = lib.sf_open_fd(descriptor, SFM_WRITE, ctypes.byref(info), 1)
        if not self._handle:
            reason = _reason(None)
            os.close(descriptor)
            self.discard()
            raise AudioFileError(f"cannot write {_quote(self.path)} with {channels} channels at {rate} Hz: {reason}")
        self._counts_clipping = fmt & SF_FORMAT_SUBMASK in INTEGER_TYPES
        if self._counts_clipping:
            lib.sf_command(self._handle, SFC_SET_CLIPPING, None, 1)
        for tag, text in tags:
            lib.sf_set_string(self._handle, tag, text)
        lib.sf_set_string(self._handle, SF_STR_SOFTWARE, b"murel")

    def write(self, frames):
        """Writes float32 frames [frames, channels] (C order)."""
        if self._counts_clipping:
            self.clipped += int(np.count_nonzero(np.abs(frames) > 1.0))
        count = frames.shape[0]
        if _sndfile().sf_writef_float(self._handle, frames.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), count) != count:
            raise AudioFileError(f"cannot write {_quote(self.path)}: {_reason(self._handle)}")

    def close(self):
        """Finishes the temporary file; raises when the last data cannot be written."""
        if not self._handle:
            return
        lib, handle = _sndfile(), self._handle
        self._handle = None
        lib.sf_write_sync(handle)
        error, reason = lib.sf_error(handle), _reason(handle)
        if lib.sf_close(handle) != 0 or error != 0:
            raise AudioFileError(f"cannot write {_quote(self.path)}: {reason}")

    def commit(self, replace=False):
        """Gives the closed file its name. Without replace an existing file of that name is kept
        and the commit fails: a hard link claims the name atomically where the file system has
        them, so a file appearing meanwhile is not overwritten either."""
        self.close()
        try:
            if replace:
                os.replace(self.temporary, self.path)
            else:
                try:
                    os.link(self.temporary, self.path)
                except FileExistsError:
                    raise AudioFileError(f"{_quote(self.path)} exists; not overwritten") from None
                except OSError:  # no hard links here: the check and the rename are two steps
                    if os.path.lexists(self.path):
                        raise AudioFileError(f"{_quote(self.path)} exists; not overwritten") from None
                    os.rename(self.temporary, self.path)
                else:
                    os.unlink(self.temporary)
        except OSError as error:
            self.discard()
            raise AudioFileError(f"cannot write {_quote(self.path)}: {error.strerror}") from None
        except AudioFileError:
            self.discard()
            raise
        self.temporary = None

    def discard(self):
        """Removes the temporary file now; nothing happens after a commit."""
        if self._handle:
            _sndfile().sf_close(self._handle)
            self._handle = None
        if getattr(self, "temporary", None):
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = None

    def __del__(self):
        self.discard()

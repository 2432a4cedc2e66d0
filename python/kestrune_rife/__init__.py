"""Interpolate a video frame between two frames with kestrune-rife-inference.

    import kestrune_rife

    with kestrune_rife.Engine() as engine:                  # the shipped model
        middle = engine.interpolate(frame1, frame2)         # H x W x 3 uint8 arrays
        engine.interpolate_files("a.png", "b.png", "mid.png", t=0.25)

The library keeps one engine per process, so one Engine may be open at a time.
"""
import ctypes
import os
import sys

import numpy as np

__all__ = ["Engine", "Error", "LIBRARY_ENV"]

# Names the library file to load, when Engine(library=...) does not.
LIBRARY_ENV = "KESTRUNE_RIFE_LIBRARY"

_WINDOWS = sys.platform == "win32"
_LIBRARY_NAME = "kestrune-rife-inference.dll" if _WINDOWS else "libkestrune-rife-inference.so.1"
_HERE = os.path.dirname(os.path.abspath(__file__))
_SOURCE_ROOT = os.path.dirname(os.path.dirname(_HERE))
_INT_MAX = 2**31 - 1

_open_engine = None


class Error(RuntimeError):
    """A library call failed; str(error) is the library's own text."""


def _installed_location(name):
    # `cmake --install` writes _installed.py beside this file: the library and the model
    # folder relative to it. A pip install from the source tree has none.
    try:
        from . import _installed
    except ImportError:
        return None
    return os.path.normpath(os.path.join(_HERE, getattr(_installed, name)))


def _bind(lib):
    ptr, c_int, text = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p
    lib.rife_init.argtypes, lib.rife_init.restype = [text], c_int
    lib.rife_interpolate.argtypes = [ptr, ptr, c_int, c_int, ptr, ctypes.c_float]
    lib.rife_interpolate.restype = c_int
    lib.rife_interpolate_files.argtypes = [text, text, text, ctypes.c_float]
    lib.rife_interpolate_files.restype = c_int
    lib.rife_get_error.argtypes, lib.rife_get_error.restype = [], text
    lib.rife_shutdown.argtypes, lib.rife_shutdown.restype = [], None
    return lib


def _load_library(library):
    path = library or os.environ.get(LIBRARY_ENV) or _installed_location("LIBRARY")
    try:
        return _bind(ctypes.CDLL(os.fspath(path) if path else _LIBRARY_NAME))
    except OSError as failure:
        raise Error(f"cannot load {path or _LIBRARY_NAME}: {failure}") from None


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def _library_file(lib):
    """The file the library was loaded from, also when the system loader found it."""
    if _WINDOWS:
        buffer = ctypes.create_unicode_buffer(32768)
        ctypes.windll.kernel32.GetModuleFileNameW(ctypes.c_void_p(lib._handle), buffer, 32768)
        return buffer.value
    info = _DlInfo()
    dladdr = ctypes.CDLL(None).dladdr
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    if not dladdr(ctypes.cast(lib.rife_init, ctypes.c_void_p), ctypes.byref(info)):
        return None
    return os.fsdecode(info.dli_fname)


def _default_model_dir(lib):
    """The shipped model: installed beside the package, in the source tree, or in the
    share folder of the prefix that the library was loaded from."""
    installed = _installed_location("MODEL_DIR")
    if installed:
        return installed
    in_source_tree = os.path.join(_SOURCE_ROOT, "models")
    if os.path.isfile(os.path.join(_SOURCE_ROOT, "CMakeLists.txt")) and os.path.isdir(in_source_tree):
        return in_source_tree
    library_file = _library_file(lib)
    if library_file:
        prefix = os.path.dirname(os.path.dirname(os.path.abspath(library_file)))
        shared = os.path.join(prefix, "share", "kestrune-rife-inference", "models")
        if os.path.isdir(shared):
            return shared
    raise Error("no model folder found: pass Engine(model_dir=...)")


def _image_path(path):
    # The library hands image paths to fopen unchanged: the ANSI code page on Windows.
    return os.fspath(path).encode("mbcs") if _WINDOWS else os.fsencode(path)


def _frame(array, name):
    frame = np.asarray(array)
    if frame.dtype != np.uint8 or frame.ndim != 3 or frame.shape[2] != 3:
        raise ValueError(f"{name} must be an H x W x 3 uint8 array, not {frame.dtype} {frame.shape}")
    if frame.shape[0] > _INT_MAX or frame.shape[1] > _INT_MAX:
        raise ValueError(f"{name} is too large: {frame.shape}")
    return np.ascontiguousarray(frame)


class Engine:
    """The library's engine, started with a model folder; a context manager.

    model_dir: folder holding rife49_ensemble.onnx; None for the shipped model.
    library: the library file to load; None for $KESTRUNE_RIFE_LIBRARY, else the
    installed library.
    """

    def __init__(self, model_dir=None, library=None):
        global _open_engine
        self._lib = None
        if _open_engine is not None:
            raise Error("an engine is already open in this process: close it first")
        lib = _load_library(library)
        folder = model_dir if model_dir is not None else _default_model_dir(lib)
        if lib.rife_init(os.fsencode(folder)) != 0:
            raise Error(lib.rife_get_error().decode(errors="replace"))
        self._lib = lib
        self.model_dir = os.fspath(folder)
        _open_engine = self

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __del__(self):
        self.close()

    def close(self):
        """Releases the engine; later calls raise Error. Safe to call again."""
        global _open_engine
        if self._lib is not None:
            self._lib.rife_shutdown()
            self._lib = None
            _open_engine = None

    def _check(self, result):
        if result != 0:
            raise Error(self._lib.rife_get_error().decode(errors="replace"))

    def _ready_library(self):
        if self._lib is None:
            raise Error("the engine is closed")
        return self._lib

    def interpolate(self, a, b, t=0.5):
        """The frame at timestep t between frames a (t = 0) and b (t = 1).

        a, b: H x W x 3 uint8 arrays (RGB), of the same shape; any strides.
        Returns a new H x W x 3 uint8 array.
        """
        a, b = _frame(a, "a"), _frame(b, "b")
        if a.shape != b.shape:
            raise ValueError(f"frames differ in shape: {a.shape} and {b.shape}")
        lib = self._ready_library()
        out = np.empty_like(a)
        height, width = a.shape[:2]
        self._check(lib.rife_interpolate(a.ctypes.data, b.ctypes.data, width, height,
                                         out.ctypes.data, float(t)))
        return out

    def interpolate_files(self, frame1_path, frame2_path, output_path, t=0.5):
        """Reads two PNG/JPEG files and writes the frame at t: PNG when output_path ends
        in .png or .PNG, JPEG otherwise."""
        lib = self._ready_library()
        self._check(lib.rife_interpolate_files(_image_path(frame1_path), _image_path(frame2_path),
                                               _image_path(output_path), float(t)))

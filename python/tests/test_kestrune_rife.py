"""The Python package against the C API it wraps.

Environment: KESTRUNE_RIFE_LIBRARY (the library built), KRI_TEST_MODELS (the generated
test models, each <name>/rife49_ensemble.onnx).
"""
import ctypes
import os

import numpy as np
import pytest
from PIL import Image

import kestrune_rife

MODELS = os.environ["KRI_TEST_MODELS"]


@pytest.fixture(scope="module")
def c_api():
    lib = ctypes.CDLL(os.environ[kestrune_rife.LIBRARY_ENV])
    lib.rife_interpolate.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int,
                                     ctypes.c_int, ctypes.c_void_p, ctypes.c_float]
    lib.rife_get_error.restype = ctypes.c_char_p
    return lib


def c_interpolate(lib, a, b, t):
    out = np.zeros_like(a)
    rc = lib.rife_interpolate(a.ctypes.data, b.ctypes.data, a.shape[1], a.shape[0],
                              out.ctypes.data, t)
    return rc, out


def random_frames(height, width, seed):
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 256, (height, width, 3), dtype=np.uint8) for _ in range(2)]


def test_shipped_model_matches_c_api_also_for_strided_frames(c_api):
    a, b = random_frames(70, 90, 1)
    strided_a, strided_b = a[::2, 1:-1], b[::2, 1:-1]  # 35 x 88, rows and pixels apart
    assert not strided_a.flags.c_contiguous
    with kestrune_rife.Engine() as engine:  # the repository's models/
        got = engine.interpolate(strided_a, strided_b, t=0.3)
        rc, want = c_interpolate(c_api, np.ascontiguousarray(strided_a),
                                 np.ascontiguousarray(strided_b), 0.3)
    assert rc == 0
    assert got.shape == (35, 88, 3) and got.dtype == np.uint8
    np.testing.assert_array_equal(got, want)


def test_files_round_trip_matches_in_memory_result(tmp_path):
    a, b = random_frames(20, 30, 2)
    Image.fromarray(a).save(tmp_path / "a.png")
    Image.fromarray(b).save(tmp_path / "b.png")
    with kestrune_rife.Engine(os.path.join(MODELS, "blend")) as engine:
        engine.interpolate_files(tmp_path / "a.png", tmp_path / "b.png", tmp_path / "m.png", t=0.25)
        expected = engine.interpolate(a, b, t=0.25)
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "m.png")), expected)


def test_bad_frames_raise_value_error_before_the_library_runs(c_api):
    a, b = random_frames(8, 8, 3)
    with kestrune_rife.Engine(os.path.join(MODELS, "blend")) as engine:
        for first, second in [(a, b[:, :7]), (a, b[:7]), (a[..., :2], b[..., :2]),
                              (a.astype(np.uint16), b), (a[0], b[0])]:
            with pytest.raises(ValueError):
                engine.interpolate(first, second)
        # A successful start empties the error text; no call has failed since.
        assert c_api.rife_get_error() == b""


def test_library_failures_raise_error_with_the_library_text(tmp_path, c_api):
    with pytest.raises(kestrune_rife.Error, match="^CreateSession: "):
        kestrune_rife.Engine(str(tmp_path))
    with kestrune_rife.Engine(os.path.join(MODELS, "blend")) as engine:
        with pytest.raises(kestrune_rife.Error, match="^Failed to load frame1$"):
            engine.interpolate_files(tmp_path / "none.png", tmp_path / "none.png", tmp_path / "o.png")
        with pytest.raises(kestrune_rife.Error, match="^Invalid dimensions$"):
            engine.interpolate(np.zeros((0, 4, 3), np.uint8), np.zeros((0, 4, 3), np.uint8))
    with pytest.raises(kestrune_rife.Error, match="cannot load"):
        kestrune_rife.Engine(library=str(tmp_path / "missing.so"))


def test_context_manager_releases_the_engine(c_api):
    a, b = random_frames(4, 4, 4)
    with kestrune_rife.Engine(os.path.join(MODELS, "blend")) as engine:
        with pytest.raises(kestrune_rife.Error, match="already open"):
            kestrune_rife.Engine(os.path.join(MODELS, "identity"))
        assert c_interpolate(c_api, a, b, 0.5)[0] == 0
    assert c_interpolate(c_api, a, b, 0.5)[0] == -1
    assert c_api.rife_get_error() == b"Not initialized"
    with pytest.raises(kestrune_rife.Error, match="closed"):
        engine.interpolate(a, b)
    # Released, so another model can start; the second model returns frame 1.
    with kestrune_rife.Engine(os.path.join(MODELS, "identity")) as engine:
        np.testing.assert_array_equal(engine.interpolate(a, b), a)

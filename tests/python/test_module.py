import gc
import importlib.metadata
import importlib.util
import inspect
import os
import subprocess
import sys
import weakref

import numpy as np
import pytest

import _veskar


def test_version_and_exception_type():
    assert _veskar.__version__ == importlib.metadata.version("veskar")
    err = _veskar.VeskarError
    assert issubclass(err, Exception) and err.__bases__ == (Exception,)
    assert f"{err.__module__}.{err.__qualname__}" == "veskar.VeskarError"
    assert err.__doc__ is None


def test_contents_in_order():
    names = [n for n in vars(_veskar) if not n.startswith("__") or n == "__version__"]
    assert names == [*CLASSES, "__version__"]


@pytest.mark.parametrize(
    "cls",
    [
        _veskar.SyndromeFrame,
        _veskar.LogicalCorrection,
        _veskar.CodeType,
        _veskar.DetectorErrorModel,
        _veskar.SpacetimeGraph,
    ],
)
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize(
    "callable_, expected",
    [
        (_veskar.VeskarStream, "(source, *, timeout=None)"),
        (_veskar.DecoderResult, "(observable_flips, confidence=1.0)"),
        (_veskar.VeskarStream.close, "(self, /)"),
        (_veskar.VeskarStream.__enter__, "(self, /)"),
        (_veskar.VeskarStream.__exit__, "(self, /, _exc_type, _exc_val, _tb)"),
        (_veskar.SyndromeFrame.meas_results, "(self, /)"),
        (_veskar.SyndromeFrame.to_numpy_detector_events, "(self, /)"),
        (_veskar.SyndromeFrame.to_numpy_meas_results, "(self, /)"),
        (_veskar.SyndromeFrame.null_decode, "(self, /)"),
        (_veskar.SyndromeFrame.to_dict, "(self, /)"),
    ],
)
def test_text_signatures(callable_, expected):
    assert str(inspect.signature(callable_)) == expected


def test_docstrings():
    frame = _veskar.SyndromeFrame
    assert frame.meas_results.__doc__ is None
    assert frame.null_decode.__doc__ is None
    assert frame.to_numpy_detector_events.__doc__ == (
        "Detector events as a 1-D NumPy bool array of shape `(ancilla_count,)`."
    )
    assert frame.to_numpy_meas_results.__doc__ == (
        "Ancilla measurement results as a 1-D NumPy int8 array of shape `(ancilla_count,)`."
    )
    assert frame.to_dict.__doc__ == (
        "Serialise this frame as a Python dict suitable for pandas / JSON.\n\n"
        "The `detector_events` key holds a 1-D NumPy bool array. All scalar\n"
        "fields are plain Python ints/floats."
    )
    assert _veskar.VeskarStream.__text_signature__ == "(source, *, timeout=None)"
    assert _veskar.DecoderResult.__text_signature__ == "(observable_flips, confidence=1.0)"


CODE_TYPES = [
    ("SURFACE_CODE", "SurfaceCode"),
    ("HONEYCOMB_CODE", "HoneycombCode"),
    ("COLOR_CODE", "ColorCode"),
    ("REPETITION_CODE", "RepetitionCode"),
    ("TORIC_CODE", "ToricCode"),
    ("BIVARIATE_BICYCLE", "BivariateBicycle"),
    ("HYPERGRAPH_PRODUCT", "HypergraphProduct"),
    ("FIBER_BUNDLE", "FiberBundle"),
    ("CUSTOM", "Custom"),
]


def test_code_type_attributes_in_order_with_reprs():
    attributes = [n for n in vars(_veskar.CodeType) if n.isupper()]
    assert attributes == [name for name, _ in CODE_TYPES]
    for name, variant in CODE_TYPES:
        value = getattr(_veskar.CodeType, name)
        assert type(value) is _veskar.CodeType
        assert repr(value) == f"CodeType.{variant}"


def test_code_type_is_a_plain_object():
    surface = _veskar.CodeType.SURFACE_CODE
    assert surface == surface and surface != _veskar.CodeType.COLOR_CODE
    assert surface != 1
    hash(surface)
    with pytest.raises(TypeError):
        int(surface)
    with pytest.raises(TypeError):
        surface < _veskar.CodeType.COLOR_CODE
    with pytest.raises(AttributeError):
        surface.value = 3
    with pytest.raises(TypeError):
        _veskar.CodeType.SURFACE_CODE = None


class TestDecoderResult:
    def test_defaults_and_reprs(self):
        result = _veskar.DecoderResult(3)
        assert result.confidence == 1.0 and result.observable_flips == 3
        assert result.corrections == []
        assert result.corrections is not result.corrections
        assert repr(_veskar.DecoderResult(5, 0.5)) == (
            "DecoderResult(corrections=0, confidence=0.5000, observable_flips=0b101)"
        )
        assert repr(_veskar.DecoderResult(0)) == "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b0)"
        top = _veskar.DecoderResult(2**64 - 1, confidence=0.123456)
        assert repr(top) == f"DecoderResult(corrections=0, confidence=0.1235, observable_flips=0b{'1' * 64})"
        assert _veskar.DecoderResult(observable_flips=1, confidence=2).confidence == 2.0

    @pytest.mark.parametrize(
        "args, kwargs, error, text",
        [
            ((), {}, TypeError, "observable_flips"),
            (("1",), {}, TypeError, "observable_flips"),
            ((1.0,), {}, TypeError, "observable_flips"),
            ((1, "x"), {}, TypeError, "confidence"),
            ((1,), {"confidence": None}, TypeError, "confidence"),
            ((1,), {"bogus": 2}, TypeError, "bogus"),
            ((-1,), {}, OverflowError, "negative"),
            ((2**64,), {}, OverflowError, "too big"),
        ],
    )
    def test_argument_errors(self, args, kwargs, error, text):
        with pytest.raises(error, match=text):
            _veskar.DecoderResult(*args, **kwargs)

    @pytest.mark.parametrize("name", ["corrections", "confidence", "observable_flips"])
    def test_read_only(self, name):
        with pytest.raises(AttributeError):
            setattr(_veskar.DecoderResult(1), name, 0)


def test_numpy_is_imported_only_when_an_array_is_made(tmp_path):
    # In a fresh interpreter: streaming frames must not pull NumPy in.
    from tolm_writer import Frame, stream_bytes

    path = tmp_path / "two.tolm"
    path.write_bytes(stream_bytes([Frame(1), Frame(2)]))
    script = f"""
import sys, _veskar
frames = list(_veskar.VeskarStream({str(path)!r}))
frames[0].to_dict.__doc__, repr(frames[0]), frames[0].meas_results()
assert "numpy" not in sys.modules, "imported too early"
assert frames[1].to_numpy_detector_events().dtype.name == "bool"
assert "numpy" in sys.modules
"""
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)


def load_second_module():
    """A second module object from the same extension, as a sub-interpreter's
    import would make one."""
    spec = importlib.util.find_spec("_veskar")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


CLASSES = [
    "SyndromeFrame",
    "SyndromeWindow",
    "VeskarStream",
    "CodeType",
    "DecoderResult",
    "LogicalCorrection",
    "DetectorErrorModel",
    "SpacetimeGraph",
    "LogicalErrorAccumulator",
    "UnionFindDecoder",
    "VeskarError",
]


def test_each_module_object_owns_its_classes(write_file):
    from tolm_writer import Frame, stream_bytes

    other = load_second_module()
    assert all(getattr(other, name) is not getattr(_veskar, name) for name in CLASSES)
    # What a module's objects make comes from that module's classes.
    frame = next(other.VeskarStream(write_file(stream_bytes([Frame(1)]))))
    assert type(frame) is other.SyndromeFrame
    assert type(frame.null_decode()) is other.DecoderResult
    with pytest.raises(other.VeskarError):
        frame.observable_flips
    assert type(other.DetectorErrorModel.parse("error(0.1) D0")) is other.DetectorErrorModel
    # ... and the other module's classes are foreign to it.
    with pytest.raises(TypeError, match="result"):
        other.LogicalErrorAccumulator(1).record(_veskar.DecoderResult(1), 0)
    # The classes go with the module.
    classes = [weakref.ref(getattr(other, name)) for name in CLASSES]
    del other, frame
    gc.collect()
    assert [ref() for ref in classes] == [None] * len(CLASSES)


def bools(*values):
    return np.array(values, dtype=bool)


# Every integer argument, given a NumPy integer and then a negative one.
INTEGER_CALLS = {
    "DecoderResult": lambda n: _veskar.DecoderResult(n),
    "SyndromeWindow": lambda n: _veskar.SyndromeWindow(n, np.uint8(2)),
    "push_numpy": lambda n: _veskar.SyndromeWindow(2, 2).push_numpy(bools(1, 0), frame_id=n, round=n),
    "LogicalErrorAccumulator": lambda n: _veskar.LogicalErrorAccumulator(n),
    "record": lambda n: _veskar.LogicalErrorAccumulator(2).record(_veskar.DecoderResult(0), n),
    "logical_error_rate": lambda n: _veskar.LogicalErrorAccumulator(2).logical_error_rate(n),
    "set_decoder": lambda n: _veskar.VeskarStream(__file__).set_decoder("error(0.1) D0", window_depth=n),
}


@pytest.mark.parametrize("call", sorted(INTEGER_CALLS))
@pytest.mark.parametrize("kind", [np.uint64, np.int32, np.int8])
def test_numpy_integers_are_integers(call, kind):
    INTEGER_CALLS[call](kind(3))
    with pytest.raises(OverflowError, match=r"argument '\w+' must not be negative"):
        INTEGER_CALLS[call](kind(0) - kind(1) if kind is not np.uint64 else -1)


def test_a_sub_interpreter_gets_a_module_of_its_own(write_file):
    from tolm_writer import Frame, stream_bytes

    interpreters = pytest.importorskip("_xxsubinterpreters")
    path = write_file(stream_bytes([Frame(1), Frame(2)]))
    read, write = os.pipe()
    code = f"""
import os, _veskar
frames = list(_veskar.VeskarStream({path!r}))
try:
    frames[0].observable_flips
except _veskar.VeskarError:
    os.write({write}, f"{{id(_veskar.SyndromeFrame)}} {{frames[1]!r}}".encode())
"""
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
        os.close(write)
    with os.fdopen(read) as pipe:
        class_id, frame = pipe.read().split(" ", 1)
    assert int(class_id) != id(_veskar.SyndromeFrame)
    assert frame == "SyndromeFrame(frame_id=2, round=0, detector_events=0/8)"

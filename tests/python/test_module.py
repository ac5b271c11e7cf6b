import importlib.metadata
import inspect
import subprocess
import sys

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
    assert names == [
        "SyndromeFrame",
        "SyndromeWindow",
        "VeskarStream",
        "CodeType",
        "DecoderResult",
        "LogicalCorrection",
        "DetectorErrorModel",
        "SpacetimeGraph",
        "LogicalErrorAccumulator",
        "VeskarError",
        "__version__",
    ]


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
        (_veskar.VeskarStream, "(source)"),
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
    assert _veskar.VeskarStream.__text_signature__ == "(source)"
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

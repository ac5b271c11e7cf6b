import errno
import inspect
import json
import math
import os
import re
import struct
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import _veskar
from veskar.simulate import load_dem

DEM = _veskar.DetectorErrorModel
DATA = Path(__file__).resolve().parents[1] / "data"
DEM_DIR = DATA / "dem"

# Stim's own figures for the fixture models: detectors, observables, errors.
FIXTURE_COUNTS = {
    "repetition_d5_r5_p0001.dem": (24, 1, 75),
    "repetition_d5_r5_p003.dem": (24, 1, 75),
    "surface_d3_r3_p0005.dem": (24, 1, 286),
    "surface_d5_r5_p0001.dem": (120, 1, 1953),
    "surface_d5_r5_p0005.dem": (120, 1, 1953),
    "surface_d5_r25_p0001_folded.dem": (600, 1, 12258),
    "surface_d5_r25_p0001_flat.dem": (600, 1, 12258),
}

NO_PYMATCHING = "pymatching not found \u2014 install it with: pip install pymatching"


@pytest.mark.parametrize("name", sorted(FIXTURE_COUNTS))
def test_stim_models_parse_to_their_counts(name):
    model = DEM.from_file(str(DEM_DIR / name))
    detectors, observables, errors = FIXTURE_COUNTS[name]
    assert (model.detector_count, model.observable_count, model.error_count) == (detectors, observables, errors)
    assert repr(model) == f"DetectorErrorModel(detectors={detectors}, observables={observables}, errors={errors})"
    assert len(model.errors()) == errors


def test_folded_and_flat_models_agree():
    folded = DEM.from_file(str(DEM_DIR / "surface_d5_r25_p0001_folded.dem"))
    flat = DEM.from_file(str(DEM_DIR / "surface_d5_r25_p0001_flat.dem"))
    assert folded.errors() == flat.errors()
    assert folded.detector_coordinates() == flat.detector_coordinates()
    assert len(flat.detector_coordinates()) == 600


@pytest.mark.parametrize("text", ["", "# only a comment\n\n   \n"])
def test_empty_model(text):
    model = DEM.parse(text)
    assert (model.detector_count, model.observable_count, model.error_count) == (0, 0, 0)
    assert repr(model) == "DetectorErrorModel(detectors=0, observables=0, errors=0)"
    assert model.errors() == [] and model.detector_coordinates() == {}


@pytest.mark.parametrize(
    "text, message",
    [
        ("repeat 2 {\nerror(0.1) D0\n", "unterminated repeat block"),
        ("error(abc) D0", "invalid probability 'abc' in error instruction"),
        ("error(0.1 D0", "invalid probability 'error(0.1 D0' in error instruction"),
        ("error(0.1) D4294967296", "malformed target 'D4294967296'"),
        ("error(0.1) D-5", "malformed target 'D-5'"),
        ("error(0.1) L256", "malformed target 'L256'"),
        ("repeat x {\nerror(0.1) D0\n}", "invalid repeat count 'x'"),
        ("detector(1,2 D5", "malformed detector coords 'detector(1,2 D5'"),
    ],
)
def test_malformed_text_raises_value_error(text, message, tmp_path):
    with pytest.raises(ValueError) as parsed:
        DEM.parse(text)
    assert str(parsed.value) == message
    path = tmp_path / "bad.dem"
    path.write_text(text)
    with pytest.raises(ValueError) as loaded:
        DEM.from_file(str(path))
    assert str(loaded.value) == message


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda: DEM.parse(3), "text"),
        (lambda: DEM.parse(b"error(0.1) D0"), "text"),
        (lambda: DEM.from_file(b"x.dem"), "path"),
        (lambda: DEM.parse("").to_schema_json(None), "name"),
    ],
)
def test_wrong_argument_type_names_the_argument(call, argument):
    with pytest.raises(TypeError, match=f"argument '{argument}'"):
        call()


def test_arguments_by_keyword(tmp_path):
    path = tmp_path / "m.dem"
    path.write_text("error(0.1) D1\n")
    assert DEM.parse(text="error(0.1) D1").error_count == 1
    assert DEM.from_file(path=str(path)).detector_count == 2
    assert '"name": "k"' in DEM.parse("").to_schema_json(name="k")


@pytest.mark.parametrize("as_path", [str, Path], ids=["str", "pathlib"])
@pytest.mark.parametrize(
    "make_path, error, code",
    [
        (lambda tmp: tmp / "missing.dem", FileNotFoundError, errno.ENOENT),
        (lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
    ],
    ids=["missing", "directory"],
)
def test_unreadable_file_raises_os_error(make_path, error, code, as_path, tmp_path):
    path = as_path(make_path(tmp_path))
    with pytest.raises(error) as raised:
        DEM.from_file(path)
    assert (raised.value.errno, raised.value.filename, raised.value.strerror) == (code, str(path), os.strerror(code))


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


# Every call that takes a DEM resolves it the same way.
ENTRY_POINTS = {"resolve": DEM._resolve, "load_dem": load_dem}


@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
@pytest.mark.parametrize(
    "make_dem, expected",
    [
        (lambda tmp: str(tmp / "model.dem"), 1),  # a str naming a file
        (lambda tmp: tmp / "model.dem", 1),  # a path object
        (lambda tmp: "model.dem", 1),  # relative to the working directory
        (lambda tmp: "error(0.1) D0 D1", 2),  # one line of DEM text
        (lambda tmp: "  ERROR[tag](0.1) D0 D1 D2  \n", 3),  # names match without regard to case
        (lambda tmp: "# no instruction on the first line\nerror(0.1) D3", 4),
        (lambda tmp: "", 0),  # empty text is an empty model
        (lambda tmp: Text("error(0.1) D4"), 5),  # str() of anything else, like a Stim model
        (lambda tmp: "surfce.dem", FileNotFoundError),  # one line, no instruction: a mistyped name
        (lambda tmp: str(tmp / "nothing.dem"), FileNotFoundError),
        (lambda tmp: "eror(0.1) D0 L0", FileNotFoundError),
        (lambda tmp: "error(0.1 D0 L0", ValueError),
    ],
)
def test_dem_sources_resolve_alike(entry, make_dem, expected, tmp_path, monkeypatch):
    (tmp_path / "model.dem").write_text("error(0.1) D0\n")
    monkeypatch.chdir(tmp_path)
    dem = make_dem(tmp_path)
    if isinstance(expected, int):
        assert ENTRY_POINTS[entry](dem).detector_count == expected
        return
    with pytest.raises(expected) as raised:
        ENTRY_POINTS[entry](dem)
    if expected is FileNotFoundError:
        assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(dem))


def test_resolve_takes_a_parsed_model_as_it_is():
    model = DEM.parse("error(0.1) D0")
    assert DEM._resolve(model) is model


@pytest.mark.parametrize("data", [b"error(0.1) D0\n\xff\n", b"detector(1, 0) D0 \xc3\n", b"\xed\xa0\x80"])
def test_invalid_utf8_is_a_read_error(data, tmp_path):
    path = tmp_path / "bad.dem"
    path.write_bytes(data)
    with pytest.raises(OSError) as raised:
        DEM.from_file(str(path))
    assert not isinstance(raised.value, ValueError)
    assert raised.value.filename == str(path)


def test_from_file_reads_crlf_and_non_ascii_text(tmp_path):
    path = tmp_path / "m.dem"
    path.write_bytes("# d\u00e9tecteurs\r\nerror(0.1) D2 ^ L1\r\n".encode())
    model = DEM.from_file(str(path))
    assert model.errors() == [(0.1, [2], [1])]


def test_errors_are_flat_and_expanded():
    model = DEM.parse(
        "repeat 2 {\n  error(0.125) D0 D1 ^ D2 L0\n  shift_detectors 3\n}\nerror(0.5) D1 L0 L0\nerror(0) D4\n"
    )
    assert model.errors() == [
        (0.125, [0, 1, 2], [0]),
        (0.125, [3, 4, 5], [0]),
        (0.5, [7], [0, 0]),
        (0.0, [10], []),
    ]
    first = model.errors()
    first[0][1].append(99)
    first.clear()
    assert model.errors()[0] == (0.125, [0, 1, 2], [0])


def test_detector_coordinates():
    model = DEM.parse(
        "detector(1, 2, 0) D5\n"
        "detector D6\n"
        "detector(1) D7\n"
        "detector(4, 5, 6, 7) D8\n"
        "detector(9, 9, 9) D5\n"
        "error(0.1) D20\n"
    )
    assert model.detector_coordinates() == {5: (1.0, 2.0, 0.0), 7: (1.0,), 8: (4.0, 5.0, 6.0)}
    assert model.detector_count == 21


@pytest.mark.parametrize(
    "member, signature, doc",
    [
        (DEM.parse, "(text)", "Parse a Stim DEM from its text representation."),
        (DEM.from_file, "(path)", "Load a Stim DEM from a file path."),
        (
            DEM.to_pymatching,
            "(self, /)",
            "Build a `pymatching.Matching` object from this DEM.\n\n"
            "Requires `pymatching` to be installed (`pip install pymatching`).\n"
            "Edges are added with weight `-ln(p/(1-p))` and `fault_ids` identifying\n"
            "which observables flip when the error fires.",
        ),
        (DEM.to_schema_json, "(self, /, name)", "Serialise this DEM as a `HardwareSchema`-compatible JSON string."),
        (DEM.errors, "(self, /)", None),
        (DEM.detector_coordinates, "(self, /)", None),
    ],
)
def test_signatures_and_docstrings(member, signature, doc):
    assert str(inspect.signature(member)) == signature
    if doc is not None:
        assert member.__doc__ == doc
    else:
        assert member.__doc__.strip()


# --- to_pymatching against a recording stand-in for the package -------------


class Recorder:
    def __init__(self, fail_on_edge=None):
        self.calls = []
        self.fail_on_edge = fail_on_edge

    def module(self):
        recorder = self

        class Matching:
            def __init__(self, *args, **kwargs):
                recorder.calls.append(("Matching", args, kwargs))

            def add_edge(self, *args, **kwargs):
                recorder.calls.append(("add_edge", args, kwargs))
                if recorder.fail_on_edge is not None and len(recorder.calls) - 1 == recorder.fail_on_edge:
                    raise KeyError("refused")

            def set_boundary_nodes(self, *args, **kwargs):
                recorder.calls.append(("set_boundary_nodes", args, kwargs))

        module = types.ModuleType("pymatching")
        module.Matching = Matching
        return module


@pytest.fixture
def recorder(monkeypatch):
    rec = Recorder()
    monkeypatch.setitem(sys.modules, "pymatching", rec.module())
    return rec


def edge(u, v, weight, fault_ids):
    return ("add_edge", (u, v), {"weight": weight, "fault_ids": fault_ids, "merge_strategy": "independent"})


def f32_weight(p):
    return float(np.float32(-math.log(p / (1 - p))))


@pytest.mark.parametrize(
    "text, boundary, edges",
    [
        ("error(0.1) D0", 1, [edge(0, 1, 2.1972246170043945, set())]),
        ("detector D2", 3, []),
        ("", 0, []),
        # Each `^` component is its own edge; one of more than two detectors is
        # split into the model's own parts, observables with the part carrying them.
        (
            "error(0.25) D0 D1 ^ D2\nerror(0.1) D1 D5 L1\nerror(0.01) D5 D2 D1 L1",
            6,
            [
                edge(0, 1, f32_weight(0.25), set()),
                edge(2, 6, f32_weight(0.25), set()),
                edge(1, 5, f32_weight(0.1), {1}),
                edge(1, 5, f32_weight(0.01), {1}),
                edge(2, 6, f32_weight(0.01), set()),
            ],
        ),
        # An observable flipped twice is not flipped.
        ("error(0.2) D0 D1 L3 L1 L3 L3 L1 L0", 2, [edge(0, 1, f32_weight(0.2), {0, 3})]),
        # Identical errors stay parallel edges for PyMatching to merge.
        ("error(0.1) D0 D1\nerror(0.1) D0 D1", 2, [edge(0, 1, f32_weight(0.1), set())] * 2),
        # Only probabilities strictly inside (0, 1) make edges; 0.5 weighs nothing.
        (
            "error(0) D0\nerror(1) D0\nerror(-0.5) D0\nerror(nan) D0\nerror(2) D0\nerror(0.5) D0",
            1,
            [edge(0, 1, 0.0, set())],
        ),
        ("error(0.9) D0", 1, [edge(0, 1, f32_weight(0.9), set())]),
    ],
)
def test_to_pymatching_calls(recorder, text, boundary, edges):
    matcher = DEM.parse(text).to_pymatching()
    assert type(matcher).__name__ == "Matching"
    calls = recorder.calls
    assert calls[0] == ("Matching", (), {})
    assert calls[1:-1] == edges
    assert calls[-1] == ("set_boundary_nodes", ({boundary},), {})
    for _, args, kwargs in calls[1:-1]:
        assert list(kwargs) == ["weight", "fault_ids", "merge_strategy"]
        assert all(type(n) is int for n in args) and type(kwargs["weight"]) is float
        assert type(kwargs["fault_ids"]) is set and all(type(k) is int for k in kwargs["fault_ids"])
    assert type(calls[-1][1][0]) is set


def test_to_pymatching_passes_exceptions_through(monkeypatch):
    rec = Recorder(fail_on_edge=2)
    monkeypatch.setitem(sys.modules, "pymatching", rec.module())
    with pytest.raises(KeyError, match="refused"):
        DEM.parse("error(0.1) D0\nerror(0.1) D1\nerror(0.1) D2").to_pymatching()
    assert [c[0] for c in rec.calls] == ["Matching", "add_edge", "add_edge"]


def test_to_pymatching_without_pymatching(monkeypatch):
    monkeypatch.setitem(sys.modules, "pymatching", None)
    with pytest.raises(ImportError) as raised:
        DEM.parse("error(0.1) D0").to_pymatching()
    assert str(raised.value) == NO_PYMATCHING


def test_to_pymatching_with_broken_pymatching(monkeypatch):
    module = types.ModuleType("pymatching")
    monkeypatch.setitem(sys.modules, "pymatching", module)
    with pytest.raises(AttributeError):
        DEM.parse("error(0.1) D0").to_pymatching()


# --- to_pymatching against the real package ----------------------------------


def read_shots(path):
    """Detection events, true masks and PyMatching's masks of a .shots fixture."""
    raw = path.read_bytes()
    assert raw[:4] == b"VXSH"
    version, detectors, _, _, shots, mask_bytes = struct.unpack("<6I", raw[4:28])
    assert version == 1
    row = (detectors + 7) // 8
    records = np.frombuffer(raw, np.uint8, offset=28).reshape(shots, row + 2 * mask_bytes)
    events = np.unpackbits(records[:, :row], axis=1, bitorder="little")[:, :detectors]

    def masks(block):
        padded = np.zeros((shots, 8), np.uint8)
        padded[:, :mask_bytes] = block
        return padded.view("<u8")[:, 0]

    return events, masks(records[:, row : row + mask_bytes]), masks(records[:, row + mask_bytes :])


def predicted_masks(matching, events):
    predictions = matching.decode_batch(events).astype(np.uint64)
    return (predictions << np.arange(predictions.shape[1], dtype=np.uint64)).sum(axis=1, dtype=np.uint64)


def graph_of(matching, boundary):
    edges = {}
    for u, v, attrs in matching.edges():
        key = (u, boundary if v is None else v)
        assert key not in edges
        edges[key] = (frozenset(attrs["fault_ids"]), attrs["weight"])
    return edges


@pytest.mark.parametrize("name", sorted(FIXTURE_COUNTS))
def test_matching_equals_pymatchings_own(name):
    pymatching = pytest.importorskip("pymatching")
    stim = pytest.importorskip("stim")
    text = (DEM_DIR / name).read_text()
    model = DEM.parse(text)
    ours = model.to_pymatching()
    theirs = pymatching.Matching.from_detector_error_model(stim.DetectorErrorModel(text))
    assert ours.boundary == {model.detector_count}
    ours_graph, theirs_graph = graph_of(ours, model.detector_count), graph_of(theirs, model.detector_count)
    assert ours_graph.keys() == theirs_graph.keys()
    for key, (faults, weight) in ours_graph.items():
        assert faults == theirs_graph[key][0]
        # Our weights go through single precision before PyMatching merges them.
        assert weight == pytest.approx(theirs_graph[key][1], rel=1e-6, abs=1e-6)


@pytest.mark.parametrize("sample", sorted(p.name for p in (DATA / "samples").glob("*.shots")))
def test_matching_decodes_as_well_as_pymatching(sample):
    pymatching = pytest.importorskip("pymatching")
    stim = pytest.importorskip("stim")
    text = (DEM_DIR / sample.replace(".shots", ".dem")).read_text()
    events, truth, recorded = read_shots(DATA / "samples" / sample)
    ours = predicted_masks(DEM.parse(text).to_pymatching(), events)
    theirs = predicted_masks(pymatching.Matching.from_detector_error_model(stim.DetectorErrorModel(text)), events)
    our_errors = int(np.count_nonzero(ours != truth))
    their_errors = int(np.count_nonzero(theirs != truth))
    assert their_errors == pytest.approx(np.count_nonzero(recorded != truth), abs=3 * math.sqrt(their_errors) + 2)
    assert our_errors == pytest.approx(their_errors, abs=3 * math.sqrt(their_errors) + 2)
    # Predicting "no flip" would be far worse on every sample worth comparing.
    assert our_errors < np.count_nonzero(truth) or np.count_nonzero(truth) == 0


def test_repeated_observable_cancels_in_real_pymatching():
    pytest.importorskip("pymatching")
    matching = DEM.parse("error(0.1) D0 L0 L1 L0\nerror(0.1) D1 L0\nerror(0.1) D2 L1 L1").to_pymatching()
    assert matching.decode(np.array([1, 0, 0], np.uint8)).tolist() == [0, 1]
    assert matching.decode(np.array([0, 1, 0], np.uint8)).tolist() == [1, 0]
    assert matching.decode(np.array([0, 0, 1], np.uint8)).tolist() == [0, 0]


# --- to_schema_json ------------------------------------------------------------

UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


def schema(name, detectors, observables, stabilizers):
    return {
        "schema_id": "@",
        "version": "1.0.0",
        "name": name,
        "description": f"Auto-generated from DEM: {detectors} detectors, {observables} observables",
        "code_type": "custom",
        "distance": 0,
        "qubit_count": 0,
        "ancilla_count": detectors,
        "stabilizers": [{"id": i, "type": t, "qubits": []} for i, t in stabilizers],
        "measurement_cycle_us": 1.0,
        "ancilla_layout": "auto",
    }


@pytest.mark.parametrize(
    "text, name, expected",
    [
        ("", "", schema("", 0, 0, [])),
        (
            "detector(1, 0, 0) D1\ndetector(-0.5, 0) D3\ndetector D0\nerror(0.1) D0 D4 ^ L2\n",
            'chip "7" \u00e9\t\x01\\',
            schema('chip "7" \u00e9\t\x01\\', 5, 3, [(1, "X"), (3, "X"), (0, "Z")]),
        ),
    ],
)
def test_schema_json_exact(text, name, expected):
    # Python's pretty printer writes the same form: two-space indentation,
    # "[]" for an empty list, lower-case \u escapes, non-ASCII as is.
    expected_text = json.dumps(expected, indent=2, ensure_ascii=False)
    model = DEM.parse(text)
    ids = []
    for json_text in (model.to_schema_json(name), model.to_schema_json(name)):
        schema_id = re.search(r'"schema_id": "([^"]*)"', json_text).group(1)
        assert UUID4.fullmatch(schema_id)
        assert json_text.replace(schema_id, "@", 1) == expected_text
        ids.append(schema_id)
    assert ids[0] != ids[1]


def test_export_refuses_a_hyperedge_it_cannot_decompose():
    model = DEM.parse("error(0.1) D0 D1\nerror(0.1) D0 D1 D2 L0")
    with pytest.raises(ValueError, match=r"cannot decompose error\(0.1\) D0 D1 D2 L0 .*decompose_errors=True"):
        model.to_pymatching()


def test_export_refuses_a_model_naming_a_far_detector():
    model = DEM.parse("error(0.1) D100000000")
    assert model.detector_count == 100000001
    with pytest.raises(ValueError, match="decoding graphs are limited to 16777216"):
        model.to_pymatching()


@pytest.mark.parametrize("text", ["detector D65535", "error(0.1) D70000 ^ L0"])
def test_schema_json_refuses_a_model_beyond_sixteen_bit_counts(text):
    model = DEM.parse(text)
    with pytest.raises(ValueError, match=f"at most 65535 detectors, the model has {model.detector_count}"):
        model.to_schema_json("big")
    assert '"ancilla_count": 65535' in DEM.parse("detector D65534").to_schema_json("largest")

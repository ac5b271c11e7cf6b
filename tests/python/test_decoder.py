import errno
import inspect
import os

import pytest

import _veskar
from tolm_writer import TAG_LABEL, Frame, flips_entry, metadata_entry, stream_bytes

NO_FLIPS = (
    "No decoder configured \u2014 call stream.set_decoder() or use veskar.open(..., decoder=...) "
    "before reading observable_flips"
)

# One ancilla per round, two rounds per window. A lone detector in the older
# row (D0) is explained by its boundary edge, which flips L0; a lone one in
# the newer row (D1) by its boundary edge, which flips nothing; both together
# by the likelier edge between them, which flips nothing. So the mask tells
# which rows of the window are fired.
TWO_ROUNDS = """\
error(0.1) D0 D1
error(0.01) D0 L0
error(0.01) D1
"""

PAIR = "error(0.1) D0 D1 ^ L0"


def frames(rows, *, flips=None, metadata=True):
    """One frame per row of 0/1 events, the ancilla count the row's length;
    every frame's metadata carries `flips` (or no flips entry when None)."""
    out = []
    for i, row in enumerate(rows):
        entries = [metadata_entry(TAG_LABEL, b"r")] + ([flips_entry(flips)] if flips is not None else [])
        out.append(Frame(i + 1, round=i, ancilla_count=len(row), events=row, metadata=entries if metadata else None))
    return out


@pytest.fixture
def stream_of(write_file):
    def open_stream(rows, **kwargs):
        return _veskar.VeskarStream(write_file(stream_bytes(frames(rows, **kwargs))))

    return open_stream


@pytest.fixture
def dem_file(tmp_path):
    path = tmp_path / "model.dem"
    path.write_text(PAIR + "\n")
    return path


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return str(self.path)


class Text:
    def __str__(self):
        return PAIR


@pytest.mark.parametrize(
    "make_dem",
    [
        lambda path: str(path),
        lambda path: path,
        lambda path: PathLike(path),
        lambda path: PAIR,
        lambda path: Text(),
        lambda path: _veskar.DetectorErrorModel.parse(PAIR),
    ],
    ids=["str-path", "pathlib", "fspath", "inline-text", "str-object", "parsed-model"],
)
def test_dem_sources(stream_of, dem_file, make_dem):
    stream = stream_of([[1, 1], [1, 1]], flips=0)
    assert next(stream).observable_flips == 0  # as recorded
    assert stream.set_decoder(make_dem(dem_file)) is None
    assert next(stream).observable_flips == 1


def test_stim_model_through_str(stream_of):
    stim = pytest.importorskip("stim")
    stream = stream_of([[1, 1]], flips=0)
    stream.set_decoder(stim.DetectorErrorModel(PAIR))
    assert next(stream).observable_flips == 1


@pytest.mark.parametrize(
    "make_dem, error, code",
    [
        (lambda tmp: tmp / "missing.dem", FileNotFoundError, errno.ENOENT),
        (lambda tmp: PathLike(tmp / "missing.dem"), FileNotFoundError, errno.ENOENT),
        (lambda tmp: str(tmp / "missing.dem"), FileNotFoundError, errno.ENOENT),
        (lambda tmp: "surfce.dem", FileNotFoundError, errno.ENOENT),
        (lambda tmp: str(tmp), IsADirectoryError, errno.EISDIR),
        (lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
        (lambda tmp: binary_file(tmp), OSError, errno.EILSEQ),
    ],
    ids=[
        "missing-path",
        "missing-fspath",
        "missing-str",
        "mistyped-name",
        "directory-str",
        "directory-path",
        "not-utf8",
    ],
)
def test_unreadable_dem_files(stream_of, tmp_path, monkeypatch, make_dem, error, code):
    monkeypatch.chdir(tmp_path)
    stream = stream_of([[1, 1]], flips=4)
    dem = make_dem(tmp_path)
    with pytest.raises(error) as raised:
        stream.set_decoder(dem)
    assert (raised.value.errno, raised.value.filename) == (code, os.fspath(dem))
    assert raised.value.strerror == (
        "stream did not contain valid UTF-8" if code == errno.EILSEQ else os.strerror(code)
    )
    assert next(stream).observable_flips == 4  # no decoder was attached


@pytest.mark.parametrize(
    "dem",
    ["", "detector(0) D0\nlogical_observable L0", "error(0) D0 D1 L0\nerror(1) D1", "error(0.1) L0"],
    ids=["empty", "declarations-only", "probabilities-0-and-1", "no-detector"],
)
def test_models_without_error_mechanisms_are_refused(stream_of, dem):
    stream = stream_of([[1, 1], [1, 1]], flips=0)
    stream.set_decoder(PAIR)
    assert next(stream).observable_flips == 1
    with pytest.raises(ValueError, match="no error mechanism"):
        stream.set_decoder(dem)
    with pytest.raises(ValueError, match="no error mechanism"):
        stream.set_decoder(_veskar.DetectorErrorModel.parse(dem))
    assert next(stream).observable_flips == 1  # the earlier decoder still decodes


def binary_file(directory):
    path = directory / "binary.dem"
    path.write_bytes(b"error(0.1) D0 \xff\xfe")
    return path


class Raising:
    def __init__(self, where):
        self.where = where

    def __fspath__(self):
        if self.where == "fspath":
            raise ZeroDivisionError("from __fspath__")
        return b"/bytes/path"


class RaisingLookup:
    @property
    def __fspath__(self):
        raise KeyError("looking up __fspath__")


class RaisingStr:
    def __str__(self):
        raise ZeroDivisionError("from __str__")


@pytest.mark.parametrize(
    "dem, error",
    [
        (Raising("fspath"), ZeroDivisionError),
        (Raising("bytes"), TypeError),
        (RaisingLookup(), KeyError),
        (RaisingStr(), ZeroDivisionError),
    ],
    ids=["fspath-raises", "fspath-not-str", "lookup-raises", "str-raises"],
)
def test_python_errors_from_dem_propagate(stream_of, dem, error):
    stream = stream_of([[1, 1]])
    with pytest.raises(error):
        stream.set_decoder(dem)


def test_bad_dem_keeps_the_earlier_decoder_and_window(stream_of):
    stream = stream_of([[1], [0], [0]], flips=0)
    stream.set_decoder(TWO_ROUNDS, window_depth=2)
    assert next(stream).observable_flips == 1  # D0 alone
    with pytest.raises(ValueError, match="probability"):
        stream.set_decoder("error(nonsense) D0")
    with pytest.raises(ValueError):
        stream.set_decoder("error(0.1) D0 L64")
    # Same decoder, same window: the fired round is now the older row.
    assert next(stream).observable_flips == 1
    assert next(stream).observable_flips == 0


@pytest.mark.parametrize(
    "window_depth, error",
    [(None, TypeError), ("2", TypeError), (2.0, TypeError), (-1, OverflowError), (2**64, OverflowError)],
)
def test_window_depth_errors(stream_of, window_depth, error):
    stream = stream_of([[1, 1]], flips=6)
    with pytest.raises(error) as raised:
        stream.set_decoder(PAIR, window_depth=window_depth)
    if error is TypeError:
        assert "window_depth" in str(raised.value)
    assert next(stream).observable_flips == 6


def test_windows_fill_then_slide(stream_of):
    # Rows of the window per frame: [1], [1 0], [0 0], [0 1], [1 0].
    stream = stream_of([[1], [0], [0], [1], [0]], flips=2)
    stream.set_decoder(TWO_ROUNDS, window_depth=2)
    assert [f.observable_flips for f in stream] == [1, 1, 0, 0, 1]


def test_set_decoder_between_reads_restarts_the_window(stream_of):
    stream = stream_of([[1], [0], [1]])
    stream.set_decoder(TWO_ROUNDS, window_depth=2)
    assert next(stream).observable_flips == 1
    stream.set_decoder(TWO_ROUNDS, window_depth=2)
    assert next(stream).observable_flips == 0  # [0] alone; the fired round is gone
    assert next(stream).observable_flips == 0  # [0 1]: D1 alone


def rows_marking_depth(detectors, ancillas, frames_read):
    """A DEM whose mask is 1 while the first frame's fired ancilla 0 is still
    in the window (an L0 boundary edge on ancilla 0 of every row), with its
    detector count fixed by an error on the last detector."""
    lines = [f"error(0.1) D{r * ancillas} L0" for r in range(detectors // ancillas or 1)]
    if (detectors - 1) % ancillas:
        lines.append(f"error(0.1) D{detectors - 1}")
    rows = [[1] + [0] * (ancillas - 1)] + [[0] * ancillas] * (frames_read - 1)
    return "\n".join(lines), rows


@pytest.mark.parametrize(
    "detectors, ancillas, window_depth, expected_depth",
    [(24, 8, 0, 3), (5, 8, 0, 1), (24, 1, 0, 24), (24, 8, 2, 2), (24, 1, 5, 5)],
)
def test_window_depth_given_or_derived(stream_of, detectors, ancillas, window_depth, expected_depth):
    dem, rows = rows_marking_depth(detectors, ancillas, expected_depth + 2)
    stream = stream_of(rows)
    stream.set_decoder(dem, window_depth=window_depth)
    masks = [f.observable_flips for f in stream]
    assert masks == [1] * expected_depth + [0, 0]


def test_depth_too_large_for_any_window_fails_the_read_not_the_process(stream_of):
    stream = stream_of([[1, 1], [1, 1]], flips=0)
    stream.set_decoder(PAIR, window_depth=2**40)
    with pytest.raises(OverflowError):
        next(stream)
    stream.set_decoder(PAIR)
    assert next(stream).observable_flips == 1


@pytest.mark.parametrize(
    "dem, fired, mask",
    [
        (PAIR, [1, 1], 1),
        (PAIR + "\n" + PAIR, [1, 1], 1),  # parallel mechanisms merge, not cancel
        ("error(0.1) D0 L0\nerror(0.1) D0 D1", [1, 0], 1),  # through the boundary edge
        ("error(0.1) D0 L0\nerror(0.1) D0 D1", [0, 0], 0),
        ("error(0.1) D0 D1 L3 L5\nerror(0.1) D0\nerror(0.1) D1", [1, 1], 0b101000),
        ("error(0.1) D0 L63\nerror(0.1) D1", [1, 0], 1 << 63),
        ("error(0.1) D0 L0", [0, 0, 1], 0),  # D2 is beyond the model: ignored
    ],
    ids=["pair", "pair-twice", "boundary", "quiet", "two-observables", "L63", "beyond-model"],
)
def test_decoded_masks(stream_of, dem, fired, mask):
    stream = stream_of([fired])
    stream.set_decoder(dem, window_depth=1)
    assert next(stream).observable_flips == mask


@pytest.mark.parametrize(
    "dem, match",
    [
        ("error(0.1) D0 D1 L64", "64 observables"),
        ("error(0.1) D0 D1 L200", "64 observables"),
        ("error(0.1) D0\nerror(0.2) D0 D1 D2", r"cannot decompose error\(0.2\) D0 D1 D2 .*decompose_errors=True"),
    ],
)
def test_undecodable_models_are_refused(stream_of, dem, match):
    stream = stream_of([[1, 1]])
    with pytest.raises(ValueError, match=match):
        stream.set_decoder(dem)


def test_flips_before_and_after_the_decoder(stream_of):
    stream = stream_of([[1, 1]] * 4, metadata=False)
    first = next(stream)
    with pytest.raises(_veskar.VeskarError) as raised:
        first.observable_flips
    assert str(raised.value) == NO_FLIPS
    stream.set_decoder(PAIR, window_depth=1)
    second = next(stream)
    assert second.observable_flips == 1
    assert second.recorded_observable_flips is None
    assert second.to_dict()["observable_flips"] == 1
    # Decoding reaches the frame handed out, not the one read before.
    with pytest.raises(_veskar.VeskarError):
        first.observable_flips
    assert first.recorded_observable_flips is None
    assert first.to_dict()["observable_flips"] is None


@pytest.mark.parametrize("recorded, fired, decoded", [(6, [1, 1], 1), (1, [0, 0], 0), (0, [1, 1], 1)])
def test_recorded_flips_stay_beside_the_decoded_ones(stream_of, recorded, fired, decoded):
    stream = stream_of([fired, fired], flips=recorded)
    before = next(stream)
    assert before.observable_flips == before.recorded_observable_flips == recorded
    stream.set_decoder(PAIR, window_depth=1)
    after = next(stream)
    assert after.observable_flips == decoded
    assert after.recorded_observable_flips == recorded
    assert after.to_dict()["observable_flips"] == decoded
    assert "recorded_observable_flips" not in after.to_dict()
    with pytest.raises(AttributeError):
        after.recorded_observable_flips = 0


def test_set_decoder_works_on_a_closed_stream(stream_of):
    stream = stream_of([[1, 1]])
    stream.close()
    assert stream.set_decoder(PAIR) is None
    with pytest.raises(OSError, match="^stream is closed$"):
        next(stream)


def test_dem_code_cannot_reenter_the_stream(stream_of):
    stream = stream_of([[1, 1]])

    class Reentrant:
        def __str__(self):
            next(stream)
            return PAIR

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        stream.set_decoder(Reentrant())


def test_signature_and_docstring():
    method = _veskar.VeskarStream.set_decoder
    assert str(inspect.signature(method)) == "(self, /, dem, window_depth=0, *, commit_rounds=0, buffer_rounds=None)"
    assert method.__doc__.splitlines()[0] == "Configure the Union-Find decoder from a DEM."
    assert "window_depth" in method.__doc__ and "dem" in method.__doc__
    doc = _veskar.SyndromeFrame.recorded_observable_flips.__doc__
    assert "metadata" in doc and "None" in doc

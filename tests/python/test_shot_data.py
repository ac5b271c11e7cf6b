"""Stim's result formats, read and written by veskar.shot_data, against
Stim's own reader and writer."""

import numpy as np
import pytest

from veskar.shot_data import FORMATS, read_shot_data_file, write_shot_data_file

stim = pytest.importorskip("stim")

# (detectors, observables): widths below, at and past byte and word edges; a
# width over 255 gives r8 runs longer than one byte holds.
WIDTHS = [(1, 0), (7, 1), (8, 0), (23, 2), (64, 1), (300, 1)]


def sample_shots(num_shots, width, seed):
    """Sparse random shots, with an empty shot, a full one and one whose only
    event is its last bit among them."""
    rng = np.random.default_rng(seed)
    bits = rng.random((num_shots, width)) < 0.08
    if num_shots >= 3:
        bits[0] = False
        bits[1] = True
        bits[2] = False
        bits[2, -1] = True
    return bits


@pytest.mark.parametrize("num_shots", [0, 40])
@pytest.mark.parametrize("detectors,observables", WIDTHS)
@pytest.mark.parametrize("fmt", FORMATS)
def test_round_trips_with_stims_reader_and_writer(tmp_path, fmt, detectors, observables, num_shots):
    width = detectors + observables
    bits = sample_shots(num_shots, width, seed=width)
    counts = dict(num_detectors=detectors, num_observables=observables)
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"

    write_shot_data_file(data=bits, path=ours, format=fmt, **counts)
    stim.write_shot_data_file(data=bits, path=str(theirs), format=fmt, **counts)
    assert ours.read_bytes() == theirs.read_bytes()
    np.testing.assert_array_equal(stim.read_shot_data_file(path=str(ours), format=fmt, **counts), bits)

    got = read_shot_data_file(path=theirs, format=fmt, **counts)
    assert got.dtype == np.bool_ and got.shape == (num_shots, width)
    np.testing.assert_array_equal(got, bits)
    packed = read_shot_data_file(path=theirs, format=fmt, bit_packed=True, **counts)
    np.testing.assert_array_equal(packed, np.packbits(bits, axis=1, bitorder="little"))

    dets, obs = read_shot_data_file(path=theirs, format=fmt, separate_observables=True, **counts)
    np.testing.assert_array_equal(dets, bits[:, :detectors])
    np.testing.assert_array_equal(obs, bits[:, detectors:])
    dets, obs = read_shot_data_file(path=theirs, format=fmt, separate_observables=True, bit_packed=True, **counts)
    np.testing.assert_array_equal(dets, np.packbits(bits[:, :detectors], axis=1, bitorder="little"))
    np.testing.assert_array_equal(obs, np.packbits(bits[:, detectors:], axis=1, bitorder="little"))

    # Bit-packed data writes the same file, whatever its padding bits hold.
    packed = np.packbits(bits, axis=1, bitorder="little")
    if width % 8:
        packed[:, -1] |= np.uint8(0xFF << (width % 8) & 0xFF)
    write_shot_data_file(data=packed, path=ours, format=fmt, **counts)
    assert ours.read_bytes() == theirs.read_bytes()


@pytest.mark.parametrize(
    "fmt,data,detectors,observables,message",
    [
        ("01", b"0101\n", 5, 0, "01 data: line 1 has 4 characters, expected 5"),
        ("01", b"01010\n01x10\n", 5, 0, "01 data: line 2 has 'x' at column 3, expected '0' or '1'"),
        ("01", b"0101\r\n", 4, 0, "01 data: line 1 has 5 characters, expected 4"),
        ("b8", b"\x01\x02\x03", 9, 0, "b8 data: 3 bytes is not a whole number of 2-byte shots"),
        ("r8", b"\x00\x01\xff", 3, 0, "r8 data: ends inside a run of zeros (last byte 255)"),
        ("r8", b"\x03\x05", 3, 0, "r8 data: shot 2 does not end after 3 bits"),
        ("r8", b"\x02", 3, 0, "r8 data: shot 1 does not end after 3 bits"),
        ("dets", b"D1\n", 3, 0, "dets data: line 1: a shot starts with the word 'shot', not 'D1'"),
        ("dets", b"shot D1\nshot D2 shot\n", 3, 0, "dets data: line 2: unexpected 'shot'"),
        ("dets", b"shot D1 M2\n", 3, 0, "dets data: line 1: expected D<k> or L<k>, got 'M2'"),
        ("dets", b"shot D\n", 3, 0, "dets data: line 1: expected D<k> or L<k>, got 'D'"),
        ("dets", b"shot D1x\n", 3, 0, "dets data: line 1: expected D<k> or L<k>, got 'D1x'"),
        ("dets", b"shot D-1\n", 3, 0, "dets data: line 1: expected D<k> or L<k>, got 'D-1'"),
        ("dets", b"shot\nshot D3\n", 3, 1, "dets data: line 2: index beyond the 3 detectors in 'D3'"),
        ("dets", b"shot L1\n", 3, 1, "dets data: line 1: index beyond the 1 observables in 'L1'"),
        ("hits", b"", 3, 0, "unknown shot data format 'hits'; expected one of 01, b8, r8, dets"),
    ],
)
def test_malformed_data_is_a_value_error_saying_where(tmp_path, fmt, data, detectors, observables, message):
    path = tmp_path / "shots"
    path.write_bytes(data)
    with pytest.raises(ValueError) as raised:
        read_shot_data_file(path=path, format=fmt, num_detectors=detectors, num_observables=observables)
    assert str(raised.value) == message


def test_lenient_where_stim_writes_nothing_else(tmp_path):
    # A last line without its newline, targets out of order, a repeated one.
    path = tmp_path / "shots"
    path.write_bytes(b"010\n110")
    np.testing.assert_array_equal(read_shot_data_file(path=path, format="01", num_detectors=3), [[0, 1, 0], [1, 1, 0]])
    path.write_bytes(b"shot L0 D2 D0 D2\n\nshot\n")
    np.testing.assert_array_equal(
        read_shot_data_file(path=path, format="dets", num_detectors=3, num_observables=1),
        [[1, 0, 1, 1], [0, 0, 0, 0]],
    )


@pytest.mark.parametrize(
    "data",
    [
        np.zeros((2, 9), dtype=np.bool_),
        np.zeros((2, 10), dtype=np.uint8),
        np.zeros(10, dtype=np.bool_),
        np.zeros((2, 10), dtype=np.int32),
    ],
)
def test_writing_data_of_the_wrong_shape_or_dtype_names_what_was_expected(tmp_path, data):
    with pytest.raises(
        ValueError,
        match=r"bool array of shape \(shots, 10\) or a bit-packed uint8 array of shape "
        r"\(shots, 2\)",
    ):
        write_shot_data_file(data=data, path=tmp_path / "x", format="b8", num_detectors=10)

"""UnionFindDecoder: whole shots from NumPy arrays, as PyMatching's Matching
takes them, agreeing with the stream's decoder and with itself in every
form; and pickling, of the decoder and of the value classes."""

import multiprocessing
import operator
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import _veskar
import veskar
from shot_stream import load_sample, sample_names, write_shot_stream

SHOTS = 2000


def masks(predictions: np.ndarray) -> np.ndarray:
    """One uint64 flip mask per row of unpacked predictions."""
    weights = np.uint64(1) << np.arange(predictions.shape[1], dtype=np.uint64)
    return (predictions.astype(np.uint64) * weights).sum(axis=1, dtype=np.uint64)


def stream_predictions(tmp_path, sample) -> np.ndarray:
    """The stream decoder's prediction for each shot, read at its last frame."""
    path = tmp_path / "shots.tolm"
    write_shot_stream(path, sample)
    stream = veskar.open(path, decoder=sample.dem_path)
    frames = [frame.observable_flips for frame in stream]
    return np.array(frames[sample.window_depth - 1 :: sample.window_depth], dtype=np.uint64)


@pytest.mark.parametrize("name", sample_names())
def test_batch_equals_single_shots_and_the_stream(tmp_path, name):
    sample = load_sample(name, SHOTS)
    decoder = veskar.UnionFindDecoder(sample.dem_path)
    assert (decoder.num_detectors, decoder.num_observables) == (sample.events.shape[1], 1)
    batch = decoder.decode_batch(sample.events)
    assert batch.dtype == np.uint8 and batch.shape == (sample.shots, 1) and batch.flags.c_contiguous
    singles = np.array([decoder.decode(shot) for shot in sample.events])
    np.testing.assert_array_equal(batch, singles)
    np.testing.assert_array_equal(masks(batch), stream_predictions(tmp_path, sample))


def shot_forms(events: np.ndarray):
    """The same shots as every kind of array decode_batch takes: (array,
    bit_packed_shots)."""
    packed = np.packbits(events, axis=1, bitorder="little")
    padded = packed.copy()
    if events.shape[1] % 8:
        padded[:, -1] |= np.uint8(0xFF << (events.shape[1] % 8) & 0xFF)  # padding bits are not detectors
    wide = np.zeros((events.shape[0], 2 * events.shape[1]), dtype=np.uint8)
    wide[:, ::2] = events * 7  # any nonzero byte is a fired detector
    return {
        "bool": (events.astype(bool), False),
        "fortran-order": (np.asfortranarray(events), False),
        "every-other-column": (wide[:, ::2], False),
        "rows-reversed": (np.ascontiguousarray(events[::-1])[::-1], False),
        "list": (events.tolist(), False),
        "packed": (packed, True),
        "packed-with-padding-set": (padded, True),
        "packed-columns-reversed": (np.ascontiguousarray(packed[:, ::-1])[:, ::-1], True),
    }


@pytest.mark.parametrize("form", list(shot_forms(np.zeros((1, 9), dtype=np.uint8))))
def test_every_form_of_the_shots_decodes_alike(form):
    sample = load_sample("surface_d3_r3_p0005.npz", SHOTS)
    decoder = veskar.UnionFindDecoder(sample.dem_path)
    expected = decoder.decode_batch(sample.events)
    shots, packed = shot_forms(sample.events)[form]
    np.testing.assert_array_equal(decoder.decode_batch(shots, bit_packed_shots=packed), expected)
    packed_predictions = decoder.decode_batch(shots, bit_packed_shots=packed, bit_packed_predictions=True)
    assert packed_predictions.shape == (sample.shots, 1)
    np.testing.assert_array_equal(np.unpackbits(packed_predictions, axis=1, count=1, bitorder="little"), expected)
    if not isinstance(shots, list):
        for i in range(0, sample.shots, 97):
            np.testing.assert_array_equal(decoder.decode(shots[i], bit_packed=packed), expected[i])


# Three observables, so that unpacked and packed predictions differ in width.
THREE_OBSERVABLES = "error(0.1) D0 L0\nerror(0.1) D0 D1 L1\nerror(0.1) D1 D2 L2\nerror(0.1) D2\n" + "".join(
    f"error(0.1) D{d} D{d + 1}\n" for d in range(2, 10)
)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda d: d.decode_batch(np.zeros(11, np.uint8)),
            r"'shots' must be a 2-D array of shape "
            r"\(num_shots, num_detectors\), not 1-D",
        ),
        (lambda d: d.decode_batch(np.zeros((2, 11, 1), bool)), "must be a 2-D array"),
        (lambda d: d.decode_batch(np.zeros((2, 10), bool)), r"shots must have num_detectors = 11 columns, not 10"),
        (
            lambda d: d.decode_batch(np.zeros((2, 11), np.uint8), bit_packed_shots=True),
            r"bit-packed shots must have ceil\(num_detectors / 8\) = 2 columns, not 11",
        ),
        (lambda d: d.decode_batch(np.zeros((2, 11), np.int64)), r"must have dtype bool or uint8, not numpy.int64"),
        (
            lambda d: d.decode_batch(np.zeros((2, 2), bool), bit_packed_shots=True),
            r"must have dtype uint8 when bit-packed, not numpy.bool",
        ),
        (lambda d: d.decode(np.zeros((1, 11), bool)), r"'syndrome' must be a 1-D array of shape \(num_detectors,\)"),
        (lambda d: d.decode(np.zeros(12, bool)), r"'syndrome' must have num_detectors = 11 entries, not 12"),
        (
            lambda d: d.decode(np.zeros(3, np.uint8), bit_packed=True),
            r"must have ceil\(num_detectors / 8\) = 2 entries, not 3",
        ),
        (lambda d: d.decode(np.zeros(11, np.float32)), r"must have dtype bool or uint8, not numpy.float32"),
    ],
    ids=[
        "batch-1d",
        "batch-3d",
        "batch-width",
        "batch-packed-width",
        "batch-dtype",
        "batch-packed-bool",
        "decode-2d",
        "decode-width",
        "decode-packed-width",
        "decode-dtype",
    ],
)
def test_wrong_shapes_and_dtypes_say_what_was_expected(call, message):
    decoder = veskar.UnionFindDecoder(THREE_OBSERVABLES)
    assert (decoder.num_detectors, decoder.num_observables) == (11, 3)
    with pytest.raises(ValueError, match=message):
        call(decoder)


def test_prediction_widths_and_bit_order():
    decoder = veskar.UnionFindDecoder(THREE_OBSERVABLES)
    shots = np.zeros((3, 11), dtype=bool)
    shots[0, 0] = True  # the boundary edge of D0: L0
    shots[1, [0, 1]] = True  # D0 D1: L1
    shots[2, [0, 2]] = True  # D0 to the boundary and D1 D2, or D0 D1 and D2 alone: L0 L2 or L1
    unpacked = decoder.decode_batch(shots)
    assert unpacked.shape == (3, 3) and unpacked[:2].tolist() == [[1, 0, 0], [0, 1, 0]]
    packed = decoder.decode_batch(shots, bit_packed_predictions=True)
    assert packed.shape == (3, 1)
    np.testing.assert_array_equal(packed[:, 0], np.packbits(unpacked, axis=1, bitorder="little")[:, 0])
    assert decoder.decode_batch(np.zeros((0, 11), bool)).shape == (0, 3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'bit_packed'"):
        decoder.decode_batch(shots, bit_packed=True)


def test_a_pickled_decoder_decodes_the_same_here_and_in_another_process():
    sample = load_sample("surface_d5_r5_p0005.npz", SHOTS)
    decoder = veskar.UnionFindDecoder(sample.dem_path.read_text())
    expected = decoder.decode_batch(sample.events)
    copy = pickle.loads(pickle.dumps(decoder))
    assert type(copy) is type(decoder) and copy.num_detectors == decoder.num_detectors
    np.testing.assert_array_equal(copy.decode_batch(sample.events), expected)
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        remote = pool.submit(operator.methodcaller("decode_batch", sample.events), decoder).result(timeout=12)
    np.testing.assert_array_equal(remote, expected)


def pickled(value):
    return pickle.loads(pickle.dumps(value))


def test_value_classes_pickle(write_file):
    from tolm_writer import Frame, flips_entry, stream_bytes

    dem = _veskar.DetectorErrorModel.from_file(str(load_sample("surface_d3_r3_p0005.npz", 1).dem_path))
    copy = pickled(dem)
    assert repr(copy) == repr(dem) and copy.errors() == dem.errors()
    assert copy.detector_coordinates() == dem.detector_coordinates()

    assert repr(pickled(_veskar.DecoderResult(5, 0.25))) == repr(_veskar.DecoderResult(5, 0.25))
    assert all(
        pickled(getattr(_veskar.CodeType, name)) is getattr(_veskar.CodeType, name)
        for name in ("SURFACE_CODE", "CUSTOM")
    )

    accumulator = _veskar.LogicalErrorAccumulator(3)
    for flips, truth in [(1, 3), (0, 0), (4, 0)]:
        accumulator.record(_veskar.DecoderResult(flips), truth)
    restored = pickled(accumulator)
    assert repr(restored) == repr(accumulator)
    assert [restored.logical_error_rate(k) for k in range(3)] == [accumulator.logical_error_rate(k) for k in range(3)]

    frames = [
        Frame(
            7,
            round=2,
            ancilla_count=5,
            events=[1, 0, 1, 1, 0],
            meas_results=[0, 1, -1, 0, 1],
            metadata=[flips_entry(6)],
        ),
        Frame(8, ancilla_count=3),
    ]
    for frame in _veskar.VeskarStream(write_file(stream_bytes(frames))):
        copy = pickled(frame)
        assert type(copy) is _veskar.SyndromeFrame and repr(copy) == repr(frame)
        assert str(copy.to_dict()) == str(frame.to_dict()) and copy.meas_results() == frame.meas_results()
        assert copy.recorded_observable_flips == frame.recorded_observable_flips

    with pytest.raises(TypeError):
        pickle.dumps(_veskar.VeskarStream(write_file(stream_bytes(frames))))

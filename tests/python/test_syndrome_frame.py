import numpy as np
import pytest

import _veskar
from tolm_writer import TAG_LABEL, Frame, flips_entry, full_frame, metadata_entry, stream_bytes

NO_FLIPS = (
    "No decoder configured \u2014 call stream.set_decoder() or use veskar.open(..., decoder=...) "
    "before reading observable_flips"
)


@pytest.fixture
def read_frames(write_file):
    def read(*frames):
        return list(_veskar.VeskarStream(write_file(stream_bytes(frames))))

    return read


def test_attributes(read_frames):
    sent = full_frame(12, 8, round=3, timestamp_ns=2**64 - 1, qubit_count=65535, code_type=0xFF, distance=255)
    (frame,) = read_frames(sent)
    assert frame.frame_id == 12
    assert frame.round == 3
    assert frame.timestamp_ns == 2**64 - 1
    assert frame.qubit_count == 65535
    assert frame.ancilla_count == 8
    assert frame.code_type == 255 and type(frame.code_type) is int
    assert frame.distance == 255
    assert frame.detector_event_count == sum(sent.expected_events())


@pytest.mark.parametrize(
    "name",
    [
        "frame_id",
        "round",
        "timestamp_ns",
        "qubit_count",
        "ancilla_count",
        "detector_event_count",
        "code_type",
        "distance",
        "observable_flips",
    ],
)
def test_attributes_are_read_only(read_frames, name):
    (frame,) = read_frames(full_frame(1, flips=1))
    with pytest.raises(AttributeError):
        setattr(frame, name, 1)
    with pytest.raises(AttributeError):
        frame.anything_else = 1


def test_repr(read_frames):
    frames = read_frames(
        Frame(12, round=3, events=[1, 0, 0, 1, 0, 0, 0, 0]),
        Frame(2**64 - 1, round=2**32 - 1, ancilla_count=0),
    )
    assert [repr(f) for f in frames] == [
        "SyndromeFrame(frame_id=12, round=3, detector_events=2/8)",
        f"SyndromeFrame(frame_id={2**64 - 1}, round={2**32 - 1}, detector_events=0/0)",
    ]


def test_measurement_results(read_frames):
    meas = [-1, 0, 1, 127, -128, 5, -7, 0]
    (frame,) = read_frames(Frame(1, meas_results=meas))
    assert frame.meas_results() == bytes([255, 0, 1, 127, 128, 5, 249, 0])
    array = frame.to_numpy_meas_results()
    assert array.dtype == np.int8 and array.shape == (8,) and array.flags.writeable
    assert array.tolist() == meas


def test_numpy_arrays_are_fresh_copies(read_frames):
    (frame,) = read_frames(Frame(1, events=[1, 1, 0, 0, 0, 0, 0, 1]))
    first = frame.to_numpy_detector_events()
    second = frame.to_numpy_detector_events()
    assert first.dtype == np.bool_ and first.shape == (8,) and first.flags.writeable
    assert first is not second
    first[:] = False
    assert second.tolist() == [True, True, False, False, False, False, False, True]
    assert frame.to_numpy_detector_events().tolist() == second.tolist()
    meas = frame.to_numpy_meas_results()
    meas[0] = 99
    assert frame.to_numpy_meas_results()[0] == 0


def test_empty_frame_arrays(read_frames):
    (frame,) = read_frames(Frame(1, ancilla_count=0))
    assert frame.meas_results() == b""
    assert frame.to_numpy_detector_events().shape == (0,)
    assert frame.to_numpy_meas_results().shape == (0,)


@pytest.mark.parametrize(
    "metadata, flips",
    [
        (None, None),
        ([], None),
        ([metadata_entry(TAG_LABEL, b"no flips here")], None),
        ([flips_entry(0)], 0),
        ([flips_entry(0b1011)], 0b1011),
        ([flips_entry(2**64 - 1)], 2**64 - 1),
        ([flips_entry(1), flips_entry(6)], 6),
        ([metadata_entry(16, b"\x01\x02\x03")], None),  # wrong length: skipped
    ],
    ids=["no-block", "empty-block", "label-only", "zero", "mask", "all-bits", "last-wins", "bad-length"],
)
def test_observable_flips_from_metadata(read_frames, metadata, flips):
    (frame,) = read_frames(Frame(1, metadata=metadata))
    if flips is None:
        with pytest.raises(_veskar.VeskarError) as raised:
            frame.observable_flips
        assert str(raised.value) == NO_FLIPS
    else:
        assert frame.observable_flips == flips
    assert frame.to_dict()["observable_flips"] == flips


def test_to_dict(read_frames):
    sent = full_frame(7, 10, flips=5, code_type=4, distance=5)
    (frame,) = read_frames(sent)
    d = frame.to_dict()
    assert list(d) == [
        "frame_id",
        "round",
        "timestamp_ns",
        "qubit_count",
        "ancilla_count",
        "detector_event_count",
        "code_type",
        "distance",
        "detector_events",
        "observable_flips",
    ]
    assert {k: v for k, v in d.items() if k != "detector_events"} == {
        "frame_id": 7,
        "round": sent.round,
        "timestamp_ns": sent.timestamp_ns,
        "qubit_count": 21,
        "ancilla_count": 10,
        "detector_event_count": sum(sent.expected_events()),
        "code_type": 4,
        "distance": 5,
        "observable_flips": 5,
    }
    assert all(type(v) is int for k, v in d.items() if k != "detector_events")
    events = d["detector_events"]
    assert events.dtype == np.bool_ and events.tolist() == [bool(e) for e in sent.expected_events()]
    assert frame.to_dict() is not d
    assert frame.to_dict()["detector_events"] is not events


def test_null_decode_ignores_the_frame(read_frames):
    for frame in read_frames(full_frame(1, flips=3), Frame(2)):
        result = frame.null_decode()
        assert type(result) is _veskar.DecoderResult
        assert repr(result) == "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b0)"
        assert result.corrections == [] and result.confidence == 1.0 and result.observable_flips == 0

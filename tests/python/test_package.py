"""The veskar package: open(), the TOLM writer against the reader, the simulator."""

import re
import socket
import threading
import uuid

import numpy as np
import pytest

import veskar
from veskar import samples, simulate, tolm

SMALL_DEM = """
error(0.1) D0 D1
error(0.2) D1 D2 L0
error(0.05) D2
detector(0, 0, 0) D0
detector(1, 0, 0) D1
detector(2, 0, 1) D2
"""


def rich_frames(count):
    """Frames with every optional section, contents derived from the index."""
    rng = np.random.default_rng(5)
    frames = []
    for index in range(count):
        ancillas = 3 + index % 9
        frames.append(
            dict(
                frame_id=10 + 3 * index,
                round=index,
                detector_events=rng.random(ancillas) < 0.3,
                meas_results=rng.integers(-128, 128, ancillas, dtype=np.int8),
                timestamp_ns=1_000 * index,
                qubit_count=2 * ancillas + 1,
                code_type=(1, 4, 255)[index % 3],
                distance=index % 7,
                timing_offsets=rng.integers(0, 10_001, ancillas),
                ancilla_bitmap=bytes([index]) * ((ancillas + 7) // 8),
                metadata={2: b"\x01\x02\x03\x04", 77: b"skipped"},
                label=f"frame {index}",
                observable_flips=index * 5 if index % 2 else None,
                annotations=[(1, index, 2)],
                trailer=index != count - 1,
            )
        )
    return frames


def check_frames(stream, expected):
    got = list(stream)
    assert len(got) == len(expected)
    for frame, spec in zip(got, expected):
        assert frame.frame_id == spec["frame_id"]
        assert frame.round == spec["round"]
        assert frame.timestamp_ns == spec["timestamp_ns"]
        assert frame.qubit_count == spec["qubit_count"]
        assert frame.code_type == spec["code_type"]
        assert frame.distance == spec["distance"]
        assert frame.ancilla_count == len(spec["meas_results"])
        np.testing.assert_array_equal(frame.to_numpy_detector_events(), spec["detector_events"])
        np.testing.assert_array_equal(frame.to_numpy_meas_results(), spec["meas_results"])
        assert frame.detector_event_count == int(np.count_nonzero(spec["detector_events"]))
        assert frame.to_dict()["observable_flips"] == spec["observable_flips"]


def test_writer_round_trips_through_a_file(tmp_path):
    frames = rich_frames(40)
    path = tmp_path / "rich.tolm"
    with tolm.TolmWriter.create(path, schema_id="00010203-0405-0607-0809-0a0b0c0d0e0f") as writer:
        for spec in frames:
            writer.write_frame(**spec)
    assert path.read_bytes()[6:22] == bytes(range(16))
    with veskar.open(path) as stream:
        check_frames(stream, frames)


def test_writer_round_trips_over_tcp():
    frames = rich_frames(25)
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def serve():
        connection, _ = listener.accept()
        with connection:
            writer = tolm.TolmWriter(connection)
            for spec in frames:
                writer.write_frame(**spec)

    server = threading.Thread(target=serve)
    server.start()
    try:
        with veskar.open(f"tcp://127.0.0.1:{port}") as stream:
            check_frames(stream, frames)
    finally:
        server.join(timeout=10)
        listener.close()


@pytest.mark.parametrize("length", [0, 1, 126, 127, 128, 254, 255, 1000])
@pytest.mark.parametrize("value", [0, 1])
def test_run_length_code_splits_long_runs(length, value):
    runs = tolm.rle_encode(np.full(length, value))
    assert all(b & 0x7F for b in runs)
    expanded = [b >> 7 for b in runs for _ in range(b & 0x7F)]
    assert expanded == [value] * length


def test_open_attaches_a_decoder(tmp_path):
    path = tmp_path / "shots.tolm"
    with tolm.TolmWriter.create(path) as writer:
        writer.write_frame(1, 0, [1, 1], observable_flips=0)
        writer.write_frame(2, 1, [0, 0], observable_flips=7)
    plain = list(veskar.open(path))
    assert [f.observable_flips for f in plain] == [0, 7]
    decoded = list(veskar.open(path, decoder="error(0.1) D0 D1 ^ L0", window_depth=1))
    assert [f.observable_flips for f in decoded] == [1, 0]
    with pytest.raises(ValueError):
        veskar.open(path, decoder="error(abc) D0")


@pytest.mark.parametrize(
    "load",
    [
        lambda path, rec: veskar.DetectorErrorModel.from_file(path).detector_count,
        lambda path, rec: simulate.load_dem(path).detector_count,
        lambda path, rec: veskar.open(rec, decoder=path).set_decoder(path),
        lambda path, rec: simulate.write_recording(rec, path, shots=1)["detector_count"],
    ],
    ids=["from_file", "load_dem", "open-and-set_decoder", "write_recording"],
)
def test_sample_paths_serve_every_call_that_takes_a_dem(load, tmp_path):
    recording = tmp_path / "shot.tolm"
    simulate.write_recording(recording, "error(0.1) D0", shots=1)
    path = samples.path("repetition_d5")
    assert load(path, recording) in (None, 24)


def test_simulator_fires_detectors_at_the_models_rates():
    shots = 40_000
    samples = simulate.sample(SMALL_DEM, shots, seed=11)
    predicted = np.array([0.1, 0.1 * 0.8 + 0.2 * 0.9, 0.2 * 0.95 + 0.05 * 0.8])
    rates = samples.detectors.mean(axis=0)
    tolerance = 5 * np.sqrt(predicted * (1 - predicted) / shots)
    assert np.all(np.abs(rates - predicted) < tolerance), (rates, predicted)
    assert abs(np.count_nonzero(samples.observables) / shots - 0.2) < 5 * np.sqrt(0.16 / shots)
    again = simulate.sample(SMALL_DEM, shots, seed=11)
    np.testing.assert_array_equal(again.detectors, samples.detectors)
    np.testing.assert_array_equal(again.observables, samples.observables)


def test_two_flips_of_one_detector_cancel_in_the_simulator():
    samples = simulate.sample("error(1) D0 D0 D1 ^ D1 L0 ^ L0", 50, seed=1)
    assert not samples.detectors.any()
    assert not samples.observables.any()


def test_recording_cuts_shots_into_frames_and_carries_the_truth(tmp_path):
    path = tmp_path / "sim.tolm"
    summary = simulate.write_recording(path, SMALL_DEM, shots=300, seed=3, ancilla_count=2)
    assert summary["frames_per_shot"] == 2 and summary["frames"] == 600
    samples = simulate.sample(SMALL_DEM, 300, seed=3)
    frames = list(veskar.open(path))
    assert [f.frame_id for f in frames] == list(range(1, 601))
    for shot in range(300):
        first, last = frames[2 * shot], frames[2 * shot + 1]
        events = np.concatenate([first.to_numpy_detector_events(), last.to_numpy_detector_events()])
        np.testing.assert_array_equal(events[:3], samples.detectors[shot])
        assert not events[3]
        assert last.observable_flips == int(samples.observables[shot])
        assert first.to_dict()["observable_flips"] is None


@pytest.mark.parametrize(
    "dem, ancillas",
    [
        (SMALL_DEM, 2),
        ("error(0.1) D0 D4", 5),  # no coordinates: one frame per shot
        ("detector(0, 0) D0\ndetector(2, 0) D1\ndetector(0, 1) D2\nerror(0.1) D0 D2", 2),  # time is the last written
    ],
)
def test_default_frame_size_is_the_detectors_of_one_time_step(dem, ancillas):
    assert simulate.default_ancilla_count(simulate.load_dem(dem)) == ancillas


@pytest.mark.parametrize("name", ["repetition_d5", "surface_d5"])
def test_bundled_samples_frame_as_their_circuits_measure(name):
    model = simulate.load_dem(samples.path(name))
    assert simulate.default_ancilla_count(model) == samples.ANCILLAS[name]


# Every option the writer offers, each as the one difference from plain
# frames: (constructor options, fields of every frame, fields of the last).
WRITER_OPTIONS = {
    "schema-id-uuid": ({"schema_id": uuid.UUID(bytes=bytes(range(16)))}, {}, {}),
    "schema-id-text": ({"schema_id": "00010203-0405-0607-0809-0a0b0c0d0e0f"}, {}, {}),
    "schema-id-bytes": ({"schema_id": bytes(range(16))}, {}, {}),
    "header-aux": ({"header_aux": 0xFFFFFFFF}, {}, {}),
    "meas-results-bytes": ({}, {"meas_results": b"\x00\xff\x01\x7f\x80"}, {}),
    "meas-results-array": ({}, {"meas_results": np.array([0, -1, 1, 127, -128], np.int8)}, {}),
    "timestamp": ({}, {"timestamp_ns": 2**64 - 1}, {}),
    "qubit-count": ({}, {"qubit_count": 65535}, {}),
    "fewer-ancillas-than-events": ({}, {"ancilla_count": 3, "meas_results": [1, 1, 1]}, {}),
    "more-ancillas-than-events": ({}, {"ancilla_count": 9, "meas_results": [1] * 9}, {}),
    "code-type": ({}, {"code_type": 255}, {}),
    "distance": ({}, {"distance": 255}, {}),
    "frame-aux": ({}, {"frame_aux": 0xFFFFFFFF}, {}),
    "detector-runs": ({}, {"detector_runs": bytes([0x82, 0x00, 0x01, 0x85])}, {}),
    "timing-offsets": ({}, {"timing_offsets": [0, 10_000, 5, 1, 2]}, {}),
    "ancilla-bitmap": ({}, {"ancilla_bitmap": b"\x1f"}, {}),
    "metadata-mapping": ({}, {"metadata": {2: b"\x01\x02\x03\x04", 99: b"unknown tag"}}, {}),
    "metadata-pairs": ({}, {"metadata": [(1, b"\xff not utf-8"), (4, b"\x07")]}, {}),
    "observable-flips": ({}, {"observable_flips": 2**64 - 1}, {}),
    "label": ({}, {"label": "r\u00e9gion 7"}, {}),
    "annotations": ({}, {"annotations": [(1, 2**64 - 1, 3)] * 255}, {}),
    "no-annotations": ({}, {"annotations": []}, {}),
    "last-frame-without-trailer": ({}, {}, {"trailer": False}),
}


@pytest.mark.parametrize("case", WRITER_OPTIONS)
def test_every_writer_option_reads_back(tmp_path, case):
    writer_options, every_frame, last_frame = WRITER_OPTIONS[case]
    path = tmp_path / "w.tolm"
    events = [1, 0, 1, 1, 0]
    written = []
    with tolm.TolmWriter.create(path, **writer_options) as writer:
        for index in range(3):
            fields = {"detector_events": events, **every_frame, **(last_frame if index == 2 else {})}
            writer.write_frame(10 + index, index, **fields)
            written.append(fields)
    frames = list(veskar.open(path))
    assert [f.frame_id for f in frames] == [10, 11, 12]
    for frame, fields in zip(frames, written):
        runs = fields.get("detector_runs", tolm.rle_encode(events))
        count = fields.get("ancilla_count", 5)
        expanded = ([b >> 7 for b in runs for _ in range(b & 0x7F)] + [0] * count)[:count]
        assert frame.to_numpy_detector_events().tolist() == [bool(e) for e in expanded]
        assert frame.detector_event_count == sum(expanded)
        results = fields.get("meas_results", [1] * count)
        assert (
            frame.to_numpy_meas_results().tobytes()
            == np.asarray(bytearray(results) if isinstance(results, bytes) else results).astype(np.int8).tobytes()
        )
        for name in ("timestamp_ns", "qubit_count", "code_type", "distance", "observable_flips"):
            if name in fields:
                assert getattr(frame, name) == fields[name], name
    if "schema_id" in writer_options:
        assert path.read_bytes()[6:22] == bytes(range(16))


@pytest.mark.parametrize(
    "writer_options, frames, refusal",
    [
        ({"trailer": False}, [], TypeError),  # the format has no stream without trailers
        ({}, [{"trailer": False}, {}], "ended with a frame without its trailer"),
        ({}, [{}, {"frame_id": 1}], "frame id 1 does not follow frame id 1"),
        ({}, [{"timing_offsets": [10_001, 0]}], "above 10000 ns"),
        ({}, [{"ancilla_bitmap": b"\x00\x00"}], "2-byte ancilla bitmap for 2 ancillas"),
        ({}, [{"header_crc": 0}], "readable frames only; header_crc"),
        ({}, [{"trailer_marker": 0xFFFE, "extra_flags": 1}], "readable frames only; trailer_marker, extra_flags"),
    ],
    ids=[
        "no-trailers",
        "after-the-last-frame",
        "frame-id-repeated",
        "timing-offset",
        "bitmap-length",
        "header-crc",
        "damage",
    ],
)
def test_writer_refuses_what_the_reader_would_not_read(tmp_path, writer_options, frames, refusal):
    with pytest.raises(
        refusal if isinstance(refusal, type) else (TypeError, ValueError),
        match=None if isinstance(refusal, type) else re.escape(refusal),
    ):
        with tolm.TolmWriter.create(tmp_path / "w.tolm", **writer_options) as writer:
            for fields in frames:
                options = {name: value for name, value in fields.items() if name != "frame_id"}
                writer.write_frame(fields.get("frame_id", 1), 0, [1, 0], **options)

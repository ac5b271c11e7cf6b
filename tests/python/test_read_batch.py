"""VeskarStream.read_batch against iteration over the same file: the same
frames, the same errors at the same places, whatever the batch size, the
events' packing, or how batches and iteration are mixed."""

import numpy as np
import pytest

import _veskar
from shot_stream import load_sample, write_shot_stream
from tolm_writer import Frame, full_frame, stream_bytes

OUTCOMES = 14  # enough to pass every file's end; an error that repeats is read this many times at most


def outcomes_by_iteration(stream, count=OUTCOMES):
    """The first `count` outcomes of next(): (frame_id, round, timestamp,
    events, recorded flips, prediction) per frame, ("error", kind, text), "end"."""
    out = []
    while len(out) < count:
        try:
            frame = next(stream)
        except StopIteration:
            out.append("end")
            continue
        except OSError as exc:
            out.append(("error", exc.kind, str(exc)))
            continue
        prediction = frame.to_dict()["observable_flips"]
        out.append(
            (
                frame.frame_id,
                frame.round,
                frame.timestamp_ns,
                tuple(frame.to_numpy_detector_events()),
                frame.recorded_observable_flips,
                prediction,
            )
        )
    return out


def rows_of(batch, packed, decoded):
    events = batch["detector_events"]
    if packed:
        assert events.dtype == np.uint8 and events.shape[1] == (batch["ancilla_count"] + 7) // 8
        events = np.unpackbits(events, axis=1, count=batch["ancilla_count"], bitorder="little").astype(bool)
    assert events.dtype == bool and events.shape == (len(batch["frame_id"]), batch["ancilla_count"])
    has = batch["has_recorded_observable_flips"]
    flips = batch["recorded_observable_flips"]
    assert not flips[~has].any()  # absent reads 0, told apart by the mask
    predictions = batch["observable_flips"] if decoded else [None] * len(has)
    assert ("observable_flips" in batch) == decoded
    for i in range(len(has)):
        prediction = int(predictions[i]) if decoded else (int(flips[i]) if has[i] else None)
        yield (
            int(batch["frame_id"][i]),
            int(batch["round"][i]),
            int(batch["timestamp_ns"][i]),
            tuple(events[i]),
            int(flips[i]) if has[i] else None,
            prediction,
        )


def outcomes_by_batches(stream, size, packed, decoded, mixed=False, count=OUTCOMES):
    """The same outcomes through read_batch(size); with `mixed`, every other
    read is a next() instead."""
    out = []
    turn = 0
    while len(out) < count:
        turn += 1
        if mixed and turn % 2 == 0:
            out.extend(outcomes_by_iteration(stream, 1))
            continue
        try:
            batch = stream.read_batch(size, bit_packed=packed)
        except OSError as exc:
            out.append(("error", exc.kind, str(exc)))
            continue
        rows = list(rows_of(batch, packed, decoded))
        assert len(rows) <= size and (len(rows) or batch["detector_events"].shape == (0, 0))
        out.extend(rows if rows else ["end"])
    return out[:count]


def recordings():
    frames = [full_frame(i, 9, flips=i % 4 if i % 2 else None) for i in range(1, 6)]
    clean = stream_bytes(frames)
    return {
        "clean": clean,
        "id-backwards-in-the-middle": stream_bytes(frames[:3] + [Frame(2)] + frames[3:]),
        "header-crc-in-the-middle": stream_bytes(frames[:3] + [Frame(4, header_crc=1)] + frames[3:]),
        "cut-short": clean[:-10],
        # Whole and sound as bytes, but failing validation once read.
        "timing-out-of-bounds-in-the-middle": stream_bytes(
            frames[:2] + [full_frame(3, 9, timing_offsets=[10001] * 9)] + frames[3:]
        ),
        "widths-change": stream_bytes(
            [full_frame(1, 9), full_frame(2, 9), full_frame(3, 130, flips=0), full_frame(4, 9), full_frame(5, 17)]
        ),
    }


@pytest.mark.parametrize("size", [1, 2, 1000])
@pytest.mark.parametrize("packed", [False, True], ids=["bool", "bit-packed"])
@pytest.mark.parametrize("name", list(recordings()))
def test_batches_read_what_iteration_reads(write_file, name, packed, size):
    path = write_file(recordings()[name])
    expected = outcomes_by_iteration(_veskar.VeskarStream(path))
    assert outcomes_by_batches(_veskar.VeskarStream(path), size, packed, False) == expected
    assert outcomes_by_batches(_veskar.VeskarStream(path), size, packed, False, mixed=True) == expected


def test_with_a_decoder_batches_carry_the_predictions(tmp_path):
    sample = load_sample("surface_d3_r3_p0005.npz", 300)
    path = tmp_path / "shots.tolm"
    write_shot_stream(path, sample)
    streams = [_veskar.VeskarStream(str(path)) for _ in range(2)]
    for stream in streams:
        stream.set_decoder(sample.dem_path)
    expected = outcomes_by_iteration(streams[0], 3 * 300 + 1)
    assert outcomes_by_batches(streams[1], 128, False, True, count=3 * 300 + 1) == expected
    assert sum(1 for o in expected if o != "end" and o[5]) > 10  # the decoder predicted flips


def test_bad_calls(write_file):
    stream = _veskar.VeskarStream(write_file(stream_bytes([Frame(1)])))
    with pytest.raises(ValueError, match="'max_frames' must be at least 1"):
        stream.read_batch(0)
    with pytest.raises(OverflowError, match="'max_frames' must not be negative"):
        stream.read_batch(-1)
    stream.close()
    with pytest.raises(OSError, match="stream is closed"):
        stream.read_batch(10)

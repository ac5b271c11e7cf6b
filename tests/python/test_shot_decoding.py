"""Decoding shot by shot (set_decoder with commit_rounds): predictions against
the whole-shot decode, committed windows against its error rate, and frames
that break a shot's sequence."""

import pickle

import numpy as np
import pytest
import stim

import _veskar
import veskar
from shot_stream import DEMS, load_sample, sample_names, write_shot_stream
from veskar import SEQUENCE_ERRORS, simulate, tolm


def shot_predictions(stream):
    """The prediction of every frame that ends a shot, checking on the way
    that no other frame claims to."""
    return [frame.observable_flips for frame in stream if frame.ends_shot]


@pytest.mark.parametrize(
    "settings",
    [
        "frames per shot",
        "WHOLE_SHOT",
        "C + B reach the shot's end",
        "veskar.open's default",
    ],
)
@pytest.mark.parametrize("name", sample_names())
def test_one_decode_per_shot_is_the_whole_shot_decode(tmp_path, name, settings):
    sample = load_sample(name, 2000)
    path = tmp_path / "shots.tolm"
    write_shot_stream(path, sample)
    frames = sample.window_depth

    # The window as deep as a shot holds exactly the shot at its last frame.
    reference = _veskar.VeskarStream(str(path))
    reference.set_decoder(sample.dem_path, frames)
    decoded = list(reference)
    assert not any(f.ends_shot for f in decoded)  # the sliding window knows no shots
    whole = [f.observable_flips for f in decoded[frames - 1 :: frames]]

    if settings == "veskar.open's default":
        stream = veskar.open(path, decoder=sample.dem_path)
    else:
        commit, buffer = {
            "frames per shot": (frames, None),
            "WHOLE_SHOT": (veskar.WHOLE_SHOT, None),
            "C + B reach the shot's end": (1, frames - 1),
        }[settings]
        stream = _veskar.VeskarStream(str(path))
        stream.set_decoder(sample.dem_path, commit_rounds=commit, buffer_rounds=buffer)
    ours = []
    for i, frame in enumerate(stream, start=1):
        assert frame.ends_shot == (i % frames == 0)
        if frame.ends_shot:
            ours.append(frame.observable_flips)
        else:
            assert frame.observable_flips == 0  # nothing is committed before the one decode
    assert len(ours) == sample.shots
    assert ours == whole


def test_committed_windows_keep_the_whole_shot_error_rate(tmp_path):
    # Stim's 50-round distance-5 memory at p = 0.003, 24 detectors a round;
    # C = B = 5. About 150 whole-shot errors in 4000 shots.
    dem_path = DEMS / "surface_d5_r50_p0003_folded.dem"
    dem = stim.DetectorErrorModel(dem_path.read_text())
    detectors, observables = dem.compile_sampler(seed=20240607).sample(4000)[:2]
    truth = observables[:, 0].astype(np.uint64)
    path = tmp_path / "memory.tolm"
    simulate.write_shots(path, dem_path, detectors, truth, ancilla_count=24, distance=5)

    def errors(**settings):
        stream = _veskar.VeskarStream(str(path))
        stream.set_decoder(dem_path, **settings)
        predictions = shot_predictions(stream)
        assert len(predictions) == len(truth)
        return int(np.count_nonzero(np.array(predictions, dtype=np.uint64) != truth))

    whole = errors(commit_rounds=veskar.WHOLE_SHOT)
    committed = errors(commit_rounds=5, buffer_rounds=5)
    print(f"whole shot {whole}, committed C=B=5 {committed} errors in {len(truth)} shots")
    assert whole >= 100
    assert committed <= 1.05 * whole


# Shots of three frames of two detectors. Every detector has its own
# boundary mechanism flipping its own observable, so a shot's prediction is
# exactly its fired detectors: bit 2r + k for detector k of round r. A shot
# put together from frames of two shots would show in its prediction.
ANCILLAS = 2
FRAMES = 3
ONE_BIT_PER_DETECTOR = "\n".join(f"error(0.1) D{d} L{d}" for d in range(ANCILLAS * FRAMES))


def events_of(frame_id, ancillas=ANCILLAS):
    """Each frame fires a pattern of its own."""
    return [(frame_id >> k) & 1 for k in range(ancillas)]


# Each case: the frames' rounds (a tuple (round, ancillas) for a frame of
# another width) and what the stream makes of each frame in turn: "w" a
# frame within a shot, "e" the end of a whole shot, "s" a frame skipped, or
# the kind of the error raised for it.
SEQUENCES = {
    "whole shots": ([0, 1, 2, 0, 1, 2], ["w", "w", "e", "w", "w", "e"]),
    "a lost frame": ([0, 2, 1, 2, 0, 1, 2], ["w", "UnexpectedRound", "s", "s", "w", "w", "e"]),
    "rounds out of order": ([0, 1, 1, 2, 0, 1, 2], ["w", "w", "UnexpectedRound", "s", "w", "w", "e"]),
    "a shot cut short by the next": ([0, 1, 0, 1, 2], ["w", "w", "ShotCutShort", "w", "e"]),
    "a stream that starts inside a shot": ([1, 2, 0, 1, 2], ["UnexpectedRound", "s", "w", "w", "e"]),
    "a changed ancilla count": ([0, (1, 3), 2, 0, 1, 2], ["w", "AncillaCountChanged", "s", "w", "w", "e"]),
    "a shot cut short by the end": ([0, 1, 2, 0, 1], ["w", "w", "e", "w", "w", "StreamEnded"]),
}


def outcomes(stream):
    """What each next() gives, until iteration ends: a frame, or a sequence
    error (checked to carry the frame it concerns)."""
    seen = []
    while True:
        try:
            seen.append(next(stream))
        except StopIteration:
            return seen
        except OSError as exc:
            assert exc.kind in SEQUENCE_ERRORS, exc
            seen.append(exc)


@pytest.mark.parametrize("commit, buffer", [(veskar.WHOLE_SHOT, None), (1, 1)], ids=["whole shot", "C=B=1"])
@pytest.mark.parametrize("case", SEQUENCES)
def test_frames_out_of_sequence_never_get_a_mixed_shots_prediction(tmp_path, case, commit, buffer):
    rounds, expected = SEQUENCES[case]
    path = tmp_path / "frames.tolm"
    with tolm.TolmWriter.create(path) as writer:
        for frame_id, spec in enumerate(rounds, start=1):
            r, ancillas = spec if isinstance(spec, tuple) else (spec, ANCILLAS)
            writer.write_frame(frame_id, r, events_of(frame_id, ancillas), observable_flips=0)
    stream = _veskar.VeskarStream(str(path))
    stream.set_decoder(ONE_BIT_PER_DETECTOR, commit_rounds=commit, buffer_rounds=buffer)

    seen = outcomes(stream)
    assert [o.kind if isinstance(o, OSError) else None for o in seen] == [
        e if e in SEQUENCE_ERRORS else None for e in expected
    ]
    shot = []  # the frame ids of the shot in progress
    for frame_id, (outcome, want) in enumerate(zip(seen, expected), start=1):
        frame = outcome.frame if isinstance(outcome, OSError) else outcome
        if want == "StreamEnded":
            assert frame is None and "stream ended where round 2 was due" in str(outcome)
            continue
        if frame_id % 2:  # a pickled frame keeps what the decoder made of it
            frame = pickle.loads(pickle.dumps(frame))
        assert frame.frame_id == frame_id and not (frame.ends_shot and want != "e")
        if want in ("w", "e", "ShotCutShort"):
            shot = [frame_id] if frame.round == 0 else shot + [frame_id]
            whole = sum(bit << (2 * r + k) for r, i in enumerate(shot) for k, bit in enumerate(events_of(i)))
            if want == "e":
                assert shot == [frame_id - 2, frame_id - 1, frame_id]
                assert frame.ends_shot and frame.observable_flips == whole
            else:
                # What is committed so far is part of the shot's own prediction.
                assert frame.observable_flips & ~whole == 0
        else:
            shot = []
            with pytest.raises(veskar.VeskarError, match="^frame skipped by the shot-by-shot decoder"):
                frame.observable_flips
            assert frame.to_dict()["observable_flips"] is None
    # The stream stays usable: at the end it asks the input again.
    with pytest.raises(StopIteration):
        next(stream)


@pytest.mark.parametrize(
    "kwargs, error, named",
    [
        ({"commit_rounds": "2"}, TypeError, "commit_rounds"),
        ({"commit_rounds": None}, TypeError, "commit_rounds"),
        ({"commit_rounds": 1.5}, TypeError, "commit_rounds"),
        ({"commit_rounds": -1}, OverflowError, "commit_rounds"),
        ({"commit_rounds": 2**32}, OverflowError, "commit_rounds"),
        ({"commit_rounds": 2, "buffer_rounds": "2"}, TypeError, "buffer_rounds"),
        ({"commit_rounds": 2, "buffer_rounds": -1}, OverflowError, "buffer_rounds"),
        ({"buffer_rounds": 2}, ValueError, "buffer_rounds"),
    ],
)
def test_keyword_validation(tmp_path, kwargs, error, named):
    path = tmp_path / "frames.tolm"
    with tolm.TolmWriter.create(path) as writer:
        for frame_id, r in enumerate([0, 1, 2], start=1):
            writer.write_frame(frame_id, r, events_of(frame_id))
    stream = _veskar.VeskarStream(str(path))
    stream.set_decoder(ONE_BIT_PER_DETECTOR, commit_rounds=veskar.WHOLE_SHOT)
    with pytest.raises(error, match=named):
        stream.set_decoder(ONE_BIT_PER_DETECTOR, **kwargs)
    # The earlier decoder stays attached.
    assert shot_predictions(stream) == [0b11_10_01]
    with pytest.raises(TypeError):
        stream.set_decoder(ONE_BIT_PER_DETECTOR, 0, 2)  # commit_rounds is keyword-only
    with pytest.raises(ValueError, match="not both"):
        veskar.open(path, decoder=ONE_BIT_PER_DETECTOR, window_depth=3, commit_rounds=2)


def batch_outcomes(stream, max_frames):
    """As outcomes(), through read_batch: each row as (frame_id, ends_shot,
    prediction at a shot's end), each error as its kind and frame id."""
    seen = []
    while True:
        try:
            batch = stream.read_batch(max_frames)
        except OSError as exc:
            assert exc.kind in SEQUENCE_ERRORS, exc
            seen.append((exc.kind, exc.frame.frame_id if exc.frame is not None else None))
            continue
        if len(batch["frame_id"]) == 0:
            return seen
        for frame_id, ends, flips in zip(batch["frame_id"], batch["ends_shot"], batch["observable_flips"]):
            seen.append((int(frame_id), bool(ends), int(flips) if ends else None))


@pytest.mark.parametrize("max_frames", [1, 4])
@pytest.mark.parametrize("case", SEQUENCES)
def test_batches_decode_shot_by_shot_as_iteration_does(tmp_path, case, max_frames):
    rounds, _ = SEQUENCES[case]
    path = tmp_path / "frames.tolm"
    with tolm.TolmWriter.create(path) as writer:
        for frame_id, spec in enumerate(rounds, start=1):
            r, ancillas = spec if isinstance(spec, tuple) else (spec, ANCILLAS)
            writer.write_frame(frame_id, r, events_of(frame_id, ancillas))

    def opened():
        stream = _veskar.VeskarStream(str(path))
        stream.set_decoder(ONE_BIT_PER_DETECTOR, commit_rounds=1)
        return stream

    iterated = [
        (o.kind, o.frame.frame_id if o.frame is not None else None)
        if isinstance(o, OSError)
        else (o.frame_id, o.ends_shot, o.observable_flips if o.ends_shot else None)
        for o in outcomes(opened())
    ]
    assert batch_outcomes(opened(), max_frames) == iterated

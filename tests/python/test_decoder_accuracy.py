"""The stream's decoder against PyMatching on shots sampled from real DEMs.

Each shot is streamed round by round through VeskarStream with set_decoder
and scored at its last frame, where the window holds exactly that shot.
"""

import numpy as np
import pytest

import _veskar
from shot_stream import load_sample, sample_names, write_shot_stream

SHOTS = 8000
# Below this many PyMatching errors a ratio says little.
MIN_REFERENCE_ERRORS = 100
GOAL_TIMES_PYMATCHING = 1.3
# The decoder must beat predicting "no flip" by far, even where PyMatching
# makes too few errors to compare with.
GOAL_TIMES_BETTER_THAN_NO_FLIP = 3


def decoded_errors(path, sample):
    """Logical errors of the stream's decoder, scored at each shot's last frame."""
    stream = _veskar.VeskarStream(str(path))
    # Depth left to derive: detectors / ancillas is the rounds per shot.
    stream.set_decoder(sample.dem_path)
    last = sample.window_depth
    errors = shots = 0
    for i, frame in enumerate(stream, start=1):
        if i % last == 0:
            shots += 1
            errors += frame.observable_flips != frame.recorded_observable_flips
    assert shots == sample.shots
    return errors


@pytest.mark.parametrize("name", sample_names())
def test_decoder_accuracy(tmp_path, name):
    sample = load_sample(name, SHOTS)
    path = tmp_path / "shots.tolm"
    write_shot_stream(path, sample)

    ours = decoded_errors(path, sample)
    pymatching = int(np.count_nonzero(sample.pymatching != sample.truth))
    no_flip = int(np.count_nonzero(sample.truth))
    print(f"{name}: ours {ours}, PyMatching {pymatching}, no flip {no_flip} of {sample.shots} shots")

    assert ours * GOAL_TIMES_BETTER_THAN_NO_FLIP < no_flip
    if pymatching >= MIN_REFERENCE_ERRORS:
        assert ours <= GOAL_TIMES_PYMATCHING * pymatching

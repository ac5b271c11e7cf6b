"""The decoder's logical error rate against PyMatching's on the same shots:
the reference samples, and surface-code memories that Stim samples here.

Shots are decoded whole with UnionFindDecoder.decode_batch (the stream's
whole-shot decode gives the same predictions; its tests check that). The
decoder must make at most 1.05 times PyMatching's errors, up to three
standard deviations of the difference (on shared shots only the shots where
the two decoders disagree make it vary).
"""

import math

import numpy as np
import pytest

import _veskar
from shot_stream import Sample, load_sample, sample_names, surface_memory

GOAL_TIMES_PYMATCHING = 1.05
# The decoder must beat predicting "no flip" by far, even where PyMatching
# makes too few errors to compare with.
GOAL_TIMES_BETTER_THAN_NO_FLIP = 3


def packed_masks(bits):
    """One uint64 mask per row of bits (at most 8 columns)."""
    return np.packbits(bits, axis=1, bitorder="little")[:, 0].astype(np.uint64)


def veskar_predictions(sample):
    decoder = _veskar.UnionFindDecoder(sample.dem_path)
    return packed_masks(decoder.decode_batch(sample.events))


def check_against_pymatching(sample):
    ours = veskar_predictions(sample) != sample.truth
    reference = sample.pymatching != sample.truth
    errors, pymatching = int(ours.sum()), int(reference.sum())
    disagreements = int((ours != reference).sum())
    no_flip = int(np.count_nonzero(sample.truth))
    print(f"{sample.name}: ours {errors}, PyMatching {pymatching}, no flip {no_flip} of {sample.shots} shots")
    assert errors * GOAL_TIMES_BETTER_THAN_NO_FLIP < no_flip
    assert errors - GOAL_TIMES_PYMATCHING * pymatching <= 3 * math.sqrt(disagreements) + 1


@pytest.mark.parametrize("name", sample_names())
def test_reference_samples(tmp_path, name):
    check_against_pymatching(load_sample(name, 8000))


@pytest.mark.parametrize("basis", ["x", "z"])
@pytest.mark.parametrize("distance, shots", [(5, 5000), (7, 5000)])
def test_sampled_surface_memories(tmp_path, basis, distance, shots):
    pytest.importorskip("stim")
    pymatching = pytest.importorskip("pymatching")
    p = 0.006
    circuit = surface_memory(basis, distance, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    dem_path = tmp_path / "model.dem"
    dem_path.write_text(str(dem))
    events, flips = circuit.compile_detector_sampler(seed=distance).sample(shots, separate_observables=True)
    predicted = pymatching.Matching.from_detector_error_model(dem).decode_batch(events)
    sample = Sample(
        name=f"memory-{basis.upper()} d={distance} p={p}",
        dem_path=dem_path,
        ancillas_per_round=dem.num_detectors // distance,
        window_depth=distance,
        events=events.astype(np.uint8),
        truth=packed_masks(flips),
        pymatching=packed_masks(predicted),
    )
    check_against_pymatching(sample)

"""The command line on Stim's shot files: decode one directly, or convert it
to a TOLM recording and decode that; both score the same errors."""

import re

import numpy as np
import pytest

import veskar
from veskar import cli
from veskar.shot_data import read_shot_data_file

stim = pytest.importorskip("stim")

SHOTS = 3000


def summary_value(text, key):
    match = re.search(rf"^{key}:\s+(\S+)", text, re.MULTILINE)
    assert match, text
    return match.group(1)


def run(capsys, *args):
    code = cli.main([str(a) for a in args])
    return code, capsys.readouterr().out


@pytest.fixture(scope="module")
def experiment(tmp_path_factory):
    """A distance-3 surface-code memory experiment: its DEM, and its shots
    and true flips in each format."""
    directory = tmp_path_factory.mktemp("shots")
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z",
        distance=3,
        rounds=3,
        after_clifford_depolarization=0.01,
        before_measure_flip_probability=0.01,
    )
    dem = directory / "d3.dem"
    dem.write_text(str(circuit.detector_error_model(decompose_errors=True)))
    for shot_format in ("b8", "01", "dets"):
        circuit.compile_detector_sampler(seed=11).sample_write(
            SHOTS,
            filepath=str(directory / f"shots.{shot_format}"),
            format=shot_format,
            obs_out_filepath=str(directory / f"obs.{shot_format}"),
            obs_out_format=shot_format,
        )
    return directory, dem


@pytest.mark.parametrize("shot_format", ["b8", "01", "dets"])
def test_decode_and_convert_score_the_same_errors(capsys, tmp_path, experiment, shot_format):
    directory, dem = experiment
    shots, obs = directory / f"shots.{shot_format}", directory / f"obs.{shot_format}"
    out = tmp_path / f"predictions.{shot_format}"
    code, text = run(capsys, "decode", shots, "--format", shot_format, "--dem", dem, "--obs", obs, "--out", out)
    assert code == 0 and summary_value(text, "shots scored") == str(SHOTS)
    errors = int(summary_value(text, "logical errors"))
    assert "Wilson interval" in text and 10 < errors < SHOTS // 5

    decoder = veskar.UnionFindDecoder(dem)
    events = read_shot_data_file(path=shots, format=shot_format, num_detectors=decoder.num_detectors)
    predictions = read_shot_data_file(path=out, format=shot_format, num_observables=1)
    np.testing.assert_array_equal(predictions, decoder.decode_batch(events).astype(bool))
    truth = read_shot_data_file(path=obs, format=shot_format, num_observables=1)
    assert errors == np.count_nonzero(predictions != truth)

    recording = tmp_path / "converted.tolm"
    code, text = run(capsys, "convert", shots, "--format", shot_format, "--dem", dem, "-o", recording, "--obs", obs)
    assert code == 0 and f"({SHOTS} shots x 3 frames of 8 ancillas)" in text
    code, text = run(capsys, "decode", recording, "--dem", dem, "--quiet")
    assert code == 0 and summary_value(text, "frames") == str(3 * SHOTS)
    assert (summary_value(text, "shots scored"), summary_value(text, "logical errors")) == (str(SHOTS), str(errors))


@pytest.mark.parametrize(
    "args, message",
    [
        (["decode", "{shots}", "--dem", "{dem}", "--obs", "{obs}"], "--obs and --out need --format"),
        (["decode", "{shots}", "--format", "b8", "--dem", "{dem}", "--commit-rounds", "3"], "are for TOLM streams"),
        (["decode", "{shots}", "--format", "b8", "--dem", "{dem}", "--obs", "{dem}"], "holds"),
        (["convert", "{shots}", "--format", "01", "--dem", "{dem}", "-o", "x.tolm"], "shots.b8"),
    ],
    ids=["obs-without-format", "stream-decoding-option", "obs-of-another-length", "wrong-format"],
)
def test_bad_arguments_are_usage_errors(capsys, experiment, args, message):
    directory, dem = experiment
    names = {"shots": directory / "shots.b8", "obs": directory / "obs.b8", "dem": dem}
    with pytest.raises(SystemExit) as exited:
        cli.main([a.format(**names) for a in args])
    assert exited.value.code == 2 and message in capsys.readouterr().err

"""Sampled shots of a DEM as TOLM streams, for scoring the stream's decoder.

A sample (tests/data/samples/*.npz, described by index.json beside it) holds
Stim-sampled detection events, the true observable flips and PyMatching's
predictions. A shot's detector vector, cut into rounds of
`ancillas_per_round` detectors, gives `window_depth` frames whose flat window
numbering is the DEM's detector numbering. Each shot becomes that many
frames, the last one carrying the shot's true flips in its metadata, so a
stream decoding with a window of `window_depth` rounds scores a shot at its
last frame: the decoder's `observable_flips` against the frame's
`recorded_observable_flips`.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from veskar import simulate

DATA = Path(__file__).resolve().parents[1] / "data"
SAMPLES = DATA / "samples"
DEMS = DATA / "dem"

_SURFACE_CODE = 1


@dataclass
class Sample:
    name: str
    dem_path: Path
    ancillas_per_round: int
    window_depth: int
    events: np.ndarray  # shots × detectors, 0/1 uint8
    truth: np.ndarray  # uint64 per shot
    pymatching: np.ndarray  # uint64 per shot

    @property
    def shots(self) -> int:
        return len(self.truth)


def sample_names() -> list[str]:
    return sorted(json.loads((SAMPLES / "index.json").read_text())["samples"])


def load_sample(name: str, shots: int | None = None) -> Sample:
    meta = json.loads((SAMPLES / "index.json").read_text())["samples"][name]
    with np.load(SAMPLES / name) as data:
        detectors = int(data["num_detectors"])
        packed = data["detectors"][:shots]
        truth = data["observables"][:shots].astype(np.uint64)
        pymatching = data["pymatching"][:shots].astype(np.uint64)
    events = np.unpackbits(packed, axis=1, bitorder="little")[:, :detectors]
    assert detectors == meta["ancillas_per_round"] * meta["window_depth"], name
    return Sample(
        name=name,
        dem_path=DEMS / meta["dem"],
        ancillas_per_round=meta["ancillas_per_round"],
        window_depth=meta["window_depth"],
        events=events,
        truth=truth,
        pymatching=pymatching,
    )


def surface_memory(basis: str, distance: int, p: float):
    """Stim's rotated surface-code memory experiment over `distance` rounds,
    with the same noise p after every Clifford, before every round on the
    data, before every measurement and after every reset."""
    import stim

    return stim.Circuit.generated(
        f"surface_code:rotated_memory_{basis}",
        distance=distance,
        rounds=distance,
        after_clifford_depolarization=p,
        before_round_data_depolarization=p,
        before_measure_flip_probability=p,
        after_reset_flip_probability=p,
    )


def write_shot_stream(path: Path, sample: Sample) -> int:
    """Writes every shot of `sample` as `window_depth` frames; returns the
    number of frames. Frame ids run on across shots; each round field is the
    round within its shot."""
    a = sample.ancillas_per_round
    simulate.write_shots(
        path,
        sample.dem_path,
        sample.events,
        sample.truth,
        ancilla_count=a,
        code_type=_SURFACE_CODE,
        distance=3,
        qubit_count=2 * a + 1,
    )
    return sample.shots * sample.window_depth

"""Writes the shots that batch decoding is timed on: rotated surface-code
memory experiments (Stim's generated circuits, d rounds at distance d, every
circuit-level noise rate equal to p), one case per (d, p), each as its DEM
(CASE.dem, errors decomposed as PyMatching needs) and its bit-packed
detection events (CASE.b8, Stim's b8 format).

    .venv/bin/python bench/make_batch_shots.py [--out DIR] [--shots-scale X]

DIR defaults to build/bench/batch_shots, where build/bench/bench/decode_batch_bench
looks for them. bench/decode_batch.py writes its own and times them.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import stim
from circuits import surface_memory

from veskar.shot_data import write_shot_data_file

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_DIR = ROOT / "build" / "bench" / "batch_shots"
DISTANCES = (3, 5, 7, 9, 11)
RATES = (0.001, 0.003, 0.006)
# Shots per case: enough for a tenth of a second or more of PyMatching's time
# on this machine, whatever the distance.
SHOTS = {3: 1_000_000, 5: 200_000, 7: 100_000, 9: 40_000, 11: 20_000}


@dataclass
class Case:
    name: str
    distance: int
    p: float
    dem: stim.DetectorErrorModel
    dem_path: Path
    shots_path: Path
    shots: np.ndarray  # bit-packed detection events, one row per shot
    observables: np.ndarray  # bit-packed observable flips


def case_name(distance: int, p: float) -> str:
    return f"surface_d{distance}_r{distance}_p{p:.3f}".replace(".", "")


def write_case(directory: Path, distance: int, p: float, shots: int, seed: int = 2026) -> Case:
    circuit = surface_memory(distance, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    sampler = circuit.compile_detector_sampler(seed=seed)
    detectors, observables = sampler.sample(shots, separate_observables=True, bit_packed=True)
    name = case_name(distance, p)
    directory.mkdir(parents=True, exist_ok=True)
    dem_path = directory / f"{name}.dem"
    shots_path = directory / f"{name}.b8"
    dem_path.write_text(str(dem))
    write_shot_data_file(data=detectors, path=shots_path, format="b8", num_detectors=dem.num_detectors)
    return Case(name, distance, p, dem, dem_path, shots_path, detectors, observables)


def cases(shots_scale: float = 1.0):
    """(distance, p, shots) of every case, in table order."""
    for distance in DISTANCES:
        for p in RATES:
            yield distance, p, max(1, int(SHOTS[distance] * shots_scale))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=DEFAULT_DIR)
    parser.add_argument("--shots-scale", type=float, default=1.0, help="multiply every case's shot count")
    args = parser.parse_args()
    for distance, p, shots in cases(args.shots_scale):
        case = write_case(args.out, distance, p, shots)
        print(f"{case.shots_path}: {shots} shots of {case.dem.num_detectors} detectors")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

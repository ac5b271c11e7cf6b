"""Batch decoding time per shot: PyMatching's Matching.decode_batch beside
veskar's, on the same Stim shots, for rotated surface codes d = 3, 5, 7, 9, 11
with d rounds at p = 0.001, 0.003 and 0.006 (bench/make_batch_shots.py).

Goal: veskar's time per shot at most PyMatching's on every row (ratio <= 1).

Both sides are called from Python the same way, decoding the same NumPy
array of bit-packed shots into bit-packed predictions on one core (the script
pins itself to one CPU); each figure is the best of --repeats passes over all
the case's shots, the decoders built beforehand. The logical errors of both
on the same shots are printed as a check that each decoded something.
(bench/decode_batch_bench.cpp times veskar's batch decoder without Python.)

    .venv/bin/python bench/decode_batch.py [--repeats N] [--shots-scale X] [--cpu K]
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time
from pathlib import Path

import numpy as np
import pymatching

sys.path.insert(0, str(Path(__file__).resolve().parent))

from make_batch_shots import DEFAULT_DIR, Case, cases, write_case  # noqa: E402

import veskar  # noqa: E402

GOAL_RATIO = 1.0


def best_of(repeats: int, decode):
    """The shortest of `repeats` timed calls of decode(), and its result."""
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = decode()
        best = min(best, time.perf_counter() - start)
    return best, result


def pymatching_decode(case: Case, repeats: int):
    matching = pymatching.Matching.from_detector_error_model(case.dem)
    return best_of(
        repeats, lambda: matching.decode_batch(case.shots, bit_packed_shots=True, bit_packed_predictions=True)
    )


def veskar_decode(case: Case, repeats: int):
    """veskar's best time for decoding all of the case's shots, and its
    bit-packed predictions."""
    decoder = veskar.UnionFindDecoder(case.dem)
    return best_of(
        repeats, lambda: decoder.decode_batch(case.shots, bit_packed_shots=True, bit_packed_predictions=True)
    )


def logical_errors(predictions: np.ndarray, case: Case) -> int:
    return int(np.count_nonzero(np.any(predictions != case.observables, axis=1)))


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--shots-scale", type=float, default=1.0, help="multiply every case's shot count")
    parser.add_argument("--cpu", type=int, default=None, help="the CPU to run on (default: the last one)")
    parser.add_argument("--dir", type=Path, default=DEFAULT_DIR, help="where the shots are written")
    args = parser.parse_args()

    cpu = args.cpu if args.cpu is not None else max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})

    print(f"{machine()}; pinned to CPU {cpu}; best of {args.repeats}; times per shot in microseconds")
    print(
        f"{'case':<22}{'shots':>9}{'fired':>7}{'PyMatching':>12}{'veskar':>9}{'ratio':>7}{'goal':>6}"
        f"{'errors PM / veskar':>21}"
    )
    missed = 0
    for distance, p, shots in cases(args.shots_scale):
        case = write_case(args.dir, distance, p, shots)
        pm_seconds, pm_predictions = pymatching_decode(case, args.repeats)
        vk_seconds, vk_predictions = veskar_decode(case, args.repeats)
        ratio = vk_seconds / pm_seconds
        met = ratio <= GOAL_RATIO
        missed += not met
        fired = np.unpackbits(case.shots, axis=1).sum() / shots
        print(
            f"{case.name:<22}{shots:>9}{fired:>7.2f}{pm_seconds / shots * 1e6:>12.3f}"
            f"{vk_seconds / shots * 1e6:>9.3f}{ratio:>7.2f}{'ok' if met else 'MISS':>6}"
            f"{logical_errors(pm_predictions, case):>12} / {logical_errors(vk_predictions, case)}",
            flush=True,
        )
    print(f"goal: ratio <= {GOAL_RATIO:.2f} on every row; {missed} row(s) missed")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

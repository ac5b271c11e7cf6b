"""Logical error rate of the stream's decoder on every sample of sampled shots
(tests/data/samples), beside PyMatching's predictions for the same shots and
the "no flip" prediction.

Each shot is written as one TOLM frame per round, its true flips in its last
frame's metadata, and streamed through VeskarStream with set_decoder; a shot
is scored at its last frame, where the window holds exactly that shot.

Goal: at most 1.3 times PyMatching's errors on every sample where PyMatching
makes at least 100 (fewer say little), and far fewer than "no flip" on all.

    .venv/bin/python bench/decode_accuracy.py [--shots N] [--dir DIR]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import _veskar  # noqa: E402
from shot_stream import load_sample, sample_names, write_shot_stream  # noqa: E402

GOAL_TIMES_PYMATCHING = 1.3
MIN_REFERENCE_ERRORS = 100
GOAL_TIMES_BETTER_THAN_NO_FLIP = 3


def decode(path: Path, sample) -> tuple[int, float]:
    """Errors of the stream's decoder and the seconds the stream took."""
    stream = _veskar.VeskarStream(str(path))
    stream.set_decoder(sample.dem_path)
    last = sample.window_depth
    errors = 0
    start = time.perf_counter()
    for i, frame in enumerate(stream, start=1):
        if i % last == 0:
            errors += frame.observable_flips != frame.recorded_observable_flips
    return errors, time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shots", type=int, default=None, help="shots per sample (default: all)")
    parser.add_argument("--dir", default=None, help="where to write the streams (default: the system temp dir)")
    args = parser.parse_args()

    header = (
        f"{'sample':<28}{'shots':>7}{'ours':>7}{'PyMatching':>12}{'no flip':>9}{'ours/PM':>9}{'us/frame':>10}  goal"
    )
    print(header)
    print("-" * len(header))
    ok = True
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for name in sample_names():
            sample = load_sample(name, args.shots)
            path = Path(directory) / "shots.tolm"
            frames = write_shot_stream(path, sample)
            ours, seconds = decode(path, sample)
            pymatching = int(np.count_nonzero(sample.pymatching != sample.truth))
            no_flip = int(np.count_nonzero(sample.truth))

            beats_no_flip = ours * GOAL_TIMES_BETTER_THAN_NO_FLIP < no_flip
            if pymatching >= MIN_REFERENCE_ERRORS:
                ratio = f"{ours / pymatching:.2f}"
                met = beats_no_flip and ours <= GOAL_TIMES_PYMATCHING * pymatching
                goal = f"<= {GOAL_TIMES_PYMATCHING} x PM: {'met' if met else 'MISSED'}"
            else:
                ratio = "-"
                met = beats_no_flip
                goal = f"PM errors < {MIN_REFERENCE_ERRORS}; < no flip / {GOAL_TIMES_BETTER_THAN_NO_FLIP}: " + (
                    "met" if met else "MISSED"
                )
            ok = ok and met
            print(
                f"{name.removesuffix('.npz'):<28}{sample.shots:>7}{ours:>7}{pymatching:>12}{no_flip:>9}"
                f"{ratio:>9}{seconds / frames * 1e6:>10.2f}  {goal}"
            )
    print("us/frame: the stream's time per frame, reading and decoding a window of one shot's rounds")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

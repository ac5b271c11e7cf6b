"""Decoded frames per second of `for f in VeskarStream(path)` after
set_decoder, on the distance-5, 5-round surface-code shots (p = 0.001 and
p = 0.005, tests/data/samples) written one frame per round, beside the same
file streamed without a decoder in the same run.

Every frame is pushed into the stream's window and the whole window (five
rounds of 24 detectors) is decoded, so each frame costs one decode of a
shot-sized window.

Goal: at least 500,000 decoded frames per second.

    .venv/bin/python bench/decode_throughput.py [--shots N] [--repeats N] [--dir DIR]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import _veskar  # noqa: E402
from shot_stream import load_sample, write_shot_stream  # noqa: E402

SAMPLES = ["surface_d5_r5_p0001.npz", "surface_d5_r5_p0005.npz"]
GOAL_DECODED_FRAMES_PER_SECOND = 500_000


def frames_per_second(path: Path, dem: Path | None) -> float:
    stream = _veskar.VeskarStream(str(path))
    if dem is not None:
        stream.set_decoder(dem)
    count = 0
    start = time.perf_counter()
    for _ in stream:
        count += 1
    return count / (time.perf_counter() - start)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shots", type=int, default=None, help="shots per sample (default: all)")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--dir", default=None, help="where to write the streams (default: the system temp dir)")
    args = parser.parse_args()

    ok = True
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        for name in SAMPLES:
            sample = load_sample(name, args.shots)
            path = Path(directory) / "shots.tolm"
            frames = write_shot_stream(path, sample)
            print(
                f"{name.removesuffix('.npz')}: {frames} frames of {sample.ancillas_per_round} ancillas, "
                f"window of {sample.window_depth} rounds"
            )
            # Best of several runs each, interleaved, so that a busy neighbour
            # on a shared machine hurts both alike.
            plain = decoded = 0.0
            for _ in range(args.repeats):
                plain = max(plain, frames_per_second(path, None))
                decoded = max(decoded, frames_per_second(path, sample.dem_path))
            met = decoded >= GOAL_DECODED_FRAMES_PER_SECOND
            ok = ok and met
            print(f"  plain stream            {plain / 1e6:6.2f} M frames/s")
            print(
                f"  with set_decoder        {decoded / 1e6:6.2f} M frames/s   "
                f"goal >= {GOAL_DECODED_FRAMES_PER_SECOND / 1e6:.1f} M: {'met' if met else 'MISSED'}"
            )
            print(f"  decode step per frame   {(1 / decoded - 1 / plain) * 1e6:6.2f} us")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

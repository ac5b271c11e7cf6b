"""Frames per second of VeskarStream.read_batch on a file of 24-ancilla
frames, beside `for f in VeskarStream(path)` on the same file in the same
run (the file bench/stream_throughput.py writes).

Goals: at least 12 million frames per second, at least 3 times iteration.
Each figure is the best of --repeats runs, the two interleaved so that a busy
neighbour on a shared machine hurts both alike.

    .venv/bin/python bench/read_batch.py [--frames N] [--batch N] [--bit-packed] [--repeats N]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import _veskar

sys.path.insert(0, str(Path(__file__).resolve().parent))

from decode_batch import machine  # noqa: E402
from stream_throughput import ANCILLAS, FRAME_SIZE, write_stream  # noqa: E402

GOAL_FRAMES_PER_SECOND = 12_000_000
GOAL_TIMES_ITERATION = 3.0


def iterate(path: str, _batch: int, _packed: bool) -> int:
    count = 0
    for _ in _veskar.VeskarStream(path):
        count += 1
    return count


def read_batches(path: str, batch: int, packed: bool) -> int:
    stream = _veskar.VeskarStream(path)
    count = 0
    while n := len(stream.read_batch(batch, bit_packed=packed)["frame_id"]):
        count += n
    return count


def rate(read, path: str, batch: int, packed: bool, frames: int) -> float:
    start = time.perf_counter()
    count = read(path, batch, packed)
    elapsed = time.perf_counter() - start
    if count != frames:
        raise RuntimeError(f"read {count} frames of {frames}")
    return count / elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=2_000_000)
    parser.add_argument("--batch", type=int, default=65536, help="max_frames of each read_batch call")
    parser.add_argument("--bit-packed", action="store_true", help="detector events bit-packed")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--dir", default=None, help="where to write the file (default: the system temp dir)")
    args = parser.parse_args()

    path = os.path.join(args.dir or tempfile.gettempdir(), "read_batch.tolm")
    write_stream(path, args.frames)
    print(
        f"{machine()}; {args.frames} frames of {ANCILLAS} ancillas ({FRAME_SIZE} bytes each); "
        f"read_batch({args.batch}{', bit_packed=True' if args.bit_packed else ''}); best of {args.repeats}"
    )
    best = {"iteration": 0.0, "read_batch": 0.0}
    try:
        for _ in range(args.repeats):
            best["iteration"] = max(best["iteration"], rate(iterate, path, args.batch, args.bit_packed, args.frames))
            best["read_batch"] = max(
                best["read_batch"], rate(read_batches, path, args.batch, args.bit_packed, args.frames)
            )
    finally:
        os.remove(path)

    batch, iteration = best["read_batch"], best["iteration"]
    checks = [
        (
            "read_batch",
            f"{batch / 1e6:.2f} M frames/s",
            f">= {GOAL_FRAMES_PER_SECOND / 1e6:.0f} M frames/s",
            batch >= GOAL_FRAMES_PER_SECOND,
        ),
        ("iteration", f"{iteration / 1e6:.2f} M frames/s", "", True),
        (
            "read_batch / iteration",
            f"{batch / iteration:.1f}x",
            f">= {GOAL_TIMES_ITERATION:.0f}x",
            batch / iteration >= GOAL_TIMES_ITERATION,
        ),
    ]
    for label, measured, goal, met in checks:
        print(
            f"  {label:<24} {measured:<18} {'goal ' + goal if goal else '':<24} "
            f"{('met' if met else 'MISSED') if goal else ''}"
        )
    return 0 if all(met for *_, met in checks) else 1


if __name__ == "__main__":
    raise SystemExit(main())

"""Frames per second of `for f in VeskarStream(path)` on a file of 24-ancilla
frames, beside two references measured in the same run:

- a plain-Python reader of the same format (struct and zlib.crc32, checking
  both CRCs and yielding one tuple per frame), the speed of doing it without
  the extension;
- struct.iter_unpack over records of the same size, the floor of any Python
  loop that gets one object per record.

Goals: at least 2 million frames per second, at least 4 times the
plain-Python reader, and within 6 times the iter_unpack floor.

With --big, also streams a file of about 2 GB and checks that resident memory
stays flat (within 50 MB) meanwhile. That part is slow: writing the file alone
takes a minute or more.

    .venv/bin/python bench/stream_throughput.py [--frames N] [--big] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import struct
import sys
import tempfile
import time
import zlib

import _veskar

ANCILLAS = 24
GOAL_FRAMES_PER_SECOND = 2_000_000
GOAL_TIMES_PLAIN_PYTHON = 4.0
GOAL_WITHIN_ITER_UNPACK = 6.0
GOAL_RSS_GROWTH_BYTES = 50 * 1024 * 1024

FILE_HEADER = struct.Struct("<IH16sI")
FRAME_HEADER_BODY = struct.Struct("<QIQHHIBBH")
FRAME_HEADER = struct.Struct("<QIQHHIBBHI")
U16 = struct.Struct("<H")
TRAILER = struct.Struct("<HI")


def file_header() -> bytes:
    return FILE_HEADER.pack(0x544F4C4D, 1, bytes(range(16)), 0)


def frame_bytes(frame_id: int, events: bytes, meas: bytes) -> bytes:
    body = FRAME_HEADER_BODY.pack(frame_id, frame_id // 4, 1000 * frame_id, 49, ANCILLAS, 0, 1, 5, 0)
    header = body + struct.pack("<I", zlib.crc32(body))
    return header + U16.pack(len(events)) + events + meas + TRAILER.pack(0xFFFF, zlib.crc32(header))


# A few detector-event patterns of the same encoded length, so every frame
# has the same size (which the iter_unpack floor needs).
EVENT_PATTERNS = [bytes([0x05, 0x82, 0x11]), bytes([0x81, 0x16, 0x81]), bytes([0x18, 0x00, 0x80])]
MEAS_PATTERNS = [bytes((i * k) % 256 for i in range(ANCILLAS)) for k in (1, 3, 7)]
FRAME_SIZE = len(frame_bytes(1, EVENT_PATTERNS[0], MEAS_PATTERNS[0]))


def write_stream(path: str, frames: int, first_id: int = 1) -> None:
    with open(path, "wb", buffering=1 << 20) as out:
        out.write(file_header())
        batch = []
        for i in range(first_id, first_id + frames):
            batch.append(frame_bytes(i, EVENT_PATTERNS[i % 3], MEAS_PATTERNS[i % 3]))
            if len(batch) == 8192:
                out.write(b"".join(batch))
                batch.clear()
        out.write(b"".join(batch))


def plain_python_frames(data: bytes):
    """The TOLM reader in plain Python: one tuple per frame."""
    view = memoryview(data)
    magic, version, _schema, _aux = FILE_HEADER.unpack_from(view, 0)
    if magic != 0x544F4C4D or version != 1:
        raise ValueError("bad file header")
    pos = FILE_HEADER.size
    end = len(data)
    last_id = None
    crc32 = zlib.crc32
    while end - pos >= 36:
        header = view[pos : pos + 36]
        frame_id, rnd, ts, qubits, n, _aux, code, dist, flags, hcrc = FRAME_HEADER.unpack_from(header)
        if crc32(header[:32]) != hcrc:
            raise ValueError("header crc")
        if last_id is not None and frame_id <= last_id:
            raise ValueError("frame id went backwards")
        last_id = frame_id
        pos += 36
        (length,) = U16.unpack_from(view, pos)
        pos += 2
        events = bytes(view[pos : pos + length])
        pos += length
        meas = bytes(view[pos : pos + n])
        pos += n
        if flags & 1:
            pos += 2 * n
        if flags & 2:
            pos += (n + 7) // 8
        if end - pos >= 6:
            marker, tcrc = TRAILER.unpack_from(view, pos)
            if marker != 0xFFFF or tcrc != crc32(header):
                raise ValueError("trailer crc")
            pos += 6
        yield (frame_id, rnd, ts, qubits, n, code, dist, events, meas)


def timed(label: str, count_frames) -> float:
    start = time.perf_counter()
    count = count_frames()
    elapsed = time.perf_counter() - start
    rate = count / elapsed
    print(f"  {label:<34} {count:>9} frames in {elapsed:7.3f} s = {rate / 1e6:6.2f} M frames/s")
    return rate


def count_veskar(path: str) -> int:
    count = 0
    for _ in _veskar.VeskarStream(path):
        count += 1
    return count


def count_plain(path: str) -> int:
    with open(path, "rb") as f:
        data = f.read()
    count = 0
    for _ in plain_python_frames(data):
        count += 1
    return count


def count_iter_unpack(path: str) -> int:
    with open(path, "rb") as f:
        data = f.read()
    body = data[FILE_HEADER.size :]
    body = body[: len(body) - len(body) % FRAME_SIZE]
    count = 0
    for _ in struct.iter_unpack(f"<QIQHHIBBHI{FRAME_SIZE - 36}s", body):
        count += 1
    return count


def throughput(directory: str, frames: int, repeats: int) -> bool:
    path = os.path.join(directory, "throughput.tolm")
    start = time.perf_counter()
    write_stream(path, frames)
    print(
        f"wrote {frames} frames of {ANCILLAS} ancillas ({FRAME_SIZE} bytes each, "
        f"{os.path.getsize(path) / 1e6:.1f} MB) in {time.perf_counter() - start:.1f} s"
    )
    try:
        # Best of a few runs each, interleaved, so that a busy neighbour on a
        # shared machine hurts every contender alike.
        best = {"veskar": 0.0, "plain": 0.0, "iter_unpack": 0.0}
        for run in range(repeats):
            print(f"run {run + 1}:")
            best["veskar"] = max(best["veskar"], timed("for f in VeskarStream(path)", lambda: count_veskar(path)))
            best["plain"] = max(best["plain"], timed("plain-Python reader", lambda: count_plain(path)))
            best["iter_unpack"] = max(
                best["iter_unpack"], timed("struct.iter_unpack floor", lambda: count_iter_unpack(path))
            )
    finally:
        os.remove(path)

    veskar, plain, floor = best["veskar"], best["plain"], best["iter_unpack"]
    checks = [
        (
            f"{veskar / 1e6:.2f} M frames/s",
            f">= {GOAL_FRAMES_PER_SECOND / 1e6:.0f} M frames/s",
            veskar >= GOAL_FRAMES_PER_SECOND,
        ),
        (
            f"{veskar / plain:.1f}x the plain-Python reader",
            f">= {GOAL_TIMES_PLAIN_PYTHON:.0f}x",
            veskar / plain >= GOAL_TIMES_PLAIN_PYTHON,
        ),
        (
            f"struct.iter_unpack rate / ours = {floor / veskar:.2f}",
            f"<= {GOAL_WITHIN_ITER_UNPACK:.0f}",
            floor / veskar <= GOAL_WITHIN_ITER_UNPACK,
        ),
    ]
    print("best of runs:")
    for measured, goal, met in checks:
        print(f"  {measured:<42} goal {goal:<20} {'met' if met else 'MISSED'}")
    return all(met for _, _, met in checks)


def flat_memory(directory: str, size_bytes: int) -> bool:
    import psutil

    frames = size_bytes // FRAME_SIZE
    path = os.path.join(directory, "big.tolm")
    start = time.perf_counter()
    write_stream(path, frames)
    print(f"wrote {os.path.getsize(path) / 1e9:.2f} GB ({frames} frames) in {time.perf_counter() - start:.0f} s")
    process = psutil.Process()
    try:
        samples = []
        count = 0
        start = time.perf_counter()
        for _ in _veskar.VeskarStream(path):
            count += 1
            if count % 500_000 == 0:
                samples.append(process.memory_info().rss)
        elapsed = time.perf_counter() - start
    finally:
        os.remove(path)
    # The first sample is taken once the stream and its buffers exist.
    growth = max(samples) - samples[0]
    met = growth <= GOAL_RSS_GROWTH_BYTES
    print(
        f"  streamed {count} frames in {elapsed:.1f} s ({count / elapsed / 1e6:.2f} M frames/s); resident "
        f"{samples[0] / 2**20:.1f} MiB at first, {max(samples) / 2**20:.1f} MiB at most: growth "
        f"{growth / 2**20:.1f} MiB, goal <= {GOAL_RSS_GROWTH_BYTES / 2**20:.0f} MiB {'met' if met else 'MISSED'}"
    )
    return met


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--big", action="store_true", help="also stream a 2 GB file and watch resident memory")
    parser.add_argument("--big-bytes", type=int, default=2 * 10**9)
    parser.add_argument("--dir", default=None, help="where to write the files (default: the system temp dir)")
    args = parser.parse_args()
    directory = args.dir or tempfile.gettempdir()
    ok = throughput(directory, args.frames, args.repeats)
    if args.big:
        ok = flat_memory(directory, args.big_bytes) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

"""Resources a stream or a DEM may take: threads, descriptors and memory come
back when streams close, however they close; hostile DEMs fail cleanly
within a bounded address space; a 2 GB recording streams in flat memory
(that last one only with VESKAR_BIG_TESTS=1, see `make test-big`).
"""

from __future__ import annotations

import faulthandler
import gc
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import _veskar
import waits
from tcp_peer import send
from tolm_writer import Frame, file_header, full_frame, stream_bytes

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _close(stream):
    stream.close()


def _leave_with_block(stream):
    with stream:
        pass


def _drop(stream):
    del stream  # the last reference: the object's deallocation releases everything


def _read_all_and_drop(stream):
    list(stream)


def _fail_then_close(stream):
    # A read error leaves the stream open; closing it afterwards frees it.
    try:
        list(stream)
    except OSError:
        pass
    stream.close()


ENDINGS = [_close, _leave_with_block, _drop, _read_all_and_drop, _fail_then_close]


def test_a_thousand_file_streams_leave_nothing_behind(write_file):
    good = write_file(stream_bytes([full_frame(i, 24, flips=i) for i in (1, 2, 3)]))
    bad = write_file(stream_bytes([Frame(1), Frame(2, header_crc=1)]))
    # Warm up allocator caches and lazily made objects first.
    for _ in range(20):
        next(_veskar.VeskarStream(good))
    gc.collect()
    before, rss_before = waits.Resources(), resident_bytes()
    for i in range(1000):
        stream = _veskar.VeskarStream(bad if i % 5 == 4 else good)
        if i % 3 == 0:
            next(stream)  # some streams hold a half-read file when they go
        ENDINGS[i % len(ENDINGS)](stream)
        del stream
    gc.collect()
    assert before.all_gone_since()
    # Each stream owns a 4 MiB ring: keeping even a few percent of them
    # would show here.
    growth = resident_bytes() - rss_before
    assert growth < 48 * 2**20, f"resident memory grew by {growth / 2**20:.0f} MiB"


def test_failed_opens_leave_nothing_behind(tmp_path, closed_port):
    before = waits.Resources()
    for i in range(300):
        source = [str(tmp_path / "missing.tolm"), f"tcp://127.0.0.1:{closed_port}", "tcp://no-such-host.invalid:1"][
            i % 3
        ]
        if i % 3 == 2 and i > 30:
            continue  # name lookups are slow; a few are enough
        with pytest.raises(OSError, match="i/o error: "):
            _veskar.VeskarStream(source)
    assert before.all_gone_since()


def test_tcp_streams_leave_nothing_behind(tcp_peer):
    count = 200
    frames = [full_frame(i, 8) for i in (1, 2)]
    peer = tcp_peer({"connections": count, "steps": [send(stream_bytes(frames))]})
    before = waits.Resources()
    for i in range(count):
        stream = _veskar.VeskarStream(peer.address)
        if i % 2:
            assert next(stream).frame_id == 1
        ENDINGS[i % len(ENDINGS)](stream)
        del stream
    gc.collect()
    assert before.all_gone_since()
    peer.finish()


# ---------------------------------------------------------------------------
# Hostile DEMs, each handled in a child interpreter whose address space is
# capped at 2 GiB (left uncapped under AddressSanitizer, which reserves
# terabytes of shadow memory up front; the cases that need the cap to stay
# small are skipped there). Whatever the model asks for, the answer is a
# value or a Python exception; the child must never die.

DEM_CHILD = textwrap.dedent(
    """
    import json, os, resource, sys
    if sys.argv[1] == "cap":
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    import _veskar
    case = json.loads(sys.argv[2])
    stream = _veskar.VeskarStream(sys.argv[3])
    def outcome(call):
        try:
            value = call()
        except Exception as err:
            return [type(err).__name__, str(err)]
        return ["ok", value]
    results = {"parse": outcome(lambda: _veskar.DetectorErrorModel.parse(case["text"]).detector_count)}
    if results["parse"][0] == "ok":
        dem = _veskar.DetectorErrorModel.parse(case["text"])
        results["schema"] = outcome(lambda: len(dem.to_schema_json("hostile")) > 0)
        results["decoder"] = outcome(lambda: stream.set_decoder(case["text"], case.get("depth", 0)))
        if results["decoder"][0] == "ok":
            results["frame"] = outcome(lambda: next(stream).observable_flips)
    print(json.dumps(results))
    """
)


def run_dem_child(text: str, frames_path: str, depth: int = 0, cap: bool = True) -> dict:
    case = json.dumps({"text": text, "depth": depth})
    result = subprocess.run(
        [sys.executable, "-c", DEM_CHILD, "cap" if cap and not UNDER_ASAN else "nocap", case, frames_path],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, f"child died ({result.returncode}): {result.stderr[-2000:]}"
    return json.loads(result.stdout)


HOSTILE_DEMS = [
    # Expansions refused before anything is expanded.
    (
        "repeat-count",
        "repeat 268435455 {\nerror(0.1) D0\n}",
        {"parse": ["ValueError", "invalid repeat count '268435455'"]},
    ),
    (
        "nested-repeats",
        "repeat 100000 {\nrepeat 100000 {\nerror(0.1) D0 D1\n}\n}",
        {"parse": ["ValueError", "invalid repeat count '100000'"]},
    ),
    (
        "wide-body",
        "repeat 1000000 {\nerror(0.1) " + " ".join(f"D{i}" for i in range(100)) + "\n}",
        {"parse": ["ValueError", "invalid repeat count '1000000'"]},
    ),
    # The largest index parses (the counts are just numbers), but neither a
    # schema nor a graph is built for it.
    (
        "largest-index",
        "error(0.1) D4294967295 L63",
        {
            "parse": ["ok", 4294967296],
            "schema": ["ValueError", "a hardware schema holds at most 65535 detectors, the model has 4294967296"],
            "decoder": [
                "ValueError",
                "detector error model has 4294967296 detectors; decoding graphs are limited to 16777216",
            ],
        },
    ),
    (
        "shifted-past-32-bits",
        "repeat 3 {\nerror(0.1) D0\nshift_detectors 2147483648\n}",
        {"parse": ["ValueError", "malformed target 'D0'"]},
    ),
    # A window deeper than 32-bit detector indices can name.
    (
        "window-too-deep",
        "error(0.1) D0 D1 ^ L0",
        {"parse": ["ok", 2], "schema": ["ok", True], "decoder": ["ok", None], "frame": ["OverflowError", None]},
        {"depth": 2**40},
    ),
]


@pytest.mark.parametrize(
    "text, expected, extra",
    [c[1:3] + (c[3] if len(c) > 3 else {},) for c in HOSTILE_DEMS],
    ids=[c[0] for c in HOSTILE_DEMS],
)
def test_hostile_dems_fail_cleanly(write_file, text, expected, extra):
    frames = write_file(stream_bytes([Frame(1, ancilla_count=8, events=[1, 0, 0, 0, 0, 0, 0, 1])]))
    results = run_dem_child(text, frames, **extra)
    for step, (kind, value) in expected.items():
        assert results[step][0] == kind, (step, results[step])
        if value is not None:
            assert results[step][1] == value, (step, results[step])
    assert set(results) == set(expected)


@pytest.mark.skipif(UNDER_ASAN, reason="needs the 2 GiB address-space cap")
def test_graph_at_the_size_limit_fails_within_the_cap(write_file):
    # 2^24 detectors are allowed; the graph and decoder for them take one to
    # two gigabytes: under a 2 GiB cap that either fits or is a MemoryError,
    # never a crash.
    frames = write_file(stream_bytes([Frame(1, ancilla_count=8)]))
    results = run_dem_child(f"error(0.1) D{2**24 - 1}", frames)
    assert results["parse"] == ["ok", 2**24]
    assert results["decoder"][0] in ("ok", "MemoryError")


# ---------------------------------------------------------------------------


@pytest.mark.skipif(not os.environ.get("VESKAR_BIG_TESTS"), reason="slow: run with `make test-big`")
def test_big_recording_streams_in_flat_memory(tmp_path):
    # About 2 GB of frames of three sizes (so that frames straddle the ring
    # and the file buffers at every offset), read to the end while resident
    # memory is sampled. Writing and reading take minutes, far past the
    # suite's per-test limit, so this test sets its own.
    signal.setitimer(signal.ITIMER_REAL, 1200)
    faulthandler.dump_traceback_later(1260, exit=True)
    path = tmp_path / "big.tolm"
    target = 2 * 10**9
    shapes = [full_frame(1, 24, flips=1), full_frame(1, 300), full_frame(1, 3000)]
    written = 0
    frame_id = 0
    with open(path, "wb", buffering=1 << 22) as out:
        out.write(file_header())
        while written < target:
            batch = []
            for shape in shapes * 50:
                frame_id += 1
                shape.frame_id = frame_id
                batch.append(shape.to_bytes())
            data = b"".join(batch)
            out.write(data)
            written += len(data)
    count = 0
    samples = []
    stream = _veskar.VeskarStream(str(path))
    for frame in stream:
        count += 1
        if count % 20000 == 0:
            samples.append(resident_bytes())
    path.unlink()
    assert count == frame_id
    growth = max(samples) - samples[0]
    print(
        f"\n{count} frames, {written / 1e9:.2f} GB: resident {samples[0] / 2**20:.1f} MiB at first, "
        f"{max(samples) / 2**20:.1f} MiB at most"
    )
    assert growth < 50 * 2**20, f"resident memory grew by {growth / 2**20:.0f} MiB over {written / 1e9:.1f} GB"

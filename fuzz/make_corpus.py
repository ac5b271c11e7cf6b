"""Writes the seed corpus of the fuzz targets into fuzz/corpus/.

    python3 fuzz/make_corpus.py

reader/       two option bytes (ring capacity, validation, registered schema,
              chunking, CRC repair; see reader_fuzz.cpp) and a TOLM stream made
              with the tests' writer: every optional section, frames that
              pass the registered schema's checks, and the faults the tests
              inject (bad CRCs, repeated ids, cut streams, long metadata).
dem/          the small DEMs of tests/data and one line or block for each
              construct the parser knows.
schema_json/  fixed pseudo-random bytes; the target builds a schema from them.

The output is deterministic, so rerunning the script changes nothing unless
the writer or this file changed.
"""

from __future__ import annotations

import hashlib
import random
import shutil
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

from tolm_writer import (  # noqa: E402
    TAG_AUX_A,
    TAG_AUX_B,
    TAG_AUX_BYTE,
    TAG_LABEL,
    Frame,
    encode_rle,
    file_header,
    flips_entry,
    full_frame,
    metadata_entry,
    stream_bytes,
)

CORPUS = ROOT / "fuzz" / "corpus"

# Option byte: bits 0-2 ring capacity (40, 64, 301, 1000, 4133, 65543,
# 300000, 4 MiB), bit 3 skip validation, bit 4 register the schema, bits 5-6
# chunk size (1, 7, 4096, all), bit 7 Pending between chunks.
RING_40, RING_301, RING_1000, RING_4133, RING_DEFAULT = 0, 2, 3, 4, 7
SKIP_VALIDATION = 0x08
REGISTERED = 0x10
CHUNK_1, CHUNK_7, CHUNK_4096, CHUNK_ALL = 0x00, 0x20, 0x40, 0x60
PENDING = 0x80


def schema_frame(frame_id: int) -> Frame:
    """A frame that passes the checks of the schema reader_fuzz registers:
    8 ancillas, 17 qubits, surface code, stabilizer i over results i and
    i + 1 (mod 8), and for i >= 7 a result the frame does not have."""
    meas = [(frame_id * 5 + 3 * i) % 3 - 1 for i in range(8)]
    events = []
    for i in range(10):
        qubits = [i, (i + 1) % 8] + ([300 + i] if i >= 7 else [])
        events.append(sum(1 for q in qubits if q < 8 and meas[q] < 1) % 2)
    return Frame(
        frame_id,
        round=frame_id,
        qubit_count=17,
        ancilla_count=8,
        code_type=1,
        rle=encode_rle(events),
        meas_results=meas,
        timing_offsets=[(frame_id * 11 + i) % 10001 for i in range(8)],
    )


def reader_seeds() -> dict[str, bytes]:
    three = [full_frame(i, 8, flips=i) for i in (1, 2, 3)]
    big = [full_frame(i, 300) for i in (1, 2)]
    long_label = metadata_entry(TAG_LABEL, ("é" * 700).encode())
    metadata_mix = [
        metadata_entry(TAG_LABEL, b"first"),
        metadata_entry(TAG_LABEL, b"\xff\xfe"),  # invalid UTF-8 clears the label
        metadata_entry(TAG_AUX_A, b"\1\2\3"),  # wrong length: skipped
        metadata_entry(TAG_AUX_A, b"\1\2\3\4"),
        metadata_entry(TAG_AUX_B, b"\5\6\7\x08"),
        metadata_entry(TAG_AUX_BYTE, b"\x09"),
        metadata_entry(999, b"unknown"),
        flips_entry(0x8000_0000_0000_0001),
    ]
    streams = {
        "full_frames": stream_bytes(three),
        "smallest_frame": stream_bytes([Frame(4, ancilla_count=0)]),
        "no_trailer_last": stream_bytes([full_frame(1), full_frame(2, trailer=False)]),
        "schema_frames": stream_bytes([schema_frame(i) for i in range(1, 5)]),
        "big_frames": stream_bytes(big),
        "long_metadata": stream_bytes(
            [Frame(1, events=[1, 0, 1], ancilla_count=3, metadata=[long_label] * 3, annotations=[(1, 2, 3)] * 40)]
        ),
        "metadata_mix": stream_bytes([Frame(7, metadata=metadata_mix, annotations=[])]),
        "rle_past_ancillas": stream_bytes([Frame(1, ancilla_count=5, rle=bytes([0xFF, 0x85, 0x00, 0x80]))]),
        "bad_header_crc": stream_bytes([Frame(1), Frame(2, header_crc=0xDEADBEEF)]),
        "bad_trailer": stream_bytes([Frame(1, trailer_marker=0xFFFE), Frame(2)]),
        "id_repeats": stream_bytes([Frame(5), Frame(5), Frame(6)]),
        "timing_too_late": stream_bytes([Frame(1, ancilla_count=2, meas_results=[0, 0], timing_offsets=[0, 10001])]),
        "cut_in_payload": stream_bytes(three)[: 26 + 36 + 9],
        "cut_in_metadata": stream_bytes([full_frame(1, 8, flips=3)])[:-40],
        "bad_magic": file_header(magic=0x12345678) + Frame(1).to_bytes(),
        "bad_version": file_header(version=2) + Frame(1).to_bytes(),
        "garbage_after": stream_bytes(three) + bytes(range(200)),
    }
    seeds: dict[str, bytes] = {}
    options = {
        "full_frames": [RING_DEFAULT | CHUNK_ALL, RING_40 | CHUNK_7, RING_301 | PENDING | CHUNK_1],
        "schema_frames": [REGISTERED | RING_DEFAULT | CHUNK_ALL, REGISTERED | RING_1000 | CHUNK_7],
        "big_frames": [RING_4133 | CHUNK_4096, RING_DEFAULT | CHUNK_ALL, RING_1000 | CHUNK_ALL],
        "long_metadata": [RING_4133 | CHUNK_4096, RING_DEFAULT | PENDING | CHUNK_7],
        "timing_too_late": [RING_DEFAULT | CHUNK_ALL, RING_DEFAULT | SKIP_VALIDATION | CHUNK_ALL],
    }
    for name, data in streams.items():
        for option in options.get(name, [RING_DEFAULT | CHUNK_7]):
            # The second byte asks the target to rewrite the CRCs, which
            # leaves a stream whose CRCs are right as it is.
            seeds[f"{name}_{option:02x}"] = bytes([option, 1]) + data
    return seeds


DEM_SNIPPETS = {
    "errors": "error(0.01) D3 D7\nerror(0.01) D0 ^ L2\nerror( 0.5 ) D1\nerror(0.2) D1 D5 D2 D7 L0\n",
    "probabilities": (
        "error(0) D0\nerror(1) D1\nerror(-1) D2\nerror(1.5) D3\nerror(nan) D4\nerror(inf) D5\nerror(1e-300) D6\n"
    ),
    "decomposed": "error(0.1) D0 D1 ^ D2 L0 ^ L1\nerror(0.1) L0 ^ D4 D5\nerror(0.1) ^ ^ D3\n",
    "detectors": "detector(1, 2, 0) D5\ndetector(1) D5\ndetector D6\ndetector(0,0) x D2 D9\ndetector() D1\n",
    "observables": "logical_observable L7\nlogical_observable x L300 L3\n",
    "repeat": "repeat 3 {\n  error(0.1) D0 D1\n  shift_detectors 2\n}\nerror(0.1) D0\n",
    "nested_repeat": (
        "repeat 2 {\n  repeat 3 {\n    error(0.1) D0 ^ L1\n    shift_detectors(0, 0, 1) 1\n  }\n"
        "  detector(0, 0, 0) D0\n}\n"
    ),
    "repeat_zero": "repeat 0 {\n  error(0.1) D9 ^ L2\n  shift_detectors 100\n}\nerror(0.2) D1\n",
    "tags_comments": "error[tag#1](0.1) D0 D1 # note\n# error(0.1) D9\nerror[x](0.2) D1\r\n\n}\n",
    "unicode_space": "error(0.1)\u00a0D0\u2003D1\n\u3000error(0.2) D2\n",
    "failures": "error(0.1 D0\n",
    "huge_repeat": "repeat 268435455 {\nerror(0.1) D0\n}\n",
    "far_detector": "error(0.1) D4294967295 L255\n",
}


def dem_seeds() -> dict[str, bytes]:
    seeds = {name: text.encode() for name, text in DEM_SNIPPETS.items()}
    for name in ("repetition_d5_r5_p003", "surface_d3_r3_p0005"):
        seeds[name] = (ROOT / "tests" / "data" / "dem" / f"{name}.dem").read_bytes()
    return seeds


def schema_json_seeds() -> dict[str, bytes]:
    rng = random.Random(20240601)
    seeds = {}
    for i, size in enumerate((16, 60, 120, 250, 400, 700)):
        seeds[f"random_{i}"] = bytes(rng.randrange(256) for _ in range(size))
    # A schema whose floats are 1.0, NaN and the smallest subnormal.
    seeds["special_floats"] = (
        bytes(16)
        + b"\x3f"
        + b"\x00" * 12
        + b"\x02"
        + struct.pack("<HH", 1, 0) * 2
        + (struct.pack("<f", 1.0) + b"\x00\x00" + struct.pack("<d", float("nan")) + struct.pack("<Q", 1))
    )
    return seeds


def write(directory: Path, seeds: dict[str, bytes]) -> None:
    if directory.exists():
        shutil.rmtree(directory)
    directory.mkdir(parents=True)
    for name, data in seeds.items():
        digest = hashlib.sha1(data).hexdigest()[:10]
        (directory / f"{name}-{digest}").write_bytes(data)


def main() -> None:
    write(CORPUS / "reader", reader_seeds())
    write(CORPUS / "dem", dem_seeds())
    write(CORPUS / "schema_json", schema_json_seeds())
    for sub in sorted(CORPUS.iterdir()):
        files = list(sub.iterdir())
        print(f"{sub.relative_to(ROOT)}: {len(files)} files, {sum(f.stat().st_size for f in files)} bytes")


if __name__ == "__main__":
    main()

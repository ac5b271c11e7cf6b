"""TOLM test streams: frames described field by field (with what a reader
must make of them) and encoded by the package's own writer, ``veskar.tolm``,
including its deliberate corruptions (a wrong header CRC, trailer marker or
trailer CRC, a missing trailer, unknown flag bits).
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass
from typing import Optional, Sequence

from veskar import tolm
from veskar.tolm import (  # noqa: F401  (re-exported for the tests)
    FILE_HEADER_SIZE,
    FRAME_HEADER_SIZE,
    MAGIC,
    TAG_AUX_A,
    TAG_AUX_B,
    TAG_AUX_BYTE,
    TAG_LABEL,
    TAG_OBSERVABLE_FLIPS,
)

TRAILER_SIZE = 6
FLAG_TIMING = tolm.FLAG_TIMING_OFFSETS
FLAG_BITMAP = tolm.FLAG_ANCILLA_BITMAP
FLAG_METADATA = tolm.FLAG_METADATA
FLAG_ANNOTATIONS = tolm.FLAG_ANNOTATIONS

SCHEMA_ID = bytes(range(16))

encode_rle = tolm.rle_encode


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def file_header(schema_id: bytes = SCHEMA_ID, *, magic: int = MAGIC, version: int = 1, aux: int = 0) -> bytes:
    return tolm.encode_file_header(schema_id, aux, magic=magic, version=version)


def decode_rle(runs: bytes, n: int) -> list[int]:
    """What a reader must make of `runs` for `n` ancillas: expanded, then cut
    or padded with 0."""
    events: list[int] = []
    for b in runs:
        events.extend([b >> 7] * (b & 0x7F))
    return (events + [0] * n)[:n]


def fired_count(runs: bytes) -> int:
    return sum(b & 0x7F for b in runs if b & 0x80)


def metadata_entry(tag: int, value: bytes) -> tuple[int, bytes]:
    return tag, value


def flips_entry(mask: int) -> tuple[int, bytes]:
    return metadata_entry(TAG_OBSERVABLE_FLIPS, struct.pack("<Q", mask))


@dataclass
class Frame:
    frame_id: int
    round: int = 0
    timestamp_ns: int = 0
    qubit_count: int = 17
    ancilla_count: int = 8
    frame_aux: int = 0
    code_type: int = 1
    distance: int = 3
    # Either 0/1 events (encoded here) or the run-length bytes as they go out.
    events: Sequence[int] = ()
    rle: Optional[bytes] = None
    meas_results: Optional[Sequence[int]] = None  # int8 values; default all zero
    timing_offsets: Optional[Sequence[int]] = None
    ancilla_bitmap: Optional[bytes] = None
    metadata: Optional[Sequence[tuple[int, bytes]]] = None  # (tag, value) entries in order
    annotations: Optional[Sequence[tuple[int, int, int]]] = None  # (kind, value, detail)
    trailer: bool = True
    # Corruptions.
    header_crc: Optional[int] = None  # stored instead of the right CRC
    trailer_marker: int = 0xFFFF
    trailer_crc: Optional[int] = None
    extra_flags: int = 0

    def run_length_bytes(self) -> bytes:
        return self.rle if self.rle is not None else encode_rle(self.events)

    def expected_events(self) -> list[int]:
        return decode_rle(self.run_length_bytes(), self.ancilla_count)

    def expected_meas(self) -> list[int]:
        if self.meas_results is None:
            return [0] * self.ancilla_count
        return list(self.meas_results)

    def to_bytes(self) -> bytes:
        return tolm.encode_frame(
            self.frame_id,
            self.round,
            meas_results=self.expected_meas(),
            timestamp_ns=self.timestamp_ns,
            qubit_count=self.qubit_count,
            ancilla_count=self.ancilla_count,
            code_type=self.code_type,
            distance=self.distance,
            frame_aux=self.frame_aux,
            detector_runs=self.run_length_bytes(),
            timing_offsets=self.timing_offsets,
            ancilla_bitmap=self.ancilla_bitmap,
            metadata=self.metadata,
            annotations=self.annotations,
            trailer=self.trailer,
            extra_flags=self.extra_flags,
            header_crc=self.header_crc,
            trailer_marker=self.trailer_marker,
            trailer_crc=self.trailer_crc,
        )

    def header_bytes(self) -> bytes:
        return self.to_bytes()[:FRAME_HEADER_SIZE]


def stream_bytes(frames: Sequence[Frame], header: Optional[bytes] = None) -> bytes:
    return (file_header() if header is None else header) + b"".join(f.to_bytes() for f in frames)


def full_frame(frame_id: int, ancillas: int = 8, *, flips: Optional[int] = None, **kwargs) -> Frame:
    """A frame carrying every optional section, with contents that differ from
    frame to frame."""
    events = [(frame_id * 7 + i * 3) % 5 == 0 for i in range(ancillas)]
    meas = [((frame_id + i) % 3) - 1 for i in range(ancillas)]
    metadata = [metadata_entry(TAG_LABEL, f"frame {frame_id}".encode()), metadata_entry(TAG_AUX_A, b"\1\2\3\4")]
    if flips is not None:
        metadata.append(flips_entry(flips))
    defaults = dict(
        round=frame_id // 2,
        timestamp_ns=1_000_000 + 250 * frame_id,
        qubit_count=2 * ancillas + 1,
        ancilla_count=ancillas,
        events=events,
        meas_results=meas,
        timing_offsets=[(37 * i + frame_id) % 10001 for i in range(ancillas)],
        ancilla_bitmap=bytes(((frame_id + i) & 0xFF for i in range((ancillas + 7) // 8))),
        metadata=metadata,
        annotations=[(1, frame_id, 2), (3, 2**64 - 1, 4)],
    )
    defaults.update(kwargs)
    return Frame(frame_id, **defaults)

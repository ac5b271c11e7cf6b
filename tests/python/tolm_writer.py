"""A TOLM writer for the tests: file headers and frames with any of the
optional sections, the trailer on or off, and deliberate corruptions.

Everything is little-endian and unpadded. A frame is its 36-byte header, the
payload (u16 length and run-length coded detector events, one int8 result per
ancilla, then the sections the flags name) and an optional 6-byte trailer.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field
from typing import Optional, Sequence

MAGIC = 0x544F4C4D
FILE_HEADER_SIZE = 26
FRAME_HEADER_SIZE = 36
TRAILER_SIZE = 6

FLAG_TIMING = 0x0001
FLAG_BITMAP = 0x0002
FLAG_METADATA = 0x0004
FLAG_ANNOTATIONS = 0x0008

TAG_LABEL = 1
TAG_AUX_A = 2
TAG_AUX_B = 3
TAG_AUX_BYTE = 4
TAG_OBSERVABLE_FLIPS = 16

SCHEMA_ID = bytes(range(16))


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def file_header(schema_id: bytes = SCHEMA_ID, *, magic: int = MAGIC, version: int = 1, aux: int = 0) -> bytes:
    assert len(schema_id) == 16
    return struct.pack("<IH16sI", magic, version, schema_id, aux)


def encode_rle(events: Sequence[int]) -> bytes:
    """Run-length code of 0/1 events: one byte per run, bit 7 the value and
    bits 0-6 the length; runs longer than 127 are split."""
    out = bytearray()
    i = 0
    while i < len(events):
        value = 1 if events[i] else 0
        j = i
        while j < len(events) and (1 if events[j] else 0) == value and j - i < 127:
            j += 1
        out.append((0x80 if value else 0x00) | (j - i))
        i = j
    return bytes(out)


def decode_rle(runs: bytes, n: int) -> list[int]:
    """What a reader must make of `runs` for `n` ancillas: expanded, then cut
    or padded with 0."""
    events: list[int] = []
    for b in runs:
        events.extend([b >> 7] * (b & 0x7F))
    return (events + [0] * n)[:n]


def fired_count(runs: bytes) -> int:
    return sum(b & 0x7F for b in runs if b & 0x80)


def metadata_entry(tag: int, value: bytes) -> bytes:
    return struct.pack("<HH", tag, len(value)) + value


def flips_entry(mask: int) -> bytes:
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
    metadata: Optional[Sequence[bytes]] = None  # encoded entries (metadata_entry)
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

    def flags(self) -> int:
        flags = self.extra_flags
        if self.timing_offsets is not None:
            flags |= FLAG_TIMING
        if self.ancilla_bitmap is not None:
            flags |= FLAG_BITMAP
        if self.metadata is not None:
            flags |= FLAG_METADATA
        if self.annotations is not None:
            flags |= FLAG_ANNOTATIONS
        return flags

    def header_bytes(self) -> bytes:
        body = struct.pack(
            "<QIQHHIBBH",
            self.frame_id,
            self.round,
            self.timestamp_ns,
            self.qubit_count,
            self.ancilla_count,
            self.frame_aux,
            self.code_type,
            self.distance,
            self.flags(),
        )
        crc = crc32(body) if self.header_crc is None else self.header_crc
        return body + struct.pack("<I", crc)

    def payload_bytes(self) -> bytes:
        n = self.ancilla_count
        rle = self.run_length_bytes()
        out = bytearray(struct.pack("<H", len(rle)) + rle)
        meas = self.expected_meas()
        assert len(meas) == n
        out += struct.pack(f"<{n}b", *meas)
        if self.timing_offsets is not None:
            assert len(self.timing_offsets) == n
            out += struct.pack(f"<{n}H", *self.timing_offsets)
        if self.ancilla_bitmap is not None:
            assert len(self.ancilla_bitmap) == (n + 7) // 8
            out += self.ancilla_bitmap
        if self.metadata is not None:
            out += struct.pack("<H", len(self.metadata)) + b"".join(self.metadata)
        if self.annotations is not None:
            out += struct.pack("<B", len(self.annotations))
            for kind, value, detail in self.annotations:
                out += struct.pack("<BQB", kind, value, detail)
        return bytes(out)

    def trailer_bytes(self) -> bytes:
        if not self.trailer:
            return b""
        header = self.header_bytes()
        crc = crc32(header) if self.trailer_crc is None else self.trailer_crc
        return struct.pack("<HI", self.trailer_marker, crc)

    def to_bytes(self) -> bytes:
        return self.header_bytes() + self.payload_bytes() + self.trailer_bytes()


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

"""Writing the TOLM syndrome-frame format.

A TOLM stream is one 26-byte file header naming a hardware schema by UUID,
then frames back to back: a 36-byte header (with its own CRC-32), the
run-length coded detector events, one int8 measurement result per ancilla,
optional timing offsets, ancilla bitmap, metadata and annotations, and a
6-byte trailer repeating the header's CRC. ``VeskarStream`` reads it back.

    with TolmWriter.create("run.tolm") as out:
        out.write_frame(frame_id=1, round=0, detector_events=events,
                        meas_results=results, observable_flips=0b1)
"""

from __future__ import annotations

import os
import struct
import uuid
import zlib
from typing import Iterable, Mapping, Sequence

import numpy as np

MAGIC = 0x544F4C4D
VERSION = 1
FILE_HEADER_SIZE = 26
FRAME_HEADER_SIZE = 36
TRAILER_MARKER = 0xFFFF

FLAG_TIMING_OFFSETS = 0x0001
FLAG_ANCILLA_BITMAP = 0x0002
FLAG_METADATA = 0x0004
FLAG_ANNOTATIONS = 0x0008

TAG_LABEL = 1
TAG_AUX_A = 2
TAG_AUX_B = 3
TAG_AUX_BYTE = 4
TAG_OBSERVABLE_FLIPS = 16

_FILE_HEADER = struct.Struct("<IH16sI")
_FRAME_HEADER = struct.Struct("<QIQHHIBBH")
_ANNOTATION = struct.Struct("<BQB")
_RUN_LIMIT = 127


def _schema_bytes(schema_id: uuid.UUID | bytes | str | None) -> bytes:
    if schema_id is None:
        return bytes(16)
    if isinstance(schema_id, uuid.UUID):
        return schema_id.bytes
    if isinstance(schema_id, str):
        return uuid.UUID(schema_id).bytes
    data = bytes(schema_id)
    if len(data) != 16:
        raise ValueError(f"schema id must be 16 bytes, got {len(data)}")
    return data


def encode_file_header(
    schema_id: uuid.UUID | bytes | str | None = None, header_aux: int = 0, *, magic: int = MAGIC, version: int = VERSION
) -> bytes:
    """The 26-byte file header that starts every stream."""
    return _FILE_HEADER.pack(magic, version, _schema_bytes(schema_id), header_aux)


def rle_encode(detector_events: Sequence[int] | np.ndarray) -> bytes:
    """Run-length code of 0/1 detector events: one byte per run of at most 127
    equal events, bit 7 the value."""
    events = np.asarray(detector_events).astype(bool, copy=False).ravel()
    if events.size == 0:
        return b""
    change = np.flatnonzero(events[1:] != events[:-1]) + 1
    starts = np.concatenate(([0], change))
    lengths = np.diff(np.concatenate((starts, [events.size])))
    values = events[starts]
    # Runs longer than 127 split into full runs plus a remainder.
    full, rest = np.divmod(lengths, _RUN_LIMIT)
    counts = full + (rest > 0)
    run_values = np.repeat(values, counts)
    run_lengths = np.full(int(counts.sum()), _RUN_LIMIT, dtype=np.uint8)
    ends = np.cumsum(counts) - 1
    has_rest = rest > 0
    run_lengths[ends[has_rest]] = rest[has_rest]
    return (run_lengths | (run_values.astype(np.uint8) << 7)).astype(np.uint8).tobytes()


def _metadata_entries(
    metadata: Mapping[int, bytes] | Iterable[tuple[int, bytes]] | None, observable_flips: int | None, label: str | None
) -> list[tuple[int, bytes]] | None:
    entries: list[tuple[int, bytes]] = []
    if metadata is not None:
        items = metadata.items() if isinstance(metadata, Mapping) else metadata
        entries.extend((int(tag), bytes(value)) for tag, value in items)
    if label is not None:
        entries.append((TAG_LABEL, label.encode("utf-8")))
    if observable_flips is not None:
        entries.append((TAG_OBSERVABLE_FLIPS, struct.pack("<Q", observable_flips)))
    if metadata is None and not entries:
        return None
    return entries


def encode_frame(
    frame_id: int,
    round: int,
    detector_events: Sequence[int] | np.ndarray | None = None,
    meas_results: Sequence[int] | np.ndarray | None = None,
    *,
    timestamp_ns: int = 0,
    qubit_count: int = 0,
    ancilla_count: int | None = None,
    code_type: int = 1,
    distance: int = 0,
    frame_aux: int = 0,
    detector_runs: bytes | None = None,
    timing_offsets: Sequence[int] | np.ndarray | None = None,
    ancilla_bitmap: bytes | None = None,
    metadata: Mapping[int, bytes] | Iterable[tuple[int, bytes]] | None = None,
    observable_flips: int | None = None,
    label: str | None = None,
    annotations: Iterable[tuple[int, int, int]] | None = None,
    trailer: bool = True,
    extra_flags: int = 0,
    header_crc: int | None = None,
    trailer_marker: int = TRAILER_MARKER,
    trailer_crc: int | None = None,
) -> bytes:
    """One frame's bytes.

    ``detector_events`` (0/1 per ancilla) is run-length coded unless
    ``detector_runs`` gives the coded bytes directly; ``meas_results`` are
    int8 values (default 1 for every ancilla), or their raw bytes. ``ancilla_count`` defaults
    to the number of measurement results, else of detector events.
    Metadata entries come from ``metadata`` (tag -> value bytes), then
    ``label`` and ``observable_flips``; annotations are (kind, value, detail).
    ``header_crc``, ``trailer_marker`` and ``trailer_crc`` replace the right
    values and ``extra_flags`` adds flag bits, to make damaged streams on
    purpose; ``trailer=False`` leaves the trailer out, which the format allows
    for the last frame of a stream only.
    """
    if isinstance(meas_results, (bytes, bytearray)):
        results = bytes(meas_results)  # int8 results as raw bytes: taken as they are
    elif meas_results is not None:
        results = np.asarray(meas_results).astype(np.int8, copy=False).ravel().tobytes()
    if ancilla_count is None:
        if meas_results is not None:
            ancilla_count = len(results)
        elif detector_events is not None:
            ancilla_count = int(np.asarray(detector_events).size)
        else:
            ancilla_count = 0
    if meas_results is None:
        results = b"\x01" * ancilla_count
    if len(results) != ancilla_count:
        raise ValueError(f"{len(results)} measurement results for {ancilla_count} ancillas")
    runs = (
        detector_runs
        if detector_runs is not None
        else rle_encode(np.zeros(0) if detector_events is None else detector_events)
    )

    flags = extra_flags
    sections = [struct.pack("<H", len(runs)), runs, results]
    if timing_offsets is not None:
        offsets = np.asarray(timing_offsets, dtype="<u2").ravel()
        if offsets.size != ancilla_count:
            raise ValueError(f"{offsets.size} timing offsets for {ancilla_count} ancillas")
        flags |= FLAG_TIMING_OFFSETS
        sections.append(offsets.tobytes())
    if ancilla_bitmap is not None:
        bitmap = bytes(ancilla_bitmap)
        if len(bitmap) != (ancilla_count + 7) // 8:
            raise ValueError(f"{len(bitmap)}-byte ancilla bitmap for {ancilla_count} ancillas")
        flags |= FLAG_ANCILLA_BITMAP
        sections.append(bitmap)
    entries = _metadata_entries(metadata, observable_flips, label)
    if entries is not None:
        flags |= FLAG_METADATA
        sections.append(struct.pack("<H", len(entries)))
        for tag, value in entries:
            sections.append(struct.pack("<HH", tag, len(value)))
            sections.append(value)
    if annotations is not None:
        records = list(annotations)
        flags |= FLAG_ANNOTATIONS
        sections.append(bytes([len(records)]))
        sections.extend(_ANNOTATION.pack(kind, value, detail) for kind, value, detail in records)

    head = _FRAME_HEADER.pack(
        frame_id, round, timestamp_ns, qubit_count, ancilla_count, frame_aux, code_type, distance, flags
    )
    header = head + struct.pack("<I", zlib.crc32(head) if header_crc is None else header_crc)
    parts = [header, *sections]
    if trailer:
        parts.append(struct.pack("<HI", trailer_marker, zlib.crc32(header) if trailer_crc is None else trailer_crc))
    return b"".join(parts)


# Largest timing offset the reader accepts, in nanoseconds.
MAX_TIMING_OFFSET_NS = 10_000

# encode_frame's fields that damage a frame on purpose: not for the writer.
_DAMAGING_FIELDS = ("header_crc", "trailer_marker", "trailer_crc", "extra_flags")


class TolmWriter:
    """Writes a TOLM stream to anything with ``write`` (a binary file) or
    ``sendall`` (a socket). The file header is written on construction.

    ``write_frame`` writes only what the reader accepts: frame ids that
    increase, timing offsets of at most 10 000 ns, every section the length
    its ancilla count asks for. Every frame carries its trailer, since the
    format allows leaving it out only at the very end of a stream and has no
    header flag for streams without trailers: ``write_frame(...,
    trailer=False)`` writes the stream's last frame, after which the writer
    refuses further frames.
    """

    def __init__(self, sink, schema_id: uuid.UUID | bytes | str | None = None, header_aux: int = 0):
        self._sink = sink
        self._send = sink.sendall if hasattr(sink, "sendall") else sink.write
        self._owns_sink = False
        self._last_frame_id: int | None = None
        self._ended = False
        self.frames_written = 0
        self._send(encode_file_header(schema_id, header_aux))

    @classmethod
    def create(cls, path: str | os.PathLike, schema_id=None, header_aux: int = 0):
        """A writer that owns a new file at ``path``."""
        sink = open(path, "wb")
        try:
            writer = cls(sink, schema_id, header_aux)
        except BaseException:
            sink.close()
            raise
        writer._owns_sink = True
        return writer

    def write_frame(
        self, frame_id: int, round: int, detector_events=None, meas_results=None, *, trailer: bool = True, **fields
    ) -> None:
        """Encodes and writes one frame; keyword fields as for ``encode_frame``,
        except those that damage a frame on purpose."""
        damaging = [name for name in _DAMAGING_FIELDS if name in fields]
        if damaging:
            raise TypeError(
                f"write_frame writes readable frames only; {', '.join(damaging)} is for encode_frame and write_raw"
            )
        self._check_open()
        if self._last_frame_id is not None and frame_id <= self._last_frame_id:
            raise ValueError(f"frame id {frame_id} does not follow frame id {self._last_frame_id}")
        offsets = fields.get("timing_offsets")
        if offsets is not None and np.size(offsets) and int(np.max(offsets)) > MAX_TIMING_OFFSET_NS:
            raise ValueError(f"timing offset {int(np.max(offsets))} ns is above {MAX_TIMING_OFFSET_NS} ns")
        self._send(encode_frame(frame_id, round, detector_events, meas_results, trailer=trailer, **fields))
        self._last_frame_id = frame_id
        self._ended = not trailer
        self.frames_written += 1

    def write_raw(self, data: bytes) -> None:
        """Writes bytes as they are: encoded frames (``encode_frame``), or a
        stream damaged on purpose. Nothing is checked."""
        self._check_open()
        self._send(data)

    def _check_open(self) -> None:
        if self._ended:
            raise ValueError("the stream ended with a frame without its trailer")

    def flush(self) -> None:
        if hasattr(self._sink, "flush"):
            self._sink.flush()

    def close(self) -> None:
        if self._owns_sink:
            self._sink.close()
            self._owns_sink = False

    def __enter__(self) -> "TolmWriter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def frame_spans(data: bytes | memoryview, start: int = FILE_HEADER_SIZE):
    """Yields (offset, length) of each whole frame in ``data`` from ``start``,
    trailer included, by walking the headers' lengths and flags (no checks:
    the reader does those). Stops at the first frame that does not fit."""
    view = memoryview(data)
    offset = start
    total = len(view)
    while offset + FRAME_HEADER_SIZE + 2 <= total:
        (ancillas,) = struct.unpack_from("<H", view, offset + 22)
        (flags,) = struct.unpack_from("<H", view, offset + 30)
        cursor = offset + FRAME_HEADER_SIZE
        (runs,) = struct.unpack_from("<H", view, cursor)
        cursor += 2 + runs + ancillas
        if flags & FLAG_TIMING_OFFSETS:
            cursor += 2 * ancillas
        if flags & FLAG_ANCILLA_BITMAP:
            cursor += (ancillas + 7) // 8
        if flags & FLAG_METADATA:
            if cursor + 2 > total:
                return
            (entries,) = struct.unpack_from("<H", view, cursor)
            cursor += 2
            for _ in range(entries):
                if cursor + 4 > total:
                    return
                (length,) = struct.unpack_from("<H", view, cursor + 2)
                cursor += 4 + length
        if flags & FLAG_ANNOTATIONS:
            if cursor + 1 > total:
                return
            cursor += 1 + 10 * view[cursor]
        if cursor + 6 <= total and view[cursor] == 0xFF and view[cursor + 1] == 0xFF:
            cursor += 6
        if cursor > total:
            return
        yield offset, cursor - offset
        offset = cursor

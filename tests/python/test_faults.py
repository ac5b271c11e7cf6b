"""Faults injected between a TOLM source and the reader: TCP peers that reset
mid-frame, trickle bytes, follow a valid stream with garbage or serve many
streams at once; recordings cut at every byte or still being written.

Each case states what must come out: the frames delivered before the fault,
intact, and then the exact error (or the clean end) after it.
"""

from __future__ import annotations

import resource
import struct
import threading
import time
import zlib

import pytest

import _veskar
import waits
from tcp_peer import LONG_WAIT, RESET, send, sleep
from tolm_writer import (
    FILE_HEADER_SIZE,
    TAG_AUX_B,
    TAG_LABEL,
    Frame,
    decode_rle,
    fired_count,
    flips_entry,
    full_frame,
    metadata_entry,
    stream_bytes,
)


def crc32(data: bytes) -> int:
    return zlib.crc32(data) & 0xFFFFFFFF


def payload_mismatch(declared: int, found: int) -> str:
    return f"payload length mismatch: header declares {declared} bytes, found {found}"


def crc_mismatch(expected: int, got: int) -> str:
    return f"CRC32 mismatch: expected 0x{expected:08x}, got 0x{got:08x}"


def summary(frame) -> tuple:
    """What a delivered frame must carry, as plain values."""
    return (
        frame.frame_id,
        frame.round,
        frame.ancilla_count,
        frame.to_numpy_detector_events().astype(int).tolist(),
        frame.to_numpy_meas_results().tolist(),
        frame.detector_event_count,
        frame.to_dict()["observable_flips"],  # None when the frame carries none
    )


def expected_summary(frame: Frame, flips=None) -> tuple:
    return (
        frame.frame_id,
        frame.round,
        frame.ancilla_count,
        frame.expected_events(),
        frame.expected_meas(),
        fired_count(frame.run_length_bytes()),
        flips,
    )


def read_until_fault(stream) -> tuple[list, str | None]:
    """Frames up to the first error, and the error's message (None at a clean end)."""
    frames = []
    try:
        for frame in stream:
            frames.append(summary(frame))
    except OSError as err:
        assert err.kind  # every reader error says which it is
        return frames, err.strerror or str(err)
    return frames, None


# ---------------------------------------------------------------------------
# A reader of the format in plain Python, written from the format's rules,
# for the outcome of a recording cut at any byte: frames up to the first
# error and that error. It only has to cover inputs that end early, so it
# leaves out the checks a cut cannot trigger (ids, timing).


class _Cut(Exception):
    pass


def reference_read(data: bytes) -> tuple[list, str | None]:
    pos = 0

    def take(n: int, *, required: bool = True):
        nonlocal pos
        if len(data) - pos < n:
            if required:
                raise _Cut(payload_mismatch(n, len(data) - pos))
            return None
        chunk = data[pos : pos + n]
        pos += n
        return chunk

    frames = []
    if len(data) < FILE_HEADER_SIZE:
        return frames, None
    pos = FILE_HEADER_SIZE
    while len(data) - pos >= 36:
        header = take(36)
        frame_id, rnd, _ts, _qubits, n, _aux, _code, _dist, flags, _crc = struct.unpack("<QIQHHIBBHI", header)
        try:
            (length,) = struct.unpack("<H", take(2))
            fixed = length + n + (2 * n if flags & 1 else 0) + ((n + 7) // 8 if flags & 2 else 0)
            sections = take(fixed)
            runs, meas = sections[:length], sections[length : length + n]
            flips = None
            if flags & 4:
                (entries,) = struct.unpack("<H", take(2))
                for _ in range(entries):
                    head = take(4, required=False)
                    if head is None:
                        break
                    tag, size = struct.unpack("<HH", head)
                    value = take(size, required=False)
                    if value is None:
                        break
                    if tag == 16 and size == 8:
                        (flips,) = struct.unpack("<Q", value)
            if flags & 8:
                (count,) = take(1)
                if count:
                    take(10 * count)
            trailer = take(6, required=False)
            if trailer is not None:
                marker, crc = struct.unpack("<HI", trailer)
                if marker != 0xFFFF or crc != crc32(header):
                    return frames, crc_mismatch(crc32(header), crc)
        except _Cut as cut:
            return frames, str(cut)
        frames.append(
            (
                frame_id,
                rnd,
                n,
                decode_rle(runs, n),
                list(struct.unpack(f"<{n}b", meas)),
                fired_count(runs),
                flips,
            )
        )
    return frames, None


# Every step of the reader lies somewhere in this recording: a frame with
# every section (metadata with a label, an aux value and flips; two
# annotations), a frame with none, one with metadata only, and a last frame
# without its trailer.
RECORDING_FRAMES = [
    full_frame(1, 6, flips=0b101),
    Frame(2, ancilla_count=3, events=[1, 0, 1], meas_results=[1, -1, 0]),
    Frame(
        3,
        ancilla_count=4,
        rle=bytes([0x82, 0x03]),
        meas_results=[0, 0, 1, 1],
        metadata=[metadata_entry(TAG_LABEL, b"x"), flips_entry(6), metadata_entry(TAG_AUX_B, b"\1\2\3\4")],
    ),
    Frame(4, ancilla_count=2, events=[0, 1], meas_results=[5, 6], trailer=False),
]
RECORDING = stream_bytes(RECORDING_FRAMES)
# Where each frame starts.
STARTS = [FILE_HEADER_SIZE]
for _frame in RECORDING_FRAMES[:-1]:
    STARTS.append(STARTS[-1] + len(_frame.to_bytes()))


class TestTruncatedRecording:
    def test_whole_recording(self, write_file):
        frames, error = read_until_fault(_veskar.VeskarStream(write_file(RECORDING)))
        assert error is None
        assert frames == [
            expected_summary(RECORDING_FRAMES[0], 0b101),
            expected_summary(RECORDING_FRAMES[1]),
            expected_summary(RECORDING_FRAMES[2], 6),
            expected_summary(RECORDING_FRAMES[3]),
        ]
        assert reference_read(RECORDING) == (frames, None)

    @pytest.mark.parametrize(
        "cut, frames, error",
        [
            (FILE_HEADER_SIZE - 1, 0, None),
            (STARTS[1], 1, None),
            (STARTS[1] + 35, 1, None),  # a partial frame header is dropped
            (STARTS[1] + 37, 1, payload_mismatch(2, 1)),
            # Inside the events and results.
            (STARTS[1] + 38 + 4, 1, payload_mismatch(len(RECORDING_FRAMES[1].run_length_bytes()) + 3, 4)),
            (STARTS[2] - 3, 2, None),  # inside the trailer of frame 2: accepted without it
            (STARTS[2] + 38 + 2 + 4 + 1, 2, payload_mismatch(2, 1)),  # inside the metadata count
            # Inside the second metadata entry's value: the block ends with
            # the entries read so far, and the frame is delivered.
            (STARTS[2] + 38 + 2 + 4 + 2 + 4 + 1 + 4 + 3, 3, None),
        ],
        ids=["file-header", "between", "frame-header", "length", "sections", "trailer", "meta-count", "meta-entry"],
    )
    def test_cuts_that_anchor_the_reference(self, write_file, cut, frames, error):
        got = read_until_fault(_veskar.VeskarStream(write_file(RECORDING[:cut])))
        assert (len(got[0]), got[1]) == (frames, error)
        assert got == reference_read(RECORDING[:cut])

    def test_every_cut(self, write_file):
        # One file per cut position: the frames before the cut come out
        # intact, then the error the format defines for where the cut fell,
        # or a clean end; never a frame with data it was not sent.
        path = write_file(b"")
        for cut in range(len(RECORDING) + 1):
            with open(path, "wb") as out:
                out.write(RECORDING[:cut])
            with _veskar.VeskarStream(path) as stream:
                got = read_until_fault(stream)
                assert got == reference_read(RECORDING[:cut]), f"cut at byte {cut}"
                # The input has ended: asking again must not wait for more.
                if got[1] is None:
                    with pytest.raises(StopIteration):
                        next(stream)


class TestGrowingFile:
    FRAMES = [full_frame(i, 24, flips=i) for i in range(1, 401)]

    def test_frames_appended_ahead_of_the_reader_are_read(self, tmp_path):
        # The file's first two reads take 8 and 16 KiB, so bytes appended
        # well past them are found when the reader gets there.
        path = tmp_path / "growing.tolm"
        first, second = self.FRAMES[:200], self.FRAMES[200:300]
        path.write_bytes(stream_bytes(first))
        assert path.stat().st_size > 4 * 8192
        stream = _veskar.VeskarStream(str(path))
        assert next(stream).frame_id == 1
        with open(path, "ab") as out:
            out.write(b"".join(f.to_bytes() for f in second))
        got = [summary(f) for f in stream]
        assert got == [expected_summary(f, f.frame_id) for f in first[1:] + second]

    def test_end_of_a_file_is_final_for_its_stream(self, tmp_path):
        path = tmp_path / "growing.tolm"
        path.write_bytes(stream_bytes(self.FRAMES[:2]))
        stream = _veskar.VeskarStream(str(path))
        assert [f.frame_id for f in stream] == [1, 2]
        with open(path, "ab") as out:
            out.write(self.FRAMES[2].to_bytes())
        # Frames written after the stream saw the end are not read by it...
        assert list(stream) == []
        # ...but a new stream reads the whole file.
        assert [f.frame_id for f in _veskar.VeskarStream(str(path))] == [1, 2, 3]

    def test_frame_still_being_written_when_the_reader_arrives(self, tmp_path):
        # The writer has put down half of frame 3 when the reader reaches the
        # end of the file: the cut frame is reported, frames 1 and 2 are not
        # lost, and the rest written later changes nothing for this stream.
        path = tmp_path / "growing.tolm"
        third = self.FRAMES[2].to_bytes()
        path.write_bytes(stream_bytes(self.FRAMES[:2]) + third[:60])
        stream = _veskar.VeskarStream(str(path))
        frames, error = read_until_fault(stream)
        assert [f[0] for f in frames] == [1, 2]
        (length,) = struct.unpack_from("<H", third, 36)
        assert error == payload_mismatch(length + 24 + 48 + 3, 60 - 38)
        with open(path, "ab") as out:
            out.write(third[60:])
        assert list(stream) == []


# ---------------------------------------------------------------------------
# TCP peers.

TCP_FRAMES = [full_frame(1, 6, flips=1), full_frame(2, 6, flips=2), full_frame(3, 6, flips=3)]
TCP_BYTES = stream_bytes(TCP_FRAMES)
SECOND = FILE_HEADER_SIZE + len(TCP_FRAMES[0].to_bytes())
SECOND_LENGTH = len(TCP_FRAMES[1].to_bytes())
# Events, results, timing offsets and bitmap of the second frame (6 ancillas).
SECOND_FIXED = len(TCP_FRAMES[1].run_length_bytes()) + 6 + 12 + 1
RESET_MESSAGE = "i/o error: Connection reset by peer"


@pytest.mark.parametrize(
    "cut, before, after, error_after",
    [
        (10, 0, 0, None),  # inside the file header
        (SECOND, 1, 0, None),  # between frames
        (SECOND + 37, 1, 0, payload_mismatch(2, 1)),  # inside the events length
        (SECOND + 45, 1, 0, payload_mismatch(SECOND_FIXED, 7)),  # inside the fixed sections
        # Inside the two 10-byte annotation records, 11 of their 20 bytes sent.
        (SECOND + SECOND_LENGTH - 15, 1, 0, payload_mismatch(20, 11)),
        # Inside the trailer: whether six more bytes come is only known once
        # the reset is reported; then the frame is whole without its trailer.
        (SECOND + SECOND_LENGTH - 3, 1, 1, None),
    ],
    ids=["file-header", "between-frames", "length", "sections", "annotations", "trailer"],
)
def test_reset_mid_frame(tcp_peer, cut, before, after, error_after):
    # The frames before the reset arrive intact and the reset is the next
    # error. Nothing read before it is lost: the connection then counts as
    # ended, so a frame it cut is reported as cut short, like a file ending
    # there, and one that only lacked its trailer is delivered.
    peer = tcp_peer([send(TCP_BYTES[:cut]), sleep(0.05), RESET])
    stream = _veskar.VeskarStream(peer.address)
    frames, error = read_until_fault(stream)
    assert frames == [expected_summary(f, f.frame_id) for f in TCP_FRAMES[:before]]
    assert error == RESET_MESSAGE
    assert read_until_fault(stream) == (
        [expected_summary(f, f.frame_id) for f in TCP_FRAMES[before : before + after]],
        error_after,
    )
    assert list(stream) == []


def test_trickling_peer_is_waited_for_without_spinning(tcp_peer):
    # One byte every 3 ms, and the peer stops after the first frame until
    # told to go on: that frame must come out as soon as its last byte is
    # in (a read that waited for more would wait for the test, which only
    # lets the peer go on afterwards), and the waits in between must sleep,
    # not poll.
    first = stream_bytes(TCP_FRAMES[:1])
    peer = tcp_peer(
        [send(first, chunk=1, pause=0.003), LONG_WAIT, send(TCP_FRAMES[1].to_bytes(), chunk=1, pause=0.003)]
    )
    stream = _veskar.VeskarStream(peer.address)
    cpu_before = resource.getrusage(resource.RUSAGE_SELF)
    started = time.monotonic()
    frame = next(stream)
    waited = time.monotonic() - started
    cpu_after = resource.getrusage(resource.RUSAGE_SELF)
    assert summary(frame) == expected_summary(TCP_FRAMES[0], 1)
    assert waited > 0.003 * len(first) * 0.8
    cpu = (cpu_after.ru_utime - cpu_before.ru_utime) + (cpu_after.ru_stime - cpu_before.ru_stime)
    assert cpu < 0.5 * waited, f"{cpu:.2f} s of CPU in {waited:.2f} s of waiting"
    peer.go()
    assert [summary(f) for f in stream] == [expected_summary(TCP_FRAMES[1], 2)]


def _garbage_cases():
    random_bytes = bytes((i * 97 + 13) % 256 for i in range(100))
    http = b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
    # A header with a valid CRC that declares more payload than follows.
    body = struct.pack("<QIQHHIBBH", 9, 0, 0, 17, 65535, 0, 1, 3, 0x0003)
    huge = body + struct.pack("<I", crc32(body)) + struct.pack("<H", 65535) + bytes(40)
    return [
        ("random", random_bytes, crc_mismatch(crc32(random_bytes[:32]), struct.unpack_from("<I", random_bytes, 32)[0])),
        ("zeros", bytes(64), crc_mismatch(crc32(bytes(32)), 0)),
        ("http", http, crc_mismatch(crc32(http[:32]), struct.unpack_from("<I", http, 32)[0])),
        # A second recording appended to the first: its file header is read
        # as a frame header.
        (
            "second-recording",
            TCP_BYTES,
            crc_mismatch(crc32(TCP_BYTES[:32]), struct.unpack_from("<I", TCP_BYTES, 32)[0]),
        ),
        # 65535 bytes of events, 65535 results, 65535 timing offsets and 8192 bitmap bytes.
        ("huge-declared-sizes", huge, payload_mismatch(65535 * 4 + 8192, 40)),
        ("short-tail", bytes(range(35)), None),  # less than a frame header: ignored
    ]


GARBAGE = _garbage_cases()


@pytest.mark.parametrize("transport", ["file", "tcp"])
@pytest.mark.parametrize("garbage, error", [case[1:] for case in GARBAGE], ids=[case[0] for case in GARBAGE])
def test_valid_stream_then_garbage(tcp_peer, write_file, transport, garbage, error):
    data = TCP_BYTES + garbage
    if transport == "file":
        source = write_file(data)
    else:
        source = tcp_peer([send(data, chunk=333)]).address
    stream = _veskar.VeskarStream(source)
    frames, got = read_until_fault(stream)
    assert frames == [expected_summary(f, f.frame_id) for f in TCP_FRAMES]
    assert got == error
    if error is not None and error.startswith("CRC32"):
        # A header that fails its CRC is not consumed: the same error again.
        with pytest.raises(OSError) as again:
            next(stream)
        assert str(again.value) == error


@pytest.mark.parametrize("transport", ["file", "tcp"])
def test_resync_passes_over_a_damaged_frame(tcp_peer, write_file, transport):
    frames = [full_frame(i, 12, flips=i) for i in (1, 2, 3)]
    data = bytearray(stream_bytes(frames))
    data[FILE_HEADER_SIZE + len(frames[0].to_bytes()) + 5] ^= 0x04  # a bit of frame 2's id
    source = write_file(bytes(data)) if transport == "file" else tcp_peer([send(bytes(data), chunk=333)]).address
    stream = _veskar.VeskarStream(source)
    assert next(stream).frame_id == 1
    for _ in range(2):  # unless told to resync, the stream repeats the error
        with pytest.raises(OSError) as raised:
            next(stream)
        assert raised.value.kind == "CrcMismatch"
    assert stream.resync() == len(frames[1].to_bytes())
    assert [f.frame_id for f in stream] == [3]


def test_many_streams_from_one_peer(tcp_peer):
    # Forty connections to one peer, all open at once and read in turns, one
    # frame from each, so every stream's runtime holds a half-read buffer
    # while the others read.
    frames = [full_frame(i, 1 + i % 30, flips=i) for i in range(1, 121)]
    count = 40
    peer = tcp_peer({"connections": count, "steps": [send(stream_bytes(frames), chunk=1000)]})
    before = waits.Resources()
    streams = [_veskar.VeskarStream(peer.address) for _ in range(count)]
    got = [[] for _ in range(count)]
    for _ in range(len(frames)):
        for i, stream in enumerate(streams):
            got[i].append(summary(next(stream)))
    expected = [expected_summary(f, f.frame_id) for f in frames]
    assert all(g == expected for g in got)
    for stream in streams:
        with pytest.raises(StopIteration):
            next(stream)
        stream.close()
    peer.finish()
    assert before.all_gone_since()


def test_peers_that_stall_do_not_hold_up_other_streams(tcp_peer):
    # One peer goes silent mid-frame; a stream on another peer, read from
    # another thread meanwhile, gets all its frames.
    silent = tcp_peer([send(TCP_BYTES[: SECOND + 20]), LONG_WAIT, send(TCP_BYTES[SECOND + 20 :])])
    busy = tcp_peer([send(TCP_BYTES, chunk=50, pause=0.002)])
    stalled = _veskar.VeskarStream(silent.address)
    assert next(stalled).frame_id == 1
    results = []
    reader = threading.Thread(target=lambda: results.extend(summary(f) for f in _veskar.VeskarStream(busy.address)))
    stalled_result = []
    waiter = threading.Thread(target=lambda: stalled_result.extend(summary(f) for f in stalled))
    waiter.start()
    reader.start()
    reader.join(waits.DEADLINE_SECONDS)
    assert results == [expected_summary(f, f.frame_id) for f in TCP_FRAMES]
    silent.go()
    waiter.join(waits.DEADLINE_SECONDS)
    assert stalled_result == [expected_summary(f, f.frame_id) for f in TCP_FRAMES[1:]]

import errno
import os
import pathlib
import threading

import pytest

import _veskar
import waits
from tolm_writer import (
    FILE_HEADER_SIZE,
    Frame,
    crc32,
    file_header,
    full_frame,
    stream_bytes,
)

SHM_MESSAGE = "shm:// transport is not available in the Python bindings; use the C FFI veskar_shm_open for SHM access"


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def unreadable(directory):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    path = directory / "locked.tolm"
    path.write_bytes(b"")
    path.chmod(0)
    return path


def read_all(path):
    return list(_veskar.VeskarStream(path))


class TestOpening:
    @pytest.mark.parametrize("source", [3, None, b"/tmp/x", os.sep.encode()])
    def test_source_must_be_str(self, source):
        with pytest.raises(TypeError, match="source"):
            _veskar.VeskarStream(source)

    @pytest.mark.parametrize(
        "source",
        ["tcp:/stream.tolm", pathlib.Path("tcp:/stream.tolm"), PathLike("tcp://stream.tolm")],
        ids=["str", "pathlib", "fspath"],
    )
    def test_paths_as_str_or_path_objects(self, tmp_path, monkeypatch, source):
        (tmp_path / "tcp:").mkdir()
        (tmp_path / "tcp:" / "stream.tolm").write_bytes(stream_bytes([Frame(1)]))
        monkeypatch.chdir(tmp_path)
        # A path object always names a file, even one that reads like an address.
        assert [f.frame_id for f in _veskar.VeskarStream(source)] == [1]

    @pytest.mark.parametrize("source", ["shm://x", "shm://", "shm://tcp://127.0.0.1:1"])
    def test_shm_refused_before_anything_is_opened(self, source):
        threads_before = threading.active_count()
        with pytest.raises(ValueError) as raised:
            _veskar.VeskarStream(source)
        assert str(raised.value) == SHM_MESSAGE
        assert threading.active_count() == threads_before

    @pytest.mark.parametrize(
        "make_source, error, code",
        [
            (lambda tmp: "shm:/", FileNotFoundError, errno.ENOENT),
            (lambda tmp: "SHM://x", FileNotFoundError, errno.ENOENT),
            (lambda tmp: str(tmp / "no" / "stream.tolm"), FileNotFoundError, errno.ENOENT),
            (lambda tmp: tmp / "missing.tolm", FileNotFoundError, errno.ENOENT),
            (lambda tmp: str(tmp), IsADirectoryError, errno.EISDIR),
            (lambda tmp: tmp, IsADirectoryError, errno.EISDIR),
            (lambda tmp: ".", IsADirectoryError, errno.EISDIR),
            (lambda tmp: str(unreadable(tmp)), PermissionError, errno.EACCES),
        ],
        ids=[
            "shm-typo",
            "shm-upper",
            "missing-dir",
            "missing-path",
            "directory",
            "directory-path",
            "dot",
            "unreadable",
        ],
    )
    def test_files_that_do_not_open(self, tmp_path, make_source, error, code):
        source = make_source(tmp_path)
        with pytest.raises(error) as raised:
            _veskar.VeskarStream(source)
        err = raised.value
        assert (err.errno, err.filename, err.kind) == (code, os.fspath(source), "Io")
        assert err.strerror == "i/o error: " + os.strerror(code)

    def test_nul_in_path(self):
        with pytest.raises(OSError, match="i/o error: "):
            _veskar.VeskarStream("a\0b")

    def test_bad_header_opens_and_fails_on_first_read(self, write_file):
        path = write_file(file_header(magic=0))
        stream = _veskar.VeskarStream(path)
        with pytest.raises(OSError, match="expected 0x544F4C4D, got 0x00000000"):
            next(stream)


class TestIteration:
    @pytest.mark.parametrize(
        "data",
        [b"", file_header()[:25], file_header(), stream_bytes([]) + Frame(1).to_bytes()[:35]],
        ids=["empty", "short-header", "header-only", "partial-frame-header"],
    )
    def test_inputs_without_frames(self, write_file, data):
        stream = _veskar.VeskarStream(write_file(data))
        assert list(stream) == []
        for _ in range(3):
            with pytest.raises(StopIteration):
                next(stream)

    def test_ends_cleanly_and_stays_at_end(self, write_file):
        frames = [full_frame(i, flips=i) for i in range(1, 4)]
        stream = _veskar.VeskarStream(write_file(stream_bytes(frames)))
        assert iter(stream) is stream
        assert [f.frame_id for f in stream] == [1, 2, 3]
        assert list(stream) == []
        with pytest.raises(StopIteration):
            next(stream)

    def test_last_frame_may_leave_out_its_trailer(self, write_file):
        frames = [full_frame(1), full_frame(2, trailer=False)]
        assert [f.frame_id for f in read_all(write_file(stream_bytes(frames)))] == [1, 2]

    @pytest.mark.parametrize("ancillas", [0, 1, 24, 300, 4000])
    def test_many_frames_across_buffer_boundaries(self, write_file, ancillas):
        # Frames of every size straddle the 8 KiB file buffer and the reader's
        # 4 KiB reads at every offset; each must come back whole.
        count = max(40, 200_000 // (3 * ancillas + 90))
        frames = [full_frame(i, ancillas, flips=i * 3 if i % 2 else None) for i in range(1, count + 1)]
        got = read_all(write_file(stream_bytes(frames)))
        assert len(got) == len(frames)
        for frame, sent in zip(got, frames):
            assert frame.frame_id == sent.frame_id
            assert frame.round == sent.round
            assert frame.timestamp_ns == sent.timestamp_ns
            assert frame.ancilla_count == ancillas
            assert list(frame.to_numpy_detector_events()) == sent.expected_events()
            assert list(frame.to_numpy_meas_results()) == sent.expected_meas()
            assert frame.to_dict()["observable_flips"] == (sent.frame_id * 3 if sent.frame_id % 2 else None)

    def test_run_length_code_past_the_ancilla_count(self, write_file):
        # 0x85 0x83: eight fired events for five ancillas, cut to the five handed out.
        frame = Frame(1, ancilla_count=5, rle=bytes([0x85, 0x83]), meas_results=[0] * 5)
        (got,) = read_all(write_file(stream_bytes([frame])))
        assert got.detector_event_count == 5
        assert got.to_numpy_detector_events().tolist() == [True] * 5
        assert repr(got) == "SyndromeFrame(frame_id=1, round=0, detector_events=5/5)"

    def test_run_length_code_short_of_the_ancilla_count(self, write_file):
        frame = Frame(1, ancilla_count=8, rle=bytes([0x03, 0x82, 0x01, 0x80, 0x00]))
        (got,) = read_all(write_file(stream_bytes([frame])))
        assert got.to_numpy_detector_events().tolist() == [False] * 3 + [True] * 2 + [False] * 3
        assert got.detector_event_count == 2


ONE = Frame(1, events=[1, 0, 1, 0, 0, 0, 0, 1])


@pytest.mark.parametrize(
    "data, kind, message",
    [
        (file_header(magic=0x12), "InvalidMagic", "invalid TOLM magic bytes: expected 0x544F4C4D, got 0x00000012"),
        (file_header(version=2), "UnsupportedVersion", "unsupported TOLM format version: 2"),
        (
            stream_bytes([Frame(1, header_crc=0xDEADBEEF)]),
            "CrcMismatch",
            f"CRC32 mismatch: expected 0x{crc32(Frame(1).header_bytes()[:32]):08x}, got 0xdeadbeef",
        ),
        (
            stream_bytes([Frame(1, trailer_crc=0x1234), Frame(2)]),
            "CrcMismatch",
            f"CRC32 mismatch: expected 0x{crc32(Frame(1).header_bytes()):08x}, got 0x00001234",
        ),
        (
            stream_bytes([Frame(1, trailer_marker=0xFFFE), Frame(2)]),
            "CrcMismatch",
            f"CRC32 mismatch: expected 0x{crc32(Frame(1).header_bytes()):08x}, "
            f"got 0x{crc32(Frame(1).header_bytes()):08x}",
        ),
        (stream_bytes([Frame(5), Frame(5)]), "FrameIdBackwards", "frame ID went backwards: last seen 5, got 5"),
        (stream_bytes([Frame(5), Frame(4)]), "FrameIdBackwards", "frame ID went backwards: last seen 5, got 4"),
        (
            stream_bytes([ONE])[: FILE_HEADER_SIZE + 36 + 2 + 2],
            "PayloadLengthMismatch",
            f"payload length mismatch: header declares {len(ONE.run_length_bytes()) + 8} bytes, found 2",
        ),
        (
            stream_bytes([Frame(1, timing_offsets=[0, 10000, 10001, 5, 0, 0, 0, 0])]),
            "TimingOutOfBounds",
            "timing offset out of bounds: ancilla 2, offset 10001 ns",
        ),
    ],
    ids=[
        "magic",
        "version",
        "header-crc",
        "trailer-crc",
        "trailer-marker",
        "id-repeat",
        "id-back",
        "truncated",
        "timing",
    ],
)
def test_reader_errors_become_oserror_naming_their_kind(write_file, data, kind, message):
    stream = _veskar.VeskarStream(write_file(data))
    frames = []
    with pytest.raises(OSError) as raised:
        for frame in stream:
            frames.append(frame.frame_id)
    assert type(raised.value) is OSError
    assert (str(raised.value), raised.value.kind) == (message, kind)
    # The stream stays open after an error: the next read asks the reader again.
    try:
        next(stream)
    except StopIteration:
        pass
    except OSError as again:
        assert str(again) != "stream is closed"


def test_header_errors_repeat(write_file):
    stream = _veskar.VeskarStream(write_file(file_header(version=7) + Frame(1).to_bytes()))
    for _ in range(3):
        with pytest.raises(OSError, match="^unsupported TOLM format version: 7$"):
            next(stream)


class TestClosing:
    def test_close_twice_then_read(self, write_file):
        stream = _veskar.VeskarStream(write_file(stream_bytes([Frame(1)])))
        assert stream.close() is None
        assert stream.close() is None
        for _ in range(2):
            with pytest.raises(OSError) as raised:
                next(stream)
            assert (str(raised.value), raised.value.kind) == ("stream is closed", "Closed")

    def test_closing_stops_the_runtime_threads(self, write_file):
        before = threading.active_count()
        resources = waits.Resources()
        stream = _veskar.VeskarStream(write_file(stream_bytes([Frame(1)])))
        assert resources.new_threads()
        stream.close()
        assert resources.all_gone_since()
        assert threading.active_count() == before

    def test_with_yields_itself_and_closes(self, write_file):
        with _veskar.VeskarStream(write_file(stream_bytes([Frame(1), Frame(2)]))) as stream:
            assert next(stream).frame_id == 1
        with pytest.raises(OSError, match="^stream is closed$"):
            next(stream)

    def test_with_does_not_swallow_exceptions(self, write_file):
        with pytest.raises(KeyError):
            with _veskar.VeskarStream(write_file(b"")) as stream:
                raise KeyError("boom")
        with pytest.raises(OSError, match="^stream is closed$"):
            next(stream)

    def test_exit_arguments(self, write_file):
        stream = _veskar.VeskarStream(write_file(b""))
        with pytest.raises(TypeError):
            stream.__exit__(None, None)
        assert stream.__exit__(None, None, None) is False
        assert stream.__exit__(_exc_type=1, _exc_val=2, _tb=3) is False

    def test_frames_outlive_their_stream(self, write_file):
        stream = _veskar.VeskarStream(write_file(stream_bytes([full_frame(1, flips=6)])))
        frame = next(stream)
        del stream
        assert frame.observable_flips == 6
        assert frame.to_dict()["frame_id"] == 1

import signal
import threading

import pytest

import _veskar
import waits
from tcp_peer import LONG_WAIT, RESET, send, sleep
from tolm_writer import FILE_HEADER_SIZE, Frame, file_header, full_frame, stream_bytes

MAIN_THREAD = threading.main_thread().ident


def frames_match(got, sent):
    assert [f.frame_id for f in got] == [f.frame_id for f in sent]
    for frame, expected in zip(got, sent):
        assert frame.to_numpy_detector_events().tolist() == [bool(e) for e in expected.expected_events()]
        assert frame.to_numpy_meas_results().tolist() == expected.expected_meas()


def test_one_byte_at_a_time(tcp_peer):
    frames = [full_frame(i, 5, flips=i) for i in (1, 2, 3)]
    peer = tcp_peer([send(stream_bytes(frames), chunk=1, pause=0.0005)])
    got = list(_veskar.VeskarStream(peer.address))
    frames_match(got, frames)
    assert [f.observable_flips for f in got] == [1, 2, 3]


@pytest.mark.parametrize("prefix", ["tcp://tcp://", "tcp://tcp://tcp://"])
def test_repeated_prefix_is_stripped(tcp_peer, prefix):
    peer = tcp_peer([send(stream_bytes([Frame(9)]))])
    stream = _veskar.VeskarStream(prefix + peer.address.removeprefix("tcp://"))
    assert [f.frame_id for f in stream] == [9]


def test_host_names_resolve(tcp_peer):
    peer = tcp_peer([send(stream_bytes([Frame(4)]))])
    assert [f.frame_id for f in _veskar.VeskarStream(f"tcp://localhost:{peer.port}")] == [4]


def test_many_frames_in_odd_chunks(tcp_peer):
    frames = [full_frame(i, 1 + i % 40) for i in range(1, 1500)]
    peer = tcp_peer([send(stream_bytes(frames), chunk=997)])
    frames_match(list(_veskar.VeskarStream(peer.address)), frames)


TWO = [full_frame(1), full_frame(2)]
TWO_BYTES = stream_bytes(TWO)
SECOND_START = FILE_HEADER_SIZE + len(TWO[0].to_bytes())


@pytest.mark.parametrize(
    "cut, ids, error",
    [
        (10, [], None),  # inside the file header
        (SECOND_START, [1], None),  # between frames
        (SECOND_START + 20, [1], None),  # inside a frame header: dropped
        (SECOND_START + 36 + 1, [1], "payload length mismatch: header declares 2 bytes, found 1"),
        (SECOND_START + 36 + 5, [1], "payload length mismatch: header declares"),
        (len(TWO_BYTES) - 6, [1, 2], None),  # before the last trailer: accepted without it
        (len(TWO_BYTES) - 3, [1, 2], None),
    ],
)
def test_peer_closes_mid_stream(tcp_peer, cut, ids, error):
    peer = tcp_peer([send(TWO_BYTES[:cut], chunk=7)])
    stream = _veskar.VeskarStream(peer.address)
    got = []
    if error is None:
        got = [f.frame_id for f in stream]
    else:
        with pytest.raises(OSError, match="^" + error):
            for frame in stream:
                got.append(frame.frame_id)
    assert got == ids
    # A closed connection stays ended.
    assert list(stream) == []


def test_peer_resets_the_connection(tcp_peer):
    peer = tcp_peer([send(TWO_BYTES[: SECOND_START + 10]), sleep(0.05), RESET])
    stream = _veskar.VeskarStream(peer.address)
    assert next(stream).frame_id == 1
    with pytest.raises(ConnectionResetError) as raised:
        next(stream)
    assert (raised.value.strerror, raised.value.kind) == ("i/o error: Connection reset by peer", "Io")


def test_nothing_listening(closed_port):
    with pytest.raises(ConnectionRefusedError) as raised:
        _veskar.VeskarStream(f"tcp://127.0.0.1:{closed_port}")
    assert raised.value.strerror == "i/o error: Connection refused"
    assert raised.value.filename is None


@pytest.mark.parametrize(
    "source",
    [
        "tcp://no-such-host.invalid:9000",
        "tcp://",
        "tcp://127.0.0.1",
        "tcp://127.0.0.1:",
        "tcp://127.0.0.1:65536",
        "tcp://127.0.0.1:port",
    ],
)
def test_addresses_that_do_not_connect(source):
    with pytest.raises(OSError, match="i/o error: .+") as raised:
        _veskar.VeskarStream(source)
    assert type(raised.value) is OSError and raised.value.kind == "Io"


class Spinner:
    """A Python thread that needs the interpreter lock to make progress."""

    def __init__(self):
        self.count = 0
        self.stop = False
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop:
            self.count += 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()


def test_silent_peer_lets_python_run_and_yields_to_ctrl_c(tcp_peer):
    frame = full_frame(1, 12, flips=2)
    data = stream_bytes([frame])
    half = FILE_HEADER_SIZE + 50
    peer = tcp_peer([send(data[:half]), LONG_WAIT, send(data[half:])])
    stream = _veskar.VeskarStream(peer.address)
    ran_while_waiting = []

    def interrupter(spinner):
        # This thread runs at all only because the waiting read let go of
        # the interpreter lock; the spinner shows it is not alone in that.
        try:
            inside = waits.wait_until(lambda: waits.inside_call(MAIN_THREAD))
            before = spinner.count
            ran_while_waiting.append(inside and waits.wait_until(lambda: spinner.count > before + 1000))
            ran_while_waiting.append(waits.inside_call(MAIN_THREAD))
        finally:
            signal.pthread_kill(MAIN_THREAD, signal.SIGINT)

    with Spinner() as spinner:
        side = threading.Thread(target=interrupter, args=(spinner,))
        side.start()
        with pytest.raises(KeyboardInterrupt):
            waits.call(next, stream)
        side.join()
    assert ran_while_waiting == [True, True]

    # The half frame read before the interrupt is kept: the next read completes it.
    peer.go()
    (got,) = [next(stream)]
    frames_match([got], [frame])
    assert got.observable_flips == 2
    assert list(stream) == []


def test_reentry_during_a_wait_is_refused_but_close_ends_it(tcp_peer):
    peer = tcp_peer([send(file_header()), LONG_WAIT, send(Frame(1).to_bytes())])
    stream = _veskar.VeskarStream(peer.address)
    seen = []

    def handler(signum, _frame):
        calls = [lambda: next(stream), lambda: iter(stream), stream.__enter__, stream.close]
        for call in calls:
            try:
                seen.append(call())
            except RuntimeError as err:
                seen.append(str(err))

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        sender = waits.signal_once_inside_call(MAIN_THREAD, signal.SIGUSR1)
        # Closed from the handler, the read that waits ends as the stream's end does.
        with pytest.raises(StopIteration):
            waits.call(next, stream)
        sender.join()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed", None]
    with pytest.raises(OSError, match="^stream is closed$"):
        next(stream)


def test_second_thread_is_refused_while_one_waits(tcp_peer):
    peer = tcp_peer([send(file_header()), LONG_WAIT, send(Frame(3).to_bytes())])
    stream = _veskar.VeskarStream(peer.address)
    results = []
    reader = threading.Thread(target=lambda: results.append(waits.call(next, stream)))
    reader.start()
    assert waits.wait_until(lambda: waits.inside_call(reader.ident))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        iter(stream)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        next(stream)
    peer.go()
    reader.join()
    assert [f.frame_id for f in results] == [3]


@pytest.mark.parametrize("interrupted_first", [False, True])
def test_close_does_not_wait_for_a_silent_peer(tcp_peer, interrupted_first):
    peer = tcp_peer([send(file_header()), LONG_WAIT])
    stream = _veskar.VeskarStream(peer.address)
    if interrupted_first:
        sender = waits.signal_once_inside_call(MAIN_THREAD, signal.SIGINT)
        with pytest.raises(KeyboardInterrupt):
            waits.call(next, stream)
        sender.join()
    # A wait left armed on the socket must not outlive the stream's runtime,
    # nor hold up the close: the peer is still silent when close returns.
    stream.close()
    assert peer.process.poll() is None
    with pytest.raises(OSError, match="^stream is closed$"):
        next(stream)

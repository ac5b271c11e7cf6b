"""Waits that nothing may leave stuck: a read or an open that waits ends
quietly when the interpreter exits, yields to Ctrl-C, gives up at its
timeout and ends when another thread closes the stream; a DEM read from a
quiet pipe yields to Ctrl-C. What could hang runs in a subprocess with a
time limit, so that a hang fails the test instead of the test run.
"""

from __future__ import annotations

import math
import os
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import _veskar
import veskar
import waits
from tcp_peer import LONG_WAIT, send
from tolm_writer import FILE_HEADER_SIZE, Frame, file_header, full_frame, stream_bytes

HERE = Path(__file__).resolve().parent
SUBPROCESS_SECONDS = 60


def run_script(script: str, *args: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    return subprocess.run(
        [sys.executable, "-c", script, *args],
        capture_output=True,
        text=True,
        timeout=SUBPROCESS_SECONDS,
        env=env,
    )


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "frames.fifo"
    os.mkfifo(path)
    return str(path)


class Writer:
    """The writing end of a FIFO, held without waiting for a reader."""

    def __init__(self, path: str):
        self.fd = os.open(path, os.O_RDWR)

    def write(self, data: bytes):
        os.write(self.fd, data)

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


# -- the interpreter exits while a daemon thread reads ----------------------

EXIT_SCRIPT = """
import collections, gc, sys, threading, time
import _veskar
import waits

class SlowToGo:
    # Collected as garbage while the interpreter finalizes, letting go of
    # the lock for a while: a thread waiting for input wakes inside
    # finalization, as it would in any program slower to finalize than this.
    def __del__(self, sleep=time.sleep):
        sleep(0.2)

gc.set_threshold(10**9)  # nothing collects the cycle before the interpreter's last collection
slow_to_go = SlowToGo()
slow_to_go.cycle = slow_to_go
del slow_to_go

def read():
    # Reads the input again and again: a file is read faster than the main
    # thread can look, and the thread must still be reading when it ends.
    while True:
        waits.call(collections.deque, _veskar.VeskarStream(sys.argv[1]), 0)

reader = threading.Thread(target=read, daemon=True)
reader.start()
assert waits.wait_until(lambda: reader.ident is not None and waits.inside_call(reader.ident))
"""


@pytest.mark.parametrize("input_kind", ["silent-peer", "quiet-fifo", "busy-file"])
def test_interpreter_exit_while_a_thread_reads(tcp_peer, fifo, tmp_path, input_kind):
    writer = None
    if input_kind == "silent-peer":
        source = tcp_peer([send(file_header()), LONG_WAIT]).address
    elif input_kind == "quiet-fifo":
        writer = Writer(fifo)
        writer.write(file_header())
        source = fifo
    else:
        source = str(tmp_path / "busy.tolm")
        Path(source).write_bytes(stream_bytes([Frame(i) for i in range(1, 60_001)]))
    try:
        result = run_script(EXIT_SCRIPT, source)
    finally:
        if writer:
            writer.close()
    assert (result.returncode, result.stderr) == (0, "")


# -- Ctrl-C while an open or a DEM read waits -------------------------------

INTERRUPT_SCRIPT = """
import os, signal, sys, threading
import _veskar
import waits

signal.signal(signal.SIGINT, signal.default_int_handler)  # whatever the parent ignored
what, path = sys.argv[1], sys.argv[2]
before = waits.Resources()
writer = os.open(path, os.O_RDWR) if what == "dem-read" else -1   # a writer that never writes
call = {
    "stream-open": lambda: waits.call(_veskar.VeskarStream, path),
    "dem-open": lambda: waits.call(_veskar.DetectorErrorModel.from_file, path),
    "dem-read": lambda: waits.call(_veskar.DetectorErrorModel.from_file, path),
}[what]
sender = waits.signal_once_inside_call(threading.get_ident(), signal.SIGINT)
try:
    call()
except KeyboardInterrupt:
    print("interrupted")
sender.join()
if writer >= 0:
    os.close(writer)
# A writer arriving lets a system call still stuck in the FIFO's open
# return; what it opened is then released.
late = os.open(path, os.O_WRONLY | os.O_NONBLOCK) if what == "stream-open" else -1
if late >= 0:
    assert waits.wait_until(lambda: not before.new_threads())
    os.close(late)
assert before.all_gone_since()
print("nothing left")
"""


@pytest.mark.parametrize("what", ["stream-open", "dem-open", "dem-read"])
def test_ctrl_c_ends_a_wait_for_a_fifo(fifo, what):
    result = run_script(INTERRUPT_SCRIPT, what, fifo)
    assert (result.stdout, result.stderr, result.returncode) == ("interrupted\nnothing left\n", "", 0)


# -- close() from another thread --------------------------------------------


@pytest.fixture
def quiet_source(tcp_peer, fifo):
    """A source that sends a file header and then nothing until released,
    when it sends a byte more."""
    writers = []

    def make(kind: str):
        if kind == "tcp":
            peer = tcp_peer([send(file_header()), LONG_WAIT, send(b"\0")])
            return peer.address, peer.go
        writer = Writer(fifo)
        writers.append(writer)
        writer.write(file_header())
        return fifo, lambda: writer.write(b"\0")

    yield make
    for writer in writers:
        writer.close()


# A read that waits, as the function (written in C) and the arguments to call.
READS = {
    "iteration": lambda stream: (list, stream),
    "batch": lambda stream: (stream.read_batch, 10),
}


def _frames_in(result) -> int:
    return len(result["frame_id"]) if isinstance(result, dict) else len(result)


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
@pytest.mark.parametrize("kind", ["tcp", "fifo"])
def test_close_from_another_thread_ends_a_waiting_read(quiet_source, kind, read):
    source, release = quiet_source(kind)
    before = waits.Resources()
    stream = _veskar.VeskarStream(source)
    got = []
    reader = threading.Thread(target=lambda: got.append(_frames_in(waits.call(*read(stream)))))
    reader.start()
    assert waits.wait_until(lambda: waits.inside_call(reader.ident))
    stream.close()
    reader.join(waits.DEADLINE_SECONDS)
    assert not reader.is_alive()
    assert got == [0]  # the waiting read ended as the stream's end does
    with pytest.raises(OSError, match="^stream is closed$") as closed:
        next(stream)
    assert closed.value.kind == "Closed"
    stream.close()
    # A FIFO read stuck in the system call is not waited for; once it
    # returns, its thread and descriptor go.
    release()
    assert before.all_gone_since()


# -- timeouts -----------------------------------------------------------------


def _full_backlog_listener():
    """A listener whose accept queue is full: a further connect gets no answer."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(3):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
        fillers.append(filler)
    return listener, fillers


def test_timeout_on_connect():
    listener, fillers = _full_backlog_listener()
    try:
        with pytest.raises(TimeoutError, match="^timed out$") as timed_out:
            _veskar.VeskarStream(f"tcp://127.0.0.1:{listener.getsockname()[1]}", timeout=0.2)
        assert timed_out.value.kind == "Timeout"
    finally:
        for sock in [listener, *fillers]:
            sock.close()


def test_timeout_on_open_leaves_nothing_once_the_open_returns(fifo):
    before = waits.Resources()
    with pytest.raises(TimeoutError, match="^timed out$"):
        _veskar.VeskarStream(fifo, timeout=0.05)
    late = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # the open still waiting returns
    assert waits.wait_until(lambda: not before.new_threads())
    os.close(late)
    assert before.all_gone_since()


@pytest.mark.parametrize("kind", ["tcp", "fifo"])
def test_a_read_that_times_out_resumes(tcp_peer, fifo, kind):
    frames = [full_frame(1, 12, flips=2), full_frame(2, 12, flips=3)]
    data = stream_bytes(frames)
    first_end = FILE_HEADER_SIZE + len(frames[0].to_bytes())
    half = first_end + 40
    writer = None
    if kind == "tcp":
        peer = tcp_peer([send(data[:half]), LONG_WAIT, send(data[half:])])
        source, rest = peer.address, peer.go
    else:
        writer = Writer(fifo)
        writer.write(data[:half])
        source, rest = fifo, lambda: (writer.write(data[half:]), writer.close())
    try:
        # Wide enough for the open, which is a wait too, on a loaded machine.
        stream = veskar.open(source, timeout=0.5)
        # The frame that is all there comes out; the wait for the one cut
        # short times out, and the read goes on later.
        assert waits.wait_until(lambda: _next_or_timeout(stream) == 1)
        with pytest.raises(TimeoutError, match="^timed out$") as timed_out:
            next(stream)
        assert timed_out.value.kind == "Timeout"
        rest()
        assert waits.wait_until(lambda: _next_or_timeout(stream) == 2)
    finally:
        if writer:
            writer.close()


def _next_or_timeout(stream):
    try:
        return next(stream).frame_id
    except TimeoutError:
        return None


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((), {"timeout": 0}, ValueError),
        ((), {"timeout": -1}, ValueError),
        ((), {"timeout": math.nan}, ValueError),
        ((), {"timeout": "1"}, TypeError),
        ((1.0,), {}, TypeError),  # keyword only
    ],
    ids=["zero", "negative", "nan", "str", "positional"],
)
def test_timeouts_that_are_refused(write_file, args, kwargs, error):
    with pytest.raises(error):
        _veskar.VeskarStream(write_file(b""), *args, **kwargs)

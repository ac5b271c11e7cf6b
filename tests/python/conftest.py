import faulthandler
import json
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# A test that hangs (a read that never returns, a peer that never answers)
# fails on its own: an alarm raises TimeoutError in the main thread, which a
# waiting read notices like any other signal. Should even that not get
# through, faulthandler ends the run with every thread's traceback.
TEST_TIME_LIMIT_SECONDS = 15
RUN_BACKSTOP_SECONDS = 60


class HangTimeout(Exception):
    pass


def _on_alarm(signum, frame):
    raise HangTimeout(f"test ran longer than {TEST_TIME_LIMIT_SECONDS} s")


@pytest.fixture(autouse=True)
def hang_guard():
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.setitimer(signal.ITIMER_REAL, TEST_TIME_LIMIT_SECONDS)
    faulthandler.dump_traceback_later(RUN_BACKSTOP_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes to a fresh file and returns its path as a str."""
    counter = iter(range(1_000_000))

    def write(data: bytes) -> str:
        path = tmp_path / f"stream{next(counter)}.tolm"
        path.write_bytes(data)
        return str(path)

    return write


class Peer:
    def __init__(self, plan):
        self.process = subprocess.Popen(
            [sys.executable, str(HERE / "tcp_peer.py")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.process.stdin.write(json.dumps(plan) + "\n")
        self.process.stdin.flush()
        self.port = int(self.process.stdout.readline())
        self.address = f"tcp://127.0.0.1:{self.port}"

    def go(self):
        """Releases the peer from its next "wait" step."""
        self.process.stdin.write("go\n")
        self.process.stdin.flush()

    def finish(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def tcp_peer():
    """Starts peers from plans (see tcp_peer.py); all are killed at the end."""
    peers = []

    def start(plan) -> Peer:
        peer = Peer(plan)
        peers.append(peer)
        return peer

    yield start
    for peer in peers:
        peer.kill()


@pytest.fixture
def closed_port():
    """A loopback port nothing listens on."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port

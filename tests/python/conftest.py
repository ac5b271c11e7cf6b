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
# fails on its own: an alarm raises HangTimeout in the main thread, which a
# waiting read notices like any other signal. Should even that not get
# through, faulthandler ends the run with every thread's traceback. A test
# that is slow rather than stuck (type checking a package) states its own
# limit with @pytest.mark.time_limit(seconds).
TEST_TIME_LIMIT_SECONDS = 15
RUN_BACKSTOP_EXTRA_SECONDS = 45


class HangTimeout(Exception):
    pass


def _on_alarm(signum, frame):
    raise HangTimeout("test ran past its time limit")


@pytest.fixture(autouse=True)
def hang_guard(request):
    marker = request.node.get_closest_marker("time_limit")
    limit = marker.args[0] if marker else TEST_TIME_LIMIT_SECONDS
    # Ctrl-C raises KeyboardInterrupt in every test, also in a run started
    # with SIGINT ignored (as a background job of a shell script is).
    previous_interrupt = signal.signal(signal.SIGINT, signal.default_int_handler)
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.setitimer(signal.ITIMER_REAL, limit)
    faulthandler.dump_traceback_later(limit + RUN_BACKSTOP_EXTRA_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
    signal.signal(signal.SIGINT, previous_interrupt)


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

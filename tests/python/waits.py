"""Waiting in tests without guessing at times: each helper waits for a state
the test can observe (a thread inside a call, a count back where it was),
checked often, with a generous deadline that only a broken build reaches.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time

DEADLINE_SECONDS = 10


def call(function, *args, **kwargs):
    """Calls `function`; a thread inside this frame is inside the call
    (for a function written in C, the frame has nothing else to do)."""
    return function(*args, **kwargs)


def wait_until(condition, timeout: float = DEADLINE_SECONDS) -> bool:
    """True once `condition()` holds; False if it still does not after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def inside_call(thread_id: int) -> bool:
    frame = sys._current_frames().get(thread_id)
    return frame is not None and frame.f_code is call.__code__


def signal_once_inside_call(thread_id: int, signum: int) -> threading.Thread:
    """Sends `signum` to the thread once it is inside `call`, from a new
    thread (returned, to be joined). If the thread never gets there the
    signal is sent anyway at the deadline, so that nothing waits forever."""

    def send():
        wait_until(lambda: inside_call(thread_id))
        signal.pthread_kill(thread_id, signum)

    sender = threading.Thread(target=send)
    sender.start()
    return sender


def thread_ids() -> set[str]:
    return set(os.listdir("/proc/self/task"))


def descriptor_ids() -> set[str]:
    # The listing's own descriptor is among them, the lowest free one each
    # time, so it is never mistaken for one left open.
    return set(os.listdir("/proc/self/fd"))


class Resources:
    """This process's threads and descriptors at one moment. Sets rather than
    counts: threads of earlier tests that end meanwhile change nothing."""

    def __init__(self):
        self.threads = thread_ids()
        self.descriptors = descriptor_ids()

    def new_threads(self) -> set[str]:
        return thread_ids() - self.threads

    def all_gone_since(self) -> bool:
        """Whether every thread and descriptor made since comes to an end (a
        thread that was joined may still be listed for a moment, longer on a
        loaded machine)."""
        return wait_until(lambda: thread_ids() <= self.threads and descriptor_ids() <= self.descriptors)

"""A loopback TCP peer run as a child process by the tests.

It listens on 127.0.0.1 (an ephemeral port, printed on the first line of
stdout), accepts one connection and follows a plan given as JSON on the first
line of stdin, a list of steps:

    {"op": "send", "data": "<hex>", "chunk": 1, "pause": 0.01}
        send the bytes in chunks of `chunk` bytes (default: all at once),
        sleeping `pause` seconds after each chunk;
    {"op": "wait", "timeout": 5}
                      block until the test writes a line to stdin, or until
                      the timeout passes (so that a test whose wait never
                      ends fails instead of hanging);
    {"op": "sleep", "seconds": 0.2}
    {"op": "reset"}   close at once with a reset instead of an orderly close.

When the plan is done the connection is closed, so a plan can stop at any
byte of a stream.

A plan may also be {"connections": N, "steps": [...]}: the peer then accepts
N connections and serves each, in a thread of its own, with the same steps
("wait" is not available there).
"""

import json
import os
import select
import socket
import struct
import threading
import time


def send(data: bytes, chunk: int = 0, pause: float = 0.0) -> dict:
    """A plan step sending `data`, `chunk` bytes at a time."""
    return {"op": "send", "data": data.hex(), "chunk": chunk, "pause": pause}


def sleep(seconds: float) -> dict:
    return {"op": "sleep", "seconds": seconds}


WAIT = {"op": "wait", "timeout": 5}
# For a peer that only the test releases: outlasts any test, so that a read
# that wrongly waits for it fails on the test's own time limit.
LONG_WAIT = {"op": "wait", "timeout": 60}
RESET = {"op": "reset"}


def read_line() -> bytes:
    # Unbuffered, so that select() sees every line the test has not read yet.
    line = bytearray()
    while not line.endswith(b"\n"):
        byte = os.read(0, 1)
        if not byte:
            break
        line += byte
    return bytes(line)


def serve(conn: socket.socket, steps: list) -> None:
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for step in steps:
        op = step["op"]
        if op == "send":
            data = bytes.fromhex(step["data"])
            chunk = step.get("chunk") or max(len(data), 1)
            pause = step.get("pause", 0.0)
            for start in range(0, len(data), chunk):
                conn.sendall(data[start : start + chunk])
                if pause:
                    time.sleep(pause)
        elif op == "wait":
            ready, _, _ = select.select([0], [], [], step.get("timeout", 5))
            if ready:
                read_line()
        elif op == "sleep":
            time.sleep(step["seconds"])
        elif op == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            break
        else:
            raise ValueError(f"unknown step {op!r}")
    conn.close()


def main() -> None:
    plan = json.loads(read_line())
    connections, steps = (1, plan) if isinstance(plan, list) else (plan["connections"], plan["steps"])
    if connections > 1 and any(step["op"] == "wait" for step in steps):
        raise ValueError("wait steps need a single connection")
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(connections)
    print(listener.getsockname()[1], flush=True)
    if connections == 1:
        conn, _ = listener.accept()
        serve(conn, steps)
    else:
        workers = []
        for _ in range(connections):
            conn, _ = listener.accept()
            worker = threading.Thread(target=serve, args=(conn, steps))
            worker.start()
            workers.append(worker)
        for worker in workers:
            worker.join()
    listener.close()


if __name__ == "__main__":
    main()

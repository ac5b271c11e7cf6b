"""The command line: exit codes and summaries on good and damaged recordings."""

import re
import socket
import struct
import subprocess
import sys

import pytest

from veskar import cli, samples, tolm

REPETITION = str(samples.path("repetition_d5"))


def veskar_cli(*args, timeout=60):
    return subprocess.run(
        [sys.executable, "-m", "veskar", *map(str, args)], capture_output=True, text=True, timeout=timeout
    )


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "rep.tolm"
    result = veskar_cli("simulate", REPETITION, "-o", path, "--shots", 2000, "--seed", 4)
    assert result.returncode == 0, result.stderr
    assert "wrote 12000 frames" in result.stdout
    return path


@pytest.fixture(scope="module")
def damaged(recording, tmp_path_factory):
    data = bytearray(recording.read_bytes())
    frame_size = (len(data) - 26) // 12000  # every frame of this recording has one size
    data[26 + 100 * frame_size + 3] ^= 0x40  # the 101st frame's header
    path = tmp_path_factory.mktemp("cli") / "damaged.tolm"
    path.write_bytes(bytes(data))
    return path


def summary_value(text, key):
    match = re.search(rf"^{key}:\s+(\S+)", text, re.MULTILINE)
    assert match, text
    return match.group(1)


@pytest.mark.parametrize(
    "mode, options",
    [
        ("shot by shot, each shot whole", []),
        ("committed windows of 2 + 3 frames", ["--commit-rounds", 2, "--buffer-rounds", 3]),
        ("sliding window of the DEM", ["--sliding-window", 0]),
    ],
)
def test_decode_scores_the_recording(recording, mode, options):
    result = veskar_cli("decode", recording, "--dem", REPETITION, "--quiet", *options)
    assert result.returncode == 0, result.stderr
    assert mode in result.stdout
    assert summary_value(result.stdout, "frames") == "12000"
    assert summary_value(result.stdout, "shots scored") == "2000"
    rate = float(summary_value(result.stdout, "logical error rate"))
    # PyMatching makes about 3.4% logical errors on this model.
    assert 0.015 < rate < 0.06
    assert "Wilson interval" in result.stdout
    assert "worst lag:          n/a (a file, not a live feed)" in result.stdout


def test_decode_reports_a_shot_cut_short_by_the_end(recording, tmp_path):
    # Shots of 6 frames: the last shot loses its last 3.
    data = recording.read_bytes()
    offset, size = list(tolm.frame_spans(data))[-4]
    path = tmp_path / "cut.tolm"
    path.write_bytes(data[: offset + size])
    result = veskar_cli("decode", path, "--dem", REPETITION, "--quiet")
    assert result.returncode == 1
    assert summary_value(result.stdout, "frames") == "11997"
    assert summary_value(result.stdout, "shots scored") == "1999"
    assert summary_value(result.stdout, "shots dropped") == "1"
    assert "shot dropped at the end: stream ended where round 3 was due" in result.stderr


def test_decode_reports_a_stream_error_after_the_summary(damaged):
    result = veskar_cli("decode", damaged, "--dem", REPETITION, "--quiet")
    assert result.returncode == 1
    assert summary_value(result.stdout, "frames") == "100"
    assert "error after 100 frames: CRC32 mismatch: expected 0x" in result.stderr


def test_inspect_describes_good_and_damaged_recordings(recording, damaged):
    good = veskar_cli("inspect", recording)
    assert good.returncode == 0, good.stderr
    assert "magic 0x544f4c4d, version 1" in good.stdout
    assert "schema id:    00000000-0000-0000-0000-000000000000" in good.stdout
    assert summary_value(good.stdout, "frames") == "12000"
    assert "SurfaceCode x12000" in good.stdout
    bad = veskar_cli("inspect", damaged)
    assert bad.returncode == 1
    assert "error at frame offset 100 (after frame_id 100): CRC32 mismatch" in bad.stdout


def test_serve_replays_over_tcp_for_decode(recording):
    server = subprocess.Popen(
        [sys.executable, "-m", "veskar", "serve", recording, "--port", "0", "--rate", "2000000"],
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        banner = server.stderr.readline()
        port = re.search(r":(\d+)$", banner.strip()).group(1)
        result = veskar_cli("decode", f"tcp://127.0.0.1:{port}", "--dem", REPETITION, "--quiet")
        assert result.returncode == 0, result.stderr
        assert summary_value(result.stdout, "frames") == "12000"
        assert re.search(r"^worst lag: +[0-9.]+ ms behind the feed, [0-9.]+ ms at the end", result.stdout, re.M)
        assert server.wait(timeout=20) == 0
    finally:
        server.kill()
        server.wait()
        server.stderr.close()


def test_decode_without_a_terminal_draws_no_progress_line(recording):
    result = veskar_cli("decode", recording, "--dem", REPETITION)
    assert result.returncode == 0, result.stderr
    assert "\r" not in result.stderr and "frames/s" not in result.stderr


def test_serve_goes_on_after_a_client_that_leaves_early(recording):
    # Paced so that the replay to the first client is still going when it leaves.
    server = subprocess.Popen(
        [sys.executable, "-m", "veskar", "serve", recording, "--port", "0", "--rate", "10000", "--clients", "2"],
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        port = int(re.search(r":(\d+)$", server.stderr.readline().strip()).group(1))
        with socket.create_connection(("127.0.0.1", port), timeout=20) as quitter:
            # Closed at once with a reset: the replay to it fails on its next send.
            quitter.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        with socket.create_connection(("127.0.0.1", port), timeout=20) as client:
            received = b"".join(iter(lambda: client.recv(1 << 16), b""))
        assert received == recording.read_bytes()
        assert server.wait(timeout=20) == 0
        assert "client went away" in server.stderr.read()
    finally:
        server.kill()
        server.wait()
        server.stderr.close()


# Each case: the arguments ({small}: an empty file, {missing}: no file, {tmp}:
# a folder, {misspelt}: a DEM with a misspelt instruction, {taken}: a port in
# use) and what the one-line message must name.
BAD_ARGUMENTS = {
    "inspect-missing": ("inspect {missing}", "can't open '{missing}': No such file or directory"),
    "inspect-folder": ("inspect {tmp}", "Is a directory"),
    "inspect-first": ("inspect {small} --first -1", "argument --first: must be at least 0, got -1"),
    "serve-missing": ("serve {missing} --port 0", "No such file or directory"),
    "serve-port": ("serve {small} --port 70000", "argument --port: must be from 0 to 65535, got 70000"),
    "serve-port-in-use": ("serve {small} --port {taken}", "can't listen on 127.0.0.1:{taken}: Address already in use"),
    "serve-clients": ("serve {small} --port 0 --clients 0", "argument --clients: must be at least 1, got 0"),
    "serve-rate": ("serve {small} --port 0 --rate -3", "argument --rate: must be a positive number, got -3"),
    "simulate-missing-dem": ("simulate surfce.dem -o {tmp}/o.tolm", "can't open 'surfce.dem'"),
    "simulate-misspelt-dem": ("simulate {misspelt} -o {tmp}/o.tolm", "unknown instruction 'eror' on line 2"),
    "simulate-unwritable": ("simulate {repetition} -o {tmp}/no/o.tolm", "can't write '{tmp}/no/o.tolm'"),
    "simulate-shots": (
        "simulate {repetition} -o {tmp}/o.tolm --shots -5",
        "argument --shots: must be at least 0, got -5",
    ),
    "decode-window-depth": (
        "decode {small} --dem {repetition} --window-depth -1",
        "argument --sliding-window/--window-depth: must be at least 0, got -1",
    ),
    "decode-commit-rounds": (
        "decode {small} --dem {repetition} --commit-rounds 0",
        "argument --commit-rounds: must be from 1 to 4294967295, got 0",
    ),
    "decode-two-modes": (
        "decode {small} --dem {repetition} --sliding-window 6 --commit-rounds 2",
        "--sliding-window decodes every frame over a window; it takes no --commit-rounds",
    ),
    "decode-buffer-alone": (
        "decode {small} --dem {repetition} --buffer-rounds 2",
        "--buffer-rounds needs --commit-rounds",
    ),
    "decode-missing-source": ("decode {missing} --dem {repetition}", "can't open '{missing}'"),
    "decode-missing-dem": ("decode {small} --dem surfce.dem", "argument --dem: can't open 'surfce.dem'"),
}


@pytest.mark.parametrize("case", BAD_ARGUMENTS)
def test_bad_arguments_give_one_line_and_exit_code_2(case, tmp_path, capsys):
    small = tmp_path / "small.tolm"
    small.write_bytes(b"")
    misspelt = tmp_path / "misspelt.dem"
    misspelt.write_text("error(0.1) D0\neror(0.1) D0 L0\n")
    with socket.create_server(("127.0.0.1", 0)) as taken:
        names = dict(
            small=small,
            missing=tmp_path / "absent.tolm",
            tmp=tmp_path,
            misspelt=misspelt,
            repetition=REPETITION,
            taken=taken.getsockname()[1],
        )
        args, named = (text.format(**names) for text in BAD_ARGUMENTS[case])
        with pytest.raises(SystemExit) as exited:
            cli.main(args.split())
    assert exited.value.code == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"veskar {args.split()[0]}: error: "), err
    assert named in err

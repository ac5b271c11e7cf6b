"""The command line: exit codes and summaries on good and damaged recordings."""

import re
import subprocess
import sys

import pytest

from veskar import samples

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


def test_decode_scores_the_recording(recording):
    result = veskar_cli("decode", recording, "--dem", REPETITION, "--quiet")
    assert result.returncode == 0, result.stderr
    assert summary_value(result.stdout, "frames") == "12000"
    assert summary_value(result.stdout, "shots scored") == "2000"
    rate = float(summary_value(result.stdout, "logical error rate"))
    # PyMatching makes about 3.4% logical errors on this model.
    assert 0.015 < rate < 0.06
    assert "Wilson interval" in result.stdout


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
        assert server.wait(timeout=20) == 0
    finally:
        server.kill()
        server.wait()
        server.stderr.close()


def test_decode_of_a_missing_file_fails_cleanly(tmp_path):
    result = veskar_cli("decode", tmp_path / "absent.tolm", "--dem", REPETITION, "--quiet")
    assert result.returncode == 1
    assert "No such file or directory" in result.stderr

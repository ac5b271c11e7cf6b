"""The type information shipped with the package, checked against what is
installed: stubtest compares the stubs of _veskar with the built module,
mypy --strict type-checks a caller of the whole API (typing_usage.py, whose
misuses must stay errors), and mypy checks the veskar package's own use of
the extension against the stubs.
"""

import pathlib
import subprocess
import sys

import pytest

USAGE = pathlib.Path(__file__).resolve().parent / "typing_usage.py"

CHECKS = {
    "stubs-match-module": ["mypy.stubtest", "_veskar"],
    "strict-caller": ["mypy", "--strict", str(USAGE)],
    "package": ["mypy", "-p", "veskar"],
}


@pytest.mark.time_limit(240)
@pytest.mark.parametrize("command", CHECKS.values(), ids=CHECKS.keys())
def test_type_information_holds(command, tmp_path):
    # Run outside the source tree, so that only the installed package and
    # stubs are seen, and mypy's cache lands in the temporary directory.
    result = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, result.stdout + result.stderr

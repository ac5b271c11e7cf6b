import _veskar


def test_version():
    assert _veskar.__version__ == "0.1.0"

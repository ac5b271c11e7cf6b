import inspect

import numpy as np
import pytest

import _veskar
from tolm_writer import Frame, stream_bytes


def bools(*values):
    return np.array(values, dtype=bool)


def pushed(ancillas, depth, *rows):
    window = _veskar.SyndromeWindow(ancillas, depth)
    for i, row in enumerate(rows):
        window.push_numpy(np.array(row, dtype=bool), i, i)
    return window


def test_new_window_is_empty():
    window = _veskar.SyndromeWindow(4, 2)
    assert window.is_empty() and not window.is_full()
    assert len(window) == 0
    assert repr(window) == "SyndromeWindow(rounds=0/2, ancillas=4)"
    matrix = window.to_numpy_matrix()
    assert matrix.shape == (0, 4) and matrix.dtype == bool
    assert window.active_detectors() == []


def test_eviction_keeps_the_newest_rounds_oldest_first():
    window = pushed(4, 2, [1, 0, 0, 0], [0, 1, 1, 0], [0, 0, 0, 1])
    assert len(window) == 2 and window.is_full() and not window.is_empty()
    assert window.to_numpy_matrix().tolist() == [[False, True, True, False], [False, False, False, True]]
    assert window.active_detectors() == [1, 2, 7]
    assert repr(window) == "SyndromeWindow(rounds=2/2, ancillas=4)"


def test_many_pushes_leave_the_last_depth_rounds():
    depth = 3
    window = _veskar.SyndromeWindow(depth + 5, depth)
    for i in range(depth + 5):
        window.push_numpy(np.eye(depth + 5, dtype=bool)[i], i, i)
    # Row r holds push number 6 + r: its one fired detector is ancilla 5 + r.
    assert window.active_detectors() == [r * (depth + 5) + 5 + r for r in range(depth)]


@pytest.mark.parametrize(
    "row, expected",
    [
        ([1, 1, 0, 1, 1, 1], [True, True, False, True]),
        ([0, 1], [False, True, False, False]),
        ([], [False] * 4),
    ],
    ids=["cut", "padded", "empty"],
)
def test_rows_are_cut_or_padded_to_the_ancilla_count(row, expected):
    window = pushed(4, 1, row)
    assert window.to_numpy_matrix().tolist() == [expected]


MATRIX = np.array([[1, 0, 1, 1], [0, 1, 1, 0], [1, 1, 0, 0], [0, 0, 1, 1], [1, 0, 0, 1]], dtype=bool)


@pytest.mark.parametrize(
    "view",
    [
        MATRIX.ravel()[::2],
        MATRIX.ravel()[::-1],
        MATRIX[:, 1],
        MATRIX[::-2, 2],
        MATRIX.ravel()[1:16:5],
        np.broadcast_to(np.array(True), (4,)),
    ],
    ids=["every-other", "reversed", "column", "reversed-column", "short", "broadcast"],
)
def test_views_push_the_values_they_show(view):
    assert not view.flags.c_contiguous
    window = _veskar.SyndromeWindow(4, 1)
    window.push_numpy(view, 9, 9)
    # Cut or padded to the ancilla count like any array.
    expected = (view.tolist() + [False] * 4)[:4]
    assert window.to_numpy_matrix().tolist() == [expected]


def test_core_edge_case_rows_of_three():
    window = pushed(3, 2, [1, 0, 1], [0, 1], [1, 1, 1, 1])
    assert window.to_numpy_matrix().astype(int).ravel().tolist() == [0, 1, 0, 1, 1, 1]
    assert window.active_detectors() == [1, 3, 4, 5]


def test_the_window_owns_copies():
    events = bools(1, 0, 1)
    window = _veskar.SyndromeWindow(3, 2)
    window.push_numpy(events, 1, 1)
    events[:] = False
    matrix = window.to_numpy_matrix()
    matrix[:] = False
    assert window.to_numpy_matrix().tolist() == [[True, False, True]]
    assert window.to_numpy_matrix() is not window.to_numpy_matrix()


def test_push_frames_from_a_stream(write_file):
    sent = [
        Frame(1, ancilla_count=4, events=[1, 0, 0, 1]),
        Frame(2, ancilla_count=6, events=[0, 0, 0, 0, 1, 1]),  # wider than the window: cut
        Frame(3, ancilla_count=2, events=[0, 1]),  # narrower: padded
    ]
    window = _veskar.SyndromeWindow(4, 3)
    for frame in _veskar.VeskarStream(write_file(stream_bytes(sent))):
        window.push(frame)
    assert window.to_numpy_matrix().astype(int).tolist() == [[1, 0, 0, 1], [0, 0, 0, 0], [0, 1, 0, 0]]
    assert window.active_detectors() == [0, 3, 9]
    # Keyword form, evicting the first frame.
    window.push(frame=frame)
    assert window.active_detectors() == [5, 9]


@pytest.mark.parametrize("not_a_frame", [None, 3, np.zeros(4, dtype=bool)])
def test_push_takes_only_frames(not_a_frame):
    with pytest.raises(TypeError, match="frame"):
        _veskar.SyndromeWindow(4, 2).push(not_a_frame)


@pytest.mark.parametrize(
    "args, error, match",
    [
        ((-1, 2), OverflowError, None),
        ((4, 2**64), OverflowError, None),
        ((4.0, 2), TypeError, "ancilla_count"),
        ((4, "2"), TypeError, "window_depth"),
        ((4, None), TypeError, "window_depth"),
        ((4, 0), ValueError, "at least 1"),
        # 2^33 detectors cannot be named by 32-bit flat indices.
        ((2**16, 2**17), OverflowError, "too large"),
        # No allocator gives 2^50 round slots; the process must survive asking.
        ((0, 2**50), MemoryError, "cannot reserve"),
    ],
)
def test_constructor_errors(args, error, match):
    with pytest.raises(error, match=match):
        _veskar.SyndromeWindow(*args)


def test_constructor_takes_keywords_and_numpy_integers():
    window = _veskar.SyndromeWindow(window_depth=np.uint64(3), ancilla_count=np.int32(2))
    assert repr(window) == "SyndromeWindow(rounds=0/3, ancillas=2)"


@pytest.mark.parametrize(
    "args, error, match",
    [
        ((bools(1, 0), 1), TypeError, None),  # all three arguments are required
        (([True, False], 1, 1), TypeError, "detector_events"),
        ((np.array([1, 0], dtype=np.int8), 1, 1), TypeError, "detector_events"),
        ((np.zeros((2, 2), dtype=bool), 1, 1), TypeError, "detector_events"),
        ((bools(1, 0), 1.5, 1), TypeError, "frame_id"),
        ((bools(1, 0), -1, 1), OverflowError, None),
        ((bools(1, 0), 2**64, 1), OverflowError, None),
        ((bools(1, 0), 1, 2**32), OverflowError, "round"),
    ],
)
def test_push_numpy_errors_leave_the_window_alone(args, error, match):
    window = pushed(2, 2, [0, 1])
    with pytest.raises(error, match=match):
        window.push_numpy(*args)
    assert window.active_detectors() == [1]


def test_push_numpy_limits_and_keywords():
    window = _veskar.SyndromeWindow(2, 1)
    window.push_numpy(round=2**32 - 1, frame_id=2**64 - 1, detector_events=bools(0, 1))
    assert window.active_detectors() == [1]


def test_bool_bytes_other_than_one_count_as_fired():
    # A bool view of other bytes can hold any non-zero value.
    window = pushed(3, 1, [0, 0, 0])
    window.push_numpy(np.array([0, 2, 255], dtype=np.uint8).view(bool), 1, 1)
    assert window.active_detectors() == [1, 2]


def test_signatures_and_docstrings():
    cls = _veskar.SyndromeWindow
    assert str(inspect.signature(cls)) == "(ancilla_count, window_depth)"
    assert str(inspect.signature(cls.push_numpy)) == "(self, /, detector_events, frame_id, round)"
    assert cls.push.__doc__ == "Push a `SyndromeFrame` into the window, evicting the oldest if full."
    assert cls.push_numpy.__doc__ == "Push detector events directly from a 1-D NumPy bool array."
    assert cls.to_numpy_matrix.__doc__.splitlines() == [
        "Detector matrix as a 2-D NumPy bool array of shape `(rounds, ancilla_count)`.",
        "",
        "Row 0 is the oldest round; row `len()-1` is the newest.",
    ]
    assert cls.active_detectors.__doc__ == (
        "Indices (into the flat detector matrix) of all fired detectors across all rounds."
    )

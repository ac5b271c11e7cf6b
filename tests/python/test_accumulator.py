import inspect

import numpy as np
import pytest

import _veskar

Acc = _veskar.LogicalErrorAccumulator
Result = _veskar.DecoderResult


def test_fresh_accumulator():
    acc = Acc(2)
    assert acc.total_shots() == 0
    assert acc.mean_logical_error_rate() == 0.0
    assert [acc.logical_error_rate(k) for k in range(3)] == [0.0, 0.0, 0.0]
    assert repr(acc) == "LogicalErrorAccumulator(shots=0, mean_p_L=0.0000e0)"


def test_record_counts_each_mispredicted_observable():
    acc = Acc(2)
    acc.record(Result(1), 3)
    assert acc.total_shots() == 1
    assert (acc.logical_error_rate(0), acc.logical_error_rate(1)) == (0.0, 1.0)
    assert acc.mean_logical_error_rate() == 0.5
    assert repr(acc).endswith("mean_p_L=5.0000e-1)")
    acc.record(result=Result(2), ground_truth=np.uint64(2))
    acc.record(Result(0b111), 0)  # bit 2 is beyond the tracked observables
    assert acc.total_shots() == 3
    assert acc.logical_error_rate(observable=0) == pytest.approx(1 / 3)
    assert acc.logical_error_rate(1) == pytest.approx(2 / 3)
    assert acc.logical_error_rate(5) == 0.0
    assert repr(acc) == "LogicalErrorAccumulator(shots=3, mean_p_L=5.0000e-1)"


@pytest.mark.parametrize(
    "errors, shots, mean",
    [
        (1, 4, "2.5000e-1"),
        (1, 81, "1.2346e-2"),
        (3, 7, "4.2857e-1"),
        (2, 2, "1.0000e0"),
        (1, 20000, "5.0000e-5"),
    ],
)
def test_repr_scientific_notation(errors, shots, mean):
    acc = Acc(1)
    for shot in range(shots):
        acc.record(Result(0), 1 if shot < errors else 0)
    assert repr(acc) == f"LogicalErrorAccumulator(shots={shots}, mean_p_L={mean})"


def test_no_observables_counts_shots_only():
    acc = Acc(0)
    acc.record(Result(0), 0xFF)
    acc.record(Result(1), 0)
    assert acc.total_shots() == 2
    assert acc.mean_logical_error_rate() == 0.0 and acc.logical_error_rate(0) == 0.0


def test_at_most_64_observables():
    acc = Acc(100)
    acc.record(Result(0), (1 << 64) - 1)
    assert acc.logical_error_rate(63) == 1.0
    assert acc.logical_error_rate(64) == 0.0
    assert acc.mean_logical_error_rate() == 1.0  # averaged over 64, not 100


def test_reset_keeps_the_observables():
    acc = Acc(2)
    acc.record(Result(0), 2)
    assert acc.reset() is None
    assert acc.total_shots() == 0
    assert acc.logical_error_rate(1) == 0.0
    acc.record(Result(0), 2)
    assert (acc.logical_error_rate(0), acc.logical_error_rate(1)) == (0.0, 1.0)


@pytest.mark.parametrize(
    "call, error, argument",
    [
        (lambda acc: Acc(-1), OverflowError, "observable_count"),
        (lambda acc: Acc(1.0), TypeError, "observable_count"),
        (lambda acc: Acc("2"), TypeError, "observable_count"),
        (lambda acc: acc.record(3, 0), TypeError, "result"),
        (lambda acc: acc.record(None, 0), TypeError, "result"),
        (lambda acc: acc.record(Result(0), -1), OverflowError, "ground_truth"),
        (lambda acc: acc.record(Result(0), 1 << 64), OverflowError, "ground_truth"),
        (lambda acc: acc.record(Result(0), 1.0), TypeError, "ground_truth"),
        (lambda acc: acc.logical_error_rate(-1), OverflowError, "observable"),
        (lambda acc: acc.logical_error_rate("0"), TypeError, "observable"),
    ],
)
def test_bad_arguments_name_the_argument_and_count_nothing(call, error, argument):
    acc = Acc(2)
    with pytest.raises(error, match=f"argument '{argument}'"):
        call(acc)
    assert acc.total_shots() == 0


@pytest.mark.parametrize(
    "member, signature",
    [
        (Acc, "(observable_count)"),
        (Acc.record, "(self, /, result, ground_truth)"),
        (Acc.logical_error_rate, "(self, /, observable)"),
        (Acc.mean_logical_error_rate, "(self, /)"),
        (Acc.total_shots, "(self, /)"),
        (Acc.reset, "(self, /)"),
    ],
)
def test_signatures_without_docstrings(member, signature):
    assert str(inspect.signature(member)) == signature
    assert not member.__doc__  # the signature line only

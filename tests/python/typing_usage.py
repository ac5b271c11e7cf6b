"""Type-checked by test_typing.py with mypy --strict, never run.

Uses the API as a caller would, through both the package and the extension.
Each line ending in a `type: ignore[...]` is a misuse the stubs must refuse:
under --strict an ignore that silences nothing is itself an error, so a stub
that grew too permissive fails the check.
"""

import os
from pathlib import Path

import numpy as np
import numpy.typing as npt

import _veskar
import veskar


def read(path: Path) -> list[int]:
    ids: list[int] = []
    with veskar.open(path, decoder="error(0.1) D0", window_depth=np.int64(2)) as stream:
        for frame in stream:
            ids.append(frame.frame_id + frame.round + frame.detector_event_count)
            flips: int | None = frame.recorded_observable_flips
            events: npt.NDArray[np.bool_] = frame.to_numpy_detector_events()
            results: npt.NDArray[np.int8] = frame.to_numpy_meas_results()
            raw: bytes = frame.meas_results()
            row = frame.to_dict()
            observable: int | None = row["observable_flips"]
            del flips, events, results, raw, observable
            frame.frame_id = 3  # type: ignore[misc]
    return ids


def recover(path: Path) -> int:
    stream = veskar.open(path, timeout=2.5)
    skipped: int = _veskar.VeskarStream(path, timeout=None).resync() + stream.resync()
    _veskar.VeskarStream(path, 2.5)  # type: ignore[call-arg]
    return skipped


def decode(stream: _veskar.VeskarStream, dem_path: os.PathLike[str]) -> float:
    stream.set_decoder(dem_path)
    stream.set_decoder(_veskar.DetectorErrorModel.parse("error(0.1) D0"), window_depth=3)
    stream.set_decoder(dem_path, commit_rounds=veskar.WHOLE_SHOT, buffer_rounds=None)
    stream.set_decoder(dem_path, 0, 5)  # type: ignore[call-arg]
    with veskar.open(dem_path, decoder=dem_path, commit_rounds=np.uint32(5), buffer_rounds=5) as shots:
        ended: bool = next(shots).ends_shot
        kinds: frozenset[str] = veskar.SEQUENCE_ERRORS
        del ended, kinds
    accumulator = _veskar.LogicalErrorAccumulator(np.uint8(1))
    result = next(stream).null_decode()
    accumulator.record(result, ground_truth=np.uint64(0))
    accumulator.record(result, "0")  # type: ignore[arg-type]
    corrections: list[_veskar.LogicalCorrection] = result.corrections
    pauli: str = corrections[0].pauli if corrections else "X"
    del pauli
    return accumulator.logical_error_rate(0) + accumulator.mean_logical_error_rate() + result.confidence


def window(frame: _veskar.SyndromeFrame) -> list[int]:
    w = _veskar.SyndromeWindow(ancilla_count=4, window_depth=2)
    w.push(frame)
    w.push_numpy(np.zeros(4, dtype=np.bool_), frame_id=1, round=np.uint32(2))
    w.push(w)  # type: ignore[arg-type]
    matrix: npt.NDArray[np.bool_] = matrix_of(w)
    del matrix
    return w.active_detectors() if w.is_full() and not w.is_empty() and len(w) == 2 else []


def matrix_of(w: _veskar.SyndromeWindow) -> npt.NDArray[np.bool_]:
    return w.to_numpy_matrix()


def models(path: str) -> tuple[int, str, dict[int, tuple[float, ...]]]:
    model = veskar.DetectorErrorModel.from_file(path)
    errors: list[tuple[float, list[int], list[int]]] = model.errors()
    _veskar.DetectorErrorModel.parse(3)  # type: ignore[arg-type]
    return (
        model.detector_count + model.observable_count + len(errors),
        model.to_schema_json("x"),
        model.detector_coordinates(),
    )


def codes() -> list[_veskar.CodeType]:
    return [_veskar.CodeType.SURFACE_CODE, veskar.CodeType.CUSTOM]


def version() -> str:
    try:
        return veskar.__version__ + _veskar.__version__
    except veskar.VeskarError as err:
        return str(err)

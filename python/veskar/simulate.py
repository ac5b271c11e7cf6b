"""Sampling syndrome recordings from a detector error model.

Every error mechanism of the DEM fires independently with its probability;
the detectors and observables it touches flip (two flips cancel). Each shot's
flat detector vector is cut into frames of ``ancilla_count`` detectors, so a
decoder window as deep as the shot has frames sees exactly the DEM's detector
numbering; the shot's true observable flips travel in its last frame's
metadata.

    shots = sample(dem, shots=1000, seed=7)
    write_recording("run.tolm", dem, shots=1000, seed=7)
    write_shots("stim.tolm", dem, detectors, observables)  # shots sampled elsewhere
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import numpy as np

import _veskar

from .tolm import TolmWriter, encode_frame, rle_encode


def load_dem(dem) -> "_veskar.DetectorErrorModel":
    """A parsed model from a ``DetectorErrorModel``, a path, DEM text, or any
    object whose ``str()`` is DEM text (a Stim model, say), resolved as
    ``VeskarStream.set_decoder`` resolves it: a one-line str that starts with
    no DEM instruction is a file name, so a missing one is FileNotFoundError."""
    return _veskar.DetectorErrorModel._resolve(dem)


def default_ancilla_count(model) -> int:
    """Detectors per frame: the most detectors that share one time coordinate
    (the last coordinate Stim gives a detector), else all of them."""
    coords = model.detector_coordinates()
    times = [c[-1] for c in coords.values() if c]
    if len(times) == 0 or len(times) < model.detector_count:
        return max(model.detector_count, 1)
    _, counts = np.unique(np.asarray(times), return_counts=True)
    return int(counts.max())


@dataclass
class Samples:
    detectors: np.ndarray  # bool, shots x detector_count
    observables: np.ndarray  # uint64, one mask per shot


def sample(dem, shots: int, seed: int | None = None, *, batch: int = 8192) -> Samples:
    """Independent shots of the model, deterministic for a given seed."""
    model = load_dem(dem)
    rng = np.random.default_rng(seed)
    errors = model.errors()
    num_detectors = model.detector_count
    detectors = np.zeros((shots, num_detectors), dtype=bool)
    observables = np.zeros(shots, dtype=np.uint64)
    probabilities = np.array([p for p, _, _ in errors], dtype=np.float64)
    probabilities = np.clip(np.nan_to_num(probabilities, nan=0.0), 0.0, 1.0)
    for start in range(0, shots, batch):
        stop = min(start + batch, shots)
        fired = rng.random((len(errors), stop - start)) < probabilities[:, None]
        block = np.zeros((num_detectors, stop - start), dtype=bool)
        flips = np.zeros(stop - start, dtype=np.uint64)
        for index in np.flatnonzero(fired.any(axis=1)):
            hit = fired[index]
            _, error_detectors, error_observables = errors[index]
            for detector in error_detectors:
                block[detector] ^= hit
            mask = 0
            for observable in error_observables:
                mask ^= 1 << observable
            if mask:
                flips ^= np.where(hit, np.uint64(mask), np.uint64(0))
        detectors[start:stop] = block.T
        observables[start:stop] = flips
    return Samples(detectors, observables)


def frames_per_shot(detector_count: int, ancilla_count: int) -> int:
    return max(1, math.ceil(detector_count / max(ancilla_count, 1)))


def write_recording(
    path_or_sink,
    dem,
    shots: int,
    seed: int | None = None,
    *,
    ancilla_count: int | None = None,
    code_type: int = 1,
    distance: int = 0,
    qubit_count: int = 0,
    round_ns: int = 1000,
) -> dict:
    """Samples ``shots`` shots and writes them as TOLM frames; returns a summary
    (frames, frames per shot, ancilla count, logical flips)."""
    model = load_dem(dem)
    samples = sample(model, shots, seed)
    return write_shots(
        path_or_sink,
        model,
        samples.detectors,
        samples.observables,
        ancilla_count=ancilla_count,
        code_type=code_type,
        distance=distance,
        qubit_count=qubit_count,
        round_ns=round_ns,
    )


def write_shots(
    path_or_sink,
    dem,
    detectors: np.ndarray,
    observables: np.ndarray | None,
    *,
    ancilla_count: int | None = None,
    code_type: int = 1,
    distance: int = 0,
    qubit_count: int = 0,
    round_ns: int = 1000,
) -> dict:
    """Writes given shots as TOLM frames, laid out as ``write_recording`` lays
    out sampled ones: ``detectors`` is bool, shots x detector_count;
    ``observables`` one uint64 flip mask per shot, or None to record none.
    Returns the same summary."""
    model = load_dem(dem)
    shots = len(detectors)
    ancillas = ancilla_count or default_ancilla_count(model)
    per_shot = frames_per_shot(model.detector_count, ancillas)
    padded = np.zeros((shots, per_shot * ancillas), dtype=np.uint8)
    padded[:, : model.detector_count] = detectors
    rows = padded.reshape(shots * per_shot, ancillas)

    # Rows repeat (most are quiet), so each distinct one is coded once. A
    # fired detector reads as measurement result 0, a quiet one as 1.
    @functools.lru_cache(maxsize=1 << 16)
    def coded(row: bytes) -> tuple[bytes, bytes]:
        events = np.frombuffer(row, dtype=np.uint8)
        return rle_encode(events), (1 - events).astype(np.int8).tobytes()

    owns = not hasattr(path_or_sink, "write") and not hasattr(path_or_sink, "sendall")
    writer = TolmWriter.create(path_or_sink) if owns else TolmWriter(path_or_sink)
    try:
        frame_id = 0
        for shot in range(shots):
            chunk = []
            for r in range(per_shot):
                runs, results = coded(rows[frame_id].tobytes())
                frame_id += 1
                flips = int(observables[shot]) if observables is not None and r == per_shot - 1 else None
                chunk.append(
                    encode_frame(
                        frame_id,
                        r,
                        meas_results=results,
                        detector_runs=runs,
                        timestamp_ns=frame_id * round_ns,
                        qubit_count=qubit_count,
                        code_type=code_type,
                        distance=distance,
                        observable_flips=flips,
                    )
                )
            writer.write_raw(b"".join(chunk))
    finally:
        writer.close()
    return {
        "shots": shots,
        "frames": shots * per_shot,
        "frames_per_shot": per_shot,
        "ancilla_count": ancillas,
        "detector_count": model.detector_count,
        "logical_flips": int(np.count_nonzero(observables)) if observables is not None else 0,
    }

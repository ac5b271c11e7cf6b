"""Detector error models that ship with veskar, written by Stim 1.17 for its
memory experiments with circuit-level noise (decomposed errors):

- ``repetition_d5``: repetition code, distance 5, 5 rounds, p = 0.03
  (24 detectors, 4 per round);
- ``surface_d5``: rotated surface code (memory Z), distance 5, 5 rounds,
  p = 0.005 (120 detectors, 24 per round).
"""

from __future__ import annotations

from pathlib import Path

_HERE = Path(__file__).resolve().parent

SAMPLES = {
    "repetition_d5": "repetition_d5_r5_p003.dem",
    "surface_d5": "surface_d5_r5_p0005.dem",
}

# Detectors per frame for each sample, as its circuit measures them per round.
ANCILLAS = {"repetition_d5": 4, "surface_d5": 24}


def path(name: str) -> Path:
    """Path of a bundled DEM: ``"repetition_d5"`` or ``"surface_d5"``."""
    try:
        return _HERE / SAMPLES[name]
    except KeyError:
        raise ValueError(f"no bundled sample {name!r}; choose from {', '.join(SAMPLES)}") from None

"""The circuits the benchmarks sample: Stim's rotated surface-code memory
experiments with the same circuit-level noise p after every Clifford, before
every round on the data, before every measurement and after every reset."""

from __future__ import annotations

import stim


def surface_memory(distance: int, p: float, rounds: int | None = None, basis: str = "z") -> stim.Circuit:
    """`rounds` defaults to the distance."""
    return stim.Circuit.generated(
        f"surface_code:rotated_memory_{basis}",
        distance=distance,
        rounds=distance if rounds is None else rounds,
        after_clifford_depolarization=p,
        before_round_data_depolarization=p,
        before_measure_flip_probability=p,
        after_reset_flip_probability=p,
    )

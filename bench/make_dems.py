"""Writes the detector error models the benchmarks need but the repository
does not keep: they are megabytes of text that Stim makes in a moment.

    make_dems.py OUT_DIR

surface_d17_r17_p0001.dem: Stim's rotated surface-code memory experiment,
distance 17, 17 rounds, circuit-level noise p = 0.001 on every channel,
errors decomposed and the model flattened, as the reference data was made.
Its size follows the Stim version (Stim 1.16 writes 6.0 MB and 111222 error
instructions, 1.17 5.6 MB and 102507).
"""

import pathlib
import sys

from circuits import surface_memory


def surface_memory_dem(distance: int, rounds: int, p: float) -> str:
    circuit = surface_memory(distance, p, rounds)
    return str(circuit.detector_error_model(decompose_errors=True).flattened()) + "\n"


def main() -> None:
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    (out / "surface_d17_r17_p0001.dem").write_text(surface_memory_dem(17, 17, 0.001))


if __name__ == "__main__":
    main()

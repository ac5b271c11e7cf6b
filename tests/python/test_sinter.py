"""veskar-uf in sinter: a real collection beside PyMatching on the same
circuit, through sinter.collect and through sinter's command line."""

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

sinter = pytest.importorskip("sinter")
stim = pytest.importorskip("stim")


def circuit() -> stim.Circuit:
    return stim.Circuit.generated(
        "surface_code:rotated_memory_x",
        distance=3,
        rounds=3,
        after_clifford_depolarization=0.006,
        before_measure_flip_probability=0.006,
    )


# Run in a process of its own: sinter's worker pool leaves threads behind
# that end in their own time, which other tests counting threads would see.
COLLECT = """
import json, sinter, stim, veskar.sinter
circuit = stim.Circuit.generated("surface_code:rotated_memory_x", distance=3, rounds=3,
                                 after_clifford_depolarization=0.006, before_measure_flip_probability=0.006)
stats = sinter.collect(num_workers=2, tasks=[sinter.Task(circuit=circuit, json_metadata={"d": 3})],
                       decoders=["veskar-uf", "pymatching"], custom_decoders=veskar.sinter.sinter_decoders(),
                       max_shots=20_000, start_batch_size=1, max_batch_size=4096)
print(json.dumps({s.decoder: [s.shots, s.errors, s.discards] for s in stats}))
"""


def test_collect_beside_pymatching():
    result = subprocess.run([sys.executable, "-c", COLLECT], capture_output=True, text=True, timeout=12, check=True)
    by_decoder = json.loads(result.stdout)
    (shots, errors, discards), (reference_shots, reference_errors, _) = (
        by_decoder["veskar-uf"],
        by_decoder["pymatching"],
    )
    assert shots == reference_shots == 20_000 and discards == 0
    # Union-Find is a little less accurate than matching, never far off: within
    # 30% of PyMatching's rate, allowing four standard deviations of noise,
    # and nowhere near what no decoding at all would give.
    rate, reference = errors / shots, reference_errors / reference_shots
    noise = 4 * math.sqrt(reference * (1 - reference) / reference_shots)
    assert 0.7 * reference - noise <= rate <= 1.3 * reference + noise
    assert reference_errors > 50


def test_command_line_collect(tmp_path):
    circuit_path = tmp_path / "d=3.stim"
    circuit().to_file(circuit_path)
    out = tmp_path / "stats.csv"
    subprocess.run(
        [
            str(Path(sys.executable).with_name("sinter")),
            "collect",
            "--circuits",
            str(circuit_path),
            "--decoders",
            "veskar-uf",
            "--custom_decoders_module_function",
            "veskar.sinter:sinter_decoders",
            "--max_shots",
            "2000",
            "--processes",
            "1",
            "--save_resume_filepath",
            str(out),
            "--quiet",
        ],
        check=True,
        timeout=12,
    )
    stats = sinter.read_stats_from_csv_files(out)
    assert [(s.decoder, s.shots) for s in stats] == [("veskar-uf", 2000)]

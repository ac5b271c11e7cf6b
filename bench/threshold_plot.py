"""A threshold plot of veskar-uf beside PyMatching, made with sinter's own
tools: rotated surface-code memory experiments (Stim's generated circuits,
d rounds at distance d = 3, 5, 7, every circuit-level noise rate equal to p)
collected by `sinter collect` on the command line, veskar's decoder plugged
in through --custom_decoders_module_function, and drawn with
sinter.plot_error_rate: logical error rate per shot against p, one curve per
decoder and distance. Where a distance's curves cross, below threshold, a
larger distance makes fewer errors.

    .venv/bin/python bench/threshold_plot.py [--out threshold.png] [--max-shots N] [--max-errors N]

The statistics go to build/bench/threshold/stats.csv; a rerun resumes from
it (sinter's --save_resume_filepath), so more shots can be added later.
matplotlib comes with the bench extras (pip install '.[bench]').
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

import sinter
from circuits import surface_memory

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "bench" / "threshold"
DISTANCES = (3, 5, 7)
RATES = (0.002, 0.003, 0.004, 0.005, 0.006, 0.008, 0.010, 0.012)
DECODERS = ("veskar-uf", "pymatching")


def write_circuits(directory: Path) -> list[Path]:
    """One circuit file per (d, p), its metadata in its name as sinter reads it."""
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for d in DISTANCES:
        for p in RATES:
            circuit = surface_memory(d, p, basis="x")
            path = directory / f"d={d},p={p},r={d}.stim"
            circuit.to_file(path)
            paths.append(path)
    return paths


def collect(circuits: list[Path], stats: Path, max_shots: int, max_errors: int, processes: int) -> None:
    sinter_program = Path(sys.executable).with_name("sinter")
    command = [
        str(sinter_program),
        "collect",
        "--circuits",
        *map(str, circuits),
        "--decoders",
        *DECODERS,
        "--custom_decoders_module_function",
        "veskar.sinter:sinter_decoders",
        "--max_shots",
        str(max_shots),
        "--max_errors",
        str(max_errors),
        "--processes",
        str(processes),
        "--save_resume_filepath",
        str(stats),
        "--metadata_func",
        "auto",
    ]
    subprocess.run(command, check=True)


def plot(stats: Path, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    samples = sinter.read_stats_from_csv_files(stats)
    fig, ax = plt.subplots(1, 1, figsize=(7, 5))
    sinter.plot_error_rate(
        ax=ax,
        stats=samples,
        x_func=lambda s: s.json_metadata["p"],
        group_func=lambda s: {
            "label": f"{s.decoder} d={s.json_metadata['d']}",
            "color": f"C{DISTANCES.index(s.json_metadata['d'])}",
            "marker": "o" if s.decoder == "veskar-uf" else "x",
            "linestyle": "-" if s.decoder == "veskar-uf" else "--",
            "sort": (s.json_metadata["d"], s.decoder),
        },
    )
    ax.loglog()
    ax.set_xlabel("physical error rate p (circuit-level noise)")
    ax.set_ylabel("logical error rate per shot (d rounds)")
    ax.set_title("Rotated surface code memory: veskar-uf beside PyMatching")
    ax.grid(which="major")
    ax.grid(which="minor", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=ROOT / "threshold.png")
    parser.add_argument("--max-shots", type=int, default=1_000_000)
    parser.add_argument("--max-errors", type=int, default=1000)
    parser.add_argument("--processes", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    circuits = write_circuits(WORK / "circuits")
    stats = WORK / "stats.csv"
    collect(circuits, stats, args.max_shots, args.max_errors, args.processes)
    plot(stats, args.out)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

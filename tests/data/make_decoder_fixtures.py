"""Convert sampled shots (.npz) into small binary fixtures the C++ decoder tests read.

Each sample holds Stim-sampled detection events, the true observable flips and
PyMatching's predictions for one DEM (see the README of the reference data).
C++ cannot read .npz, so the first shots of each sample are rewritten as a
flat file `<sample>.shots` next to this script, in samples/.

File format (all integers little-endian):

    offset  size  field
    0       4     magic b"VXSH"
    4       4     u32 format version, 1
    8       4     u32 num_detectors: detectors per shot (the DEM's detector count)
    12      4     u32 ancillas_per_round: detectors per round (frame width)
    16      4     u32 window_depth: rounds per shot
    20      4     u32 num_shots
    24      4     u32 mask_bytes: bytes per observable mask, 1 to 8
    28      ...   num_shots records of
                      ceil(num_detectors / 8) bytes  detection events, bit d of the
                                                     shot is bit d % 8 of byte d / 8
                                                     (numpy bitorder "little")
                      mask_bytes                     true observable flips, bit k = L_k
                      mask_bytes                     PyMatching's predicted flips

Usage: make_decoder_fixtures.py [--shots N] [--out DIR] [--data DIR]
"""

import argparse
import json
import pathlib
import struct

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_DATA = HERE.parents[2] / "shared" / "data"
MAGIC = b"VXSH"
VERSION = 1


def mask_width(*masks: np.ndarray) -> int:
    largest = max(int(m.max()) if m.size else 0 for m in masks)
    return max(1, (largest.bit_length() + 7) // 8)


def convert(npz_path: pathlib.Path, meta: dict, shots: int, out: pathlib.Path) -> pathlib.Path:
    with np.load(npz_path) as sample:
        num_detectors = int(sample["num_detectors"])
        packed = sample["detectors"][:shots]
        truth = sample["observables"][:shots].astype(np.uint64)
        pymatching = sample["pymatching"][:shots].astype(np.uint64)
    if num_detectors != meta["ancillas_per_round"] * meta["window_depth"]:
        raise SystemExit(f"{npz_path.name}: rounds do not tile the detectors")
    row_bytes = (num_detectors + 7) // 8
    if packed.shape[1] != row_bytes:
        raise SystemExit(f"{npz_path.name}: expected {row_bytes} bytes per shot, found {packed.shape[1]}")
    # Keep the packing of the source, but clear padding bits past the last detector.
    unpacked = np.unpackbits(packed, axis=1, bitorder="little")[:, :num_detectors]
    packed = np.packbits(unpacked, axis=1, bitorder="little")

    width = mask_width(truth, pymatching)

    def masks(m):
        return m.astype("<u8").view(np.uint8).reshape(-1, 8)[:, :width]

    records = np.concatenate([packed, masks(truth), masks(pymatching)], axis=1)

    header = MAGIC + struct.pack(
        "<6I", VERSION, num_detectors, meta["ancillas_per_round"], meta["window_depth"], len(records), width
    )
    target = out / (npz_path.stem + ".shots")
    target.write_bytes(header + np.ascontiguousarray(records, dtype=np.uint8).tobytes())
    return target


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shots", type=int, default=10000, help="shots per sample (default 10000)")
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "samples")
    parser.add_argument("--data", type=pathlib.Path, default=DEFAULT_DATA)
    args = parser.parse_args()

    index = json.loads((args.data / "index.json").read_text())
    args.out.mkdir(parents=True, exist_ok=True)
    for name, meta in sorted(index["samples"].items()):
        target = convert(args.data / "samples" / name, meta, args.shots, args.out)
        print(f"{target}: {target.stat().st_size} bytes")


if __name__ == "__main__":
    main()

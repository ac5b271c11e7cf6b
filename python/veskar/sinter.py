"""veskar's Union-Find decoder as a sinter decoder, named ``"veskar-uf"``.

    import sinter, veskar.sinter
    stats = sinter.collect(num_workers=4, tasks=tasks, decoders=["veskar-uf"],
                           custom_decoders=veskar.sinter.sinter_decoders(), max_shots=10**6)

or from the command line:

    sinter collect ... --decoders veskar-uf \\
        --custom_decoders_module_function "veskar.sinter:sinter_decoders"

Each of sinter's workers compiles a ``veskar.UnionFindDecoder`` for its task's
DEM (folded, with ``repeat`` blocks and ``^``-decomposed errors, which the
decoder expands) and hands it every batch of shots bit-packed, as
``decode_batch`` takes them. The classes derive from sinter's ``Decoder`` and
``CompiledDecoder`` when sinter is installed; without it they are the same
duck-typed objects, so that importing this module never needs sinter.
"""

from __future__ import annotations

import numpy as np

import _veskar

try:
    from sinter import CompiledDecoder as _CompiledDecoderBase  # type: ignore[import-untyped]
    from sinter import Decoder as _DecoderBase
except ImportError:  # the same interface without the base classes
    _CompiledDecoderBase = object  # type: ignore[assignment,misc]
    _DecoderBase = object  # type: ignore[assignment,misc]

NAME = "veskar-uf"

__all__ = ["NAME", "CompiledUnionFindDecoder", "SinterUnionFindDecoder", "sinter_decoders"]


class CompiledUnionFindDecoder(_CompiledDecoderBase):
    """A ``veskar.UnionFindDecoder`` built for one DEM, decoding sinter's
    bit-packed batches."""

    def __init__(self, decoder: _veskar.UnionFindDecoder):
        self.decoder = decoder

    def decode_shots_bit_packed(self, *, bit_packed_detection_event_data: np.ndarray) -> np.ndarray:
        return self.decoder.decode_batch(
            bit_packed_detection_event_data, bit_packed_shots=True, bit_packed_predictions=True
        )


class SinterUnionFindDecoder(_DecoderBase):
    """The sinter decoder: it holds nothing, so it pickles to sinter's
    spawned workers as it is; each worker builds the decoder itself."""

    def compile_decoder_for_dem(self, *, dem) -> CompiledUnionFindDecoder:
        return CompiledUnionFindDecoder(_veskar.UnionFindDecoder(dem))


def sinter_decoders() -> dict[str, SinterUnionFindDecoder]:
    """``{"veskar-uf": decoder}``, for ``sinter.collect(custom_decoders=...)``
    and ``sinter collect --custom_decoders_module_function
    "veskar.sinter:sinter_decoders"``."""
    return {NAME: SinterUnionFindDecoder()}

"""veskar: stream quantum-error-correction syndrome frames into Python and
decode them as they arrive.

    import veskar
    with veskar.open("tcp://127.0.0.1:9000", decoder="surface_d5.dem") as stream:
        for frame in stream:
            print(frame.frame_id, frame.observable_flips)

The classes come from the native module ``_veskar``; ``veskar.tolm`` writes
the TOLM format and ``veskar.simulate`` samples recordings from a DEM.
``UnionFindDecoder`` decodes whole shots from NumPy arrays, as PyMatching's
``Matching`` does; ``veskar.sinter`` plugs it into sinter, and
``veskar.shot_data`` reads and writes Stim's shot files.
"""

from __future__ import annotations

import os
from typing import SupportsIndex

from _veskar import (
    CodeType,
    DecoderResult,
    DetectorErrorModel,
    LogicalCorrection,
    LogicalErrorAccumulator,
    SpacetimeGraph,
    SyndromeFrame,
    SyndromeWindow,
    UnionFindDecoder,
    VeskarError,
    VeskarStream,
    __version__,
)

__all__ = [
    "CodeType",
    "DecoderResult",
    "LogicalCorrection",
    "SyndromeFrame",
    "UnionFindDecoder",
    "VeskarError",
    "VeskarStream",
    "__version__",
    "open",
    "SyndromeWindow",
    "DetectorErrorModel",
    "SpacetimeGraph",
    "LogicalErrorAccumulator",
]


def open(  # noqa: A001
    source: str | os.PathLike[str],
    decoder: object = None,
    window_depth: SupportsIndex = 0,
    *,
    timeout: float | None = None,
) -> VeskarStream:
    """Open a TOLM stream from a file path (a str or a path object) or
    ``"tcp://host:port"``.

    ``decoder`` is a DEM (a path, DEM text, or a Stim ``DetectorErrorModel``);
    when given, every frame is decoded over a sliding window of
    ``window_depth`` rounds (0: the DEM's detector count divided by the
    frame's ancilla count) and its ``observable_flips`` is the prediction.

    ``timeout`` (seconds; None waits as long as it takes) bounds the open or
    connect and then each wait for input: a read that waits longer raises
    ``TimeoutError`` and resumes on the next call. ``close()`` may be called
    from any thread at any time; a read waiting on another thread then ends
    as at the end of the stream.

    Failures to open or read are ``OSError``: for a file that cannot be
    opened the subclass for its errno (``FileNotFoundError``,
    ``IsADirectoryError``, ``PermissionError``, ...) with ``errno`` and
    ``filename``. Each carries ``kind``, the name of the reader's error
    (``"CrcMismatch"``, ``"PayloadLengthMismatch"``, ``"Io"``, ...; ``"Closed"``
    for a closed stream), to tell them apart without reading the text.
    """
    stream = VeskarStream(source, timeout=timeout)
    if decoder is not None:
        try:
            stream.set_decoder(decoder, window_depth)
        except BaseException:
            stream.close()
            raise
    return stream

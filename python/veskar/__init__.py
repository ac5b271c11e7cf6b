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
    "SEQUENCE_ERRORS",
    "WHOLE_SHOT",
    "SyndromeWindow",
    "DetectorErrorModel",
    "SpacetimeGraph",
    "LogicalErrorAccumulator",
]


# commit_rounds that decodes each shot once, whole, at its last frame: more
# frames than any shot has (and the largest value commit_rounds takes).
WHOLE_SHOT = 2**32 - 1

# The `kind` of the OSError a stream decoding shot by shot raises for a frame
# out of its shot's sequence (carried as `frame`), or for an input that ends
# inside a shot. The stream stays usable: decoding resumes at the next frame
# of round 0.
SEQUENCE_ERRORS = frozenset({"UnexpectedRound", "ShotCutShort", "AncillaCountChanged", "StreamEnded"})


def open(  # noqa: A001
    source: str | os.PathLike[str],
    decoder: object = None,
    window_depth: SupportsIndex | None = None,
    *,
    commit_rounds: SupportsIndex | None = None,
    buffer_rounds: SupportsIndex | None = None,
    timeout: float | None = None,
) -> VeskarStream:
    """Open a TOLM stream from a file path (a str or a path object) or
    ``"tcp://host:port"``.

    ``decoder`` is a DEM (a path, DEM text, or a Stim ``DetectorErrorModel``)
    describing one shot; when given, every frame's ``observable_flips`` is
    the decoder's prediction, decoded in one of two ways:

    - shot by shot (the default): a frame of round 0 starts a shot of as many
      frames as the DEM's detectors fill; each shot is decoded whole at its
      last frame, the one whose ``ends_shot`` is True, and its
      ``observable_flips`` is the shot's prediction (earlier frames carry 0).
      ``commit_rounds=C`` (and ``buffer_rounds=B``, default C) decode it in
      committed windows instead, C frames at a time over C + B, so that the
      cost per frame stays flat however long the shot; earlier frames then
      carry what is committed so far. Frames out of sequence raise
      ``OSError`` (see ``VeskarStream.set_decoder``).
    - over a sliding window, when ``window_depth`` is given: every frame is
      decoded with the ``window_depth`` most recent frames (0: the DEM's
      detector count divided by the frame's ancilla count), shots or not.

    Give ``window_depth`` or ``commit_rounds``, not both.

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
    if window_depth is not None and (commit_rounds is not None or buffer_rounds is not None):
        raise ValueError(
            "give window_depth (a sliding window) or commit_rounds and buffer_rounds (shot by shot), not both"
        )
    stream = VeskarStream(source, timeout=timeout)
    if decoder is not None:
        try:
            if window_depth is not None:
                stream.set_decoder(decoder, window_depth)
            else:
                stream.set_decoder(
                    decoder,
                    commit_rounds=WHOLE_SHOT if commit_rounds is None else commit_rounds,
                    buffer_rounds=buffer_rounds,
                )
        except BaseException:
            stream.close()
            raise
    return stream

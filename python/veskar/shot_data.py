"""Stim's detection-event files: the ``01``, ``b8``, ``r8`` and ``dets`` formats.

    from veskar.shot_data import read_shot_data_file, write_shot_data_file
    dets, obs = read_shot_data_file(path="shots.b8", format="b8", num_detectors=120,
                                    num_observables=1, separate_observables=True)

The formats have no header: a shot is ``num_detectors`` detection events
followed by ``num_observables`` observable flips, and the reader must be told
both counts. ``01`` is a line of ``0`` and ``1`` characters per shot; ``b8``
packs a shot into ceil(n / 8) bytes, bit k at weight ``1 << (k % 8)`` of byte
``k // 8``; ``r8`` gives, per byte, how many 0 bits come before the next 1,
255 meaning 255 zeros and no 1, after a 1 has been appended to each shot;
``dets`` is a line per shot, the word ``shot`` and then ``D<k>`` for each
fired detector and ``L<k>`` for each flipped observable.

Shots are NumPy arrays with one row per shot: bool with one column per bit,
or bit-packed uint8 (``np.packbits(..., axis=1, bitorder="little")``), as
Stim's own ``read_shot_data_file`` and ``write_shot_data_file`` take them.
Every step works on whole arrays: no Python loop runs per shot or per bit.
"""

from __future__ import annotations

import operator
import os

import numpy as np

__all__ = ["FORMATS", "read_shot_data_file", "write_shot_data_file"]

FORMATS = ("01", "b8", "r8", "dets")

_NEWLINE = ord("\n")


def read_shot_data_file(
    *,
    path: str | os.PathLike,
    format: str,  # noqa: A002 - the name Stim gives it
    num_detectors: int = 0,
    num_observables: int = 0,
    bit_packed: bool = False,
    separate_observables: bool = False,
):
    """Read a file of shots in one of ``FORMATS``.

    Returns an array of shape (shots, num_detectors + num_observables), bool,
    or uint8 bit-packed to ceil(that / 8) columns with ``bit_packed=True``.
    With ``separate_observables=True`` returns a pair of such arrays, the
    detection events and the observable flips. Malformed data raises
    ``ValueError`` saying where.
    """
    num_detectors, num_observables = _counts(format, num_detectors, num_observables)
    with open(os.fspath(path), "rb") as f:
        raw = f.read()
    packed = _PARSERS[format](np.frombuffer(raw, dtype=np.uint8), num_detectors, num_observables)
    if not separate_observables:
        return packed if bit_packed else _unpack(packed, num_detectors + num_observables)
    detectors = _bit_columns(packed, 0, num_detectors)
    observables = _bit_columns(packed, num_detectors, num_observables)
    if bit_packed:
        return _pack(detectors), _pack(observables)
    return detectors, observables


def write_shot_data_file(
    *,
    data,
    path: str | os.PathLike,
    format: str,  # noqa: A002 - the name Stim gives it
    num_detectors: int = 0,
    num_observables: int = 0,
) -> None:
    """Write shots to a file in one of ``FORMATS``.

    ``data`` has one row per shot: bool with num_detectors + num_observables
    columns, or uint8 bit-packed to ceil(that / 8) columns (padding bits are
    ignored).
    """
    num_detectors, num_observables = _counts(format, num_detectors, num_observables)
    packed = _packed_argument(data, num_detectors + num_observables)
    encoded = _WRITERS[format](packed, num_detectors, num_observables)
    with open(os.fspath(path), "wb") as f:
        f.write(encoded)


def _counts(fmt, num_detectors, num_observables):
    if fmt not in FORMATS:
        raise ValueError(f"unknown shot data format {fmt!r}; expected one of {', '.join(FORMATS)}")
    num_detectors = operator.index(num_detectors)
    num_observables = operator.index(num_observables)
    if num_detectors < 0 or num_observables < 0:
        raise ValueError("num_detectors and num_observables must not be negative")
    return num_detectors, num_observables


def _packed_argument(data, width):
    array = np.asarray(data)
    packed_width = (width + 7) // 8
    if array.ndim == 2 and array.dtype == np.bool_ and array.shape[1] == width:
        return _pack(array)
    if array.ndim == 2 and array.dtype == np.uint8 and array.shape[1] == packed_width:
        packed = np.array(array, copy=True, order="C")
        _clear_padding(packed, width)
        return packed
    raise ValueError(
        f"data must be a bool array of shape (shots, {width}) or a bit-packed uint8 array of shape "
        f"(shots, {packed_width}); got {array.dtype} of shape {array.shape}"
    )


# Bit helpers. A shot's bits are kept bit-packed throughout: (shots, ceil(n / 8)) uint8.


def _pack(bits):
    return np.packbits(bits, axis=1, bitorder="little").reshape(bits.shape[0], (bits.shape[1] + 7) // 8)


def _unpack(packed, width):
    return np.unpackbits(packed, axis=1, count=width, bitorder="little").reshape(packed.shape[0], width).view(np.bool_)


def _clear_padding(packed, width):
    if width % 8 and packed.shape[0]:
        packed[:, -1] &= (1 << (width % 8)) - 1


def _bit_columns(packed, first, count):
    """Bits first .. first + count - 1 of every shot, unpacked."""
    lo, hi = first // 8, (first + count + 7) // 8
    bits = np.unpackbits(packed[:, lo:hi], axis=1, bitorder="little")
    return bits[:, first - 8 * lo : first - 8 * lo + count].view(np.bool_)


def _set_bits(packed, width):
    """The 1 bits as (shot, bit) index arrays, ordered by shot, then bit."""
    shots, columns = np.nonzero(packed)
    byte_bits = np.unpackbits(packed[shots, columns][:, None], axis=1, bitorder="little")
    which, bit = np.nonzero(byte_bits)
    shots, bits = shots[which], columns[which] * 8 + bit
    keep = bits < width
    return shots[keep].astype(np.int64), bits[keep].astype(np.int64)


def _from_positions(keys, num_shots, width):
    """Packs the bits at ascending positions shot * width + bit into shots."""
    row_bytes = (width + 7) // 8
    packed = np.zeros(num_shots * row_bytes, dtype=np.uint8)
    if keys.size:
        shots, bits = np.divmod(keys, width)
        byte_index = shots * row_bytes + bits // 8
        values = np.left_shift(1, bits % 8).astype(np.uint8)
        starts = np.flatnonzero(np.diff(byte_index, prepend=-1))
        packed[byte_index[starts]] = np.bitwise_or.reduceat(values, starts)
    return packed.reshape(num_shots, row_bytes)


# 01: a line of '0' and '1' per shot.


def _parse_01(raw, num_detectors, num_observables):
    width = num_detectors + num_observables
    if raw.size and raw[-1] != _NEWLINE:
        raw = np.append(raw, np.uint8(_NEWLINE))  # a last line without its newline
    line_ends = np.flatnonzero(raw == _NEWLINE)
    lengths = np.diff(line_ends, prepend=-1) - 1
    wrong = np.flatnonzero(lengths != width)
    if wrong.size:
        line = int(wrong[0])
        raise ValueError(f"01 data: line {line + 1} has {lengths[line]} characters, expected {width}")
    lines = raw.reshape(line_ends.size, width + 1)[:, :width]
    bad = np.flatnonzero((lines.reshape(-1) | 1) != ord("1"))
    if bad.size:
        line, column = divmod(int(bad[0]), width)
        raise ValueError(
            f"01 data: line {line + 1} has {chr(lines[line, column])!r} at column {column + 1}, expected '0' or '1'"
        )
    return _pack(lines == ord("1"))


def _write_01(packed, num_detectors, num_observables):
    width = num_detectors + num_observables
    text = np.empty((packed.shape[0], width + 1), dtype=np.uint8)
    text[:, :width] = _unpack(packed, width).view(np.uint8) + ord("0")
    text[:, width] = _NEWLINE
    return text.tobytes()


# b8: each shot bit-packed, whole bytes.


def _parse_b8(raw, num_detectors, num_observables):
    width = num_detectors + num_observables
    row_bytes = (width + 7) // 8
    if row_bytes == 0:
        if raw.size:
            raise ValueError(f"b8 data: {raw.size} bytes for shots of no bits")
        return np.zeros((0, 0), dtype=np.uint8)
    if raw.size % row_bytes:
        raise ValueError(f"b8 data: {raw.size} bytes is not a whole number of {row_bytes}-byte shots")
    packed = raw.reshape(-1, row_bytes).copy()
    _clear_padding(packed, width)
    return packed


def _write_b8(packed, num_detectors, num_observables):
    return packed.tobytes()


# r8: run lengths of 0 bits, each shot ended by an appended 1.
#
# Each shot's code ends with the 1 appended to it, so the codes of a file put
# end to end are the code of one long stream of bits: every shot, its 1
# appended, one after the other. Reading decodes that stream at once and
# checks that every shot's appended 1 is where it must be.


def _parse_r8(raw, num_detectors, num_observables):
    width = num_detectors + num_observables
    stride = width + 1
    if raw.size == 0:
        return np.zeros((0, (width + 7) // 8), dtype=np.uint8)
    if raw[-1] == 255:
        raise ValueError("r8 data: ends inside a run of zeros (last byte 255)")
    runs = raw.astype(np.int64)
    ones_here = runs != 255
    run_ends = np.cumsum(runs + ones_here)
    ones = run_ends[ones_here] - 1  # stream positions of the 1 bits
    shots, bits = np.divmod(ones, stride)
    num_shots = -(-int(run_ends[-1]) // stride)
    ended = shots[bits == width]
    if int(run_ends[-1]) != num_shots * stride or ended.size != num_shots:
        has_end = np.zeros(num_shots, dtype=np.bool_)
        has_end[ended] = True
        missing = int(np.argmin(has_end))
        raise ValueError(f"r8 data: shot {missing + 1} does not end after {width} bits")
    inside = bits != width
    return _from_positions(shots[inside] * width + bits[inside], num_shots, width)


def _write_r8(packed, num_detectors, num_observables):
    width = num_detectors + num_observables
    stride = width + 1
    num_shots = packed.shape[0]
    shots, bits = _set_bits(packed, width)
    # The stream's 1 bits in order: each shot's own, then its appended one.
    ones = np.empty(shots.size + num_shots, dtype=np.int64)
    ones[np.arange(shots.size) + shots] = shots * stride + bits
    appended_at = np.cumsum(np.bincount(shots, minlength=num_shots)) + np.arange(num_shots)
    ones[appended_at] = np.arange(num_shots, dtype=np.int64) * stride + width
    zeros_before = np.diff(ones, prepend=-1) - 1
    # 255 stands for 255 zeros and no 1; each 1 takes as many of those as
    # its run needs, then the byte with the rest.
    byte_counts = zeros_before // 255 + 1
    encoded = np.full(int(byte_counts.sum()), 255, dtype=np.uint8)
    encoded[np.cumsum(byte_counts) - 1] = zeros_before % 255
    return encoded.tobytes()


# dets: "shot" then D<k> and L<k> per line.


def _parse_dets(raw, num_detectors, num_observables):
    width = num_detectors + num_observables
    blank = (raw == ord(" ")) | (raw == _NEWLINE) | (raw == ord("\t")) | (raw == ord("\r"))
    text = ~blank
    before = np.r_[False, text[:-1]]
    after = np.r_[text[1:], False]
    starts = np.flatnonzero(text & ~before)
    ends = np.flatnonzero(text & ~after) + 1
    lengths = ends - starts
    line_of = np.searchsorted(np.flatnonzero(raw == _NEWLINE), starts)  # 0-based line of each token
    lead = raw[starts]

    def fail(token, why):
        word = raw[starts[token] : ends[token]].tobytes().decode("ascii", "replace")
        raise ValueError(f"dets data: line {line_of[token] + 1}: {why} {word!r}")

    is_shot = lengths == 4
    for k, letter in enumerate(b"shot"):
        is_shot &= raw[np.minimum(starts + k, raw.size - 1)] == letter
    opens_line = np.r_[True, line_of[1:] != line_of[:-1]]
    misplaced = np.flatnonzero(is_shot != opens_line)
    if misplaced.size:
        token = int(misplaced[0])
        fail(token, "a shot starts with the word 'shot', not" if opens_line[token] else "unexpected")
    targets = np.flatnonzero(~is_shot)
    lead = lead[targets]
    bad_letter = np.flatnonzero((lead != ord("D")) & (lead != ord("L")))
    if bad_letter.size:
        fail(targets[bad_letter[0]], "expected D<k> or L<k>, got")
    digit_counts = lengths[targets] - 1
    bad_length = np.flatnonzero((digit_counts < 1) | (digit_counts > 18))
    if bad_length.size:
        fail(targets[bad_length[0]], "expected D<k> or L<k>, got")

    # The digits of every target at once, a row per target: rows as wide as
    # the longest number, each number right-aligned so that a column has one
    # place value.
    longest = int(digit_counts.max(initial=1))
    column = np.arange(longest) - longest
    at = ends[targets][:, None] + column  # -column[j] bytes before the number's end
    digits = raw[np.maximum(at, 0)] - np.uint8(ord("0"))  # a byte below '0' wraps past 9
    digits[column < -digit_counts[:, None]] = 0  # left of the number
    not_digit = np.flatnonzero((digits > 9).any(axis=1))
    if not_digit.size:
        fail(targets[not_digit[0]], "expected D<k> or L<k>, got")
    values = digits.astype(np.int64) @ np.power(10, -1 - column, dtype=np.int64)

    is_detector = lead == ord("D")
    limit = np.where(is_detector, num_detectors, num_observables)
    beyond = np.flatnonzero(values >= limit)
    if beyond.size:
        k = int(beyond[0])
        count, kind = (num_detectors, "detectors") if is_detector[k] else (num_observables, "observables")
        fail(targets[k], f"index beyond the {count} {kind} in")
    shot_of = np.cumsum(is_shot)[targets] - 1
    num_shots = int(np.count_nonzero(is_shot))
    # Sorted, a repeated target once; files list a shot's targets in order,
    # so the sort has little to do.
    keys = np.sort(shot_of * width + np.where(is_detector, values, num_detectors + values))
    keys = keys[np.diff(keys, prepend=-1) != 0]
    return _from_positions(keys, num_shots, width)


def _write_dets(packed, num_detectors, num_observables):
    width = num_detectors + num_observables
    num_shots = packed.shape[0]
    shots, bits = _set_bits(packed, width)
    # The output is pieces: "shot", one " D<k>" or " L<k>" per set bit, "\n".
    # A table holds each distinct piece once; sorting the pieces' places in
    # the file puts their table rows in order.
    present = np.bincount(bits, minlength=width) != 0
    used = np.flatnonzero(present)
    piece_of_bit = (np.cumsum(present) - 1)[bits]
    words = [b"shot", b"\n"] + [
        b" D%d" % k if k < num_detectors else b" L%d" % (k - num_detectors) for k in used.tolist()
    ]
    table_width = max(len(w) for w in words)
    table = np.frombuffer(b"".join(w.ljust(table_width, b"\0") for w in words), dtype=np.uint8).reshape(
        len(words), table_width
    )
    lengths = np.array([len(w) for w in words])
    per_shot = width + 2
    starts = np.arange(num_shots, dtype=np.int64) * per_shot
    places = np.concatenate([starts, shots * per_shot + 1 + bits, starts + per_shot - 1])
    pieces = np.concatenate([np.zeros(num_shots, dtype=np.int64), 2 + piece_of_bit, np.ones(num_shots, dtype=np.int64)])
    pieces = pieces[np.argsort(places, kind="stable")]
    return table[pieces][np.arange(table_width) < lengths[pieces][:, None]].tobytes()


_PARSERS = {"01": _parse_01, "b8": _parse_b8, "r8": _parse_r8, "dets": _parse_dets}
_WRITERS = {"01": _write_01, "b8": _write_b8, "r8": _write_r8, "dets": _write_dets}

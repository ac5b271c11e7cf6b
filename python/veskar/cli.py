"""The ``veskar`` command line: simulate, serve, decode and inspect TOLM recordings; decode and convert Stim's
shot files."""

from __future__ import annotations

import argparse
import math
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import numpy as np

import _veskar

from . import SEQUENCE_ERRORS, WHOLE_SHOT
from . import simulate as simulate_module
from .shot_data import FORMATS as SHOT_FORMATS
from .shot_data import read_shot_data_file, write_shot_data_file
from .tolm import FILE_HEADER_SIZE, MAGIC, frame_spans

EXIT_STREAM_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
TCP_PREFIX = "tcp://"


class UsageError(Exception):
    """A bad argument found while running a command: reported on one line
    with exit code 2, as argparse reports the ones it finds itself."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):
        # One line naming the problem; `--help` shows the usage.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _int_at_least(low: int, high: int | None = None):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
        if value < low or (high is not None and value > high):
            bounds = f"at least {low}" if high is None else f"from {low} to {high}"
            raise argparse.ArgumentTypeError(f"must be {bounds}, got {value}")
        return value

    return parse


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid float value: {text!r}") from None
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _input_file(text: str) -> Path:
    """A file to read: it must exist and not be a folder (a pipe will do)."""
    path = Path(text)
    if not path.exists():
        problem = "No such file or directory"
    elif path.is_dir():
        problem = "Is a directory"
    elif not os.access(path, os.R_OK):
        problem = "Permission denied"
    else:
        return path
    raise argparse.ArgumentTypeError(f"can't open {text!r}: {problem}")


def _stream_source(text: str) -> str:
    return text if text.startswith(TCP_PREFIX) else str(_input_file(text))


def _load_dem(path: Path) -> "_veskar.DetectorErrorModel":
    try:
        return _veskar.DetectorErrorModel.from_file(str(path))
    except (OSError, ValueError) as exc:
        raise UsageError(f"DEM {str(path)!r}: {exc}") from None


def wilson_interval(errors: int, shots: int, z: float = 1.959963984540054) -> tuple[float, float]:
    """95% Wilson score interval of a binomial rate."""
    if shots == 0:
        return 0.0, 1.0
    p = errors / shots
    denominator = 1 + z * z / shots
    centre = (p + z * z / (2 * shots)) / denominator
    half = z * math.sqrt(p * (1 - p) / shots + z * z / (4 * shots * shots)) / denominator
    return max(0.0, centre - half), min(1.0, centre + half)


def _command_simulate(args) -> int:
    model = _load_dem(args.dem)
    try:
        sink = open(args.output, "wb")
    except OSError as exc:
        raise UsageError(f"can't write {args.output!r}: {exc.strerror}") from None
    try:
        with sink:
            summary = simulate_module.write_recording(
                sink, model, args.shots, args.seed, ancilla_count=args.ancillas, distance=args.distance
            )
    except OSError as exc:
        print(f"veskar simulate: writing {args.output!r} failed: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_STREAM_ERROR
    print(
        f"wrote {summary['frames']} frames ({summary['shots']} shots x {summary['frames_per_shot']} frames "
        f"of {summary['ancilla_count']} ancillas) to {args.output}; "
        f"{summary['logical_flips']} shots with a logical flip"
    )
    return 0


def _command_serve(args) -> int:
    with open(args.file, "rb") as f:
        data = f.read()
    spans = list(frame_spans(data))
    try:
        listener = socket.create_server((args.host, args.port))
    except OSError as exc:
        raise UsageError(f"can't listen on {args.host}:{args.port}: {exc.strerror or exc}") from None
    port = listener.getsockname()[1]
    print(f"serving {len(spans)} frames of {args.file} on {args.host}:{port}", file=sys.stderr, flush=True)
    try:
        for _client in range(args.clients):
            connection, _address = listener.accept()
            # A client that goes away ends its own replay, not the server.
            try:
                with connection:
                    _replay(connection, data, spans, args.rate)
            except (BrokenPipeError, ConnectionResetError) as exc:
                print(f"client went away: {exc}", file=sys.stderr)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    finally:
        listener.close()
    return 0


def _replay(connection: socket.socket, data: bytes, spans, rate: float | None) -> None:
    """Sends the file header, then the frames, paced at ``rate`` frames per
    second in bursts of about a millisecond, as a control stack would."""
    view = memoryview(data)
    connection.sendall(view[:FILE_HEADER_SIZE])
    if not rate:
        end = spans[-1][0] + spans[-1][1] if spans else FILE_HEADER_SIZE
        connection.sendall(view[FILE_HEADER_SIZE:end])
        return
    burst = max(1, int(rate / 1000))
    start = time.perf_counter()
    for index in range(0, len(spans), burst):
        group = spans[index : index + burst]
        first, last = group[0], group[-1]
        connection.sendall(view[first[0] : last[0] + last[1]])
        due = start + (index + len(group)) / rate
        delay = due - time.perf_counter()
        if delay > 0:
            time.sleep(delay)


# How often, in frames, the decode loop looks at the clock: often enough to
# catch a growing lag within a millisecond of a 1 MHz feed, rarely enough to
# cost nothing beside the frames themselves.
TICK_FRAMES = 256

# A live decode keeps pace when, at its end, it is at most this far behind
# the feed: a scheduler's hiccup on a busy machine, not a backlog.
KEEPING_PACE_SECONDS = 0.005


class _Lag:
    """How far behind a live feed decoding runs, from the frames' timestamps:
    a frame stamped t ns after the first frame was due t ns after the first
    frame arrived, and it is handed out now. A frame that came early (a
    burst sent ahead of its stamps) counts as no lag. This holds for a feed
    paced by its timestamps, as a control stack's is and `veskar demo`'s;
    a replay slower than its stamps shows the difference as lag."""

    def __init__(self) -> None:
        self.origin: tuple[float, int] | None = None
        self.last = 0.0
        self.worst = 0.0

    def sample(self, timestamp_ns: int) -> None:
        now = time.perf_counter()
        if self.origin is None:
            self.origin = (now, timestamp_ns)
            return
        arrived, stamped = self.origin
        self.last = max(0.0, (now - arrived) - (timestamp_ns - stamped) * 1e-9)
        self.worst = max(self.worst, self.last)


class _Progress:
    """A one-line progress display on standard error, redrawn a few times a
    second. Only a terminal gets it: a log would fill with carriage returns.
    The first draw waits a whole interval, so its rate means something."""

    INTERVAL = 0.2

    def __init__(self, enabled: bool):
        self.enabled = enabled and sys.stderr.isatty()
        self.started = time.perf_counter()
        self.last_draw = self.started
        self.drawn = False

    def update(self, frames: int, errors: int, shots: int, lag: _Lag | None, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.perf_counter()
        # A forced draw only brings a line already shown up to date.
        if (force and not self.drawn) or (not force and now - self.last_draw < self.INTERVAL):
            return
        self.last_draw = now
        self.drawn = True
        elapsed = max(now - self.started, 1e-9)
        behind = f"  {lag.last * 1e3:>8.3f} ms behind the feed" if lag is not None else ""
        rate = f"{errors}/{shots} logical errors" if shots else "no shots scored yet"
        sys.stderr.write(f"\rdecoded {frames:>10} frames  {frames / elapsed:>12,.0f} frames/s{behind}  {rate}   ")
        sys.stderr.flush()

    def finish(self) -> None:
        if self.drawn:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _decoding_mode(args) -> str:
    """Checks the decoding options of a TOLM source; returns the mode in
    words, for the summary."""
    if args.sliding_window is not None:
        if args.commit_rounds is not None or args.buffer_rounds is not None:
            raise UsageError(
                "--sliding-window decodes every frame over a window; it takes no --commit-rounds or --buffer-rounds"
            )
        depth = args.sliding_window
        return f"every frame over a sliding window of {f'{depth} frames' if depth else 'the DEM'}"
    if args.commit_rounds is None:
        if args.buffer_rounds is not None:
            raise UsageError("--buffer-rounds needs --commit-rounds")
        return "shot by shot, each shot whole at its last frame"
    buffer = args.commit_rounds if args.buffer_rounds is None else args.buffer_rounds
    return f"shot by shot in committed windows of {args.commit_rounds} + {buffer} frames"


def _attach_decoder(stream, model, args) -> None:
    try:
        if args.sliding_window is not None:
            stream.set_decoder(model, args.sliding_window)
        else:
            commit = WHOLE_SHOT if args.commit_rounds is None else args.commit_rounds
            stream.set_decoder(model, commit_rounds=commit, buffer_rounds=args.buffer_rounds)
    except (ValueError, OverflowError) as exc:
        raise UsageError(str(exc)) from None


def _command_decode(args) -> int:
    return _decode(args)[0]


def _decode(args) -> tuple[int, _Lag | None]:
    """Decodes and scores a TOLM source; returns the exit status and, for a
    live source, how far behind the feed decoding ran."""
    frames = shots = errors = 0
    dropped: list[OSError] = []  # the sequence errors, each a shot (or a stretch of frames) not decoded
    failure = None
    interrupted = False
    mode = _decoding_mode(args)
    sliding = args.sliding_window is not None
    started = time.perf_counter()
    model = _load_dem(args.dem)
    progress = _Progress(not args.quiet)
    lag = _Lag() if args.source.startswith(TCP_PREFIX) else None
    try:
        stream = _veskar.VeskarStream(args.source)
        try:
            _attach_decoder(stream, model, args)
            while True:
                try:
                    # The loop body runs a million times a second: the clock,
                    # the lag and the display only every TICK_FRAMES frames.
                    for frame in stream:
                        frames += 1
                        if frames % TICK_FRAMES == 1:
                            if lag is not None:
                                lag.sample(frame.timestamp_ns)
                            progress.update(frames, errors, shots, lag)
                        # Most frames end no shot: one attribute read and on.
                        if sliding or frame.ends_shot:
                            truth = frame.recorded_observable_flips
                            if truth is not None:
                                shots += 1
                                if frame.observable_flips != truth:
                                    errors += 1
                    break
                except OSError as exc:
                    if getattr(exc, "kind", None) not in SEQUENCE_ERRORS:
                        raise
                    # The frame is read (and, cutting a shot short, starts the next).
                    frames += getattr(exc, "frame", None) is not None
                    dropped.append(exc)
        finally:
            stream.close()
    except KeyboardInterrupt:
        interrupted = True
    except (OSError, ValueError) as exc:
        failure = exc
    elapsed = time.perf_counter() - started
    progress.update(frames, errors, shots, lag, force=True)
    progress.finish()

    print(f"decoding:           {mode}")
    print(f"frames:             {frames}")
    print(f"elapsed:            {elapsed:.3f} s ({frames / elapsed if elapsed > 0 else 0:,.0f} frames/s)")
    if lag is None:
        print("worst lag:          n/a (a file, not a live feed)")
    elif lag.origin is None:
        print("worst lag:          n/a (no frame came)")
    else:
        print(
            f"worst lag:          {lag.worst * 1e3:.3f} ms behind the feed, {lag.last * 1e3:.3f} ms at the end "
            "(by the frames' timestamps)"
        )
    print(f"shots scored:       {shots}")
    if shots:
        _print_rate(errors, shots)
    else:
        print("logical error rate: n/a (no frame carried recorded observable flips)")
    if dropped:
        print(f"shots dropped:      {len(dropped)} (frames out of sequence)")
    if interrupted:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED, lag
    for error in dropped[:3]:
        broken = getattr(error, "frame", None)
        where = f"frame_id {broken.frame_id}" if broken is not None else "the end"
        print(f"shot dropped at {where}: {error}", file=sys.stderr)
    if len(dropped) > 3:
        print(f"... and {len(dropped) - 3} more", file=sys.stderr)
    if failure is not None:
        print(f"error after {frames} frames: {failure}", file=sys.stderr)
        return EXIT_STREAM_ERROR, lag
    return (EXIT_STREAM_ERROR if dropped else 0), lag


def _command_decode_source(args) -> int:
    """``veskar decode``: a Stim shot file when ``--format`` names its
    format, else a TOLM recording or stream."""
    if args.format is None:
        if args.obs is not None or args.out is not None:
            raise UsageError("--obs and --out need --format: they go with a Stim shot file")
        return _command_decode(args)
    if args.sliding_window is not None or args.commit_rounds is not None or args.buffer_rounds is not None:
        raise UsageError(
            "--sliding-window, --commit-rounds and --buffer-rounds are for TOLM streams; a shot file is decoded a "
            "whole shot at a time"
        )
    return _command_decode_shots(args)


def _shot_file(args):
    """The shot file argument of decode and convert: a file, never a TCP source."""
    if str(args.source).startswith(TCP_PREFIX):
        raise UsageError(f"--format {args.format} reads a Stim shot file, not {args.source!r}")
    return args.source


def _read_shots(path, shot_format: str, **counts):
    """Bit-packed rows of a shot file; malformed data is a usage error naming the file."""
    try:
        return read_shot_data_file(path=path, format=shot_format, bit_packed=True, **counts)
    except (OSError, ValueError) as exc:
        raise UsageError(f"{str(path)!r}: {exc}") from None


def _true_flips(args, num_observables: int, shots: int):
    """The observable flips of --obs as bit-packed rows, or None without it."""
    if args.obs is None:
        return None
    flips = _read_shots(args.obs, args.obs_format or args.format, num_observables=num_observables)
    if len(flips) != shots:
        raise UsageError(f"--obs {str(args.obs)!r} holds {len(flips)} shots, the shot file {shots}")
    return flips


def _unpacked(rows, bits: int):
    return np.unpackbits(rows, axis=1, count=bits, bitorder="little").astype(bool)


def _print_rate(errors: int, shots: int) -> None:
    low, high = wilson_interval(errors, shots)
    print(f"logical errors:     {errors}")
    print(f"logical error rate: {errors / shots:.6f} (95% Wilson interval {low:.6f} .. {high:.6f})")


def _command_decode_shots(args) -> int:
    model = _load_dem(args.dem)
    try:
        decoder = _veskar.UnionFindDecoder(model)
    except ValueError as exc:
        raise UsageError(f"DEM {str(args.dem)!r}: {exc}") from None
    shots = _read_shots(_shot_file(args), args.format, num_detectors=decoder.num_detectors)
    truth = _true_flips(args, decoder.num_observables, len(shots))
    started = time.perf_counter()
    predictions = decoder.decode_batch(shots, bit_packed_shots=True, bit_packed_predictions=True)
    elapsed = time.perf_counter() - started
    if args.out is not None:
        write_shot_data_file(
            data=predictions,
            path=args.out,
            format=args.out_format or args.format,
            num_observables=decoder.num_observables,
        )
    print(f"shots:              {len(shots)}")
    print(f"elapsed:            {elapsed:.3f} s ({len(shots) / elapsed if elapsed > 0 else 0:,.0f} shots/s)")
    if truth is None:
        print("logical error rate: n/a (no true observable flips given: --obs)")
        return 0
    errors = int(
        np.count_nonzero(
            np.any(_unpacked(predictions, decoder.num_observables) != _unpacked(truth, decoder.num_observables), axis=1)
        )
    )
    print(f"shots scored:       {len(shots)}")
    if len(shots):
        _print_rate(errors, len(shots))
    return 0


def _command_convert(args) -> int:
    model = _load_dem(args.dem)
    shots = _read_shots(_shot_file(args), args.format, num_detectors=model.detector_count)
    truth = _true_flips(args, model.observable_count, len(shots))
    if truth is not None and model.observable_count > 64:
        raise UsageError(f"a TOLM frame records at most 64 observable flips, the DEM has {model.observable_count}")
    masks = None
    if truth is not None:
        # Little-endian bytes of the packed flips are the flip mask, bit k = observable k.
        wide = np.zeros((len(truth), 8), dtype=np.uint8)
        wide[:, : truth.shape[1]] = truth
        masks = wide.view("<u8")[:, 0]
    try:
        summary = simulate_module.write_shots(
            args.output,
            model,
            _unpacked(shots, model.detector_count),
            masks,
            ancilla_count=args.ancillas,
            distance=args.distance,
        )
    except OSError as exc:
        print(f"veskar convert: writing {args.output!r} failed: {exc.strerror or exc}", file=sys.stderr)
        return EXIT_STREAM_ERROR
    per_shot = summary["frames_per_shot"]
    flips = (
        f"{summary['logical_flips']} shots with a logical flip"
        if masks is not None
        else "no observable flips recorded (no --obs)"
    )
    print(
        f"wrote {summary['frames']} frames ({summary['shots']} shots x {per_shot} frames of "
        f"{summary['ancilla_count']} ancillas) to {args.output}; {flips}"
    )
    if max(1, model.detector_count // summary["ancilla_count"]) != per_shot:
        print(f"decode it a shot at a time with --window-depth {per_shot}")
    return 0


def _command_inspect(args) -> int:
    with open(args.file, "rb") as f:
        head = f.read(FILE_HEADER_SIZE)
    if len(head) == FILE_HEADER_SIZE:
        magic, version, schema, aux = struct.unpack("<IH16sI", head)
        print(
            f"file header:  magic 0x{magic:08x}{'' if magic == MAGIC else ' (not TOLM)'}, version {version}, "
            f"header_aux {aux}"
        )
        print(f"schema id:    {uuid.UUID(bytes=schema)}")
    else:
        print(f"file header:  missing ({len(head)} bytes)")
    frames = 0
    code_types: dict[int, int] = {}
    failure = None
    last_id = None
    try:
        stream = _veskar.VeskarStream(str(args.file))
    except OSError as exc:
        raise UsageError(f"can't open {str(args.file)!r}: {exc}") from None
    try:
        while True:
            try:
                frame = next(stream)
            except StopIteration:
                break
            except OSError as exc:
                failure = exc
                break
            if frames < args.first:
                print(
                    f"  {frame!r} ts={frame.timestamp_ns} code_type={frame.code_type} distance={frame.distance} "
                    f"events={bytes(frame.to_numpy_detector_events().astype('u1')).hex()}"
                )
            frames += 1
            last_id = frame.frame_id
            code_types[frame.code_type] = code_types.get(frame.code_type, 0) + 1
    finally:
        stream.close()
    print(f"frames:       {frames}")
    names = {v: k for k, v in _CODE_TYPES.items()}
    print(
        "code types:   "
        + (", ".join(f"{names.get(c, f'0x{c:02x}')} x{n}" for c, n in sorted(code_types.items())) or "none")
    )
    if failure is not None:
        where = f"frame_id {last_id}" if last_id is not None else "the start"
        print(f"error at frame offset {frames} (after {where}): {failure}")
        return EXIT_STREAM_ERROR
    return 0


def _command_demo(args) -> int:
    """Simulate a recording of a bundled DEM, replay it over TCP on loopback
    from a separate process paced like hardware, and decode it live."""
    from . import samples

    dem = samples.path(args.sample)
    # The recording (37 MB at the default size) lives only as long as the demo.
    with tempfile.TemporaryDirectory(prefix="veskar-demo-") as workdir:
        return _run_demo(args, dem, samples.ANCILLAS[args.sample], Path(workdir) / f"{args.sample}.tolm")


def _run_demo(args, dem: Path, ancillas: int, recording: Path) -> int:
    print(f"simulating {args.shots} shots of {dem.name} (seed {args.seed}) ...", file=sys.stderr, flush=True)
    summary = simulate_module.write_recording(recording, dem, args.shots, args.seed, ancilla_count=ancillas, distance=5)
    print(f"wrote {summary['frames']} frames to {recording}", file=sys.stderr, flush=True)

    server = subprocess.Popen(
        [sys.executable, "-m", "veskar", "serve", str(recording), "--port", "0", "--rate", str(args.rate)],
        stderr=subprocess.PIPE,
        text=True,
    )
    stderr = server.stderr
    assert stderr is not None  # asked for with stderr=PIPE
    try:
        banner = stderr.readline()
        match = re.search(r"on ([0-9.]+):([0-9]+)", banner)
        if match is None:
            print(f"the replay server did not start: {banner.strip()}", file=sys.stderr)
            return EXIT_STREAM_ERROR
        source = f"tcp://{match.group(1)}:{match.group(2)}"
        print(
            f"replaying at {args.rate:,.0f} frames/s from {source}; decoding with {dem.name}",
            file=sys.stderr,
            flush=True,
        )
        decode_args = argparse.Namespace(
            source=source, dem=dem, sliding_window=None, commit_rounds=None, buffer_rounds=None, quiet=False
        )
        status, lag = _decode(decode_args)
        if status == 0 and lag is not None and lag.origin is not None:
            kept = lag.last <= KEEPING_PACE_SECONDS
            print(
                f"{'kept pace with' if kept else 'fell behind'} the {args.rate:,.0f} frames/s feed: "
                f"{lag.last * 1e3:.3f} ms behind it at the end, {lag.worst * 1e3:.3f} ms at worst"
            )
        return status
    finally:
        server.kill()
        server.wait()
        stderr.close()


_CODE_TYPES = {
    "SurfaceCode": 1,
    "HoneycombCode": 2,
    "ColorCode": 3,
    "RepetitionCode": 4,
    "ToricCode": 5,
    "BivariateBicycle": 6,
    "HypergraphProduct": 7,
    "FiberBundle": 8,
    "Custom": 255,
}


def _add_frame_layout_arguments(parser: argparse.ArgumentParser) -> None:
    """How simulate and convert cut shots into frames."""
    parser.add_argument(
        "--ancillas",
        type=_int_at_least(1, 65535),
        default=None,
        help="detectors per frame (default: the most detectors sharing one time coordinate)",
    )
    parser.add_argument("--distance", type=_int_at_least(0, 255), default=0)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="veskar", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    count = _int_at_least(0)

    sim = commands.add_parser("simulate", help="sample a TOLM recording from a DEM")
    sim.add_argument("dem", type=_input_file, help="DEM file (Stim's text format)")
    sim.add_argument("-o", "--output", required=True, help="recording to write")
    sim.add_argument("--shots", type=count, default=1000)
    sim.add_argument("--seed", type=count, default=None)
    _add_frame_layout_arguments(sim)
    sim.set_defaults(run=_command_simulate, parser=sim)

    serve = commands.add_parser("serve", help="replay a recording over TCP on loopback")
    serve.add_argument("file", type=_input_file)
    serve.add_argument(
        "--port", type=_int_at_least(0, 65535), required=True, help="port to listen on (0: any free port)"
    )
    serve.add_argument("--host", default="127.0.0.1")
    serve.add_argument(
        "--rate", type=_positive_float, default=None, help="frames per second (default: as fast as possible)"
    )
    serve.add_argument("--clients", type=_int_at_least(1), default=1, help="clients to serve before exiting")
    serve.set_defaults(run=_command_serve, parser=serve)

    dec = commands.add_parser("decode", help="stream, decode and score a recording, or decode a Stim shot file")
    dec.add_argument("source", type=_stream_source, help="file path or tcp://host:port")
    dec.add_argument("--dem", type=_input_file, required=True, help="DEM file (Stim's text format)")
    dec.add_argument(
        "--commit-rounds",
        type=_int_at_least(1, WHOLE_SHOT),
        default=None,
        metavar="C",
        help="decode each shot in committed windows: C frames committed at a time "
        "(default: each shot whole, at its last frame)",
    )
    dec.add_argument(
        "--buffer-rounds",
        type=_int_at_least(0, WHOLE_SHOT),
        default=None,
        metavar="B",
        help="frames each committed window also sees beyond its C (default: C)",
    )
    dec.add_argument(
        "--sliding-window",
        "--window-depth",
        dest="sliding_window",
        type=count,
        default=None,
        metavar="DEPTH",
        help="decode every frame over the DEPTH most recent frames, shots or not "
        "(0: the DEM's detectors over the frames' ancillas)",
    )
    dec.add_argument("--quiet", action="store_true", help="no progress display")
    dec.add_argument(
        "--format",
        choices=SHOT_FORMATS,
        default=None,
        help="SOURCE is a Stim shot file of detection events in this format, not a TOLM recording",
    )
    dec.add_argument("--obs", type=_input_file, default=None, help="shot file of the true observable flips")
    dec.add_argument("--obs-format", choices=SHOT_FORMATS, default=None, help="format of --obs (default: --format)")
    dec.add_argument("--out", default=None, help="write the predicted observable flips to this shot file")
    dec.add_argument("--out-format", choices=SHOT_FORMATS, default=None, help="format of --out (default: --format)")
    dec.set_defaults(run=_command_decode_source, parser=dec)

    conv = commands.add_parser("convert", help="turn a Stim shot file into a TOLM recording")
    conv.add_argument("source", type=_input_file, help="Stim shot file of detection events")
    conv.add_argument("--format", choices=SHOT_FORMATS, required=True, help="format of the shot file")
    conv.add_argument("--dem", type=_input_file, required=True, help="DEM file (Stim's text format)")
    conv.add_argument("-o", "--output", required=True, help="recording to write")
    conv.add_argument(
        "--obs",
        type=_input_file,
        default=None,
        help="shot file of the true observable flips, recorded in each shot's last frame",
    )
    conv.add_argument("--obs-format", choices=SHOT_FORMATS, default=None, help="format of --obs (default: --format)")
    _add_frame_layout_arguments(conv)
    conv.set_defaults(run=_command_convert, parser=conv)

    demo = commands.add_parser("demo", help="simulate, replay over TCP and decode a bundled sample")
    demo.add_argument("--sample", default="surface_d5", choices=["surface_d5", "repetition_d5"])
    demo.add_argument("--shots", type=_int_at_least(1), default=100_000)
    demo.add_argument("--seed", type=count, default=2026)
    demo.add_argument("--rate", type=_positive_float, default=1_000_000, help="replay rate in frames per second")
    demo.set_defaults(run=_command_demo, parser=demo)

    ins = commands.add_parser("inspect", help="describe a recording")
    ins.add_argument("file", type=_input_file)
    ins.add_argument("--first", type=count, default=3, help="frames to show")
    ins.set_defaults(run=_command_inspect, parser=ins)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as exc:
        parser: argparse.ArgumentParser = args.parser
        parser.error(str(exc))

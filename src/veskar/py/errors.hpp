#pragma once
// The one table from the core's error families to Python exceptions. Each
// function sets the exception an error stands for and returns null, for
// `return raise_error(...)`; messages are the core's display texts.

#include "veskar/core/error.hpp"
#include "veskar/core/window.hpp"
#include "veskar/decoder/committed_decoder.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"
#include "veskar/py/frame_source.hpp"
#include "veskar/py/ref.hpp"

namespace veskar::py {

// Reader and source errors: OSError, with an attribute `kind` naming the
// variant ("CrcMismatch", "PayloadLengthMismatch", ..., "Io") so that code
// can tell them apart without reading the text. An Io error that carries an
// errno becomes the OSError subclass for it (FileNotFoundError,
// ConnectionRefusedError, ...) with errno, strerror (the display text) and,
// when given, filename.
PyObject* raise_error(const VeskarError& err, PyObject* filename = nullptr);

// A stream that could not be opened: ValueError for a refused transport,
// otherwise as above, with `source` as the filename when it named a file;
// TimeoutError for a wait that passed the timeout. An interrupted open
// already has the signal handler's exception set.
PyObject* raise_error(const OpenFailure& failure, PyObject* source);

// Reading a closed stream: OSError "stream is closed", kind "Closed".
PyObject* raise_stream_closed();

// A wait that passed the stream's timeout: TimeoutError "timed out" (the
// text of a socket timeout), kind "Timeout".
PyObject* raise_timeout();

// A DEM file that cannot be read: the OSError subclass for `code` with
// errno, the system's text and the file name; EILSEQ (not UTF-8) reads
// "stream did not contain valid UTF-8".
PyObject* raise_file_error(int code, PyObject* filename);

// DEM text that does not parse: ValueError.
PyObject* raise_error(const ParseError& err);

// A window that cannot be made: ValueError for a depth of 0, OverflowError
// for a size past 32-bit flat indices, MemoryError when its storage cannot be
// reserved.
PyObject* raise_error(const WindowError& err);

// A model too large for a decoding graph, or one a decoder cannot be built
// from: ValueError.
PyObject* raise_error(const GraphError& err);
PyObject* raise_error(const DecoderError& err);

// A frame that does not follow its shot's sequence, or an input that ended
// inside a shot: OSError with `kind` naming the variant ("UnexpectedRound",
// "ShotCutShort", "AncillaCountChanged", "StreamEnded") and `frame`, the
// SyndromeFrame it concerns (None when the input ended).
PyObject* raise_error(const SequenceError& err, PyObject* frame);

// A committed decoder that cannot be built for a stream's frames: ValueError.
PyObject* raise_error(const CommittedDecoderError& err);

}  // namespace veskar::py

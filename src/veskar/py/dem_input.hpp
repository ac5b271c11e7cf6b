#pragma once
// Where detector error models come from: the one resolver behind every call
// that takes a DEM (set_decoder, DetectorErrorModel's constructors, the
// Python package through DetectorErrorModel._resolve), and the one way a
// decoder is built from a model.

#include <memory>
#include <optional>
#include <string_view>

#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/parser.hpp"
#include "veskar/py/ref.hpp"

namespace veskar::py {

struct ModuleState;

// A new DetectorErrorModel object parsed from `text`; ValueError when it does
// not parse.
Ref model_from_text(const ModuleState& state, std::string_view text);

// A new DetectorErrorModel object read from the file `path` (a str) as UTF-8
// text. A file that cannot be read is the OSError subclass for its errno
// (FileNotFoundError, IsADirectoryError, PermissionError, ...) carrying errno
// and the file name.
Ref model_from_file(const ModuleState& state, PyObject* path);

// The DetectorErrorModel object `dem` stands for:
// - a DetectorErrorModel: itself;
// - a str naming an existing file-system entry: that file, read as above;
// - a str of one line that starts with no DEM instruction ("surfce.dem"): a
//   path after all, so FileNotFoundError naming it, never an empty model;
// - any other str: DEM text;
// - an os.PathLike: the file it names (its __fspath__() must give a str);
// - anything else: its str() as DEM text, which is how a
//   stim.DetectorErrorModel gives its text.
// Null with the exception set; exceptions of __fspath__() and __str__()
// propagate as raised.
Ref resolve_dem(const ModuleState& state, PyObject* dem);

// The model inside a DetectorErrorModel object.
const DetectorErrorModel& model_of(PyObject* model_object);

// The decoding graph of `model`, or null with ValueError set when the model
// gives none: no error mechanism that can flip a detector (every syndrome
// would decode to no flip), a graph too large, or an observable past the 64
// bits of the flip mask.
std::shared_ptr<const SpacetimeGraph> decoding_graph_for(const DetectorErrorModel& model);

// The Union-Find decoder over that graph, or nullopt with ValueError set when
// the model gives none.
std::optional<UnionFindDecoder> decoder_for(const DetectorErrorModel& model);

}  // namespace veskar::py

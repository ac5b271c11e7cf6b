#include "veskar/py/dem_input.hpp"

#include <poll.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "veskar/py/args.hpp"
#include "veskar/py/errors.hpp"
#include "veskar/py/module_state.hpp"
#include "veskar/py/text_file.hpp"
#include "veskar/py/waiting.hpp"

namespace veskar::py {

namespace {

// The instruction names of the DEM format, matched without regard to case
// as Stim's parser does.
constexpr std::array<std::string_view, 5> kInstructions = {"error", "detector", "logical_observable", "shift_detectors",
                                                           "repeat"};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_instruction(std::string_view word) {
    for (std::string_view name : kInstructions) {
        if (word.size() != name.size()) {
            continue;
        }
        bool same = true;
        for (size_t i = 0; i < word.size() && same; ++i) {
            same = (word[i] | 0x20) == name[i];  // names hold only lower-case letters and '_'
        }
        if (same) {
            return true;
        }
    }
    return false;
}

// A single line that is neither blank, nor a comment, nor begins with a DEM
// instruction cannot be a model anyone meant: it is a file name, most likely
// mistyped. Parsed as text it would be an empty model that decodes nothing.
bool looks_like_path(std::string_view text) {
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    if (text.empty() || text.front() == '#' || text.find('\n') != std::string_view::npos) {
        return false;
    }
    const size_t end = text.find_first_of(" \t([");
    return !is_instruction(text.substr(0, end));
}

// The str `text` names an entry of the file system: 0, else the errno of the
// lookup. A text that cannot be a file name at all is ENOENT.
int lookup(PyObject* text) {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(text));
    if (!encoded) {
        PyErr_Clear();
        return ENOENT;
    }
    const char* path = PyBytes_AS_STRING(encoded.get());
    const auto length = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
    struct stat info {};
    if (length == 0 || std::memchr(path, '\0', length) != nullptr) {
        return ENOENT;
    }
    return ::stat(path, &info) == 0 ? 0 : errno;
}

// A DEM may come from a pipe (`--dem /dev/stdin`) that stays quiet: the wait
// lets go of the interpreter lock and yields to Ctrl-C like a stream's.
class InterruptibleReadableWait final : public ReadableWait {
   public:
    bool wait_readable(int fd) override {
        const Wake wake = wait_interruptibly(
            [fd](std::chrono::milliseconds limit) {
                pollfd entry{fd, POLLIN, 0};
                return ::poll(&entry, 1, static_cast<int>(limit.count())) > 0;
            },
            std::nullopt);
        return wake == Wake::Ready;  // otherwise the signal handler's exception is set
    }
};

Ref model_from_str(const ModuleState& state, PyObject* text) {
    const int found = lookup(text);
    if (found == 0) {
        return model_from_file(state, text);
    }
    auto utf8 = utf8_of(text);
    if (!utf8) {
        return {};
    }
    if (looks_like_path(*utf8)) {
        raise_file_error(found, text);
        return {};
    }
    return model_from_text(state, *utf8);
}

}  // namespace

Ref model_from_text(const ModuleState& state, std::string_view text) {
    try {
        auto parsed = DetectorErrorModel::parse(text);
        if (!parsed) {
            raise_error(parsed.error());
            return {};
        }
        return Ref::steal(state.detector_error_model.make(std::move(*parsed)));
    } catch (...) {
        raise_cpp_exception();
        return {};
    }
}

Ref model_from_file(const ModuleState& state, PyObject* path) {
    PyObject* encoded_raw = nullptr;
    // Refuses embedded NUL characters with ValueError, as open() does.
    if (PyUnicode_FSConverter(path, &encoded_raw) == 0) {
        return {};
    }
    Ref encoded = Ref::steal(encoded_raw);
    try {
        InterruptibleReadableWait wait;
        auto text = read_utf8_file(PyBytes_AS_STRING(encoded.get()), wait);
        if (!text) {
            if (text.error() != kReadAbandoned) {
                raise_file_error(text.error(), path);
            }
            return {};
        }
        return model_from_text(state, *text);
    } catch (...) {
        raise_cpp_exception();
        return {};
    }
}

Ref resolve_dem(const ModuleState& state, PyObject* dem) {
    if (state.detector_error_model.state_if_instance(dem) != nullptr) {
        return Ref::borrow(dem);
    }
    if (PyUnicode_Check(dem)) {
        return model_from_str(state, dem);
    }
    bool has_fspath = false;
    Ref path = fspath_of(dem, has_fspath);
    if (has_fspath) {
        return path ? model_from_file(state, path.get()) : Ref();
    }
    Ref text = Ref::steal(PyObject_Str(dem));
    if (!text) {
        return {};
    }
    auto utf8 = utf8_of(text.get());
    return utf8 ? model_from_text(state, *utf8) : Ref();
}

const DetectorErrorModel& model_of(PyObject* model_object) {
    return object_state<DetectorErrorModel>(model_object);
}

std::shared_ptr<const SpacetimeGraph> decoding_graph_for(const DetectorErrorModel& model) {
    try {
        auto graph = SpacetimeGraph::try_from_dem(model);
        if (!graph) {
            raise_error(graph.error());
            return nullptr;
        }
        if (graph->edges.empty()) {
            raise(PyExc_ValueError,
                  "detector error model has no error mechanism to decode with (no error of probability "
                  "between 0 and 1 flips a detector)");
            return nullptr;
        }
        // Refused here rather than by the first decoder built from the graph,
        // which a stream decoding shot by shot makes only at its first frame.
        if (const uint32_t observables = observable_count(*graph); observables > 64) {
            raise_error(DecoderError{decoder_error::ObservableBeyondMask{observables - 1}});
            return nullptr;
        }
        return std::make_shared<const SpacetimeGraph>(std::move(*graph));
    } catch (...) {
        raise_cpp_exception();
        return nullptr;
    }
}

std::optional<UnionFindDecoder> decoder_for(const DetectorErrorModel& model) {
    std::shared_ptr<const SpacetimeGraph> graph = decoding_graph_for(model);
    if (!graph) {
        return std::nullopt;
    }
    try {
        auto decoder = UnionFindDecoder::create(std::move(graph));
        if (!decoder) {
            raise_error(decoder.error());
            return std::nullopt;
        }
        return std::move(*decoder);
    } catch (...) {
        raise_cpp_exception();
        return std::nullopt;
    }
}

}  // namespace veskar::py

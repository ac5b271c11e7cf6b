// DetectorErrorModel: a parsed DEM, immutable once made, with its exports to
// PyMatching and to schema JSON. Nothing changes an instance after creation,
// so methods need no borrow flag: every access is a read.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "veskar/core/schema_json.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"
#include "veskar/dem/schema_gen.hpp"
#include "veskar/py/classes.hpp"
#include "veskar/py/cpp_exception.hpp"
#include "veskar/py/text_file.hpp"

namespace veskar::py {

namespace {

struct DemObject {
    PyObject_HEAD
    DetectorErrorModel state;
};

const DetectorErrorModel& state_of(PyObject* self) {
    return as<DemObject>(self)->state;
}

}  // namespace

const DetectorErrorModel* detector_error_model_of(PyObject* object) {
    PyTypeObject* type = detector_error_model_type();
    if (type == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return PyObject_TypeCheck(object, type) ? &state_of(object) : nullptr;
}

namespace {

constexpr const char* kNoPymatching = "pymatching not found \u2014 install it with: pip install pymatching";

PyObject* new_model(DetectorErrorModel&& model) {
    PyTypeObject* type = detector_error_model_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    construct_state(as<DemObject>(self), std::move(model));
    return self;
}

PyObject* parse_text(std::string_view text) {
    try {
        auto parsed = DetectorErrorModel::parse(text);
        if (!parsed) {
            return raise(PyExc_ValueError, message(parsed.error()));
        }
        return new_model(std::move(*parsed));
    } catch (...) {
        return raise_cpp_exception();
    }
}

// The one `str` argument of `function`, by position or keyword, or null with
// TypeError naming it, worded like the other classes' argument errors.
PyObject* str_argument(const char* function, const char* name, PyObject* args, PyObject* kwargs) {
    const char* keywords[] = {name, nullptr};
    std::string format = std::string("O:") + function;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &value)) {
        return nullptr;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function, name,
                     Py_TYPE(value)->tp_name);
        return nullptr;
    }
    return value;
}

std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &length);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string_view(data, static_cast<size_t>(length));
}

// Sets the OSError that open() would raise for errno `code` on `path`
// (FileNotFoundError, IsADirectoryError, ...; EILSEQ for invalid UTF-8).
void raise_os_error(int code, PyObject* path) {
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// The whole file as UTF-8 text, or nullopt with OSError set.
std::optional<std::string> read_whole_file(PyObject* path) {
    PyObject* encoded_raw = nullptr;
    // Refuses embedded NUL characters with ValueError, as open() does.
    if (PyUnicode_FSConverter(path, &encoded_raw) == 0) {
        return std::nullopt;
    }
    Ref encoded = Ref::steal(encoded_raw);
    auto text = read_utf8_file(PyBytes_AS_STRING(encoded.get()));
    if (!text) {
        raise_os_error(text.error(), path);
        return std::nullopt;
    }
    return std::move(*text);
}

PyObject* parse_method(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* text = str_argument("parse", "text", args, kwargs);
    if (text == nullptr) {
        return nullptr;
    }
    auto utf8 = utf8_of(text);
    return utf8 ? parse_text(*utf8) : nullptr;
}

PyObject* from_file_method(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* path = str_argument("from_file", "path", args, kwargs);
    if (path == nullptr) {
        return nullptr;
    }
    try {
        std::optional<std::string> data = read_whole_file(path);
        if (!data) {
            return nullptr;
        }
        return parse_text(*data);
    } catch (...) {
        return raise_cpp_exception();
    }
}

// PyMatching takes an edge's observables as a set of the observables it
// flips. An observable named twice by one error flips twice and so not at
// all, which a set cannot say: keep only those named an odd number of times.
Ref odd_observable_set(const std::vector<uint8_t>& observables, std::vector<uint8_t>& scratch) {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) {
        return {};
    }
    scratch.assign(observables.begin(), observables.end());
    std::sort(scratch.begin(), scratch.end());
    for (size_t i = 0; i < scratch.size();) {
        size_t end = i;
        while (end < scratch.size() && scratch[end] == scratch[i]) {
            ++end;
        }
        if ((end - i) % 2 == 1) {
            Ref observable = Ref::steal(PyLong_FromLong(scratch[i]));
            if (!observable || PySet_Add(set.get(), observable.get()) < 0) {
                return {};
            }
        }
        i = end;
    }
    return set;
}

// Builds the matcher from the graph's edges. Decomposed models always give
// parallel edges (one per component, and the same component from several
// errors), which PyMatching refuses under its default merge strategy;
// "independent" combines them as independent error mechanisms, which is
// what they are.
PyObject* build_matcher(const SpacetimeGraph& graph) {
    Ref pymatching = Ref::steal(PyImport_ImportModule("pymatching"));
    if (!pymatching) {
        PyErr_Clear();
        return raise(PyExc_ImportError, kNoPymatching);
    }
    Ref matching_class = Ref::steal(PyObject_GetAttrString(pymatching.get(), "Matching"));
    if (!matching_class) {
        return nullptr;
    }
    Ref matcher = Ref::steal(PyObject_CallNoArgs(matching_class.get()));
    if (!matcher) {
        return nullptr;
    }
    Ref boundary = Ref::steal(PyLong_FromUnsignedLongLong(graph.boundary));
    Ref boundary_set = Ref::steal(PySet_New(nullptr));
    if (!boundary || !boundary_set || PySet_Add(boundary_set.get(), boundary.get()) < 0) {
        return nullptr;
    }
    Ref add_edge = Ref::steal(PyObject_GetAttrString(matcher.get(), "add_edge"));
    Ref keywords = Ref::steal(Py_BuildValue("(sss)", "weight", "fault_ids", "merge_strategy"));
    Ref strategy = Ref::steal(PyUnicode_FromString("independent"));
    if (!add_edge || !keywords || !strategy) {
        return nullptr;
    }
    std::vector<uint8_t> scratch;
    for (const SpacetimeEdge& edge : graph.edges) {
        Ref u = Ref::steal(PyLong_FromUnsignedLong(edge.u));
        Ref v = Ref::steal(PyLong_FromUnsignedLong(edge.v));
        Ref weight = Ref::steal(PyFloat_FromDouble(static_cast<double>(edge.weight)));
        Ref fault_ids = odd_observable_set(edge.observables, scratch);
        if (!u || !v || !weight || !fault_ids) {
            return nullptr;
        }
        PyObject* call_args[] = {u.get(), v.get(), weight.get(), fault_ids.get(), strategy.get()};
        Ref added = Ref::steal(PyObject_Vectorcall(add_edge.get(), call_args, 2, keywords.get()));
        if (!added) {
            return nullptr;
        }
    }
    Ref marked = Ref::steal(PyObject_CallMethod(matcher.get(), "set_boundary_nodes", "O", boundary_set.get()));
    if (!marked) {
        return nullptr;
    }
    return matcher.release();
}

PyObject* to_pymatching(PyObject* self, PyObject*) {
    try {
        auto graph = SpacetimeGraph::try_from_dem(state_of(self));
        if (!graph) {
            return raise(PyExc_ValueError, message(graph.error()));
        }
        return build_matcher(*graph);
    } catch (...) {
        return raise_cpp_exception();
    }
}

PyObject* to_schema_json(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* name = str_argument("to_schema_json", "name", args, kwargs);
    if (name == nullptr) {
        return nullptr;
    }
    auto utf8 = utf8_of(name);
    if (!utf8) {
        return nullptr;
    }
    try {
        auto schema = schema_from_dem(state_of(self), *utf8);
        if (!schema) {
            return raise(PyExc_ValueError, message(schema.error()));
        }
        std::string json = to_json(*schema);
        return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
    } catch (...) {
        return raise_cpp_exception();
    }
}

template <typename T>
Ref int_list(std::span<const T> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) {
        return {};
    }
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(values[i]);
        if (item == nullptr) {
            return {};
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* errors(PyObject* self, PyObject*) {
    const std::vector<DemError>& model_errors = state_of(self).errors;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(model_errors.size())));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; i < model_errors.size(); ++i) {
        const DemError& error = model_errors[i];
        Ref probability = Ref::steal(PyFloat_FromDouble(error.probability));
        Ref detectors = int_list(std::span<const uint32_t>(error.detectors));
        Ref observables = int_list(std::span<const uint8_t>(error.observables));
        if (!probability || !detectors || !observables) {
            return nullptr;
        }
        PyObject* entry = PyTuple_Pack(3, probability.get(), detectors.get(), observables.get());
        if (entry == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return list.release();
}

PyObject* detector_coordinates(PyObject* self, PyObject*) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (const DetectorDecl& decl : state_of(self).detectors) {
        if (!decl.coords) {
            continue;
        }
        const DetectorCoords& c = *decl.coords;
        Ref id = Ref::steal(PyLong_FromUnsignedLong(decl.id));
        Ref coords = Ref::steal(PyTuple_New(decl.coord_count));
        if (!id || !coords) {
            return nullptr;
        }
        for (uint8_t k = 0; k < decl.coord_count; ++k) {
            PyObject* value = PyFloat_FromDouble(c[k]);
            if (value == nullptr) {
                return nullptr;
            }
            PyTuple_SET_ITEM(coords.get(), k, value);
        }
        if (PyDict_SetItem(dict.get(), id.get(), coords.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* get_detector_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).detector_count);
}
PyObject* get_observable_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).observable_count);
}
PyObject* get_error_count(PyObject* self, void*) {
    return PyLong_FromSize_t(state_of(self).errors.size());
}

PyObject* repr(PyObject* self) {
    const DetectorErrorModel& model = state_of(self);
    return PyUnicode_FromFormat("DetectorErrorModel(detectors=%llu, observables=%llu, errors=%zu)",
                                static_cast<unsigned long long>(model.detector_count),
                                static_cast<unsigned long long>(model.observable_count), model.errors.size());
}

template <typename F>
PyCFunction keyword_function(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"parse", keyword_function(parse_method), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "parse(text)\n--\n\n"
     "Parse a Stim DEM from its text representation."},
    {"from_file", keyword_function(from_file_method), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_file(path)\n--\n\n"
     "Load a Stim DEM from a file path."},
    {"to_pymatching", to_pymatching, METH_NOARGS,
     "to_pymatching($self)\n--\n\n"
     "Build a `pymatching.Matching` object from this DEM.\n\n"
     "Requires `pymatching` to be installed (`pip install pymatching`).\n"
     "Edges are added with weight `-ln(p/(1-p))` and `fault_ids` identifying\n"
     "which observables flip when the error fires."},
    {"to_schema_json", keyword_function(to_schema_json), METH_VARARGS | METH_KEYWORDS,
     "to_schema_json($self, name)\n--\n\n"
     "Serialise this DEM as a `HardwareSchema`-compatible JSON string."},
    {"errors", errors, METH_NOARGS,
     "errors($self)\n--\n\n"
     "The error mechanisms as a new list of `(probability, detectors, observables)`\n"
     "tuples in file order, `repeat` blocks expanded. `detectors` and `observables`\n"
     "are lists of ints naming every `D` and `L` target of the error in written\n"
     "order, across its `^` components, with `shift_detectors` offsets applied.\n"
     "The probability is returned as written, even outside (0, 1)."},
    {"detector_coordinates", detector_coordinates, METH_NOARGS,
     "detector_coordinates($self)\n--\n\n"
     "A new dict mapping each declared detector that has coordinates to them,\n"
     "as a tuple of the floats written (at most three; those past the third are\n"
     "dropped). Detectors declared without coordinates, and detectors that are\n"
     "never declared, are absent."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"detector_count", get_detector_count, nullptr, nullptr, nullptr},
    {"observable_count", get_observable_count, nullptr, nullptr, nullptr},
    {"error_count", get_error_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_state<DemObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "_veskar.DetectorErrorModel",
    sizeof(DemObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyObject* model_type = nullptr;

}  // namespace

PyTypeObject* detector_error_model_type() {
    return type_once(model_type, &spec);
}

}  // namespace veskar::py

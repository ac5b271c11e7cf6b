// DetectorErrorModel: a parsed DEM, immutable once made, with its exports to
// PyMatching and to schema JSON. Nothing changes an instance after creation,
// so methods need no borrow flag: every access is a read.

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "veskar/core/schema_json.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"
#include "veskar/dem/schema_gen.hpp"
#include "veskar/dem/text.hpp"
#include "veskar/py/args.hpp"
#include "veskar/py/classes.hpp"
#include "veskar/py/dem_input.hpp"
#include "veskar/py/errors.hpp"

namespace veskar::py {

namespace {

const DetectorErrorModel& state_of(PyObject* self) {
    return model_of(self);
}

constexpr const char* kNoPymatching = "pymatching not found \u2014 install it with: pip install pymatching";

// The static methods receive their class as `self` (add_static_methods),
// which leads to the module state.
const ModuleState& state_of_class(PyObject* cls) {
    return module_state_of(reinterpret_cast<PyTypeObject*>(cls));
}

PyObject* parse_method(PyObject* cls, PyObject* args, PyObject* kwargs) {
    constexpr Argument kText = {"parse", "text"};
    PyObject* text = one_argument(kText, args, kwargs);
    auto utf8 = text != nullptr ? text_argument(text, kText) : std::nullopt;
    return utf8 ? model_from_text(state_of_class(cls), *utf8).release() : nullptr;
}

PyObject* from_file_method(PyObject* cls, PyObject* args, PyObject* kwargs) {
    constexpr Argument kPath = {"from_file", "path"};
    PyObject* path = one_argument(kPath, args, kwargs);
    Ref text = path != nullptr ? path_argument(path, kPath) : Ref();
    return text ? model_from_file(state_of_class(cls), text.get()).release() : nullptr;
}

// What every call of the package that takes a DEM goes through (see
// resolve_dem): the model itself, a path, DEM text, or an object whose str()
// is DEM text.
PyObject* resolve_method(PyObject* cls, PyObject* args, PyObject* kwargs) {
    PyObject* dem = one_argument({"_resolve", "dem"}, args, kwargs);
    return dem != nullptr ? resolve_dem(state_of_class(cls), dem).release() : nullptr;
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
            return raise_error(graph.error());
        }
        return build_matcher(*graph);
    } catch (...) {
        return raise_cpp_exception();
    }
}

PyObject* to_schema_json(PyObject* self, PyObject* args, PyObject* kwargs) {
    constexpr Argument kName = {"to_schema_json", "name"};
    PyObject* name = one_argument(kName, args, kwargs);
    auto utf8 = name != nullptr ? text_argument(name, kName) : std::nullopt;
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

// Pickled as DEM text that parses back to an equal model, rebuilt by parse().
PyObject* reduce(PyObject* self, PyObject*) {
    try {
        const std::string text = to_dem_text(state_of(self));
        Ref parse = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "parse"));
        Ref dem_text = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!parse || !dem_text) {
            return nullptr;
        }
        return Py_BuildValue("(O(O))", parse.get(), dem_text.get());
    } catch (...) {
        return raise_cpp_exception();
    }
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

PyMethodDef static_methods[] = {
    {"parse", as_method(parse_method), METH_VARARGS | METH_KEYWORDS,
     "parse(text)\n--\n\n"
     "Parse a Stim DEM from its text representation."},
    {"from_file", as_method(from_file_method), METH_VARARGS | METH_KEYWORDS,
     "from_file(path)\n--\n\n"
     "Load a Stim DEM from a file path."},
    {"_resolve", as_method(resolve_method), METH_VARARGS | METH_KEYWORDS,
     "_resolve(dem)\n--\n\n"
     "The model `dem` stands for: a DetectorErrorModel as it is; a str naming a\n"
     "file, that file; a str of one line that starts with no DEM instruction, a\n"
     "missing file (FileNotFoundError); another str, DEM text; a path object,\n"
     "its file; anything else, its str() as DEM text (a stim.DetectorErrorModel)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef methods[] = {
    {"to_pymatching", to_pymatching, METH_NOARGS,
     "to_pymatching($self)\n--\n\n"
     "Build a `pymatching.Matching` object from this DEM.\n\n"
     "Requires `pymatching` to be installed (`pip install pymatching`).\n"
     "Edges are added with weight `-ln(p/(1-p))` and `fault_ids` identifying\n"
     "which observables flip when the error fires."},
    {"to_schema_json", as_method(to_schema_json), METH_VARARGS | METH_KEYWORDS,
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
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"detector_count", get_detector_count, nullptr, nullptr, nullptr},
    {"observable_count", get_observable_count, nullptr, nullptr, nullptr},
    {"error_count", get_error_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<DetectorErrorModel>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

int add_detector_error_model_members(PyTypeObject* cls) {
    return add_static_methods(cls, static_methods);
}

PyType_Spec detector_error_model_spec = {
    "_veskar.DetectorErrorModel",
    sizeof(Object<DetectorErrorModel>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace veskar::py

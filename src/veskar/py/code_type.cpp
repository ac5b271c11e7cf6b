// CodeType: a code family. Its nine instances are class attributes made once
// with the class; Python code cannot make more. Instances compare and hash as
// plain objects and do not expose their number: frames report code types as
// ints.

#include <array>
#include <string>

#include "veskar/core/code.hpp"
#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

struct CodeTypeObject {
    PyObject_HEAD
    CodeType state;
};

PyObject* repr(PyObject* self) {
    std::string text = "CodeType.";
    text += code_type_name(as<CodeTypeObject>(self)->state);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

struct ClassAttribute {
    const char* name;
    CodeType code;
};

// Definition order is the order of the class attributes.
constexpr std::array<ClassAttribute, 9> kClassAttributes = {{
    {"SURFACE_CODE", CodeType::SurfaceCode},
    {"HONEYCOMB_CODE", CodeType::HoneycombCode},
    {"COLOR_CODE", CodeType::ColorCode},
    {"REPETITION_CODE", CodeType::RepetitionCode},
    {"TORIC_CODE", CodeType::ToricCode},
    {"BIVARIATE_BICYCLE", CodeType::BivariateBicycle},
    {"HYPERGRAPH_PRODUCT", CodeType::HypergraphProduct},
    {"FIBER_BUNDLE", CodeType::FiberBundle},
    {"CUSTOM", CodeType::Custom},
}};

PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {0, nullptr},
};

PyType_Spec spec = {
    "_veskar.CodeType",
    sizeof(CodeTypeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyObject* code_type_class = nullptr;

// The class with its attributes, or null with an exception set.
Ref make_class() {
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    if (!type) {
        return {};
    }
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    // The class is immutable to Python code, so its attributes go straight
    // into its dict, before anyone can see it.
    PyObject* dict = type_object->tp_dict;
    for (const ClassAttribute& attribute : kClassAttributes) {
        Ref instance = Ref::steal(type_object->tp_alloc(type_object, 0));
        if (!instance) {
            return {};
        }
        reinterpret_cast<CodeTypeObject*>(instance.get())->state = attribute.code;
        if (PyDict_SetItemString(dict, attribute.name, instance.get()) < 0) {
            return {};
        }
    }
    PyType_Modified(type_object);
    return type;
}

}  // namespace

PyTypeObject* code_type_type() {
    if (code_type_class == nullptr) {
        code_type_class = make_class().release();
    }
    return reinterpret_cast<PyTypeObject*>(code_type_class);
}

}  // namespace veskar::py

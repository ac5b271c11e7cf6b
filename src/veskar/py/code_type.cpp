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

PyObject* repr(PyObject* self) {
    std::string text = "CodeType.";
    text += code_type_name(object_state<CodeType>(self));
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

// An instance pickles as the class attribute that holds it, so that
// unpickling gives back that very instance.
PyObject* reduce(PyObject* self, PyObject*) {
    const CodeType code = object_state<CodeType>(self);
    for (const ClassAttribute& attribute : kClassAttributes) {
        if (attribute.code == code) {
            return PyUnicode_FromFormat("CodeType.%s", attribute.name);
        }
    }
    return raise(PyExc_TypeError, "cannot pickle a CodeType that is no class attribute");
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The nine instances live in the class's dict and refer to the class, a
// cycle the collector must see through to free a module's classes.
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<CodeType, true>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec code_type_spec = {
    "_veskar.CodeType",
    sizeof(Object<CodeType>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    slots,
};

// The class is immutable to Python code, so its attributes go straight into
// its dict, before anyone can see it.
int add_code_type_members(PyTypeObject* code_type) {
    for (const ClassAttribute& attribute : kClassAttributes) {
        Ref instance = Ref::steal(new_object<CodeType>(code_type, attribute.code));
        if (!instance || PyDict_SetItemString(code_type->tp_dict, attribute.name, instance.get()) < 0) {
            return -1;
        }
    }
    PyType_Modified(code_type);
    return 0;
}

}  // namespace veskar::py

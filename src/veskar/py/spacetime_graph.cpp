// SpacetimeGraph: a read-only view of a decoding graph's sizes. The graph is
// shared with whoever built it (a decoder keeps the same one), so the object
// holds a reference count, never a copy. Python code cannot make one.

#include <memory>

#include "veskar/dem/graph.hpp"
#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

using SharedGraph = std::shared_ptr<const SpacetimeGraph>;

const SpacetimeGraph& state_of(PyObject* self) {
    return *object_state<SharedGraph>(self);
}

PyObject* get_node_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).node_count());
}
PyObject* get_edge_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).edge_count());
}
PyObject* get_boundary_node(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).boundary);
}

PyObject* repr(PyObject* self) {
    const SpacetimeGraph& graph = state_of(self);
    return PyUnicode_FromFormat(
        "SpacetimeGraph(nodes=%llu, edges=%llu, boundary=%llu)", static_cast<unsigned long long>(graph.node_count()),
        static_cast<unsigned long long>(graph.edge_count()), static_cast<unsigned long long>(graph.boundary));
}

PyGetSetDef getset[] = {
    {"node_count", get_node_count, nullptr, nullptr, nullptr},
    {"edge_count", get_edge_count, nullptr, nullptr, nullptr},
    {"boundary_node", get_boundary_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SharedGraph>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec spacetime_graph_spec = {
    "_veskar.SpacetimeGraph",
    sizeof(Object<SharedGraph>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace veskar::py

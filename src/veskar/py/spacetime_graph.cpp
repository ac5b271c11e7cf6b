// SpacetimeGraph: a read-only view of a decoding graph's sizes. The graph is
// shared with whoever built it (a decoder keeps the same one), so the object
// holds a reference count, never a copy. Python code cannot make one.

#include <memory>

#include "veskar/dem/graph.hpp"
#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

struct GraphObject {
    PyObject_HEAD
    std::shared_ptr<const SpacetimeGraph> state;
};

const SpacetimeGraph& state_of(PyObject* self) {
    return *as<GraphObject>(self)->state;
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_state<GraphObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "_veskar.SpacetimeGraph",
    sizeof(GraphObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyObject* graph_type = nullptr;

}  // namespace

PyTypeObject* spacetime_graph_type() {
    return type_once(graph_type, &spec);
}

PyObject* spacetime_graph_new(std::shared_ptr<const SpacetimeGraph> graph) {
    PyTypeObject* type = spacetime_graph_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    construct_state(as<GraphObject>(self), std::move(graph));
    return self;
}

}  // namespace veskar::py

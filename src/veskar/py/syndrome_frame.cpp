// SyndromeFrame: an owned snapshot of one frame, made by the stream's
// iteration. It keeps no reference to the stream.

#include "veskar/py/args.hpp"
#include "veskar/py/classes.hpp"
#include "veskar/py/frame_source.hpp"
#include "veskar/py/numpy_api.hpp"

namespace veskar::py {

namespace {

const OwnedFrame& state_of(PyObject* self) {
    return object_state<OwnedFrame>(self);
}

constexpr const char* kNoObservableFlips =
    "No decoder configured \u2014 call stream.set_decoder() or use veskar.open(..., decoder=...) before reading "
    "observable_flips";

PyObject* get_frame_id(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).frame_id);
}
PyObject* get_round(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).round);
}
PyObject* get_timestamp_ns(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).timestamp_ns);
}
PyObject* get_qubit_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).qubit_count);
}
PyObject* get_ancilla_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).ancilla_count);
}
PyObject* get_detector_event_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).detector_event_count);
}
PyObject* get_code_type(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).code_type);
}
PyObject* get_distance(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).distance);
}

constexpr const char* kSkippedByDecoder =
    "frame skipped by the shot-by-shot decoder: it is part of no whole shot (after a frame out of sequence, "
    "frames are skipped up to the next one of round 0), so it has no prediction";

PyObject* get_observable_flips(PyObject* self, void*) {
    const OwnedFrame& frame = state_of(self);
    if (!frame.observable_flips) {
        return raise(module_state(self).veskar_error,
                     frame.shot_part == ShotPart::skipped ? kSkippedByDecoder : kNoObservableFlips);
    }
    return PyLong_FromUnsignedLongLong(*frame.observable_flips);
}

PyObject* get_ends_shot(PyObject* self, void*) {
    return PyBool_FromLong(state_of(self).shot_part == ShotPart::end);
}

PyObject* get_recorded_observable_flips(PyObject* self, void*) {
    const OwnedFrame& frame = state_of(self);
    if (!frame.recorded_observable_flips) {
        Py_RETURN_NONE;
    }
    return PyLong_FromUnsignedLongLong(*frame.recorded_observable_flips);
}

PyObject* meas_results(PyObject* self, PyObject*) {
    const OwnedFrame& frame = state_of(self);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.meas_results.data()),
                                     static_cast<Py_ssize_t>(frame.meas_results.size()));
}

PyObject* to_numpy_detector_events(PyObject* self, PyObject*) {
    return new_bool_array(state_of(self).detector_events);
}

PyObject* to_numpy_meas_results(PyObject* self, PyObject*) {
    return new_int8_array(state_of(self).meas_results);
}

PyObject* null_decode(PyObject* self, PyObject*) {
    return module_state(self).decoder_result.make();
}

// Sets dict[key] = value, taking over the new reference `value`.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* to_dict(PyObject* self, PyObject*) {
    const OwnedFrame& frame = state_of(self);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    PyObject* d = dict.get();
    bool ok = put(d, "frame_id", PyLong_FromUnsignedLongLong(frame.frame_id)) &&
              put(d, "round", PyLong_FromUnsignedLong(frame.round)) &&
              put(d, "timestamp_ns", PyLong_FromUnsignedLongLong(frame.timestamp_ns)) &&
              put(d, "qubit_count", PyLong_FromUnsignedLong(frame.qubit_count)) &&
              put(d, "ancilla_count", PyLong_FromUnsignedLong(frame.ancilla_count)) &&
              put(d, "detector_event_count", PyLong_FromUnsignedLong(frame.detector_event_count)) &&
              put(d, "code_type", PyLong_FromUnsignedLong(frame.code_type)) &&
              put(d, "distance", PyLong_FromUnsignedLong(frame.distance)) &&
              put(d, "detector_events", new_bool_array(frame.detector_events)) &&
              put(d, "observable_flips",
                  frame.observable_flips ? PyLong_FromUnsignedLongLong(*frame.observable_flips) : Py_NewRef(Py_None));
    return ok ? dict.release() : nullptr;
}

Ref optional_flips(const std::optional<uint64_t>& flips) {
    return Ref::steal(flips ? PyLong_FromUnsignedLongLong(*flips) : Py_NewRef(Py_None));
}

// A frame is plain data: pickled as its fields, rebuilt by _restore.
PyObject* reduce(PyObject* self, PyObject*) {
    const OwnedFrame& frame = state_of(self);
    Ref restore = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_restore"));
    Ref flips = optional_flips(frame.observable_flips);
    Ref recorded = optional_flips(frame.recorded_observable_flips);
    if (!restore || !flips || !recorded) {
        return nullptr;
    }
    return Py_BuildValue("(O(KkKIIkIIy#y#OOI))", restore.get(), static_cast<unsigned long long>(frame.frame_id),
                         static_cast<unsigned long>(frame.round), static_cast<unsigned long long>(frame.timestamp_ns),
                         unsigned{frame.qubit_count}, unsigned{frame.ancilla_count},
                         static_cast<unsigned long>(frame.detector_event_count), unsigned{frame.code_type},
                         unsigned{frame.distance}, reinterpret_cast<const char*>(frame.meas_results.data()),
                         static_cast<Py_ssize_t>(frame.meas_results.size()),
                         reinterpret_cast<const char*>(frame.detector_events.data()),
                         static_cast<Py_ssize_t>(frame.detector_events.size()), flips.get(), recorded.get(),
                         static_cast<unsigned>(frame.shot_part));
}

bool optional_flips_argument(PyObject* value, const char* name, std::optional<uint64_t>& out) {
    uint64_t flips = 0;
    if (value == Py_None) {
        out.reset();
    } else if (unsigned_argument(value, {"_restore", name}, flips)) {
        out = flips;
    } else {
        return false;
    }
    return true;
}

// What reduce gives, back into a frame.
PyObject* restore(PyObject* cls, PyObject* args) {
    OwnedFrame frame;
    unsigned qubits = 0;
    unsigned ancillas = 0;
    unsigned code_type = 0;
    unsigned distance = 0;
    unsigned long round = 0;
    unsigned long fired = 0;
    unsigned long long frame_id = 0;
    unsigned long long timestamp = 0;
    const char* results = nullptr;
    const char* events = nullptr;
    Py_ssize_t result_count = 0;
    Py_ssize_t event_count = 0;
    PyObject* flips = nullptr;
    PyObject* recorded = nullptr;
    unsigned shot_part = 0;
    if (!PyArg_ParseTuple(args, "KkKIIkIIy#y#OO|I:_restore", &frame_id, &round, &timestamp, &qubits, &ancillas, &fired,
                          &code_type, &distance, &results, &result_count, &events, &event_count, &flips, &recorded,
                          &shot_part) ||
        !optional_flips_argument(flips, "observable_flips", frame.observable_flips) ||
        !optional_flips_argument(recorded, "recorded_observable_flips", frame.recorded_observable_flips)) {
        return nullptr;
    }
    if (ancillas > UINT16_MAX || qubits > UINT16_MAX || code_type > UINT8_MAX || distance > UINT8_MAX ||
        static_cast<size_t>(event_count) != ancillas || shot_part > static_cast<unsigned>(ShotPart::skipped)) {
        return raise(PyExc_ValueError, "_restore() was given fields no frame holds");
    }
    frame.frame_id = frame_id;
    frame.round = static_cast<uint32_t>(round);
    frame.timestamp_ns = timestamp;
    frame.qubit_count = static_cast<uint16_t>(qubits);
    frame.ancilla_count = static_cast<uint16_t>(ancillas);
    frame.detector_event_count = static_cast<uint32_t>(fired);
    frame.code_type = static_cast<uint8_t>(code_type);
    frame.distance = static_cast<uint8_t>(distance);
    frame.shot_part = static_cast<ShotPart>(shot_part);
    frame.meas_results.assign(reinterpret_cast<const int8_t*>(results),
                              reinterpret_cast<const int8_t*>(results) + result_count);
    frame.detector_events.resize(ancillas);
    for (size_t i = 0; i < ancillas; ++i) {
        frame.detector_events[i] = events[i] != 0 ? 1 : 0;
    }
    return module_state_of(reinterpret_cast<PyTypeObject*>(cls)).syndrome_frame.make(std::move(frame));
}

PyObject* repr(PyObject* self) {
    const OwnedFrame& frame = state_of(self);
    return PyUnicode_FromFormat(
        "SyndromeFrame(frame_id=%llu, round=%lu, detector_events=%lu/%lu)",
        static_cast<unsigned long long>(frame.frame_id), static_cast<unsigned long>(frame.round),
        static_cast<unsigned long>(frame.detector_event_count), static_cast<unsigned long>(frame.ancilla_count));
}

PyMethodDef methods[] = {
    {"meas_results", meas_results, METH_NOARGS, "meas_results($self)\n--\n\n"},
    {"to_numpy_detector_events", to_numpy_detector_events, METH_NOARGS,
     "to_numpy_detector_events($self)\n--\n\n"
     "Detector events as a 1-D NumPy bool array of shape `(ancilla_count,)`."},
    {"to_numpy_meas_results", to_numpy_meas_results, METH_NOARGS,
     "to_numpy_meas_results($self)\n--\n\n"
     "Ancilla measurement results as a 1-D NumPy int8 array of shape `(ancilla_count,)`."},
    {"null_decode", null_decode, METH_NOARGS, "null_decode($self)\n--\n\n"},
    {"to_dict", to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "Serialise this frame as a Python dict suitable for pandas / JSON.\n\n"
     "The `detector_events` key holds a 1-D NumPy bool array. All scalar\n"
     "fields are plain Python ints/floats."},
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef static_methods[] = {
    {"_restore", restore, METH_VARARGS, "_restore(*fields)\n--\n\nA frame from the fields its __reduce__ gives."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"frame_id", get_frame_id, nullptr, nullptr, nullptr},
    {"round", get_round, nullptr, nullptr, nullptr},
    {"timestamp_ns", get_timestamp_ns, nullptr, nullptr, nullptr},
    {"qubit_count", get_qubit_count, nullptr, nullptr, nullptr},
    {"ancilla_count", get_ancilla_count, nullptr, nullptr, nullptr},
    {"detector_event_count", get_detector_event_count, nullptr, nullptr, nullptr},
    {"code_type", get_code_type, nullptr, nullptr, nullptr},
    {"distance", get_distance, nullptr, nullptr, nullptr},
    {"observable_flips", get_observable_flips, nullptr, nullptr, nullptr},
    {"recorded_observable_flips", get_recorded_observable_flips, nullptr,
     "Observable flips as the frame's own metadata recorded them (bit k = observable k), or None\n"
     "when its metadata carried none.\n\n"
     "A decoder attached to the stream replaces `observable_flips` with its prediction but\n"
     "leaves this value as read, so comparing the two scores the decoder against the\n"
     "recording's truth.",
     nullptr},
    {"ends_shot", get_ends_shot, nullptr,
     "True when the stream decodes shot by shot (set_decoder with commit_rounds) and this frame\n"
     "is the last of its shot: its `observable_flips` is the whole shot's prediction. Earlier\n"
     "frames of the shot carry what is committed so far; without shot-by-shot decoding, always\n"
     "False.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<OwnedFrame>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

int add_syndrome_frame_members(PyTypeObject* cls) {
    return add_static_methods(cls, static_methods);
}

PyType_Spec syndrome_frame_spec = {
    "_veskar.SyndromeFrame",
    sizeof(Object<OwnedFrame>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace veskar::py

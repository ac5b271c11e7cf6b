#include "veskar/py/errors.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "veskar/core/overloaded.hpp"

namespace veskar::py {

namespace {

const char* kind_name(const VeskarError& err) {
    return std::visit(Overloaded{
                          [](const error::InvalidMagic&) { return "InvalidMagic"; },
                          [](const error::UnsupportedVersion&) { return "UnsupportedVersion"; },
                          [](const error::UnknownCodeType&) { return "UnknownCodeType"; },
                          [](const error::SchemaNotFound&) { return "SchemaNotFound"; },
                          [](const error::CrcMismatch&) { return "CrcMismatch"; },
                          [](const error::ParityViolation&) { return "ParityViolation"; },
                          [](const error::TimingOutOfBounds&) { return "TimingOutOfBounds"; },
                          [](const error::PayloadLengthMismatch&) { return "PayloadLengthMismatch"; },
                          [](const error::FrameIdBackwards&) { return "FrameIdBackwards"; },
                          [](const error::SchemaMismatch&) { return "SchemaMismatch"; },
                          [](const error::ChannelLagged&) { return "ChannelLagged"; },
                          [](const error::Io&) { return "Io"; },
                          [](const error::Json&) { return "Json"; },
                      },
                      err);
}

// OSError(code, text[, filename]) when there is an errno: OSError's own
// constructor then picks the subclass. Without one, `type`(text).
Ref new_os_error(int code, std::string_view text, PyObject* filename, const char* kind,
                 PyObject* type = PyExc_OSError) {
    const auto length = static_cast<Py_ssize_t>(text.size());
    Ref args = Ref::steal(code == 0             ? Py_BuildValue("(s#)", text.data(), length)
                          : filename == nullptr ? Py_BuildValue("(is#)", code, text.data(), length)
                                                : Py_BuildValue("(is#O)", code, text.data(), length, filename));
    if (!args) {
        return Ref();
    }
    Ref exception = Ref::steal(PyObject_Call(type, args.get(), nullptr));
    if (!exception) {
        return Ref();
    }
    if (kind != nullptr) {
        Ref name = Ref::steal(PyUnicode_FromString(kind));
        if (!name || PyObject_SetAttrString(exception.get(), "kind", name.get()) < 0) {
            return Ref();
        }
    }
    return exception;
}

PyObject* raise_exception(const Ref& exception) {
    if (exception) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    }
    return nullptr;
}

PyObject* raise_os_error(int code, std::string_view text, PyObject* filename, const char* kind,
                         PyObject* type = PyExc_OSError) {
    return raise_exception(new_os_error(code, text, filename, kind, type));
}

const char* kind_name(const SequenceError& err) {
    return std::visit(Overloaded{
                          [](const sequence_error::UnexpectedRound&) { return "UnexpectedRound"; },
                          [](const sequence_error::ShotCutShort&) { return "ShotCutShort"; },
                          [](const sequence_error::AncillaCountChanged&) { return "AncillaCountChanged"; },
                          [](const sequence_error::StreamEnded&) { return "StreamEnded"; },
                      },
                      err);
}

}  // namespace

PyObject* raise_error(const VeskarError& err, PyObject* filename) {
    const auto* io = std::get_if<error::Io>(&err);
    return raise_os_error(io != nullptr ? io->code : 0, message(err), filename, kind_name(err));
}

PyObject* raise_error(const OpenFailure& failure, PyObject* source) {
    return std::visit(Overloaded{
                          [](const open_failure::Refused&) { return raise(PyExc_ValueError, kShmRefusal.data()); },
                          [](const open_failure::RuntimeFailed& f) { return raise_os_error(0, f.text, nullptr, "Io"); },
                          [](const open_failure::Interrupted&) -> PyObject* { return nullptr; },
                          [](const open_failure::TimedOut&) { return raise_timeout(); },
                          [](const open_failure::Connect& f) { return raise_error(f.error); },
                          [source](const open_failure::File& f) { return raise_error(f.error, source); },
                      },
                      failure);
}

PyObject* raise_stream_closed() {
    return raise_os_error(0, "stream is closed", nullptr, "Closed");
}

PyObject* raise_timeout() {
    return raise_os_error(0, "timed out", nullptr, "Timeout", PyExc_TimeoutError);
}

PyObject* raise_file_error(int code, PyObject* filename) {
    // Invalid UTF-8 is a property of the file, reported as a read failure
    // rather than as a puzzling parse error.
    const char* text = code == EILSEQ ? "stream did not contain valid UTF-8" : std::strerror(code);
    return raise_os_error(code, text, filename, nullptr);
}

PyObject* raise_error(const ParseError& err) {
    return raise(PyExc_ValueError, message(err));
}

PyObject* raise_error(const WindowError& err) {
    PyObject* type = std::visit(Overloaded{
                                    [](const window_error::ZeroDepth&) { return PyExc_ValueError; },
                                    [](const window_error::SizeOverflow&) { return PyExc_OverflowError; },
                                    [](const window_error::OutOfMemory&) { return PyExc_MemoryError; },
                                },
                                err);
    return raise(type, message(err));
}

PyObject* raise_error(const GraphError& err) {
    return raise(PyExc_ValueError, message(err));
}

PyObject* raise_error(const DecoderError& err) {
    return raise(PyExc_ValueError, message(err));
}

PyObject* raise_error(const SequenceError& err, PyObject* frame) {
    Ref exception = new_os_error(0, message(err), nullptr, kind_name(err));
    if (exception && PyObject_SetAttrString(exception.get(), "frame", frame != nullptr ? frame : Py_None) < 0) {
        return nullptr;
    }
    return raise_exception(exception);
}

PyObject* raise_error(const CommittedDecoderError& err) {
    return raise(PyExc_ValueError, message(err));
}

}  // namespace veskar::py

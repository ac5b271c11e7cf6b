// VeskarStream.read_batch: up to max_frames frames at once, as NumPy arrays
// with one row per frame, filled straight from the reader's frames: no
// Python object per frame, and no copy of a frame unless a decoder's window
// needs one. Without a decoder, the frames the reader has buffered whole go
// straight into rows in a tight loop, without the interpreter lock (the bulk
// path, put_buffered); every other frame is read as iteration reads it.
//
// A batch holds frames of one width. It ends early at a frame of another
// width, which stays in the source for the next read, and at an error after
// good frames, which is kept and raised by the next read; either kind of read
// hands them out, so that batches and iteration can be mixed and no frame is
// lost or read twice.

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "veskar/core/event_bits.hpp"
#include "veskar/py/args.hpp"
#include "veskar/py/errors.hpp"
#include "veskar/py/module_state.hpp"
#include "veskar/py/numpy_api.hpp"
#include "veskar/py/stream_state.hpp"

namespace veskar::py {

const char read_batch_doc[] =
    "read_batch($self, max_frames, *, bit_packed=False)\n--\n\n"
    "Read up to `max_frames` frames into a dict of NumPy arrays, one row per frame:\n\n"
    "- `frame_id` (uint64), `round` (uint32), `timestamp_ns` (uint64);\n"
    "- `detector_events`: bool of shape (n, ancilla_count), or with\n"
    "  `bit_packed=True` uint8 of shape (n, ceil(ancilla_count / 8)), detector k\n"
    "  at bit k % 8 of byte k // 8 (`np.packbits(..., bitorder=\"little\")`);\n"
    "- `recorded_observable_flips` (uint64, 0 where absent) and\n"
    "  `has_recorded_observable_flips` (bool): the flips each frame's metadata\n"
    "  recorded, and whether it recorded any;\n"
    "- with a decoder attached, `observable_flips` (uint64): the decoder's\n"
    "  prediction for each frame, as iteration gives it;\n"
    "- decoding shot by shot, `ends_shot` (bool): the frames that end a shot,\n"
    "  whose `observable_flips` is the shot's prediction (other rows carry the\n"
    "  shot's committed mask, or 0 for frames skipped after one out of sequence);\n"
    "- `ancilla_count` (int): the batch's frame width.\n\n"
    "n is 0 at the end of the stream. The call waits until `max_frames` frames\n"
    "have come or the stream ends. A batch holds frames of one width: a frame of\n"
    "another width ends it and starts the next. A read error ends the batch\n"
    "after the good frames before it and is raised by the next read, as\n"
    "iteration raises it; so does a frame out of its shot's sequence, or an end\n"
    "inside a shot, when the stream decodes shot by shot.";

namespace {

enum Column : size_t {
    kFrameId,
    kRound,
    kTimestamp,
    kEvents,
    kRecordedFlips,
    kHasRecordedFlips,
    kPredictedFlips,
    kEndsShot,
    kColumnCount,
};

constexpr std::array<const char*, kColumnCount> kKeys = {
    "frame_id",
    "round",
    "timestamp_ns",
    "detector_events",
    "recorded_observable_flips",
    "has_recorded_observable_flips",
    "observable_flips",
    "ends_shot",
};

constexpr std::array<int, kColumnCount> kTypes = {
    NPY_UINT64, NPY_UINT32, NPY_UINT64, NPY_BOOL, NPY_UINT64, NPY_BOOL, NPY_UINT64, NPY_BOOL,
};

// Bytes of one row of each column; the events' row is the batch's width.
constexpr std::array<npy_intp, kColumnCount> kItemSizes = {8, 4, 8, 0, 8, 1, 8, 1};

// The arrays start with room for up to 4 MiB of rows (and at least 1024), so
// that the usual batch never grows them: growing zeroes and copies them.
constexpr npy_intp kFirstCapacity = 1024;
constexpr npy_intp kFirstBytes = 4 * 1024 * 1024;

// Rows are added as frames come; the arrays grow by doubling and are cut to
// the rows filled at the end, so a large max_frames costs no more than
// kFirstBytes up front.
class BatchArrays {
   public:
    // `columns`: the columns before it are filled (kPredictedFlips: no
    // decoder; kEndsShot: a sliding window; kColumnCount: shot by shot).
    BatchArrays(uint16_t ancillas, bool packed, Column columns)
        : ancillas_(ancillas),
          width_(packed ? (ancillas + 7) / 8 : ancillas),
          packed_(packed),
          columns_(columns),
          bits_(event_words(ancillas)) {}

    uint16_t ancillas() const { return ancillas_; }

    // The rows that fit in kFirstBytes, and at least kFirstCapacity.
    npy_intp first_capacity() const {
        npy_intp row_bytes = width_;
        for (size_t c = 0; c < columns_; ++c) {
            row_bytes += kItemSizes[c];
        }
        return std::max(kFirstCapacity, kFirstBytes / row_bytes);
    }

    // False with the exception set.
    bool resize(npy_intp rows) {
        for (size_t c = 0; c < columns_; ++c) {
            npy_intp dims[2] = {rows, width_};
            const int ndim = c == kEvents ? 2 : 1;
            if (!arrays_[c]) {
                const int type = c == kEvents && packed_ ? NPY_UINT8 : kTypes[c];
                arrays_[c] = Ref::steal(PyArray_SimpleNew(ndim, dims, type));
                if (!arrays_[c]) {
                    return false;
                }
            } else {
                PyArray_Dims shape = {dims, ndim};
                Ref done = Ref::steal(PyArray_Resize(array(c), &shape, 0, NPY_CORDER));
                if (!done) {
                    return false;
                }
            }
            data_[c] = static_cast<uint8_t*>(PyArray_DATA(array(c)));
        }
        capacity_ = rows;
        return true;
    }

    npy_intp capacity() const { return capacity_; }

    // Row `row` from the reader's frame, and what the decoder made of it
    // when the batch has columns for that.
    void put(npy_intp row, const SyndromeFrame& frame, const OwnedFrame& decoded) {
        const FrameHeader& header = frame.header;
        store<uint64_t>(kFrameId, row, header.frame_id);
        store<uint32_t>(kRound, row, header.round);
        store<uint64_t>(kTimestamp, row, header.timestamp_ns);
        const std::span<uint8_t> events(data_[kEvents] + row * width_, static_cast<size_t>(width_));
        runs_to_bits(frame.detector_events, ancillas_, bits_);
        if (packed_) {
            bits_to_packed(bits_, events);
        } else {
            bits_to_bytes(bits_, events);
        }
        const std::optional<uint64_t> recorded = frame.metadata ? frame.metadata->observable_flips : std::nullopt;
        store<uint64_t>(kRecordedFlips, row, recorded.value_or(0));
        store<uint8_t>(kHasRecordedFlips, row, recorded.has_value());
        if (columns_ > kPredictedFlips) {
            store<uint64_t>(kPredictedFlips, row, decoded.observable_flips.value_or(0));
        }
        if (columns_ > kEndsShot) {
            store<uint8_t>(kEndsShot, row, decoded.shot_part == ShotPart::end);
        }
    }

    // The dict of the first `rows` rows. Null with the exception set.
    PyObject* finish(npy_intp rows) {
        if ((capacity_ != rows || !arrays_[0]) && !resize(rows)) {
            return nullptr;
        }
        Ref dict = Ref::steal(PyDict_New());
        Ref width = Ref::steal(PyLong_FromUnsignedLong(ancillas_));
        if (!dict || !width || PyDict_SetItemString(dict.get(), "ancilla_count", width.get()) < 0) {
            return nullptr;
        }
        for (size_t c = 0; c < columns_; ++c) {
            if (PyDict_SetItemString(dict.get(), kKeys[c], arrays_[c].get()) < 0) {
                return nullptr;
            }
        }
        return dict.release();
    }

   private:
    PyArrayObject* array(size_t c) const { return reinterpret_cast<PyArrayObject*>(arrays_[c].get()); }

    template <typename T>
    void store(Column c, npy_intp row, T value) {
        std::memcpy(data_[c] + row * static_cast<npy_intp>(sizeof(T)), &value, sizeof(T));
    }

    uint16_t ancillas_;
    npy_intp width_;  // columns of a detector_events row
    bool packed_;
    size_t columns_;
    npy_intp capacity_ = 0;
    std::array<Ref, kColumnCount> arrays_;
    std::array<uint8_t*, kColumnCount> data_{};
    std::vector<uint64_t> bits_;  // the frame's events as bits, on their way into its row
};

// Letting the interpreter lock go and taking it back costs about as much as
// reading a few dozen frames; with fewer bytes than this buffered the bulk
// path keeps it.
constexpr size_t kUnlockFrom = 4096;

// Why the bulk path's inner loop stopped.
enum class Stop : uint8_t {
    Full,    // the rows it was given are filled
    Slow,    // the next frame is for read_next: not buffered whole, faulty, or a close came
    Held,    // the next frame is of another width, held in the source for the next read
    Failed,  // the reader answered `error` for a frame buffered whole (it failed validation)
};

struct BulkStop {
    Stop why;
    std::optional<VeskarError> error;
};

// Frames buffered whole, from the reader straight into rows [rows, limit).
BulkStop take_buffered(StreamState& stream, BatchArrays& batch, const OwnedFrame& none, npy_intp& rows,
                       npy_intp limit) {
    FrameSource& source = *stream.source;
    std::optional<WithoutGil> unlocked;
    if (source.buffered() >= kUnlockFrom) {
        unlocked.emplace();
    }
    while (rows < limit) {
        if (stream.close_signal.raised()) {
            return {Stop::Slow};  // read_next finishes the close
        }
        auto got = source.next_buffered_frame();
        if (!got) {
            return {Stop::Failed, std::move(got.error())};
        }
        if (!*got) {
            return {Stop::Slow};
        }
        const SyndromeFrame& view = source.frame();
        if (view.header.ancilla_count != batch.ancillas()) {
            stream.frame_held = true;
            return {Stop::Held};
        }
        batch.put(rows++, view, none);
    }
    return {Stop::Full};
}

enum class Bulk : uint8_t { GoOn, Ended, Failed };

// The bulk path, for a batch without a decoder after each frame read_next
// gives: GoOn when read_next is to read the next frame (or max_frames rows
// are filled), Ended when the batch ends with a frame or an error held for
// the next read, as read_next's errors are after good frames, and Failed
// with the exception set when the arrays cannot grow.
Bulk put_buffered(StreamState& stream, BatchArrays& batch, const OwnedFrame& none, npy_intp& rows,
                  uint64_t max_frames) {
    const auto most = static_cast<npy_intp>(max_frames);
    for (;;) {
        if (rows == most) {
            return Bulk::GoOn;
        }
        if (rows == batch.capacity() && !batch.resize(std::min<npy_intp>(2 * rows, most))) {
            return Bulk::Failed;
        }
        BulkStop stop = take_buffered(stream, batch, none, rows, std::min<npy_intp>(batch.capacity(), most));
        switch (stop.why) {
            case Stop::Full:
                continue;
            case Stop::Slow:
                return Bulk::GoOn;
            case Stop::Held:
                return Bulk::Ended;
            case Stop::Failed:
                break;
        }
        if (stream.close_signal.raised()) {
            close_state(stream);  // as read_next does on an error that meets a close
        }
        raise_error(*stop.error);
        hold_error(stream);
        return Bulk::Ended;
    }
}

// What the decoder makes of the reader's frame, in `frame` (the window takes
// a copy; the row is filled from the reader's frame, which decoding leaves
// in place). False with the exception set when decoding fails, or when the
// frame broke its shot: it is handed out inside its error, as iteration
// does, not in the batch.
bool decode_row(StreamState& stream, const SyndromeFrame& view, OwnedFrame& frame) {
    copy_frame(view, frame);
    std::optional<SequenceError> broken;
    if (!decode_step(stream, frame, broken)) {
        return false;
    }
    if (broken) {
        Ref made = Ref::steal(stream.module->syndrome_frame.make(frame));
        if (made) {
            raise_error(*broken, made.get());
        }
        return false;
    }
    return true;
}

}  // namespace

PyObject* read_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    StreamState& stream = object_state<StreamState>(self);
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow) {
        return nullptr;
    }
    static constexpr const char* kNames[] = {"max_frames", "bit_packed"};
    PyObject* given[2];
    uint64_t max_frames = 0;
    bool packed = false;
    if (!fast_arguments("read_batch", kNames, 1, 1, args, nargs, kwnames, given) ||
        !unsigned_argument(given[0], {"read_batch", "max_frames"}, max_frames) ||
        !flag_argument(given[1], false, packed) || !ensure_numpy()) {
        return nullptr;
    }
    if (max_frames == 0) {
        return raise(PyExc_ValueError, "read_batch() argument 'max_frames' must be at least 1");
    }
    max_frames = std::min<uint64_t>(max_frames, PY_SSIZE_T_MAX / 8);
    try {
        const bool predicted = stream.decoding();
        const Column columns = stream.shot_graph ? kColumnCount : predicted ? kEndsShot : kPredictedFlips;
        std::optional<BatchArrays> batch;
        OwnedFrame frame;  // for the decoder's window; one, reused, so its vectors keep their storage
        uint16_t ancillas = 0;
        npy_intp rows = 0;
        while (static_cast<uint64_t>(rows) < max_frames) {
            const ReadOutcome outcome = read_next(stream);
            // An end that cut a shot short raises, as a read error does.
            if (outcome == ReadOutcome::End && end_of_input(stream)) {
                break;
            }
            if (outcome != ReadOutcome::Frame) {
                if (rows == 0) {
                    return nullptr;
                }
                hold_error(stream);
                break;
            }
            const SyndromeFrame& view = stream.source->frame();
            if (!batch) {
                ancillas = view.header.ancilla_count;
                batch.emplace(ancillas, packed, columns);
                if (!batch->resize(std::min<npy_intp>(batch->first_capacity(), static_cast<npy_intp>(max_frames)))) {
                    return nullptr;
                }
            } else if (view.header.ancilla_count != ancillas) {
                stream.frame_held = true;
                break;
            }
            if (predicted && !decode_row(stream, view, frame)) {
                if (rows == 0) {
                    return nullptr;
                }
                hold_error(stream);
                break;
            }
            if (rows == batch->capacity() &&
                !batch->resize(std::min<npy_intp>(2 * rows, static_cast<npy_intp>(max_frames)))) {
                return nullptr;
            }
            batch->put(rows++, view, frame);
            const Bulk bulk = predicted ? Bulk::GoOn : put_buffered(stream, *batch, frame, rows, max_frames);
            if (bulk == Bulk::Failed) {
                return nullptr;
            }
            if (bulk == Bulk::Ended) {
                break;
            }
        }
        if (!batch) {
            batch.emplace(0, packed, columns);
        }
        return batch->finish(rows);
    } catch (...) {
        return raise_cpp_exception();
    }
}

}  // namespace veskar::py

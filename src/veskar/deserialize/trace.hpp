#pragma once

#include <cstdint>

namespace veskar {

// Diagnostic spans around a frame's decoding ("tolm.frame_parse") and its
// validation ("tolm.frame_validate", field "frame_id"). They are hooks for an
// embedder's tracing facility: built without VESKAR_TRACING they compile to
// nothing; with it, the embedder links these two functions.
#ifdef VESKAR_TRACING
void trace_span_enter(const char* name, const char* field, uint64_t value);
void trace_span_exit(const char* name);
#endif

class TraceSpan {
   public:
#ifdef VESKAR_TRACING
    explicit TraceSpan(const char* name, const char* field = nullptr, uint64_t value = 0) : name_(name) {
        trace_span_enter(name, field, value);
    }
    ~TraceSpan() {
        trace_span_exit(name_);
    }

   private:
    const char* name_;
#else
    explicit TraceSpan(const char*, const char* = nullptr, uint64_t = 0) {}
#endif

   public:
    TraceSpan(const TraceSpan&) = delete;
    TraceSpan& operator=(const TraceSpan&) = delete;
};

}  // namespace veskar

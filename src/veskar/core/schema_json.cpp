#include "veskar/core/schema_json.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace veskar {

namespace {

void append_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case 0x08:
                out += "\\b";
                break;
            case 0x09:
                out += "\\t";
                break;
            case 0x0A:
                out += "\\n";
                break;
            case 0x0C:
                out += "\\f";
                break;
            case 0x0D:
                out += "\\r";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    // DEL and UTF-8 sequences pass through unchanged.
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

void append_unsigned(std::string& out, uint64_t value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out.append(buffer, end);
}

// Shortest text that reads back to the same float or double. A whole number
// in plain digits gets ".0" so it reads back as a float; one that the
// formatter puts in exponent form ("1e+20") already is a valid JSON number
// that reads back as a float, and is left alone. JSON has no NaN or
// infinity, so those become null.
template <class Float>
void append_float(std::string& out, Float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof(buffer), value);
    const std::string_view text(buffer, static_cast<size_t>(end - buffer));
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void indent(std::string& out, int depth) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
}

// Writes the separators and indentation of one object or array. "{}" and
// "[]" stay on one line when nothing was written between them.
class Container {
   public:
    Container(std::string& out, int depth, char open, char close) : out_(out), depth_(depth), close_(close) {
        out_.push_back(open);
    }

    // Starts the next element; returns the depth its own children use.
    int element() {
        out_ += empty_ ? "\n" : ",\n";
        empty_ = false;
        indent(out_, depth_ + 1);
        return depth_ + 1;
    }

    int member(std::string_view key) {
        int depth = element();
        append_string(out_, key);
        out_ += ": ";
        return depth;
    }

    void close() {
        if (!empty_) {
            out_.push_back('\n');
            indent(out_, depth_);
        }
        out_.push_back(close_);
    }

   private:
    std::string& out_;
    int depth_;
    char close_;
    bool empty_ = true;
};

void append_stabilizer(std::string& out, int depth, const StabilizerEntry& entry) {
    Container object(out, depth, '{', '}');
    object.member("id");
    append_unsigned(out, entry.id);
    object.member("type");
    append_string(out, entry.type == StabilizerType::X ? "X" : "Z");
    const int qubits_depth = object.member("qubits");
    Container qubits(out, qubits_depth, '[', ']');
    for (uint16_t qubit : entry.qubits) {
        qubits.element();
        append_unsigned(out, qubit);
    }
    qubits.close();
    object.close();
}

void append_optional(std::string& out, Container& object, std::string_view key,
                     const std::optional<std::string>& value) {
    if (!value) return;
    object.member(key);
    append_string(out, *value);
}

}  // namespace

std::string to_json(const HardwareSchema& schema) {
    std::string out;
    out.reserve(512 + schema.stabilizers.size() * 64);
    Container object(out, 0, '{', '}');
    object.member("schema_id");
    append_string(out, format_uuid(schema.schema_id));
    object.member("version");
    append_string(out, schema.version);
    object.member("name");
    append_string(out, schema.name);
    object.member("description");
    append_string(out, schema.description);
    object.member("code_type");
    append_string(out, schema.code_type);
    object.member("distance");
    append_unsigned(out, schema.distance);
    object.member("qubit_count");
    append_unsigned(out, schema.qubit_count);
    object.member("ancilla_count");
    append_unsigned(out, schema.ancilla_count);
    const int stabilizers_depth = object.member("stabilizers");
    Container stabilizers(out, stabilizers_depth, '[', ']');
    for (const StabilizerEntry& entry : schema.stabilizers) {
        append_stabilizer(out, stabilizers.element(), entry);
    }
    stabilizers.close();
    object.member("measurement_cycle_us");
    append_float(out, schema.measurement_cycle_us);
    object.member("ancilla_layout");
    append_string(out, schema.ancilla_layout);
    append_optional(out, object, "ldpc_hz_matrix", schema.ldpc_hz_matrix);
    append_optional(out, object, "ldpc_hx_matrix", schema.ldpc_hx_matrix);
    append_optional(out, object, "logical_z_matrix", schema.logical_z_matrix);
    append_optional(out, object, "logical_x_matrix", schema.logical_x_matrix);
    if (schema.encoding_rate) {
        object.member("encoding_rate");
        append_float(out, *schema.encoding_rate);
    }
    append_optional(out, object, "dem_path", schema.dem_path);
    object.close();
    return out;
}

}  // namespace veskar

// Fuzzes the schema JSON writer over random schemas: arbitrary bytes in
// every text (control characters, quotes, invalid UTF-8), every float bit
// pattern (NaN, infinities, subnormals, -0), any mix of optional fields and
// stabilizers.
//
// The output is read back by a strict reader that also checks the layout
// (two spaces per level, one member per line, "{}" and "[]" when empty, no
// trailing newline) and the one escape form each character has; every value
// must read back to exactly what the schema holds, and every float must be
// written with the fewest digits that read back to the same value.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "veskar/core/schema.hpp"
#include "veskar/core/schema_json.hpp"

namespace veskar::fuzz {
namespace {

struct Json {
    enum class Type { Null, Number, String, Array, Object } type = Type::Null;
    std::string text;  // a number as written, or a string decoded
    std::vector<Json> items;
    std::vector<std::string> keys;  // an object's members in written order
    std::vector<Json> values;
};

class StrictReader {
   public:
    explicit StrictReader(std::string_view text) : s_(text) {}

    Json document() {
        Json value = read_value(0);
        VESKAR_FUZZ_CHECK(at_ == s_.size(), "bytes after the document");
        return value;
    }

   private:
    char peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }

    void expect(std::string_view word) {
        VESKAR_FUZZ_CHECK(s_.substr(at_, word.size()) == word,
                          "expected '" + std::string(word) + "' at byte " + std::to_string(at_));
        at_ += word.size();
    }

    void newline_and_indent(int depth) {
        expect("\n");
        expect(std::string(static_cast<size_t>(depth) * 2, ' '));
    }

    Json read_value(int depth) {
        char c = peek();
        if (c == '{' || c == '[') return read_container(depth, c);
        if (c == '"') {
            Json value;
            value.type = Json::Type::String;
            value.text = read_string();
            return value;
        }
        if (c == 'n') {
            expect("null");
            return Json{};
        }
        return read_number();
    }

    Json read_container(int depth, char open) {
        const char close = open == '{' ? '}' : ']';
        Json value;
        value.type = open == '{' ? Json::Type::Object : Json::Type::Array;
        ++at_;
        if (peek() == close) {
            ++at_;
            return value;
        }
        for (bool first = true;; first = false) {
            if (!first) expect(",");
            newline_and_indent(depth + 1);
            if (open == '{') {
                VESKAR_FUZZ_CHECK(peek() == '"', "a member without a key");
                std::string key = read_string();
                expect(": ");
                value.keys.push_back(std::move(key));
                value.values.push_back(read_value(depth + 1));
            } else {
                value.items.push_back(read_value(depth + 1));
            }
            if (peek() != ',') break;
        }
        newline_and_indent(depth);
        expect(std::string(1, close));
        return value;
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;  // upper case is not the form this writer uses
    }

    std::string read_string() {
        expect("\"");
        std::string out;
        for (;;) {
            VESKAR_FUZZ_CHECK(at_ < s_.size(), "unterminated string");
            const auto c = static_cast<unsigned char>(s_[at_++]);
            if (c == '"') return out;
            VESKAR_FUZZ_CHECK(c >= 0x20, "raw control character in a string");
            if (c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            VESKAR_FUZZ_CHECK(at_ < s_.size());
            const char e = s_[at_++];
            switch (e) {
                case '"':
                    out.push_back('"');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 'u': {
                    expect("00");
                    VESKAR_FUZZ_CHECK(at_ + 2 <= s_.size());
                    int hi = hex_digit(s_[at_]);
                    int lo = hex_digit(s_[at_ + 1]);
                    VESKAR_FUZZ_CHECK(hi >= 0 && lo >= 0, "\\u escape not in lower-case hex");
                    at_ += 2;
                    const int code = hi * 16 + lo;
                    VESKAR_FUZZ_CHECK(code < 0x20 && code != 0x08 && code != 0x09 && code != 0x0A && code != 0x0C &&
                                          code != 0x0D,
                                      "\\u escape for a character that has another form");
                    out.push_back(static_cast<char>(code));
                    break;
                }
                default:
                    broken("escape the writer never uses", std::string(1, e));
            }
        }
    }

    // JSON's number grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    Json read_number() {
        const size_t start = at_;
        auto digits = [this] {
            size_t from = at_;
            while (peek() >= '0' && peek() <= '9') ++at_;
            return at_ - from;
        };
        if (peek() == '-') ++at_;
        const size_t int_start = at_;
        const size_t int_digits = digits();
        VESKAR_FUZZ_CHECK(int_digits > 0, "not a value at byte " + std::to_string(start));
        VESKAR_FUZZ_CHECK(int_digits == 1 || s_[int_start] != '0', "leading zero");
        if (peek() == '.') {
            ++at_;
            VESKAR_FUZZ_CHECK(digits() > 0, "no digit after the point");
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') ++at_;
            VESKAR_FUZZ_CHECK(digits() > 0, "no digit in the exponent");
        }
        Json value;
        value.type = Json::Type::Number;
        value.text = std::string(s_.substr(start, at_ - start));
        return value;
    }

    std::string_view s_;
    size_t at_ = 0;
};

// Significant digits of a decimal number as written: the mantissa without
// sign, point, leading and trailing zeros.
size_t significant_digits(const std::string& text) {
    std::string mantissa = text.substr(0, text.find_first_of("eE"));
    std::string digits;
    for (char c : mantissa) {
        if (c >= '0' && c <= '9') digits.push_back(c);
    }
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 1;
    size_t last = digits.find_last_not_of('0');
    return last - first + 1;
}

template <class Float>
Float read_back(const std::string& text) {
    if constexpr (std::is_same_v<Float, float>) {
        return std::strtof(text.c_str(), nullptr);
    } else {
        return std::strtod(text.c_str(), nullptr);
    }
}

// The fewest significant digits that read back to the same value. The
// p-digit string that reads back need not be the value rounded to p digits
// (7.291122019556398e-304 does, 7.291122019556397e-304 does not), but it is
// within one unit in the last place of it, so both neighbours are tried.
template <class Float>
size_t shortest_digits(Float value) {
    const int most = std::is_same_v<Float, float> ? 9 : 17;
    for (int p = 1; p <= most; ++p) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.*e", p - 1, static_cast<double>(std::fabs(value)));
        std::string text(buffer);
        const size_t e = text.find('e');
        std::string digits = text.substr(0, e);
        digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
        const long long mantissa = std::stoll(digits);
        const int exponent = std::stoi(text.substr(e + 1)) - (p - 1);
        for (long long candidate : {mantissa, mantissa - 1, mantissa + 1}) {
            if (candidate < 0) continue;
            const std::string near = std::to_string(candidate) + "e" + std::to_string(exponent);
            if (read_back<Float>(near) == std::fabs(value)) return static_cast<size_t>(p);
        }
    }
    return static_cast<size_t>(most);
}

template <class Float>
void check_float(const Json& json, Float value) {
    if (!std::isfinite(value)) {
        VESKAR_FUZZ_CHECK(json.type == Json::Type::Null, "NaN or infinity not written as null");
        return;
    }
    VESKAR_FUZZ_CHECK(json.type == Json::Type::Number);
    const Float back = read_back<Float>(json.text);
    VESKAR_FUZZ_CHECK(std::memcmp(&back, &value, sizeof value) == 0, json.text + " does not read back");
    VESKAR_FUZZ_CHECK(json.text.find_first_of(".eE") != std::string::npos, json.text + " reads as an integer");
    // A shortest-form formatter may write a large whole number in plain
    // digits when that is no longer than its exponent form; it then writes
    // the value exactly. Anything else carries the fewest digits that read
    // back.
    const bool plain_whole = json.text.find_first_of("eE") == std::string::npos &&
                             json.text.substr(json.text.find('.')) == ".0";
    if (plain_whole && std::strtod(json.text.c_str(), nullptr) == static_cast<double>(value)) return;
    VESKAR_FUZZ_CHECK(significant_digits(json.text) == shortest_digits(value), json.text + " is not the shortest");
}

void check_unsigned(const Json& json, uint64_t value) {
    VESKAR_FUZZ_CHECK(json.type == Json::Type::Number && json.text == std::to_string(value), json.text);
}

void check_string(const Json& json, const std::string& value) {
    VESKAR_FUZZ_CHECK(json.type == Json::Type::String && json.text == value, "string does not read back");
}

std::string uuid_text(const SchemaId& id) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < id.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[id[i] >> 4]);
        out.push_back(kHex[id[i] & 15]);
    }
    return out;
}

HardwareSchema schema_from(ByteReader& in) {
    HardwareSchema schema;
    for (uint8_t& b : schema.schema_id) b = in.take<uint8_t>();
    const uint8_t present = in.take<uint8_t>();
    schema.version = in.take_text(24);
    schema.name = in.take_text(48);
    schema.description = in.take_text(96);
    schema.code_type = in.take_text(24);
    schema.distance = in.take<uint8_t>();
    schema.qubit_count = in.take<uint16_t>();
    schema.ancilla_count = in.take<uint16_t>();
    const size_t stabilizers = in.take<uint8_t>() % 12;
    for (size_t i = 0; i < stabilizers; ++i) {
        StabilizerEntry entry;
        entry.id = in.take<uint16_t>();
        const uint8_t shape = in.take<uint8_t>();
        entry.type = (shape & 1) ? StabilizerType::Z : StabilizerType::X;
        for (size_t q = 0; q < (shape >> 1) % 9; ++q) entry.qubits.push_back(in.take<uint16_t>());
        schema.stabilizers.push_back(std::move(entry));
    }
    schema.measurement_cycle_us = std::bit_cast<float>(in.take<uint32_t>());
    schema.ancilla_layout = in.take_text(32);
    if (present & 1) schema.ldpc_hz_matrix = in.take_text(64);
    if (present & 2) schema.ldpc_hx_matrix = in.take_text(64);
    if (present & 4) schema.logical_z_matrix = in.take_text(64);
    if (present & 8) schema.logical_x_matrix = in.take_text(64);
    if (present & 16) schema.encoding_rate = std::bit_cast<double>(in.take<uint64_t>());
    if (present & 32) schema.dem_path = in.take_text(64);
    return schema;
}

void run(std::span<const uint8_t> data) {
    ByteReader in(data);
    const HardwareSchema schema = schema_from(in);
    const std::string text = to_json(schema);
    VESKAR_FUZZ_CHECK(!text.empty() && text.back() == '}', "the document must end with its closing brace");
    const Json doc = StrictReader(text).document();
    VESKAR_FUZZ_CHECK(doc.type == Json::Type::Object);

    const std::vector<std::string>& keys = doc.keys;
    std::map<std::string, const Json*> by_key;
    for (size_t i = 0; i < keys.size(); ++i) {
        VESKAR_FUZZ_CHECK(by_key.emplace(keys[i], &doc.values[i]).second, "key written twice: " + keys[i]);
    }
    std::vector<std::string> expected = {
        "schema_id",   "version",       "name",        "description",          "code_type",     "distance",
        "qubit_count", "ancilla_count", "stabilizers", "measurement_cycle_us", "ancilla_layout"};
    const std::pair<const char*, bool> optional_keys[] = {
        {"ldpc_hz_matrix", schema.ldpc_hz_matrix.has_value()},
        {"ldpc_hx_matrix", schema.ldpc_hx_matrix.has_value()},
        {"logical_z_matrix", schema.logical_z_matrix.has_value()},
        {"logical_x_matrix", schema.logical_x_matrix.has_value()},
        {"encoding_rate", schema.encoding_rate.has_value()},
        {"dem_path", schema.dem_path.has_value()},
    };
    for (const auto& [key, present] : optional_keys) {
        if (present) expected.emplace_back(key);
    }
    VESKAR_FUZZ_CHECK(keys == expected, "members missing, extra or out of order");

    check_string(*by_key["schema_id"], uuid_text(schema.schema_id));
    check_string(*by_key["version"], schema.version);
    check_string(*by_key["name"], schema.name);
    check_string(*by_key["description"], schema.description);
    check_string(*by_key["code_type"], schema.code_type);
    check_unsigned(*by_key["distance"], schema.distance);
    check_unsigned(*by_key["qubit_count"], schema.qubit_count);
    check_unsigned(*by_key["ancilla_count"], schema.ancilla_count);
    const Json& stabilizers = *by_key["stabilizers"];
    VESKAR_FUZZ_CHECK(stabilizers.type == Json::Type::Array && stabilizers.items.size() == schema.stabilizers.size());
    for (size_t i = 0; i < schema.stabilizers.size(); ++i) {
        const StabilizerEntry& entry = schema.stabilizers[i];
        const Json& item = stabilizers.items[i];
        VESKAR_FUZZ_CHECK(item.type == Json::Type::Object);
        VESKAR_FUZZ_CHECK(item.keys == (std::vector<std::string>{"id", "type", "qubits"}));
        check_unsigned(item.values[0], entry.id);
        check_string(item.values[1], entry.type == StabilizerType::X ? "X" : "Z");
        const Json& qubits = item.values[2];
        VESKAR_FUZZ_CHECK(qubits.type == Json::Type::Array && qubits.items.size() == entry.qubits.size());
        for (size_t q = 0; q < entry.qubits.size(); ++q) check_unsigned(qubits.items[q], entry.qubits[q]);
    }
    check_float(*by_key["measurement_cycle_us"], schema.measurement_cycle_us);
    check_string(*by_key["ancilla_layout"], schema.ancilla_layout);
    if (schema.ldpc_hz_matrix) check_string(*by_key["ldpc_hz_matrix"], *schema.ldpc_hz_matrix);
    if (schema.ldpc_hx_matrix) check_string(*by_key["ldpc_hx_matrix"], *schema.ldpc_hx_matrix);
    if (schema.logical_z_matrix) check_string(*by_key["logical_z_matrix"], *schema.logical_z_matrix);
    if (schema.logical_x_matrix) check_string(*by_key["logical_x_matrix"], *schema.logical_x_matrix);
    if (schema.encoding_rate) check_float(*by_key["encoding_rate"], *schema.encoding_rate);
    if (schema.dem_path) check_string(*by_key["dem_path"], *schema.dem_path);
}

}  // namespace
}  // namespace veskar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    veskar::fuzz::run(std::span<const uint8_t>(data, size));
    return 0;
}

#include "veskar/dem/parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <unordered_set>

#include "veskar/core/overloaded.hpp"

namespace veskar {

namespace {

// Repeat blocks are expanded eagerly, so a model's size is the product of
// its repeat counts and bodies. The expansion is measured in units that
// track memory: one per instruction (a block counts its own line once) plus
// one per target of an error, since an expanded error costs about 140 bytes
// and each further target about 30. Past this many units (about 1.2 GB in
// the worst case, a body of target-less errors) the block whose expansion
// crosses the limit is refused with InvalidRepeatCount before anything is
// expanded, so a thirty-byte model cannot ask for tens of gigabytes. Real
// experiments stay far below it: a distance-17, 17-round surface code comes
// to about 4 * 10^5 units, a distance-9 code over 1000 rounds to 3 * 10^6.
constexpr uint64_t kMaxExpandedUnits = uint64_t{1} << 23;

constexpr uint64_t kMaxDetector = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMaxObservable = std::numeric_limits<uint8_t>::max();

uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t sum = a + b;
    return sum < a ? std::numeric_limits<uint64_t>::max() : sum;
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) {
        return std::numeric_limits<uint64_t>::max();
    }
    return a * b;
}

// ---------------------------------------------------------------------------
// Lexical rules. White space is Unicode white space (the White_Space
// property), read straight from the UTF-8 bytes.

bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Length of the multi-byte white-space character starting at p, or 0.
size_t wide_space_at(const char* p, const char* end) {
    const auto n = static_cast<size_t>(end - p);
    const auto c0 = static_cast<unsigned char>(p[0]);
    if (n < 2) return 0;
    const auto c1 = static_cast<unsigned char>(p[1]);
    if (c0 == 0xC2) return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;  // NEL, NBSP
    if (n < 3) return 0;
    const auto c2 = static_cast<unsigned char>(p[2]);
    switch (c0) {
        case 0xE1:  // U+1680
            return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
        case 0xE2:
            if (c1 == 0x80) {  // U+2000..U+200A, U+2028, U+2029, U+202F
                return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
            }
            return (c1 == 0x81 && c2 == 0x9F) ? 3 : 0;  // U+205F
        case 0xE3:                                      // U+3000
            return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

size_t space_at(const char* p, const char* end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
    return wide_space_at(p, end);
}

// Length of the white-space character that ends just before `end`, or 0.
size_t space_before(const char* begin, const char* end) {
    const auto last = static_cast<unsigned char>(end[-1]);
    if (last < 0x80) return is_ascii_space(last) ? 1 : 0;
    // Continuation bytes never start a character, so a match is unambiguous.
    if (end - begin >= 2 && wide_space_at(end - 2, end) == 2) return 2;
    if (end - begin >= 3 && wide_space_at(end - 3, end) == 3) return 3;
    return 0;
}

std::string_view trim_end(std::string_view s) {
    const char* begin = s.data();
    const char* end = begin + s.size();
    while (end > begin) {
        size_t n = space_before(begin, end);
        if (n == 0) break;
        end -= n;
    }
    return {begin, static_cast<size_t>(end - begin)};
}

std::string_view trim(std::string_view s) {
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
        size_t n = space_at(p, end);
        if (n == 0) break;
        p += n;
    }
    return trim_end({p, static_cast<size_t>(end - p)});
}

// Maximal runs of non-white-space characters.
class Tokens {
   public:
    explicit Tokens(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

    bool next(std::string_view& token) {
        while (p_ < end_) {
            size_t n = space_at(p_, end_);
            if (n == 0) break;
            p_ += n;
        }
        if (p_ == end_) return false;
        const char* start = p_;
        while (p_ < end_ && space_at(p_, end_) == 0) ++p_;
        token = {start, static_cast<size_t>(p_ - start)};
        return true;
    }

   private:
    const char* p_;
    const char* end_;
};

// An unsigned decimal of at most `max`: ASCII digits, optionally after one '+'.
std::optional<uint64_t> parse_index(std::string_view s, uint64_t max) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// A decimal float, infinities and NaN included; the whole text must match.
std::optional<double> parse_real(std::string_view s) {
    if (!s.empty() && s[0] == '+') {
        s.remove_prefix(1);
        if (!s.empty() && (s[0] == '+' || s[0] == '-')) return std::nullopt;
    }
    if (s.empty()) return std::nullopt;
    const char* end = s.data() + s.size();
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(s.data(), end, value);
    if (ptr != end) return std::nullopt;
    if (ec == std::errc{}) return value;
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: round to infinity or zero
        // like any decimal reader instead of refusing a well-formed number.
        std::string copy(s);
        return std::strtod(copy.c_str(), nullptr);
    }
    return std::nullopt;
}

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool name_is(std::string_view name, std::string_view lower) {
    if (name.size() != lower.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// One line split into instruction name, optional tag, and the rest.

enum class Kind : uint8_t { Blank, Close, Unknown, Error, Detector, Observable, Shift, Repeat };

struct Statement {
    Kind kind = Kind::Blank;
    std::string_view name;  // the instruction name as written (an unknown line: its first token)
    std::string_view text;  // the line without its comment: payload of whole-line failures
    std::string_view rest;  // after the name and tag, comment removed
    bool open_tag = false;  // a '[' without its ']'
};

Kind kind_of(std::string_view name) {
    if (name_is(name, "error")) return Kind::Error;
    if (name_is(name, "detector")) return Kind::Detector;
    if (name_is(name, "shift_detectors")) return Kind::Shift;
    if (name_is(name, "repeat")) return Kind::Repeat;
    if (name_is(name, "logical_observable")) return Kind::Observable;
    return Kind::Unknown;
}

// `line` is already trimmed.
Statement read_statement(std::string_view line) {
    Statement s;
    size_t name_end = 0;
    while (name_end < line.size() && is_name_char(line[name_end])) ++name_end;
    s.name = line.substr(0, name_end);
    size_t pos = name_end;
    // A tag may hold '#', so it is skipped before looking for a comment.
    if (name_end > 0 && pos < line.size() && line[pos] == '[') {
        size_t close = line.find(']', pos + 1);
        if (close == std::string_view::npos) {
            s.kind = kind_of(line.substr(0, name_end));
            s.text = line;
            s.open_tag = true;
            return s;
        }
        pos = close + 1;
    }
    std::string_view rest = line.substr(pos);
    rest = rest.substr(0, rest.find('#'));
    s.text = trim_end(line.substr(0, pos + rest.size()));
    s.rest = rest;
    if (s.text.empty()) {
        s.kind = Kind::Blank;
    } else if (name_end == 0) {
        s.kind = s.text == "}" ? Kind::Close : Kind::Unknown;
        Tokens(s.text).next(s.name);
    } else {
        s.kind = kind_of(line.substr(0, name_end));
    }
    return s;
}

// ---------------------------------------------------------------------------
// Instructions are first read into this compact form, then applied with the
// running detector and coordinate offsets. A repeat body is read once and
// applied once per repetition, so its text is scanned only once.

enum class OpKind : uint8_t { Error, Detector, Observable, Shift, Repeat };
enum class TargetKind : uint8_t { Detector, Observable, Separator };

struct Target {
    std::string_view token;  // as written, for failure payloads
    uint32_t value = 0;
    TargetKind kind = TargetKind::Detector;
};

struct Op {
    OpKind kind = OpKind::Error;
    bool has_coords = false;  // Detector
    uint8_t coord_count = 0;  // Detector: coordinates written; Shift: offsets given (at most 3 kept)
    uint32_t value = 0;       // Detector: id as written; Observable: index
    uint64_t amount = 0;      // Shift: detector shift; Repeat: count
    uint64_t expanded = 0;    // Repeat: units the whole block expands to
    double probability = 0.0;
    DetectorCoords coords{};  // Detector: coordinates; Shift: coordinate offsets
    size_t first = 0;         // Error: targets [first, last); Repeat: body ops [first, last)
    size_t last = 0;
    std::string_view token;  // Detector: the id token; Repeat: the count text
};

// Coordinates or coordinate offsets between parentheses.
struct CoordList {
    DetectorCoords values{};
    uint8_t count = 0;  // pieces written, at most 3 kept
    bool all_read = true;
};

CoordList read_coords(std::string_view list) {
    CoordList out;
    if (trim(list).empty()) {
        out.all_read = list.find(',') == std::string_view::npos;
        return out;
    }
    size_t piece_index = 0;
    while (true) {
        size_t comma = list.find(',');
        std::string_view piece = trim(list.substr(0, comma));
        std::optional<double> value = parse_real(piece);
        if (!value) out.all_read = false;
        if (piece_index < 3) out.values[piece_index] = value.value_or(0.0);
        ++piece_index;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    out.count = static_cast<uint8_t>(std::min<size_t>(piece_index, 3));
    return out;
}

// The parenthesised argument list directly after the name, if any.
struct Args {
    bool present = false;
    bool closed = true;
    std::string_view inside;
    std::string_view after;
};

Args read_args(std::string_view rest) {
    Args a;
    if (rest.empty() || rest[0] != '(') {
        a.after = rest;
        return a;
    }
    a.present = true;
    size_t close = rest.find(')');
    if (close == std::string_view::npos) {
        a.closed = false;
        return a;
    }
    a.inside = rest.substr(1, close - 1);
    a.after = rest.substr(close + 1);
    return a;
}

bool has_paren(std::string_view s) {
    return s.find_first_of("()") != std::string_view::npos;
}

template <class E>
std::unexpected<ParseError> fail(std::string_view text) {
    return std::unexpected<ParseError>(E{std::string(text)});
}

// ---------------------------------------------------------------------------

class Parser {
   public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::expected<DetectorErrorModel, ParseError> run();

   private:
    struct OpenBlock {
        size_t op = 0;           // index of the repeat op in ops_
        uint64_t body_size = 0;  // expanded units of one repetition
    };
    struct Loop {
        size_t begin = 0;
        size_t end = 0;
        uint64_t remaining = 0;
        bool dry = false;
        bool restore = false;
        uint64_t saved_detector_offset = 0;
        DetectorCoords saved_coord_offset{};
    };

    bool next_line(std::string_view& line);

    std::expected<void, ParseError> read_op(const Statement& s);
    std::expected<void, ParseError> read_error(const Statement& s);
    std::expected<void, ParseError> read_detector(const Statement& s);
    std::expected<void, ParseError> read_shift(const Statement& s);
    std::expected<void, ParseError> read_repeat(const Statement& s);
    void read_observable(const Statement& s);

    std::expected<void, ParseError> read_block_body();
    std::unexpected<ParseError> unknown_instruction(const Statement& s) const;
    ParseError finish_failed_block(size_t depth, ParseError err);

    std::expected<void, ParseError> execute();
    std::expected<void, ParseError> apply_error(const Op& op, bool dry);
    std::expected<void, ParseError> apply_detector(const Op& op);
    void apply_shift(const Op& op);

    void see_detector(uint32_t id) {
        if (!has_detector_ || id > max_detector_) max_detector_ = id;
        has_detector_ = true;
    }
    void see_observable(uint8_t index) {
        if (!has_observable_ || index > max_observable_) max_observable_ = index;
        has_observable_ = true;
    }

    std::string_view text_;
    size_t pos_ = 0;
    uint64_t line_number_ = 0;  // of the line last read, from 1
    bool at_end_ = false;

    std::vector<Op> ops_;
    std::vector<Target> targets_;
    std::vector<OpenBlock> open_;
    std::vector<Loop> loops_;
    uint64_t expanded_ = 0;

    uint64_t detector_offset_ = 0;
    DetectorCoords coord_offset_{};
    bool has_detector_ = false;
    uint32_t max_detector_ = 0;
    bool has_observable_ = false;
    uint8_t max_observable_ = 0;
    std::unordered_set<uint32_t> declared_;
    DetectorErrorModel model_;
};

bool Parser::next_line(std::string_view& line) {
    if (at_end_) return false;
    ++line_number_;
    const char* start = text_.data() + pos_;
    const size_t left = text_.size() - pos_;
    const void* newline = left == 0 ? nullptr : std::memchr(start, '\n', left);
    size_t length;
    if (newline != nullptr) {
        length = static_cast<size_t>(static_cast<const char*>(newline) - start);
        pos_ += length + 1;
    } else {
        length = left;
        at_end_ = true;
    }
    line = trim({start, length});  // also drops the '\r' of a "\r\n" ending
    return true;
}

std::expected<DetectorErrorModel, ParseError> Parser::run() {
    std::string_view line;
    while (next_line(line)) {
        Statement s = read_statement(line);
        // A '}' outside any block closes nothing and is skipped.
        if (s.kind == Kind::Blank || s.kind == Kind::Close) continue;
        ops_.clear();
        targets_.clear();
        if (auto ok = read_op(s); !ok) return std::unexpected(std::move(ok.error()));
        if (ops_.empty()) continue;
        if (ops_[0].kind == OpKind::Repeat) {
            if (auto ok = read_block_body(); !ok) return std::unexpected(std::move(ok.error()));
            if (ops_[0].expanded > kMaxExpandedUnits - expanded_) {
                return fail<parse_error::InvalidRepeatCount>(ops_[0].token);
            }
            expanded_ += ops_[0].expanded;
        }
        if (auto ok = execute(); !ok) return std::unexpected(std::move(ok.error()));
    }
    model_.detector_count = has_detector_ ? uint64_t{max_detector_} + 1 : 0;
    model_.observable_count = has_observable_ ? uint64_t{max_observable_} + 1 : 0;
    return std::move(model_);
}

// Stim refuses every instruction outside its five, and so do we: skipping a
// misspelt `eror(0.1) D0 L0` would drop an error mechanism without a word.
std::unexpected<ParseError> Parser::unknown_instruction(const Statement& s) const {
    return std::unexpected<ParseError>(parse_error::UnknownInstruction{std::string(s.name), line_number_});
}

std::expected<void, ParseError> Parser::read_op(const Statement& s) {
    if (s.kind == Kind::Unknown) return unknown_instruction(s);
    if (s.open_tag) return fail<parse_error::MalformedTarget>(s.text);
    switch (s.kind) {
        case Kind::Error:
            return read_error(s);
        case Kind::Detector:
            return read_detector(s);
        case Kind::Shift:
            return read_shift(s);
        case Kind::Repeat:
            return read_repeat(s);
        case Kind::Observable:
            read_observable(s);
            return {};
        default:
            return {};
    }
}

std::expected<void, ParseError> Parser::read_error(const Statement& s) {
    Args args = read_args(s.rest);
    // An error without its probability is refused rather than skipped:
    // dropping a mechanism silently would mislead the decoder.
    if (!args.present || !args.closed) return fail<parse_error::InvalidProbability>(s.text);
    std::optional<double> probability = parse_real(trim(args.inside));
    if (!probability) return fail<parse_error::InvalidProbability>(args.inside);

    Op op;
    op.kind = OpKind::Error;
    op.probability = *probability;
    op.first = targets_.size();
    Tokens tokens(args.after);
    std::string_view token;
    while (tokens.next(token)) {
        if (token == "^") {
            targets_.push_back({token, 0, TargetKind::Separator});
            continue;
        }
        if (token[0] == 'D') {
            if (auto v = parse_index(token.substr(1), kMaxDetector)) {
                targets_.push_back({token, static_cast<uint32_t>(*v), TargetKind::Detector});
                continue;
            }
        } else if (token[0] == 'L') {
            if (auto v = parse_index(token.substr(1), kMaxObservable)) {
                targets_.push_back({token, static_cast<uint32_t>(*v), TargetKind::Observable});
                continue;
            }
        }
        return fail<parse_error::MalformedTarget>(token);
    }
    op.last = targets_.size();
    ops_.push_back(op);
    return {};
}

std::expected<void, ParseError> Parser::read_detector(const Statement& s) {
    Args args = read_args(s.rest);
    if (!args.closed) return fail<parse_error::MalformedDetectorCoords>(s.text);
    // A parenthesis anywhere but right after the name cannot be a coordinate list.
    if (!args.present && has_paren(s.rest)) return fail<parse_error::MalformedDetectorCoords>(s.text);

    Op op;
    op.kind = OpKind::Detector;
    if (args.present) {
        // Unreadable coordinates read as 0.0: declarations only feed layout
        // information, never the decoding graph's structure.
        CoordList coords = read_coords(args.inside);
        op.has_coords = true;
        op.coords = coords.values;
        op.coord_count = coords.count;
    }
    Tokens tokens(args.after);
    std::string_view token;
    while (tokens.next(token)) {
        if (token[0] != 'D') continue;
        if (auto v = parse_index(token.substr(1), kMaxDetector)) {
            op.value = static_cast<uint32_t>(*v);
            op.token = token;
            ops_.push_back(op);
            return {};
        }
    }
    return fail<parse_error::MalformedTarget>(s.text);
}

std::expected<void, ParseError> Parser::read_shift(const Statement& s) {
    Args args = read_args(s.rest);
    if (!args.closed) return fail<parse_error::MalformedDetectorCoords>(s.text);
    if (!args.present && has_paren(s.rest)) return fail<parse_error::MalformedDetectorCoords>(s.text);

    Op op;
    op.kind = OpKind::Shift;
    if (args.present) {
        // Unlike a declaration's coordinates, an offset moves every later
        // declaration, so an unreadable one is refused.
        CoordList offsets = read_coords(args.inside);
        if (!offsets.all_read) return fail<parse_error::MalformedDetectorCoords>(s.text);
        op.coords = offsets.values;
        op.coord_count = offsets.count;
    }
    Tokens tokens(args.after);
    std::string_view token;
    if (!tokens.next(token)) return fail<parse_error::MalformedTarget>(s.text);
    std::optional<uint64_t> amount = parse_index(token, std::numeric_limits<uint64_t>::max());
    if (!amount) return fail<parse_error::MalformedTarget>(token);
    if (tokens.next(token)) return fail<parse_error::MalformedTarget>(token);
    op.amount = *amount;
    ops_.push_back(op);
    return {};
}

std::expected<void, ParseError> Parser::read_repeat(const Statement& s) {
    Tokens tokens(s.rest);
    std::string_view token;
    if (!tokens.next(token)) return fail<parse_error::InvalidRepeatCount>("");
    std::optional<uint64_t> count = parse_index(token, std::numeric_limits<uint64_t>::max());
    if (!count) return fail<parse_error::InvalidRepeatCount>(token);
    Op op;
    op.kind = OpKind::Repeat;
    op.amount = *count;
    op.token = token;
    op.first = ops_.size() + 1;
    ops_.push_back(op);
    return {};
}

void Parser::read_observable(const Statement& s) {
    Tokens tokens(s.rest);
    std::string_view token;
    while (tokens.next(token)) {
        if (token[0] != 'L') continue;
        if (auto v = parse_index(token.substr(1), kMaxObservable)) {
            Op op;
            op.kind = OpKind::Observable;
            op.value = static_cast<uint32_t>(*v);
            ops_.push_back(op);
            return;
        }
    }
}

// ops_[0] is a repeat; reads its body, nested blocks included, up to its
// closing brace. Nesting is tracked with a stack, not recursion, so deeply
// nested input cannot exhaust the call stack.
std::expected<void, ParseError> Parser::read_block_body() {
    open_.clear();
    open_.push_back({0, 0});
    std::string_view line;
    while (!open_.empty()) {
        if (!next_line(line)) return std::unexpected(ParseError{parse_error::UnterminatedRepeat{}});
        Statement s = read_statement(line);
        if (s.kind == Kind::Blank) continue;
        if (s.kind == Kind::Close) {
            OpenBlock done = open_.back();
            open_.pop_back();
            Op& repeat = ops_[done.op];
            repeat.last = ops_.size();
            // A count of 0 still reads its body once (see execute), so it
            // costs as much as a count of 1.
            repeat.expanded = saturating_add(1, saturating_mul(std::max<uint64_t>(repeat.amount, 1), done.body_size));
            if (repeat.expanded > kMaxExpandedUnits) {
                return fail<parse_error::InvalidRepeatCount>(repeat.token);
            }
            if (!open_.empty()) open_.back().body_size = saturating_add(open_.back().body_size, repeat.expanded);
            continue;
        }
        const size_t before = ops_.size();
        if (auto ok = read_op(s); !ok) return std::unexpected(finish_failed_block(open_.size(), std::move(ok.error())));
        if (ops_.size() == before) continue;
        if (ops_[before].kind == OpKind::Repeat) {
            open_.push_back({before, 0});
        } else {
            const Op& op = ops_[before];
            const uint64_t targets = op.kind == OpKind::Error ? op.last - op.first : 0;
            open_.back().body_size = saturating_add(open_.back().body_size, 1 + targets);
        }
    }
    return {};
}

// A failure inside a block that is never closed is reported as the missing
// brace: the block's extent is decided before its contents are judged.
ParseError Parser::finish_failed_block(size_t depth, ParseError err) {
    std::string_view line;
    while (depth > 0) {
        if (!next_line(line)) return parse_error::UnterminatedRepeat{};
        Statement s = read_statement(line);
        if (s.kind == Kind::Repeat) ++depth;
        if (s.kind == Kind::Close) --depth;
    }
    return err;
}

// Runs ops_ with the running offsets. Loops are kept on an explicit stack.
// A block with count 0 is run once "dry": its indices raise the counts and
// its declarations are merged, but it adds no errors and leaves the offsets
// as they were.
std::expected<void, ParseError> Parser::execute() {
    loops_.clear();
    bool dry = false;
    size_t i = 0;
    const size_t end = ops_.size();
    while (true) {
        if (!loops_.empty() && i == loops_.back().end) {
            Loop& loop = loops_.back();
            if (--loop.remaining > 0) {
                i = loop.begin;
                continue;
            }
            if (loop.restore) {
                detector_offset_ = loop.saved_detector_offset;
                coord_offset_ = loop.saved_coord_offset;
            }
            loops_.pop_back();
            dry = !loops_.empty() && loops_.back().dry;
            continue;
        }
        if (i == end) break;
        const Op& op = ops_[i];
        switch (op.kind) {
            case OpKind::Repeat: {
                // An empty body does nothing however often it runs.
                if (op.first == op.last) {
                    i = op.last;
                    continue;
                }
                const bool zero = op.amount == 0;
                Loop loop;
                loop.begin = op.first;
                loop.end = op.last;
                loop.dry = dry || zero;
                loop.remaining = loop.dry ? 1 : op.amount;
                loop.restore = zero && !dry;
                loop.saved_detector_offset = detector_offset_;
                loop.saved_coord_offset = coord_offset_;
                loops_.push_back(loop);
                dry = loop.dry;
                i = op.first;
                continue;
            }
            case OpKind::Error:
                if (auto ok = apply_error(op, dry); !ok) return ok;
                break;
            case OpKind::Detector:
                if (auto ok = apply_detector(op); !ok) return ok;
                break;
            case OpKind::Observable:
                see_observable(static_cast<uint8_t>(op.value));
                break;
            case OpKind::Shift:
                apply_shift(op);
                break;
        }
        ++i;
    }
    return {};
}

std::expected<void, ParseError> Parser::apply_error(const Op& op, bool dry) {
    const std::span<const Target> targets(targets_.data() + op.first, op.last - op.first);
    size_t detector_total = 0;
    size_t observable_total = 0;
    size_t separators = 0;
    for (const Target& t : targets) {
        switch (t.kind) {
            case TargetKind::Detector:
                ++detector_total;
                // The offset must not carry an index past 32 bits.
                if (detector_offset_ > kMaxDetector - t.value) return fail<parse_error::MalformedTarget>(t.token);
                break;
            case TargetKind::Observable:
                ++observable_total;
                break;
            case TargetKind::Separator:
                ++separators;
                break;
        }
    }

    DemError e;
    e.probability = op.probability;
    e.detectors.reserve(detector_total);
    e.observables.reserve(observable_total);
    e.components.reserve(separators + 1);
    DemComponent* component = nullptr;  // stable: components never outgrow the reservation
    for (const Target& t : targets) {
        if (t.kind == TargetKind::Separator) {
            component = nullptr;
            continue;
        }
        if (component == nullptr) component = &e.components.emplace_back();
        if (t.kind == TargetKind::Detector) {
            const auto id = static_cast<uint32_t>(t.value + detector_offset_);
            see_detector(id);
            e.detectors.push_back(id);
            component->detectors.push_back(id);
        } else {
            const auto index = static_cast<uint8_t>(t.value);
            see_observable(index);
            e.observables.push_back(index);
            component->observables.push_back(index);
        }
    }
    if (!dry) model_.errors.push_back(std::move(e));
    return {};
}

std::expected<void, ParseError> Parser::apply_detector(const Op& op) {
    if (detector_offset_ > kMaxDetector - op.value) return fail<parse_error::MalformedTarget>(op.token);
    const auto id = static_cast<uint32_t>(op.value + detector_offset_);
    see_detector(id);
    if (!declared_.insert(id).second) return {};  // the first declaration of an id wins
    DetectorDecl decl;
    decl.id = id;
    if (op.has_coords) {
        DetectorCoords coords = op.coords;
        // Offsets move only the coordinates actually written.
        for (uint8_t k = 0; k < op.coord_count; ++k) coords[k] += coord_offset_[k];
        decl.coords = coords;
        decl.coord_count = op.coord_count;
    }
    model_.detectors.push_back(decl);
    return {};
}

void Parser::apply_shift(const Op& op) {
    // Saturation keeps the offset past every valid index, so any later
    // target fails as MalformedTarget instead of wrapping round.
    detector_offset_ = saturating_add(detector_offset_, op.amount);
    for (uint8_t k = 0; k < op.coord_count; ++k) coord_offset_[k] += op.coords[k];
}

}  // namespace

std::string message(const ParseError& err) {
    return std::visit(
        Overloaded{
            [](const parse_error::InvalidProbability& e) {
                return "invalid probability '" + e.text + "' in error instruction";
            },
            [](const parse_error::MalformedTarget& e) { return "malformed target '" + e.text + "'"; },
            [](const parse_error::UnterminatedRepeat&) { return std::string("unterminated repeat block"); },
            [](const parse_error::InvalidRepeatCount& e) { return "invalid repeat count '" + e.text + "'"; },
            [](const parse_error::MalformedDetectorCoords& e) { return "malformed detector coords '" + e.text + "'"; },
            [](const parse_error::UnknownInstruction& e) {
                return "unknown instruction '" + e.name + "' on line " + std::to_string(e.line);
            },
        },
        err);
}

std::expected<DetectorErrorModel, ParseError> DetectorErrorModel::parse(std::string_view text) {
    return Parser(text).run();
}

}  // namespace veskar

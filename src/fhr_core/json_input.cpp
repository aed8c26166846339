// Reader of the JSON analysis request. Boost.JSON's event parser drives a
// handler that fills the samples while the text is read: no document tree is
// built, and strings and numbers are seen in place in the caller's text.
#include "json_input.hpp"
#include "json_input_pieces.hpp"

// Boost.JSON in its header-only form, compiled into this one translation unit
// so the extension needs no Boost library at run time. (The event parser
// alone would need fewer of its sources, but which ones differs between Boost
// releases.)
#include <boost/json/src.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "text.hpp"
#include "time.hpp"

namespace fhr_core {
namespace {

namespace json = boost::json;
using error_code = boost::system::error_code;

// Deeper documents are refused with a message instead of exhausting the stack.
constexpr std::size_t max_nesting = 128;
// Longest piece of the request quoted in a message, in bytes.
constexpr std::size_t max_quoted_bytes = 64;

// ------------------------------------------------------------------ schema

// The request's own fields. Every other member name is ignored wherever it
// stands, whatever its value, as often as it occurs.
enum class Field : std::uint8_t {
    none,     // no member value pending (array element or the document itself)
    unknown,  // the value of a member the request does not define
    episode_id,
    sent_at,
    samples,
    analysis_options,
    metadata,
    t,
    hr1,
    hr2,
    hr3,
    hrm,
    toco,
    fetal_channel,
    max_analysis_minutes,
    gestational_age_weeks,
};

using FieldMask = std::uint32_t;
constexpr FieldMask bit(Field field) noexcept { return FieldMask{1} << static_cast<unsigned>(field); }

struct FieldName {
    std::string_view name;
    Field field;
};

constexpr FieldName request_fields[] = {
    {"episode_id", Field::episode_id},
    {"sent_at", Field::sent_at},
    {"samples", Field::samples},
    {"analysis_options", Field::analysis_options},
    {"metadata", Field::metadata},
};
constexpr FieldName sample_fields[] = {
    {"t", Field::t},     {"hr1", Field::hr1}, {"hr2", Field::hr2},
    {"hr3", Field::hr3}, {"hrm", Field::hrm}, {"toco", Field::toco},
};
constexpr FieldName options_fields[] = {
    {"fetal_channel", Field::fetal_channel},
    {"max_analysis_minutes", Field::max_analysis_minutes},
};
constexpr FieldName metadata_fields[] = {
    {"gestational_age_weeks", Field::gestational_age_weeks},
};

// Where the parser stands in the request.
enum class Place : std::uint8_t { document, request, samples, sample, options, metadata, finished };

std::span<const FieldName> fields_of(Place place) noexcept {
    switch (place) {
        case Place::request: return request_fields;
        case Place::sample: return sample_fields;
        case Place::options: return options_fields;
        case Place::metadata: return metadata_fields;
        default: return {};
    }
}

std::string_view name_of(Field field) noexcept {
    for (const Place place : {Place::request, Place::sample, Place::options, Place::metadata}) {
        for (const FieldName& entry : fields_of(place)) {
            if (entry.field == field) return entry.name;
        }
    }
    return {};
}

// What a value in `place` for `field` must be, as the type messages name it.
std::string_view wanted(Place place, Field field) noexcept {
    if (place == Place::document) return "struct AnalysisRequest";
    if (place == Place::samples) return "struct RequestSample";
    switch (field) {
        case Field::episode_id:
        case Field::sent_at:
        case Field::t:
        case Field::fetal_channel: return "a string";
        case Field::samples: return "a sequence";
        case Field::analysis_options: return "struct AnalysisOptions";
        case Field::metadata: return "struct RequestMetadata";
        case Field::hr1:
        case Field::hr2:
        case Field::hr3:
        case Field::hrm:
        case Field::toco: return "f64";
        case Field::max_analysis_minutes: return "u32";
        case Field::gestational_age_weeks: return "u8";
        default: return "a value";
    }
}

// --------------------------------------------------------------- quoting

// A piece of the request for a message: cut to max_quoted_bytes at a
// character boundary, so the message stays valid UTF-8.
std::string_view shortened(std::string_view text) noexcept {
    if (text.size() <= max_quoted_bytes) return text;
    std::size_t end = max_quoted_bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// A string value as the type messages show it: in double quotes, with
// quotes, backslashes and control characters escaped.
std::string quoted_string(std::string_view text) {
    const std::string_view shown = shortened(text);
    std::string out = "string \"";
    for (const char c : shown) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    constexpr char hex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += hex[static_cast<unsigned char>(c) >> 4];
                    out += hex[static_cast<unsigned char>(c) & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    if (shown.size() < text.size()) out += "...";
    out += '"';
    return out;
}

std::string quoted_number(std::string_view kind, std::string_view text) {
    const std::string_view shown = shortened(text);
    std::string out(kind);
    out += " `";
    out += shown;
    if (shown.size() < text.size()) out += "...";
    out += '`';
    return out;
}

// ---------------------------------------------------------------- numbers

// A JSON number as the parser reports it, with its text as written.
struct Number {
    std::string_view text;
    double approximate = 0.0;  // the parser's reading
    std::optional<std::int64_t> whole = std::nullopt;   // an integer's value within 64 signed bits
    std::optional<std::uint64_t> large = std::nullopt;  // an integer's value above them
};

// Written without fraction or exponent (whatever event the parser gave it:
// integers beyond 64 bits arrive as doubles). Asked only by the whole-number
// fields and the messages, so a heart-rate value never pays for the scan.
bool written_as_integer(const Number& number) {
    return std::ranges::none_of(number.text, [](char c) { return c == '.' || c == 'e' || c == 'E'; });
}

std::string found_number(const Number& number) {
    return quoted_number(written_as_integer(number) ? "integer" : "floating point", number.text);
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Clinger's fast path for the short decimals monitors send (140.25): at most
// 15 digits and at most 22 after the point make the digits and the power of
// ten exact doubles, and one IEEE division rounds their quotient correctly.
// False for other texts. (Results go out through a reference: a returned
// std::optional<double> is copied through memory in parts, and reading it
// back whole stalls on every sample value.)
bool short_decimal(std::string_view text, double& value) noexcept {
    static constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    std::uint64_t digits = 0;  // wraps on long texts, which the count then refuses
    int count = 0;
    int after_point = 0;
    const auto take_digits = [&] {
        int taken = 0;
        for (; i < text.size() && is_digit(text[i]); ++i, ++taken) {
            digits = digits * 10 + static_cast<unsigned>(text[i] - '0');
        }
        count += taken;
        return taken;
    };
    take_digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        after_point = take_digits();
    }
    if (i != text.size() || count > 15 || after_point > 22) return false;
    const double magnitude = static_cast<double>(digits) / powers_of_ten[after_point];
    value = negative ? -magnitude : magnitude;
    return true;
}

// The double nearest to the number's text into `value`; false when it
// overflows. The parser's own reading can be 1-2 ulp off for long digit strings.
bool nearest_double(const Number& number, double& value) noexcept {
    if (short_decimal(number.text, value)) return true;
    const auto [end, error] = std::from_chars(number.text.data(), number.text.data() + number.text.size(), value);
    if (error == std::errc()) return true;
    // Out of range: either too small to be told from zero, or too large.
    if (std::fabs(number.approximate) >= 1.0) return false;
    value = number.text.front() == '-' ? -0.0 : 0.0;
    return true;
}

// ---------------------------------------------------------------- handler

// Receives the parser's events and fills the request's records directly.
// Returning false stops the parser; `problem` then says why.
class RequestHandler {
public:
    static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();

    explicit RequestHandler(InputData& data) noexcept : data_(data) {}

    // Read after the parse.
    std::string problem;
    bool episode_id_blank = false;
    bool sent_at_blank = false;
    std::optional<std::string> fetal_channel;
    std::optional<std::uint64_t> max_analysis_minutes;
    std::optional<std::uint8_t> gestational_age_weeks;
    std::optional<std::string> first_bad_time;  // the message of the first sample whose t does not parse
    OutOfOrderCounter order;

    bool on_document_begin(error_code&) noexcept { return true; }
    bool on_document_end(error_code&) noexcept { return true; }

    bool on_object_begin(error_code& ec) {
        if (enter_ignored()) return true;
        switch (place_) {
            case Place::document: return enter(Place::request, request_seen_);
            case Place::samples:
                data_.samples.emplace_back();
                ++sample_number_;
                return enter(Place::sample, sample_seen_);
            case Place::request:
                if (pending_ == Field::analysis_options) return enter(Place::options, options_seen_);
                if (pending_ == Field::metadata) return enter(Place::metadata, metadata_seen_);
                break;
            default: break;
        }
        return refuse_type("map", ec);
    }

    bool on_object_end(std::size_t, error_code& ec) {
        if (skipping_ > 0) return --skipping_, true;
        switch (place_) {
            case Place::request:
                for (const Field required : {Field::episode_id, Field::sent_at, Field::samples}) {
                    if (!(request_seen_ & bit(required))) return refuse_missing(required, ec);
                }
                place_ = Place::finished;
                return true;
            case Place::sample:
                if (!(sample_seen_ & bit(Field::t))) return refuse_missing(Field::t, ec);
                place_ = Place::samples;
                return true;
            default:
                place_ = Place::request;
                return true;
        }
    }

    bool on_array_begin(error_code& ec) {
        if (enter_ignored()) return true;
        if (place_ == Place::request && pending_ == Field::samples) {
            pending_ = Field::none;
            place_ = Place::samples;
            return true;
        }
        return refuse_type("sequence", ec);
    }

    bool on_array_end(std::size_t, error_code&) noexcept {
        if (skipping_ > 0) return --skipping_, true;
        place_ = Place::request;  // the only array read is `samples`
        return true;
    }

    bool on_key_part(json::string_view part, std::size_t, error_code&) {
        if (skipping_ == 0) piece_.append(part.data(), part.size());
        return true;
    }

    bool on_key(json::string_view last, std::size_t, error_code& ec) {
        if (skipping_ > 0) return true;
        const std::string_view key = whole_text(last);
        pending_ = Field::unknown;
        for (const FieldName& entry : fields_of(place_)) {
            if (entry.name != key) continue;
            FieldMask& seen = seen_in(place_);
            if (seen & bit(entry.field)) return refuse("duplicate field `" + std::string(entry.name) + "`", ec);
            seen |= bit(entry.field);
            pending_ = entry.field;
            break;
        }
        piece_.clear();
        return true;
    }

    bool on_string_part(json::string_view part, std::size_t, error_code&) {
        if (!ignoring()) piece_.append(part.data(), part.size());
        return true;
    }

    bool on_string(json::string_view last, std::size_t, error_code& ec) {
        if (leave_ignored()) return true;
        const std::string_view text = whole_text(last);
        bool accepted = true;
        if (place_ == Place::request && pending_ == Field::episode_id) {
            episode_id_blank = trim_white_space(text).empty();
        } else if (place_ == Place::request && pending_ == Field::sent_at) {
            sent_at_blank = trim_white_space(text).empty();
        } else if (place_ == Place::sample && pending_ == Field::t) {
            take_time(text);
        } else if (place_ == Place::options && pending_ == Field::fetal_channel) {
            fetal_channel.emplace(text);
        } else {
            accepted = refuse_type(quoted_string(text), ec);
        }
        piece_.clear();
        pending_ = Field::none;
        return accepted;
    }

    bool on_number_part(json::string_view part, error_code&) {
        if (!ignoring()) number_piece_.append(part.data(), part.size());
        return true;
    }

    bool on_int64(std::int64_t value, json::string_view last, error_code& ec) {
        if (leave_ignored()) return true;
        Number number{.text = whole_number(last), .approximate = static_cast<double>(value)};
        number.whole = value;
        return take_number(number, ec);
    }

    bool on_uint64(std::uint64_t value, json::string_view last, error_code& ec) {
        if (leave_ignored()) return true;
        Number number{.text = whole_number(last), .approximate = static_cast<double>(value)};
        number.large = value;
        return take_number(number, ec);
    }

    bool on_double(double value, json::string_view last, error_code& ec) {
        if (leave_ignored()) return true;
        return take_number(Number{.text = whole_number(last), .approximate = value}, ec);
    }

    bool on_bool(bool value, error_code& ec) {
        if (leave_ignored()) return true;
        return refuse_type(value ? "boolean `true`" : "boolean `false`", ec);
    }

    bool on_null(error_code& ec) {
        if (leave_ignored()) return true;
        // Optional fields take null as absent; required ones and array elements cannot.
        switch (pending_) {
            case Field::analysis_options:
            case Field::metadata:
            case Field::hr1:
            case Field::hr2:
            case Field::hr3:
            case Field::hrm:
            case Field::toco:
            case Field::fetal_channel:
            case Field::max_analysis_minutes:
            case Field::gestational_age_weeks: pending_ = Field::none; return true;
            default: return refuse_type("null", ec);
        }
    }

    bool on_comment_part(json::string_view, error_code&) noexcept { return true; }
    bool on_comment(json::string_view, error_code&) noexcept { return true; }

private:
    // Inside the value of an unknown member (containers count their depth).
    bool ignoring() const noexcept { return skipping_ > 0 || pending_ == Field::unknown; }

    // Called at a scalar value: true when it belongs to an unknown member.
    bool leave_ignored() noexcept {
        if (skipping_ > 0) return true;
        if (pending_ != Field::unknown) return false;
        pending_ = Field::none;
        return true;
    }

    // Called at the start of an object or array.
    bool enter_ignored() noexcept {
        if (skipping_ > 0) return ++skipping_, true;
        if (pending_ != Field::unknown) return false;
        pending_ = Field::none;
        skipping_ = 1;
        return true;
    }

    bool enter(Place place, FieldMask& seen) noexcept {
        place_ = place;
        pending_ = Field::none;
        seen = 0;
        return true;
    }

    FieldMask& seen_in(Place place) noexcept {
        switch (place) {
            case Place::sample: return sample_seen_;
            case Place::options: return options_seen_;
            case Place::metadata: return metadata_seen_;
            default: return request_seen_;
        }
    }

    // The text of a string or key whose earlier parts (escapes split them)
    // were collected in piece_; otherwise the parser's view of the request.
    std::string_view whole_text(json::string_view last) {
        if (piece_.empty()) return {last.data(), last.size()};
        piece_.append(last.data(), last.size());
        return piece_;
    }

    std::string_view whole_number(json::string_view last) {
        if (number_piece_.empty()) return {last.data(), last.size()};
        number_piece_.append(last.data(), last.size());
        return number_piece_;
    }

    void take_time(std::string_view t) {
        if (first_bad_time) return;  // the read fails anyway; the first bad sample is the one reported
        const Result<std::int64_t> ms = times_.read(t);
        if (!ms) {
            first_bad_time = "sample " + std::to_string(sample_number_) + " has invalid t: " + ms.error();
            return;
        }
        MonitorSample& sample = data_.samples.back();
        sample.timestamp_ms = *ms;
        data_.place_text(sample, display_time(t));
        order.accept(*ms);
    }

    // The time as the report shows it: trimmed, trailing 'Z's dropped and
    // the date/time 'T' written as a space ("2024-03-01 10:00:00").
    std::string_view display_time(std::string_view t) {
        display_.assign(strip_timestamp_text(t));
        for (char& c : display_) {
            if (c == 'T') c = ' ';
        }
        return display_;
    }

    bool take_number(const Number& number, error_code& ec) {
        const bool accepted = store_number(number, ec);
        number_piece_.clear();  // only now: number.text may view it
        return accepted;
    }

    bool store_number(const Number& number, error_code& ec) {
        if (OptionalValue* slot = value_slot()) {
            double value = 0.0;
            if (!nearest_double(number, value)) return refuse("number out of range", ec);
            *slot = value;
        } else if (pending_ == Field::max_analysis_minutes) {
            if (!take_whole(number, std::numeric_limits<std::uint32_t>::max(), max_analysis_minutes, ec)) return false;
        } else if (pending_ == Field::gestational_age_weeks) {
            std::optional<std::uint64_t> weeks;
            if (!take_whole(number, std::numeric_limits<std::uint8_t>::max(), weeks, ec)) return false;
            gestational_age_weeks = static_cast<std::uint8_t>(*weeks);
        } else {
            return refuse_type(found_number(number), ec);
        }
        pending_ = Field::none;
        return true;
    }

    // Where a sample's heart-rate or TOCO value goes; null for other fields.
    OptionalValue* value_slot() noexcept {
        if (place_ != Place::sample) return nullptr;
        MonitorSample& sample = data_.samples.back();
        switch (pending_) {
            case Field::hr1: return &sample.hr1;
            case Field::hr2: return &sample.hr2;
            case Field::hr3: return &sample.hr3;
            case Field::hrm: return &sample.hrm;
            case Field::toco: return &sample.toco;
            default: return nullptr;
        }
    }

    // A whole-number field: a JSON integer from 0 to `limit`.
    bool take_whole(const Number& number, std::uint64_t limit, std::optional<std::uint64_t>& out, error_code& ec) {
        if (!written_as_integer(number)) return refuse_type(found_number(number), ec);
        std::optional<std::uint64_t> value = number.large;
        if (number.whole && *number.whole >= 0) value = static_cast<std::uint64_t>(*number.whole);
        if (!value || *value > limit) {
            return refuse("invalid value: " + found_number(number) + ", expected " + expected_here(), ec);
        }
        out = value;
        return true;
    }

    bool refuse_type(std::string_view found, error_code& ec) {
        return refuse("invalid type: " + std::string(found) + ", expected " + expected_here(), ec);
    }

    std::string expected_here() const { return std::string(wanted(place_, pending_)); }

    bool refuse_missing(Field field, error_code& ec) {
        return refuse("missing field `" + std::string(name_of(field)) + "`", ec);
    }

    bool refuse(std::string description, error_code& ec) {
        problem = std::move(description);
        ec = boost::system::errc::make_error_code(boost::system::errc::invalid_argument);
        return false;
    }

    InputData& data_;
    Place place_ = Place::document;
    Field pending_ = Field::none;
    std::size_t skipping_ = 0;
    FieldMask request_seen_ = 0;
    FieldMask sample_seen_ = 0;
    FieldMask options_seen_ = 0;
    FieldMask metadata_seen_ = 0;
    std::size_t sample_number_ = 0;
    std::string piece_;         // a string or key split by escapes
    std::string number_piece_;  // a number split across parser calls
    std::string display_;       // the display time being built
    TimestampReader times_;
};

// ------------------------------------------------------- syntax messages

bool is_json_white_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_complete_number(std::string_view s) noexcept {
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < s.size() && is_digit(s[i])) ++i;
        return i > from;
    };
    if (i < s.size() && s[i] == '-') ++i;
    if (i < s.size() && s[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == s.size();
}

// The grammatical state at the point where the parser stopped, found by
// re-reading the text before it (which the parser accepted).
struct StopState {
    std::vector<char> open;       // '{' and '[' of the containers still open
    char after = '^';             // last token: '^' none, '{', '[', ',', ':', 'k' a key, 'v' a value
    bool in_string = false;
    bool escaped = false;         // just after a backslash in a string
    std::string_view token;       // a number or literal still being read
};

StopState state_before(std::string_view prefix) {
    StopState s;
    bool key = false;
    std::size_t token_start = std::string_view::npos;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = prefix[i];
        if (s.in_string) {
            if (s.escaped) {
                s.escaped = false;
            } else if (c == '\\') {
                s.escaped = true;
            } else if (c == '"') {
                s.in_string = false;
                s.after = key ? 'k' : 'v';
            }
            continue;
        }
        if (token_start != std::string_view::npos) {
            if (!is_json_white_space(c) && c != ',' && c != ']' && c != '}' && c != ':') continue;
            token_start = std::string_view::npos;
            s.after = 'v';
        }
        switch (c) {
            case ' ': case '\t': case '\n': case '\r': break;
            case '{': case '[': s.open.push_back(c); s.after = c; break;
            case '}': case ']': if (!s.open.empty()) s.open.pop_back(); s.after = 'v'; break;
            case ',': case ':': s.after = c; break;
            case '"':
                key = !s.open.empty() && s.open.back() == '{' && (s.after == '{' || s.after == ',');
                s.in_string = true;
                break;
            default: token_start = i;
        }
    }
    if (token_start != std::string_view::npos) s.token = prefix.substr(token_start);
    return s;
}

// The description of a syntax error that stopped the parser at `stop`.
std::string describe_syntax_error(std::string_view text, std::size_t stop, const error_code& ec) {
    if (ec == json::error::too_deep) return "recursion limit exceeded";
    if (ec == json::error::exponent_overflow) return "number out of range";
    if (ec == json::error::illegal_leading_surrogate) return "lone leading surrogate in hex escape";
    if (ec == json::error::illegal_trailing_surrogate) return "invalid unicode code point";
    if (ec == json::error::expected_hex_digit) return "invalid escape";
    if (ec == json::error::expected_utf16_escape) return "unexpected end of hex escape";
    if (ec != json::error::syntax && ec != json::error::incomplete) return ec.message();

    StopState s = state_before(text.substr(0, stop));
    const bool at_end = stop >= text.size();
    const char c = at_end ? '\0' : text[stop];
    if (s.in_string) {
        if (at_end) return "EOF while parsing a string";
        if (s.escaped) return "invalid escape";
        if (static_cast<unsigned char>(c) < 0x20) {
            return "control character (\\u0000-\\u001F) found while parsing a string";
        }
        if (static_cast<unsigned char>(c) >= 0x80) return "invalid unicode code point";
        return "lone leading surrogate in hex escape";  // a \uD800-\uDBFF not followed by its \u pair
    }
    if (!s.token.empty()) {
        const bool number = s.token.front() == '-' || is_digit(s.token.front());
        const bool whole = number ? is_complete_number(s.token)
                                  : s.token == "true" || s.token == "false" || s.token == "null";
        if (!whole) return at_end ? "EOF while parsing a value" : number ? "invalid number" : "expected ident";
        if (number && (is_digit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) {
            return "invalid number";  // 01, 1.5.2: the number cannot go on like this
        }
        s.after = 'v';  // a whole value, followed by something that cannot follow it
    }
    const char inner = s.open.empty() ? '\0' : s.open.back();
    const bool wants_value = s.after == '^' || s.after == ':' || s.after == '[' || (s.after == ',' && inner == '[');
    if (at_end) {
        if (wants_value && s.after != '[') return "EOF while parsing a value";
        if (inner == '{') return "EOF while parsing an object";
        if (inner == '[') return "EOF while parsing a list";
        return "EOF while parsing a value";
    }
    if (wants_value && (c == 't' || c == 'f' || c == 'n')) return "expected ident";  // a misspelt literal
    switch (s.after) {
        case ',':
            if (c == (inner == '[' ? ']' : '}')) return "trailing comma";
            return inner == '[' ? "expected value" : "key must be a string";
        case '{': return "key must be a string";
        case 'k': return "expected `:`";
        case 'v': return inner == '{' ? "expected `,` or `}`" : "expected `,` or `]`";
        default: return "expected value";
    }
}

// " at line L column C" for a byte offset: lines counted from 1 at each line
// feed, columns in characters (UTF-8 sequences) from 1.
std::string position_of(std::string_view text, std::size_t offset) {
    const std::string_view before = text.substr(0, offset);
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    std::size_t column = 1;
    for (std::size_t i = line_start; i < before.size(); ++i) {
        if ((static_cast<unsigned char>(before[i]) & 0xC0) != 0x80) ++column;
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::unexpected<std::string> json_failure(std::string_view description, std::string_view text, std::size_t offset) {
    return fail("invalid analysis request JSON: " + std::string(description) + position_of(text, offset));
}

// Room for every sample the text can hold (each is an object, and the
// shortest with a readable time has 19 characters) and for their display
// times, so that neither grows by copying into fresh pages. Reserved room
// that is never written is never touched.
void reserve_samples(InputData& data, std::string_view text) {
    constexpr std::size_t shortest_sample = 19;
    constexpr std::size_t usual_time_text = 23;  // "2024-03-01 10:00:00.250"
    const std::size_t objects = count_byte(text, '{');
    const std::size_t samples = std::min(objects, text.size() / shortest_sample + 1);
    data.samples.reserve(samples);
    data.built_texts.reserve(samples * usual_time_text);
}

// Feeds the text to the parser in pieces of at most `piece_size` bytes, as a
// stream would deliver it; returns the offset where the parser stopped.
std::size_t parse_in_pieces(json::basic_parser<RequestHandler>& parser, std::string_view text,
                            std::size_t piece_size, error_code& ec) {
    piece_size = std::max<std::size_t>(piece_size, 1);
    std::size_t stop = 0;
    do {
        const std::size_t piece = std::min(piece_size, text.size() - stop);
        const bool more = stop + piece < text.size();
        stop += parser.write_some(more, text.data() + stop, piece, ec);
    } while (!ec && !parser.done() && stop < text.size());
    return stop;
}

}  // namespace

Result<AnalysisRequestInput> read_analysis_request_json(std::string_view text) {
    return read_analysis_request_json_in_pieces(text, text.size());
}

Result<AnalysisRequestInput> read_analysis_request_json_in_pieces(std::string_view text, std::size_t piece_size) {
    AnalysisRequestInput input;
    reserve_samples(input.data, text);
    json::parse_options options;  // strict RFC 8259: no comments, trailing commas or invalid UTF-8
    options.max_depth = max_nesting;
    json::basic_parser<RequestHandler> parser(options, input.data);
    RequestHandler& request = parser.handler();

    error_code ec;
    std::size_t stop = parse_in_pieces(parser, text, piece_size, ec);
    if (ec) {
        if (!request.problem.empty()) return json_failure(request.problem, text, stop);
        return json_failure(describe_syntax_error(text, stop, ec), text, stop);
    }
    // The parser stops after the first whole value.
    while (stop < text.size() && is_json_white_space(text[stop])) ++stop;
    if (stop < text.size()) return json_failure("trailing characters", text, stop);

    if (request.episode_id_blank) return fail("analysis request episode_id must not be empty");
    if (request.sent_at_blank) return fail("analysis request sent_at must not be empty");
    if (input.data.samples.empty()) return fail("analysis request samples must not be empty");
    if (request.fetal_channel) {
        Result<FetalChannel> channel = FetalChannel::parse(*request.fetal_channel);
        if (!channel) return fail(std::move(channel).error());
        input.settings.channel = *channel;
    }
    if (request.max_analysis_minutes && (*request.max_analysis_minutes < 10 || *request.max_analysis_minutes > 30)) {
        return fail("analysis_options.max_analysis_minutes must be between 10 and 30");
    }
    if (request.first_bad_time) return fail(std::move(*request.first_bad_time));

    finish_input(input.data, request.order);
    input.settings.window_minutes.reset();  // chunk mode: the most recent 30 minutes
    input.settings.step_seconds = 60;
    input.settings.gestational_age_weeks = request.gestational_age_weeks;
    return input;
}

}  // namespace fhr_core

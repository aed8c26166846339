#include "time.hpp"

#include <cstddef>
#include <optional>
#include <string_view>
#include <limits>
#include <string>

#include "text.hpp"

namespace fhr_core {
namespace {

// The text as the grammar sees it after trimming and dropping trailing 'Z's:
// a 'T' counts as a space, so nothing needs to be copied to replace it.
bool is_space_or_t(char c) noexcept { return c == ' ' || c == 'T'; }

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// An optional '+' then one or more ASCII digits whose value is at most `limit`.
std::optional<std::uint64_t> read_unsigned(std::string_view text, std::uint64_t limit) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// An optional '+' or '-' then one or more ASCII digits fitting 64 signed bits.
std::optional<std::int64_t> read_signed(std::string_view text) noexcept {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '+') return std::nullopt;
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const auto magnitude = read_unsigned(text, negative ? max + 1 : max);
    if (!magnitude) return std::nullopt;
    // Two's complement: the magnitude 2^63 is exactly the minimum.
    return negative ? static_cast<std::int64_t>(0 - *magnitude) : static_cast<std::int64_t>(*magnitude);
}

// Days since 1970-01-01 in 64-bit arithmetic, exact for every 32-bit year.
std::int64_t civil_days(std::int64_t year, std::int64_t month, std::int64_t day) noexcept {
    const std::int64_t y = month <= 2 ? year - 1 : year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = month > 2 ? month - 3 : month + 9;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The time zone designator after the time: offset minutes east of UTC, kept
// as read (the range of the hour is only bounded above) until the sum.
struct Offset {
    bool negative = false;
    std::int64_t hour = 0;
    std::int64_t minute = 0;
};

// (sign) × (hour × 60 + minute) × 60 000 in milliseconds, when it fits.
std::optional<std::int64_t> offset_millis(const Offset& offset) noexcept {
    std::int64_t minutes = 0;
    if (__builtin_mul_overflow(offset.hour, std::int64_t{60}, &minutes)) return std::nullopt;
    if (__builtin_add_overflow(minutes, offset.minute, &minutes)) return std::nullopt;
    if (offset.negative && __builtin_sub_overflow(std::int64_t{0}, minutes, &minutes)) return std::nullopt;
    std::int64_t millis = 0;
    if (__builtin_mul_overflow(minutes, std::int64_t{60'000}, &millis)) return std::nullopt;
    return millis;
}

// The instants whose day count fits 32 bits: about 5.9 million years either
// side of 1970.
constexpr std::int64_t earliest_instant_ms = std::int64_t{std::numeric_limits<std::int32_t>::min()} * 86'400'000;
constexpr std::int64_t latest_instant_ms = (std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) * 86'400'000 - 1;

std::string with_input(std::string_view message, std::string_view input) {
    std::string text;
    text.reserve(message.size() + input.size());
    text.append(message).append(input);
    return text;
}

}  // namespace

Result<std::uint32_t> parse_part(std::optional<std::string_view> piece, std::string_view label,
                                 std::string_view input) {
    if (!piece) {
        return fail(std::string("timestamp is missing ").append(label).append(": ").append(input));
    }
    const auto value = read_unsigned(*piece, std::numeric_limits<std::uint32_t>::max());
    if (!value) {
        return fail(std::string("invalid ").append(label).append(" in timestamp: ").append(input));
    }
    return static_cast<std::uint32_t>(*value);
}

Result<std::uint32_t> parse_millis(std::string_view fraction) {
    std::uint32_t millis = 0;
    std::uint32_t scale = 100;
    for (const char c : fraction.substr(0, 3)) {
        if (!is_digit(c)) return fail(with_input("invalid millisecond digit: ", fraction));
        millis += static_cast<std::uint32_t>(c - '0') * scale;
        scale /= 10;
    }
    return millis;
}

std::int32_t days_from_civil(std::int32_t year, std::uint32_t month, std::uint32_t day) noexcept {
    // Wider intermediates: era × 146 097 alone leaves 32 bits for large years.
    // Within the caller's range the narrowing keeps the value unchanged.
    return static_cast<std::int32_t>(civil_days(year, month, day));
}

std::string_view strip_timestamp_text(std::string_view input) noexcept {
    std::string_view text = trim_white_space(input);
    while (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
    return text;
}

Result<std::int64_t> parse_monitor_timestamp(std::string_view input) {
    // Normalise. A 'T' is read as a space wherever it stands.
    const std::string_view text = strip_timestamp_text(input);

    // Date and the rest.
    std::size_t gap = 0;
    while (gap < text.size() && !is_space_or_t(text[gap])) ++gap;
    if (gap == text.size()) return fail(with_input("timestamp is missing date/time separator: ", input));
    const std::string_view date_text = text.substr(0, gap);
    const std::string_view rest = text.substr(gap + 1);

    // Offset: a sign after the first character of the rest starts it.
    std::string_view time_text = rest;
    Offset offset;
    if (rest.size() >= 2) {
        std::size_t sign = 1;  // a sign in the first character is not an offset's
        while (sign < rest.size() && rest[sign] != '+' && rest[sign] != '-') ++sign;
        if (sign < rest.size()) {
            time_text = rest.substr(0, sign);
            offset.negative = rest[sign] == '-';
            const std::string_view zone = rest.substr(sign + 1);
            const std::size_t colon = zone.find(':');
            if (colon == std::string_view::npos) {
                return fail(with_input("invalid timezone offset in timestamp: ", input));
            }
            const auto hour = read_signed(zone.substr(0, colon));
            if (!hour) return fail(with_input("invalid timezone offset hour in timestamp: ", input));
            const auto minute = read_signed(zone.substr(colon + 1));
            if (!minute) return fail(with_input("invalid timezone offset minute in timestamp: ", input));
            if (*hour > 23 || *minute > 59) {
                return fail(with_input("timezone offset out of range in timestamp: ", input));
            }
            offset.hour = *hour;
            offset.minute = *minute;
        }
    }

    // Date: year-month-day; pieces after the third are ignored.
    Pieces date_pieces(date_text, '-');
    const std::string_view year_piece = *date_pieces.next();
    const auto year = read_unsigned(year_piece, std::numeric_limits<std::int32_t>::max());
    if (!year) return fail(with_input("invalid year in timestamp: ", input));
    const auto month = parse_part(date_pieces.next(), "month", input);
    if (!month) return fail(month.error());
    const auto day = parse_part(date_pieces.next(), "day", input);
    if (!day) return fail(day.error());

    // Time: hour:minute:seconds; pieces after the third are ignored.
    Pieces time_pieces(time_text, ':');
    const auto hour = parse_part(time_pieces.next(), "hour", input);
    if (!hour) return fail(hour.error());
    const auto minute = parse_part(time_pieces.next(), "minute", input);
    if (!minute) return fail(minute.error());
    const auto seconds_piece = time_pieces.next();
    if (!seconds_piece) return fail(with_input("timestamp is missing seconds: ", input));

    // Whole seconds and the fraction after the first '.'.
    const std::size_t point = seconds_piece->find('.');
    const auto seconds = read_unsigned(seconds_piece->substr(0, point), std::numeric_limits<std::uint32_t>::max());
    if (!seconds) return fail(with_input("invalid seconds in timestamp: ", input));
    std::uint32_t millis = 0;
    if (point != std::string_view::npos) {
        const std::string_view fraction = seconds_piece->substr(point + 1);
        const auto parsed = parse_millis(fraction);
        if (!parsed) {
            // The message quotes the fraction as normalised, 'T' as a space.
            std::string shown(fraction);
            for (char& c : shown) {
                if (c == 'T') c = ' ';
            }
            return fail(with_input("invalid millisecond digit: ", shown));
        }
        millis = *parsed;
    }

    // Ranges. A day past the month's end rolls on into the next month.
    // Years whose day count leaves 32 bits and offsets whose arithmetic
    // leaves 64 bits cannot be represented and are refused the same way.
    const auto out_of_range = [&] { return fail(with_input("timestamp component out of range: ", input)); };
    if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *seconds > 59) {
        return out_of_range();
    }
    const std::int64_t days = civil_days(static_cast<std::int64_t>(*year), *month, *day);
    if (days < std::numeric_limits<std::int32_t>::min() || days > std::numeric_limits<std::int32_t>::max()) {
        return out_of_range();
    }
    const auto zone_millis = offset_millis(offset);
    if (!zone_millis) return out_of_range();

    // Local time minus the offset. |days| < 2^31, so the local part fits.
    const std::int64_t local = (days * 86'400 + std::int64_t{*hour} * 3'600 + std::int64_t{*minute} * 60 +
                                static_cast<std::int64_t>(*seconds)) * 1'000 + millis;
    std::int64_t result = 0;
    if (__builtin_sub_overflow(local, *zone_millis, &result)) return out_of_range();
    // An absurd offset (hours in the billions) could still carry the instant
    // to the ends of the 64-bit range. Keeping every instant within the span
    // the 32-bit day count covers leaves the analysis room to add and
    // subtract window lengths and to take differences of any two times.
    if (result < earliest_instant_ms || result > latest_instant_ms) return out_of_range();
    return result;
}

bool TimestampReader::read_fixed_width(std::string_view input, std::int64_t& instant) noexcept {
    // "YYYY-MM-DD HH:MM:SS" is 19 characters; then ".f", ".ff" or ".fff".
    std::size_t size = input.size();
    while (size > 19 && input[size - 1] == 'Z') --size;
    if (size != 19 && (size < 21 || size > 23)) return false;
    const char* const end = input.data() + size;
    std::int64_t millis = 0;
    if (size > 19 && (input[19] != '.' || fixed_width::read_fraction(input.data() + 20, end, millis) != end)) {
        return false;
    }
    if (!read_whole_second(input.data(), instant)) return false;
    instant += millis;
    return true;
}

bool TimestampReader::read_minute(const char* t) noexcept {
    if (t[4] != '-' || t[7] != '-' || (t[10] != ' ' && t[10] != 'T') || t[13] != ':') return false;
    using fixed_width::two_digits;
    const int century = two_digits(t), year_in_century = two_digits(t + 2);
    const int month = two_digits(t + 5), day = two_digits(t + 8);
    if (century < 0 || year_in_century < 0 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    const int hour = two_digits(t + 11), minute = two_digits(t + 14);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return false;
    minute_ms_ = (civil_days(century * 100 + year_in_century, month, day) * 86'400 + hour * 3'600 + minute * 60) * 1'000;
    std::char_traits<char>::copy(minute_text_, t, sizeof minute_text_);
    has_minute_ = true;
    return true;
}

}  // namespace fhr_core

#include "csv_input.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

#include "text.hpp"
#include "time.hpp"

namespace fhr_core {
namespace {

// The columns a monitor export may carry, in the order they are looked up.
enum Column : std::size_t { date, hr1, hr2, hr3, hrm, toco, column_count };
constexpr std::array<std::string_view, column_count> column_names = {"Date", "HR1", "HR2", "HR3", "HRM", "TOCO"};

// Hands out the text's lines. A line ends at a line feed, which is dropped
// together with one carriage return just before it; a carriage return alone
// ends nothing. The empty text has no line at all.
class Lines {
public:
    explicit Lines(std::string_view text) noexcept : rest_(text) {}

    std::optional<std::string_view> next() noexcept {
        if (rest_.empty()) return std::nullopt;
        const std::size_t end = rest_.find('\n');
        if (end == std::string_view::npos) {
            const std::string_view last = rest_;
            rest_ = {};
            return last;
        }
        std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    }

    [[nodiscard]] std::size_t remaining() const noexcept { return rest_.size(); }

private:
    std::string_view rest_;
};

// A found column: where it stands in the rows and what it fills.
struct ColumnAt {
    std::size_t position;
    Column column;
};

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Decimal power of the leading digit plus the exponent, clamped: enough to
// tell a value too large for a double from one too small.
std::int64_t clamp_magnitude(std::int64_t value) noexcept {
    constexpr std::int64_t limit = std::int64_t{1} << 48;
    return std::clamp(value, -limit, limit);
}

// Powers of ten a double holds exactly.
constexpr double exact_powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                          1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// Appends the run of digits at `at` to `digits` and returns where it ends.
// Unsigned arithmetic keeps the loop to one test per digit. Unbounded, the
// run ends at the first byte that is not a digit, which the caller knows lies
// before the text's end; `end` is then not looked at.
template <bool bounded>
inline const char* add_digits(const char* at, const char* end, std::uint64_t& digits) noexcept {
    for (; !bounded || at != end; ++at) {
        const unsigned digit = static_cast<unsigned char>(*at) - unsigned{'0'};
        if (digit > 9) break;
        digits = digits * 10 + digit;
    }
    return at;
}

// The plain decimal at the start of [at, end) into `value`, returning where it
// stops, or nullptr when none starts there. The digits as a whole number and
// the power of ten are both exact doubles, so one division rounds once, to
// the nearest double, as the full syntax does. Unbounded, as add_digits.
template <bool bounded = true>
inline const char* plain_decimal_prefix(const char* at, const char* end, double& value) noexcept {
    const bool negative = (!bounded || at != end) && *at == '-';
    at += negative;
    const char* const integer_begin = at;
    std::uint64_t digits = 0;  // may wrap on long texts, which the count then refuses
    at = add_digits<bounded>(at, end, digits);
    std::ptrdiff_t count = at - integer_begin;
    if (count == 0) return nullptr;
    std::ptrdiff_t after_point = 0;
    if ((!bounded || at != end) && *at == '.') {
        const char* const fraction_begin = ++at;
        at = add_digits<bounded>(at, end, digits);
        after_point = at - fraction_begin;
        if (after_point == 0) return nullptr;
        count += after_point;
    }
    if (count > 15) return nullptr;
    const double magnitude = static_cast<double>(static_cast<std::int64_t>(digits)) / exact_powers_of_ten[after_point];
    value = negative ? -magnitude : magnitude;
    return at;
}

}  // namespace

std::optional<double> read_plain_decimal(std::string_view cell) noexcept {
    const char* const end = cell.data() + cell.size();
    double value = 0.0;
    if (plain_decimal_prefix(cell.data(), end, value) != end) return std::nullopt;
    return value;
}

std::optional<double> read_any_channel_value(std::string_view cell) noexcept {
    const bool negative = !cell.empty() && cell.front() == '-';
    std::string_view body = cell;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);

    if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity")) {
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    if (equals_ignoring_ascii_case(body, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
    }

    std::size_t i = 0;
    const std::size_t integer_begin = i;
    while (i < body.size() && is_digit(body[i])) ++i;
    const std::size_t integer_end = i;
    std::size_t fraction_begin = i;
    std::size_t fraction_end = i;
    if (i < body.size() && body[i] == '.') {
        fraction_begin = ++i;
        while (i < body.size() && is_digit(body[i])) ++i;
        fraction_end = i;
    }
    if (integer_end == integer_begin && fraction_end == fraction_begin) return std::nullopt;
    std::int64_t exponent = 0;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        bool exponent_negative = false;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) exponent_negative = body[i++] == '-';
        const std::size_t exponent_begin = i;
        while (i < body.size() && is_digit(body[i])) {
            exponent = clamp_magnitude(exponent * 10 + (body[i] - '0'));
            ++i;
        }
        if (i == exponent_begin) return std::nullopt;
        if (exponent_negative) exponent = -exponent;
    }
    if (i != body.size()) return std::nullopt;

    // from_chars reads exactly this syntax once the '+' is gone; it takes the
    // nearest double and leaves only overflow and underflow to us.
    const std::string_view number = cell.front() == '+' ? body : cell;
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error == std::errc{} && end == number.data() + number.size()) return value;
    if (error != std::errc::result_out_of_range) return std::nullopt;

    std::int64_t leading_power = 0;
    const std::string_view integer = body.substr(integer_begin, integer_end - integer_begin);
    const std::string_view fraction = body.substr(fraction_begin, fraction_end - fraction_begin);
    if (const std::size_t first = integer.find_first_not_of('0'); first != std::string_view::npos) {
        leading_power = clamp_magnitude(static_cast<std::int64_t>(integer.size() - first - 1));
    } else {
        const std::size_t first_in_fraction = fraction.find_first_not_of('0');
        leading_power = -clamp_magnitude(static_cast<std::int64_t>(first_in_fraction) + 1);
    }
    const double magnitude = leading_power + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}

namespace {

// The end of the cell that starts at `from`: the next ',' or the line's end.
const char* cell_end(const char* from, const char* line_end) noexcept {
    const void* comma = std::memchr(from, ',', static_cast<std::size_t>(line_end - from));
    return comma != nullptr ? static_cast<const char*>(comma) : line_end;
}

// Reads the value cell that starts at `from` into `value` (absent when empty
// or unreadable) and returns the cell's end. A plain decimal filling the cell
// is read in the same walk that finds its end.
const char* read_value_cell(const char* from, const char* line_end, OptionalValue& value) noexcept {
    double plain = 0.0;
    const char* const stop = plain_decimal_prefix(from, line_end, plain);
    if (stop != nullptr && (stop == line_end || *stop == ',')) {
        value = plain;
        return stop;
    }
    const char* const end = cell_end(from, line_end);
    const std::string_view cell = trim_white_space({from, static_cast<std::size_t>(end - from)});
    value = cell.empty() ? OptionalValue() : OptionalValue(read_any_channel_value(cell));
    return end;
}

// Where each column's value goes in a sample (none for the Date).
constexpr std::array<OptionalValue MonitorSample::*, column_count> value_fields = {
    nullptr, &MonitorSample::hr1, &MonitorSample::hr2, &MonitorSample::hr3, &MonitorSample::hrm, &MonitorSample::toco};

std::string row_message(std::uint64_t line_number, std::string_view what) {
    return std::string("row ").append(std::to_string(line_number)).append(what);
}

// The columns a reader takes from each row, in row order, so that each row is
// walked once and only as far as the last column needed.
struct RowLayout {
    std::array<ColumnAt, column_count> wanted{};
    std::size_t wanted_count = 0;
    bool date_then_values = false;
};

// Reads one row (a line without its line feed and carriage return) into
// `sample`: false for a blank row, which gives no sample.
Result<bool> read_row(std::string_view line, std::uint64_t line_number, const RowLayout& layout,
                      TimestampReader& times, InputData& data, MonitorSample& sample) {
    if (trim_white_space(line).empty()) return false;

    // The wanted cells, walking the row only as far as the last of them.
    std::optional<std::string_view> date_cell;
    const char* const line_end = line.data() + line.size();
    const char* cell = line.data();
    for (std::size_t at = 0, next_wanted = 0; next_wanted < layout.wanted_count; ++at) {
        const char* end = nullptr;
        if (at != layout.wanted[next_wanted].position) {
            end = cell_end(cell, line_end);
        } else if (const Column column = layout.wanted[next_wanted++].column; column == date) {
            end = cell_end(cell, line_end);
            date_cell = std::string_view(cell, static_cast<std::size_t>(end - cell));
        } else {
            end = read_value_cell(cell, line_end, sample.*value_fields[column]);
        }
        if (end == line_end) break;
        cell = end + 1;
    }
    if (!date_cell) return fail(row_message(line_number, " is missing Date"));

    const std::string_view time_text = trim_white_space(*date_cell);
    const auto time = times.read(time_text);
    if (!time) return fail(row_message(line_number, " has invalid Date: ").append(time.error()));
    sample.timestamp_ms = *time;
    data.place_text(sample, time_text);
    return true;
}

bool ends_cell(char c) noexcept { return c == ',' || c == '\n' || c == '\r'; }

// The value cell at `at` when it is empty or a plain decimal ending at a
// cell's end (a ',', '\n' or '\r'): stores the value as read_value_cell would
// and returns that end. Nullptr for any other cell. A line feed follows `at`
// (the fast path reads only up to the text's last one), so no scan runs past it.
const char* read_plain_value_cell(const char* at, OptionalValue& value) noexcept {
    if (ends_cell(*at)) {
        value = OptionalValue();
        return at;
    }
    double plain = 0.0;
    const char* const stop = plain_decimal_prefix<false>(at, nullptr, plain);
    if (stop == nullptr || !ends_cell(*stop)) return nullptr;
    value = OptionalValue::finite(plain);  // at most 15 digits: finite
    return stop;
}

// Where a row's cell ends on the fast path: past the line's end (its line
// feed) when the cell ends the line, past the ',' when more cells follow, or
// nullptr for a carriage return that ends nothing. A line feed follows `stop`.
const char* after_cell(const char* stop) noexcept {
    if (*stop == ',' || *stop == '\n') return stop + 1;
    return stop[1] == '\n' ? stop + 2 : nullptr;
}

// The Date cell at `cell` on the fast path, a fixed-width time ending at a
// cell's end: its time goes into `sample` and its text into `date_cell`.
// Returns the cell's end, or nullptr.
const char* read_date_cell(const char* cell, const char* text_end, TimestampReader& times, MonitorSample& sample,
                           std::string_view& date_cell) noexcept {
    const char* const stop = times.read_fixed_width_at(cell, text_end, sample.timestamp_ms);
    if (stop == nullptr || !ends_cell(*stop)) return nullptr;  // stops before the line feed that ends the text
    date_cell = {cell, static_cast<std::size_t>(stop - cell)};
    return stop;
}

// The wanted cells of a row on the fast path: the position after the last one
// read (see after_cell), or nullptr. `date_cell` receives the Date cell when read.
const char* read_common_cells(const char* cell, const char* text_end, const RowLayout& layout, TimestampReader& times,
                              MonitorSample& sample, std::string_view& date_cell) noexcept {
    if (layout.date_then_values) {
        // The usual layout, Date first and then only wanted columns: no positions to follow.
        const char* stop = read_date_cell(cell, text_end, times, sample, date_cell);
        if (stop == nullptr) return nullptr;
        for (std::size_t next = 1; next < layout.wanted_count && *stop == ','; ++next) {
            stop = read_plain_value_cell(stop + 1, sample.*value_fields[layout.wanted[next].column]);
            if (stop == nullptr) return nullptr;
        }
        return after_cell(stop);
    }
    for (std::size_t position = 0, next_wanted = 0;; ++position) {
        const char* stop = nullptr;
        if (position != layout.wanted[next_wanted].position) {
            for (stop = cell; !ends_cell(*stop);) ++stop;
        } else if (const Column column = layout.wanted[next_wanted++].column; column == date) {
            stop = read_date_cell(cell, text_end, times, sample, date_cell);
            if (stop == nullptr) return nullptr;
        } else {
            stop = read_plain_value_cell(cell, sample.*value_fields[column]);
            if (stop == nullptr) return nullptr;
        }
        cell = after_cell(stop);
        if (cell == nullptr || *stop != ',' || next_wanted == layout.wanted_count) return cell;
    }
}

// Reads the row at `at` on the fast path: every wanted cell ends at a ',' or
// at the line's end, the Date is a fixed-width time and each value cell is
// empty or a plain decimal. Returns where the next line starts, or
// nullptr to leave the row to read_row (which gives the same sample or the
// message). The row's texts are addressed in place, so the text must be
// shorter than the 32 bits of a sample's text offset. `text_end` lies just
// past a line feed, which ends every scan of the row.
const char* read_common_row(const char* at, const char* text_end, const RowLayout& layout, TimestampReader& times,
                            const char* text_begin, MonitorSample& sample) noexcept {
    std::string_view date_cell;
    const char* next = read_common_cells(at, text_end, layout, times, sample, date_cell);
    // A row that ends before its Date is left to read_row, which words the message.
    if (next == nullptr || date_cell.data() == nullptr) return nullptr;
    if (next[-1] != '\n') {
        // Cells beyond the last wanted one: the line ends at the next line feed.
        const void* feed = std::memchr(next, '\n', static_cast<std::size_t>(text_end - next));
        if (feed == nullptr) return nullptr;
        next = static_cast<const char*>(feed) + 1;
    }
    sample.text_offset = static_cast<std::uint32_t>(date_cell.data() - text_begin);
    sample.text_length = static_cast<std::uint32_t>(date_cell.size());
    return next;
}

Result<InputData> read_csv(std::string_view text, bool fast_rows) {
    Lines lines(text);
    const auto header = lines.next();
    if (!header) return fail("CSV is empty; expected a header row");

    // Each recognised column is taken from the first header cell that names it.
    std::array<std::optional<std::size_t>, column_count> found;
    Pieces header_cells(*header, ',');
    std::size_t position = 0;
    while (const auto cell = header_cells.next()) {
        const std::string_view name = trim_white_space(*cell);
        for (std::size_t column = 0; column < column_count; ++column) {
            if (!found[column] && equals_ignoring_ascii_case(name, column_names[column])) found[column] = position;
        }
        ++position;
    }
    if (!found[date]) return fail("CSV is missing required Date column");

    RowLayout layout;
    for (std::size_t column = 0; column < column_count; ++column) {
        if (!found[column]) continue;
        std::size_t at = layout.wanted_count++;
        for (; at > 0 && layout.wanted[at - 1].position > *found[column]; --at) layout.wanted[at] = layout.wanted[at - 1];
        layout.wanted[at] = {*found[column], static_cast<Column>(column)};
    }

    layout.date_then_values = layout.wanted[0].column == date;
    for (std::size_t i = 0; i < layout.wanted_count; ++i) layout.date_then_values &= layout.wanted[i].position == i;
    InputData data;
    data.source = text;
    // Every row is one line, so the line count bounds the samples: reserving
    // it exactly leaves no regrowth and no unused tail.
    const std::string_view rows = text.substr(text.size() - lines.remaining());
    data.samples.reserve(count_byte(rows, '\n') + 1);
    fast_rows = fast_rows && text.size() < std::numeric_limits<std::uint32_t>::max();

    OutOfOrderCounter counter;
    TimestampReader times;
    std::uint64_t line_number = 1;
    const char* at = rows.data();
    const char* const text_end = rows.data() + rows.size();
    // The fast path reads the rows up to the last line feed, which ends every
    // scan of theirs: a row after it is left to the general path.
    const char* const fast_end = rows.data() + (rows.rfind('\n') + 1);  // rows.data() when there is none
    while (at != text_end) {
        ++line_number;
        // Built in place (the reserve holds every row), not copied in afterwards.
        MonitorSample& sample = data.samples.emplace_back();
        const char* next =
            fast_rows && at < fast_end ? read_common_row(at, fast_end, layout, times, text.data(), sample) : nullptr;
        if (next == nullptr) {
            // The general path: the line first, then its cells.
            Lines rest(std::string_view(at, static_cast<std::size_t>(text_end - at)));
            const std::string_view line = *rest.next();  // not at the end, so there is a line
            next = text_end - rest.remaining();
            sample = MonitorSample();
            const auto read = read_row(line, line_number, layout, times, data, sample);
            if (!read) return std::unexpected(read.error());
            if (!*read) {
                data.samples.pop_back();
                at = next;
                continue;
            }
        }
        at = next;
        counter.accept(sample.timestamp_ms);
    }

    finish_input(data, counter);
    return data;
}

}  // namespace

Result<InputData> read_monitor_csv_str(std::string_view text) { return read_csv(text, true); }

Result<InputData> read_monitor_csv_rows_generally(std::string_view text) { return read_csv(text, false); }

}  // namespace fhr_core

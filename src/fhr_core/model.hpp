// The records every stage passes around: monitor samples and the recording
// they form, the settings of one call, and the analysis report with one record
// per window. Plain values; the enumerations carry their report words.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace fhr_core {

// ---------------------------------------------------------------- recording

// A channel value that may be absent, in the 8 bytes of a double: absence is
// one NaN bit pattern that no reader stores (a NaN read from the input is kept
// as the canonical quiet NaN of its sign).
class OptionalValue {
public:
    constexpr OptionalValue() noexcept = default;
    OptionalValue(double value) noexcept : bits_(std::bit_cast<std::uint64_t>(value)) {  // NOLINT: like optional
        if (bits_ == absent_bits) bits_ = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::quiet_NaN());
    }
    OptionalValue(std::optional<double> value) noexcept {  // NOLINT: converts like std::optional
        if (value) *this = OptionalValue(*value);
    }
    // A value known to be finite, which never has the absent pattern: no check.
    [[nodiscard]] static OptionalValue finite(double value) noexcept {
        OptionalValue finite_value;
        finite_value.bits_ = std::bit_cast<std::uint64_t>(value);
        return finite_value;
    }

    [[nodiscard]] bool has_value() const noexcept { return bits_ != absent_bits; }
    // The value, or for absence a NaN, which fails every comparison.
    [[nodiscard]] double value_or_nan() const noexcept { return std::bit_cast<double>(bits_); }
    [[nodiscard]] std::optional<double> get() const noexcept {
        if (bits_ == absent_bits) return std::nullopt;
        return std::bit_cast<double>(bits_);
    }

private:
    static constexpr std::uint64_t absent_bits = 0x7ff4'a65e'4e7e'0001;  // a signalling NaN
    std::uint64_t bits_ = absent_bits;
};

// One monitor row: its instant, its channel values (absent when the input had
// none it could read; ranges are not checked here, so 0, negative, huge, NaN
// and infinities are all kept) and where its display text lies among the
// recording's SampleTexts (see timestamp_text). Kept small: a day at 4 Hz is
// 345,600 of them.
struct MonitorSample {
    std::int64_t timestamp_ms = 0;
    OptionalValue hr1;
    OptionalValue hr2;
    OptionalValue hr3;
    OptionalValue hrm;
    OptionalValue toco;
    std::uint32_t text_offset = 0;
    std::uint32_t text_length = 0;
};

// The texts the samples of one recording address: a base text (the caller's
// input or one the reader built) and, for the rare text lying past the 4 GiB a
// 32-bit offset reaches, copies addressed by index.
struct SampleTexts {
    std::string_view base;
    std::span<const std::string> distant;
};

// The display text of a sample, e.g. "2024-03-01 10:00:00"; the instant read
// from it is the sample's timestamp_ms.
[[nodiscard]] std::string_view timestamp_text(const SampleTexts& texts, const MonitorSample& sample) noexcept;

// Time-sorted samples together with the texts they address.
struct SampleSpan {
    std::span<const MonitorSample> samples;
    SampleTexts texts;

    [[nodiscard]] std::string_view text_of(const MonitorSample& sample) const noexcept {
        return timestamp_text(texts, sample);
    }
};

// Which fetal heart-rate channel the analysis reads. Used like an enumeration
// (FetalChannel::HR2, switch, ==) and parsed from the caller's channel name.
class FetalChannel {
public:
    enum Value : std::uint8_t { HR1, HR2, HR3 };

    constexpr FetalChannel(Value value = HR1) noexcept : value_(value) {}
    constexpr operator Value() const noexcept { return value_; }

    // Trims Unicode white space, upper-cases ASCII letters and accepts exactly
    // HR1, HR2 or HR3; otherwise "unsupported fetal channel: " + that text.
    [[nodiscard]] static Result<FetalChannel> parse(std::string_view text);

private:
    Value value_;
};

[[nodiscard]] std::string_view to_text(FetalChannel channel) noexcept;
// Where a sample holds the fetal rate of `channel`.
[[nodiscard]] inline OptionalValue MonitorSample::*fetal_field(FetalChannel channel) noexcept {
    switch (channel) {
        case FetalChannel::HR2: return &MonitorSample::hr2;
        case FetalChannel::HR3: return &MonitorSample::hr3;
        default: return &MonitorSample::hr1;
    }
}

// A whole recording as a reader returns it: samples sorted stably by time,
// with their display texts either in the caller's input text (`source`, which
// must then outlive the InputData) or in texts the reader built.
struct InputData {
    std::vector<MonitorSample> samples;
    std::uint64_t out_of_order_rows = 0;
    std::uint64_t duplicate_timestamps = 0;
    std::optional<std::string_view> source;
    std::string built_texts;
    std::vector<std::string> distant_texts;

    // Records where `text` lies as the sample's display text: in place when
    // it lies within `source`, otherwise appended to the built texts.
    void place_text(MonitorSample& sample, std::string_view text);

    [[nodiscard]] SampleTexts texts() const noexcept;
    [[nodiscard]] SampleSpan all() const noexcept { return {samples, texts()}; }
};

// The common finish of both readers. While reading, the counter is told each
// accepted row's time in input order (a row earlier than the row accepted
// just before it is out of order; one equal to it repeats it); at the end
// `finish_input` sorts stably by time and counts repeated times.
struct OutOfOrderCounter {
    std::optional<std::int64_t> previous_ms;
    std::uint64_t count = 0;
    std::uint64_t repeats = 0;  // the repeated times, when no row is out of order
    void accept(std::int64_t timestamp_ms) noexcept {
        if (previous_ms) {
            count += timestamp_ms < *previous_ms;
            repeats += timestamp_ms == *previous_ms;
        }
        previous_ms = timestamp_ms;
    }
};
void finish_input(InputData& data, const OutOfOrderCounter& counter);

// The recording as the report's "input" object describes it.
struct InputSummary {
    std::uint64_t rows = 0;
    std::optional<std::string> start_timestamp;
    std::optional<std::string> end_timestamp;
    double duration_seconds = 0.0;
    std::uint64_t out_of_order_rows = 0;
    std::uint64_t duplicate_timestamps = 0;
};

// ----------------------------------------------------------------- settings

struct AnalysisSettings {
    std::optional<std::uint32_t> window_minutes;  // absent: chunk mode
    std::uint32_t step_seconds = 60;              // 0 counts as 1 second
    std::optional<std::uint8_t> gestational_age_weeks;
    FetalChannel channel = FetalChannel::HR1;
};

// ------------------------------------------------------------------- events

enum class DecelerationKind { variable, early, late, prolonged, gradual };

struct AccelerationEvent {
    std::string start;
    std::string end;
    double duration_seconds = 0.0;
    double peak_bpm = 0.0;
};

struct DecelerationEvent {
    std::string start;
    std::string end;
    double duration_seconds = 0.0;
    double nadir_bpm = 0.0;
    double depth_bpm = 0.0;
    double time_to_nadir_seconds = 0.0;
    DecelerationKind kind = DecelerationKind::gradual;
};

struct ContractionEvent {
    std::string start;
    std::string peak;
    std::string end;
    double duration_seconds = 0.0;
    double peak_toco = 0.0;
};

// ------------------------------------------------------------------- report

enum class Classification { category_i, category_ii, category_iii, unclassified };
enum class AlertLevel { none, warning, urgent_review, critical, data_quality };
enum class BaselineClass { bradycardia, normal, tachycardia };
enum class VariabilityClass { absent, minimal, moderate, marked };

[[nodiscard]] std::string_view to_text(Classification value) noexcept;
[[nodiscard]] std::string_view to_text(AlertLevel value) noexcept;
[[nodiscard]] std::string_view to_text(BaselineClass value) noexcept;
[[nodiscard]] std::string_view to_text(VariabilityClass value) noexcept;

// The "features" object of a window, in report order.
struct WindowFeatures {
    std::optional<double> fetal_hr_min_bpm;
    std::optional<double> fetal_hr_p05_bpm;
    std::optional<double> fetal_hr_mean_bpm;
    std::optional<double> fetal_hr_median_bpm;
    std::optional<double> fetal_hr_p95_bpm;
    std::optional<double> fetal_hr_max_bpm;
    std::optional<double> fetal_hr_std_dev_bpm;
    std::optional<double> baseline_delta_mean_bpm;
    std::uint64_t fetal_hr_seconds_below_110 = 0;
    std::uint64_t fetal_hr_seconds_110_to_160 = 0;
    std::uint64_t fetal_hr_seconds_above_160 = 0;
    double fetal_hr_percent_below_110 = 0.0;
    double fetal_hr_percent_110_to_160 = 0.0;
    double fetal_hr_percent_above_160 = 0.0;
    std::uint64_t acceleration_count = 0;
    std::uint64_t deceleration_count = 0;
    std::uint64_t prolonged_deceleration_count = 0;
    double total_deceleration_seconds = 0.0;
    std::optional<double> deepest_deceleration_nadir_bpm;
    std::optional<double> max_deceleration_depth_bpm;
    std::uint64_t contraction_count = 0;
    double contractions_per_10_min = 0.0;
    std::optional<double> toco_mean;
    std::optional<double> toco_max;
    std::optional<double> maternal_hr_mean_bpm;
    std::optional<double> fetal_maternal_mean_difference_bpm;
};

// The "data_quality" object of a window, in report order.
struct DataQuality {
    std::uint64_t expected_seconds = 0;
    std::uint64_t raw_samples = 0;
    double fetal_usable_ratio = 0.0;
    double maternal_usable_ratio = 0.0;
    double toco_usable_ratio = 0.0;
    double suspected_maternal_capture_ratio = 0.0;
};

struct TocoSummary {
    std::vector<ContractionEvent> contractions;
    double contractions_per_10_min = 0.0;
    std::optional<bool> tachysystole;
};

// One analysed window, fields in report order. The verdict lists hold views of
// the fixed sentences of the classification (never formatted text).
struct WindowAnalysis {
    std::string window_start;
    std::string window_end;
    double duration_seconds = 0.0;
    Classification classification = Classification::unclassified;
    AlertLevel alert_level = AlertLevel::data_quality;
    std::optional<std::int32_t> baseline_bpm;
    std::optional<BaselineClass> baseline_class;
    std::optional<double> variability_bpm;
    std::optional<VariabilityClass> variability_class;
    WindowFeatures features;
    DataQuality data_quality;
    TocoSummary toco_summary;
    std::vector<std::string_view> reasons;
    std::vector<std::string_view> high_risk_features;
    std::vector<std::string_view> protective_features;
    std::vector<std::string_view> limitations;

    // Not printed: read by the typing and the classification.
    std::vector<AccelerationEvent> accelerations;
    std::vector<DecelerationEvent> decelerations;
};

struct AnalysisReport {
    std::vector<WindowAnalysis> windows;
    InputSummary input;
    AnalysisSettings settings;
};

}  // namespace fhr_core

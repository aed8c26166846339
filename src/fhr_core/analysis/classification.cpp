// The three-tier verdict of one window: Category I (normal), II (indeterminate)
// or III (abnormal), or unclassified without a determinate baseline or
// variability; then the features that raise or lower concern, what limits the
// assessment, and the alert level. Persistence ("for 20 minutes") and change
// ("from normal to tachycardia") are judged inside the window on the two
// ten-minute segments that end at its end; nothing comes from earlier windows.
#include "classification.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "../time.hpp"
#include "events.hpp"
#include "statistics.hpp"
#include "verdict_texts.hpp"

namespace fhr_core {
namespace {

namespace text = verdict_text;
using TextList = std::vector<std::string_view>;

constexpr std::int64_t ten_minutes_ms = 600'000;
constexpr std::int64_t twenty_minutes_ms = 1'200'000;
constexpr std::int64_t thirty_minutes_ms = 1'800'000;

// A late or variable deceleration answers the contraction it overlaps once the
// contraction is widened by 30 s before its start and 60 s after its end.
constexpr std::int64_t association_lead_ms = 30'000;
constexpr std::int64_t association_lag_ms = 60'000;

// Below 80 bpm a deceleration threatens fetal oxygenation whatever its type.
constexpr double deep_nadir_bpm = 80.0;
constexpr double severe_variable_depth_bpm = 60.0;
constexpr double severe_variable_seconds = 60.0;
constexpr double high_burden_seconds = 60.0;
// Above this share of paired seconds within 5 bpm of HRM, the "fetal" trace
// may be the mother's pulse.
constexpr double maternal_capture_ratio_limit = 0.25;
// Below half coverage the channel is too sparse to read.
constexpr double sparse_ratio = 0.5;

bool contains(const TextList& list, std::string_view entry) noexcept {
    return std::ranges::find(list, entry) != list.end();
}

bool has_deceleration_of_kind(std::span<const DecelerationEvent> decelerations, DecelerationKind kind) noexcept {
    return std::ranges::any_of(decelerations, [kind](const DecelerationEvent& d) { return d.kind == kind; });
}

// ------------------------------ recurrence of late and variable decelerations

struct ContractionSpan {
    std::int64_t start_ms = 0;
    std::int64_t end_ms = 0;
};

// A deceleration of a kind that recurrence asks about, with its times re-read.
struct TimedDeceleration {
    DecelerationKind kind;
    DecelTimes times;
};

// The contractions whose start and end texts read back; one that touches a
// second without samples can have no associated deceleration.
std::vector<ContractionSpan> readable_contractions(std::span<const ContractionEvent> contractions) {
    std::vector<ContractionSpan> spans;
    spans.reserve(contractions.size());
    for (const ContractionEvent& contraction : contractions) {
        const Result<std::int64_t> start = parse_monitor_timestamp(contraction.start);
        const Result<std::int64_t> end = parse_monitor_timestamp(contraction.end);
        if (start && end) spans.push_back({*start, *end});
    }
    return spans;
}

std::vector<TimedDeceleration> timed_late_and_variable(std::span<const DecelerationEvent> decelerations) {
    std::vector<TimedDeceleration> timed;
    for (const DecelerationEvent& deceleration : decelerations) {
        if (deceleration.kind != DecelerationKind::late && deceleration.kind != DecelerationKind::variable) continue;
        if (const std::optional<DecelTimes> times = decel_times(deceleration)) {
            timed.push_back({deceleration.kind, *times});
        }
    }
    return timed;
}

bool answers_contraction(const DecelTimes& deceleration, const ContractionSpan& contraction) noexcept {
    return deceleration.onset_ms <= contraction.end_ms + association_lag_ms &&
           deceleration.end_ms >= contraction.start_ms - association_lead_ms;
}

// Recurrent: decelerations of `kind` answer at least half of the window's
// contractions, and there are at least two contractions.
bool is_recurrent(DecelerationKind kind, std::size_t contraction_count, std::span<const ContractionSpan> contractions,
                  std::span<const TimedDeceleration> decelerations) noexcept {
    if (contraction_count < 2) return false;
    std::size_t answered = 0;  // each contraction counts once
    for (const ContractionSpan& contraction : contractions) {
        const bool has_answer = std::ranges::any_of(decelerations, [&](const TimedDeceleration& d) {
            return d.kind == kind && answers_contraction(d.times, contraction);
        });
        if (has_answer) ++answered;
    }
    return contraction_count <= 2 * answered;
}

// ---------------------------------------------- the two ten-minute segments

// Segment rules need the window to cover both segments.
bool spans_two_segments(std::int64_t start_ms, std::int64_t end_ms) noexcept {
    return end_ms - start_ms >= twenty_minutes_ms;
}

// Minimal variability in both the previous and the current ten minutes, each
// measured against the window's baseline.
bool variability_persistently_minimal(std::span<const SecondSample> series, std::int64_t start_ms,
                                      std::int64_t end_ms, const WindowAnalysis& window) {
    if (!window.baseline_bpm || !spans_two_segments(start_ms, end_ms)) return false;
    const auto baseline = static_cast<double>(*window.baseline_bpm);
    const auto is_minimal = [&](std::int64_t from_ms, std::int64_t to_ms) {
        const std::optional<double> variability = estimate_variability(baseline, series, from_ms, to_ms);
        return variability && classify_variability(*variability) == VariabilityClass::minimal;
    };
    return is_minimal(end_ms - twenty_minutes_ms, end_ms - ten_minutes_ms) &&
           is_minimal(end_ms - ten_minutes_ms, end_ms);
}

// A tachycardic window whose previous ten minutes still had a normal baseline.
bool baseline_rose_to_tachycardia(std::span<const SecondSample> series, std::int64_t start_ms,
                                  std::int64_t end_ms, const WindowAnalysis& window) {
    if (window.baseline_class != BaselineClass::tachycardia || !spans_two_segments(start_ms, end_ms)) return false;
    const auto is_class = [&](std::int64_t from_ms, std::int64_t to_ms, BaselineClass expected) {
        const std::optional<std::int32_t> baseline = estimate_baseline(series, from_ms, to_ms);
        return baseline && classify_baseline(*baseline) == expected;
    };
    return is_class(end_ms - twenty_minutes_ms, end_ms - ten_minutes_ms, BaselineClass::normal) &&
           is_class(end_ms - ten_minutes_ms, end_ms, BaselineClass::tachycardia);
}

// What the rules need beyond the figures of the window record.
struct PatternFindings {
    bool late_recurrent = false;
    bool variable_recurrent = false;
    bool persistent_minimal_variability = false;
    bool baseline_became_tachycardic = false;
};

PatternFindings find_patterns(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                              const WindowAnalysis& window) {
    const std::size_t contraction_count = window.toco_summary.contractions.size();
    const std::vector<ContractionSpan> contractions = readable_contractions(window.toco_summary.contractions);
    const std::vector<TimedDeceleration> decelerations = timed_late_and_variable(window.decelerations);
    PatternFindings found;
    found.late_recurrent = is_recurrent(DecelerationKind::late, contraction_count, contractions, decelerations);
    found.variable_recurrent = is_recurrent(DecelerationKind::variable, contraction_count, contractions, decelerations);
    found.persistent_minimal_variability = variability_persistently_minimal(series, start_ms, end_ms, window);
    found.baseline_became_tachycardic = baseline_rose_to_tachycardia(series, start_ms, end_ms, window);
    return found;
}

// ----------------------------------------------- the verdict, rule by rule

// What the window's length and its TOCO coverage leave unassessed.
void note_length_and_toco_limitations(const WindowAnalysis& window, std::int64_t start_ms, std::int64_t end_ms,
                                      TextList& limitations) {
    const double seconds = window.duration_seconds;
    if (seconds < 600.0) limitations.push_back(text::under_10_minutes);
    if (seconds < 1200.0) {
        limitations.push_back(text::under_20_minutes);
    } else if (window.toco_summary.contractions.size() < 2) {
        limitations.push_back(text::fewer_than_two_contractions);
    }
    if (seconds < 1800.0) limitations.push_back(text::under_30_minutes);
    if (window.data_quality.toco_usable_ratio < sparse_ratio) limitations.push_back(text::toco_sparse);
    if (end_ms - start_ms < thirty_minutes_ms && !window.toco_summary.tachysystole) {
        limitations.push_back(text::tachysystole_needs_30_minutes);
    }
}

// The Category II reasons: every finding that kept the window out of I and III.
void explain_category_ii(BaselineClass baseline, VariabilityClass variability,
                         std::span<const DecelerationEvent> decelerations, TextList& reasons) {
    switch (baseline) {
        case BaselineClass::bradycardia: reasons.push_back(text::bradycardia_without_category_iii); break;
        case BaselineClass::tachycardia: reasons.push_back(text::tachycardia); break;
        case BaselineClass::normal: break;
    }
    switch (variability) {
        case VariabilityClass::absent: reasons.push_back(text::absent_variability_without_recurrence); break;
        case VariabilityClass::minimal: reasons.push_back(text::minimal_variability); break;
        case VariabilityClass::marked: reasons.push_back(text::marked_variability); break;
        case VariabilityClass::moderate: break;
    }
    for (const DecelerationEvent& deceleration : decelerations) {
        switch (deceleration.kind) {
            case DecelerationKind::variable: reasons.push_back(text::variable_deceleration); break;
            case DecelerationKind::late: reasons.push_back(text::late_deceleration); break;
            case DecelerationKind::prolonged: reasons.push_back(text::prolonged_deceleration); break;
            case DecelerationKind::gradual: reasons.push_back(text::gradual_deceleration_unclassifiable); break;
            case DecelerationKind::early: break;  // benign: head compression
        }
    }
}

// The category; the first rule that matches decides.
Classification categorize(const WindowAnalysis& window, const PatternFindings& found, TextList& reasons) {
    if (!window.baseline_class) {
        reasons.push_back(text::no_determinate_baseline);
        return Classification::unclassified;
    }
    if (!window.variability_class) {
        reasons.push_back(text::no_determinate_variability);
        return Classification::unclassified;
    }
    const BaselineClass baseline = *window.baseline_class;
    const VariabilityClass variability = *window.variability_class;
    const std::span<const DecelerationEvent> decelerations = window.decelerations;

    if (variability == VariabilityClass::absent &&
        (baseline == BaselineClass::bradycardia || found.late_recurrent || found.variable_recurrent)) {
        reasons.push_back(text::category_iii_criteria);
        return Classification::category_iii;
    }
    // Early and gradual decelerations do not keep a trace out of Category I.
    const bool has_worrying_deceleration = has_deceleration_of_kind(decelerations, DecelerationKind::late) ||
                                           has_deceleration_of_kind(decelerations, DecelerationKind::variable) ||
                                           has_deceleration_of_kind(decelerations, DecelerationKind::prolonged);
    if (variability == VariabilityClass::moderate && baseline == BaselineClass::normal && !has_worrying_deceleration) {
        reasons.push_back(text::category_i_criteria);
        return Classification::category_i;
    }
    explain_category_ii(baseline, variability, decelerations, reasons);
    return Classification::category_ii;
}

bool is_severe_variable(const DecelerationEvent& d) noexcept {
    return d.kind == DecelerationKind::variable &&
           (d.nadir_bpm < deep_nadir_bpm || d.depth_bpm >= severe_variable_depth_bpm ||
            d.duration_seconds >= severe_variable_seconds);
}

// The high-risk features, for every window whatever its category.
void list_high_risk_features(const WindowAnalysis& window, const PatternFindings& found, TextList& features) {
    const std::span<const DecelerationEvent> decelerations = window.decelerations;
    const std::optional<VariabilityClass> variability = window.variability_class;
    if (variability == VariabilityClass::marked) features.push_back(text::marked_variability);
    if (variability == VariabilityClass::absent) features.push_back(text::absent_variability);
    if (found.persistent_minimal_variability) features.push_back(text::persistent_minimal_variability);
    if (found.baseline_became_tachycardic) features.push_back(text::baseline_became_tachycardic);
    if (found.late_recurrent) features.push_back(text::recurrent_late_decelerations);
    if (found.variable_recurrent) features.push_back(text::recurrent_variable_decelerations);
    if ((variability == VariabilityClass::absent || variability == VariabilityClass::minimal) &&
        has_deceleration_of_kind(decelerations, DecelerationKind::gradual)) {
        features.push_back(text::gradual_deceleration_with_low_variability);
    }
    if (std::ranges::any_of(decelerations, is_severe_variable)) features.push_back(text::severe_variable_deceleration);
    if (std::ranges::any_of(decelerations, [](const DecelerationEvent& d) { return d.nadir_bpm < deep_nadir_bpm; })) {
        features.push_back(text::deep_deceleration_nadir);
    }
    if (window.features.total_deceleration_seconds >= high_burden_seconds) {
        features.push_back(text::high_deceleration_burden);
    }
    if (std::ranges::count(decelerations, DecelerationKind::prolonged, &DecelerationEvent::kind) > 1) {
        features.push_back(text::repeated_prolonged_decelerations);
    }
}

// The reassuring features.
void list_protective_features(const WindowAnalysis& window, TextList& features) {
    if (window.variability_class == VariabilityClass::moderate) features.push_back(text::moderate_variability);
    if (window.features.acceleration_count > 0) features.push_back(text::accelerations_present);
}

// A missing baseline limits the assessment; a trace that follows the maternal
// heart rate is a risk in itself.
void note_baseline_and_maternal_capture(const WindowAnalysis& window, TextList& limitations, TextList& high_risk) {
    if (!window.baseline_bpm) limitations.push_back(text::baseline_indeterminate);
    if (window.data_quality.suspected_maternal_capture_ratio > maternal_capture_ratio_limit) {
        high_risk.push_back(text::possible_maternal_capture);
    }
}

// Tachysystole is always a reason; next to other high-risk Category II
// features it is the more serious form.
void weigh_tachysystole(const WindowAnalysis& window, TextList& reasons, TextList& high_risk) {
    if (window.toco_summary.tachysystole != true) return;
    reasons.push_back(text::tachysystole);
    const bool with_high_risk_category_ii = window.classification == Classification::category_ii && !high_risk.empty();
    high_risk.push_back(with_high_risk_category_ii ? text::tachysystole_with_high_risk_category_ii
                                                   : text::tachysystole);
}

// Byte-wise order (string_view compares as unsigned bytes, a prefix first),
// each text once.
void sort_without_repeats(TextList& list) {
    std::ranges::sort(list);
    const auto repeats = std::ranges::unique(list);
    list.erase(repeats.begin(), repeats.end());
}

// The alert level; the first rule that matches decides.
AlertLevel alert_level_for(const WindowAnalysis& window) {
    const TextList& high_risk = window.high_risk_features;
    if (window.data_quality.fetal_usable_ratio < sparse_ratio || window.classification == Classification::unclassified) {
        return AlertLevel::data_quality;
    }
    if (window.classification == Classification::category_iii) return AlertLevel::critical;
    if (high_risk.empty()) {
        const bool indeterminate_without_reassurance = window.classification == Classification::category_ii &&
                                                       !contains(window.protective_features, text::moderate_variability);
        return indeterminate_without_reassurance ? AlertLevel::warning : AlertLevel::none;
    }
    constexpr std::string_view urgent_features[] = {
        text::absent_variability,
        text::persistent_minimal_variability,
        text::recurrent_late_decelerations,
        text::gradual_deceleration_with_low_variability,
        text::tachysystole_with_high_risk_category_ii,
        text::repeated_prolonged_decelerations,
    };
    if (std::ranges::any_of(urgent_features, [&](std::string_view f) { return contains(high_risk, f); })) {
        return AlertLevel::urgent_review;
    }
    // Recurrent variable decelerations are urgent once they are deep or long.
    const std::optional<double> deepest = window.features.deepest_deceleration_nadir_bpm;
    if (contains(high_risk, text::recurrent_variable_decelerations) &&
        ((deepest && *deepest < deep_nadir_bpm) ||
         window.features.total_deceleration_seconds >= high_burden_seconds)) {
        return AlertLevel::urgent_review;
    }
    return AlertLevel::warning;
}

}  // namespace

void classify_window(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                     WindowAnalysis& window) {
    window.reasons.clear();
    window.high_risk_features.clear();
    window.protective_features.clear();
    window.limitations.clear();

    const PatternFindings found = find_patterns(series, start_ms, end_ms, window);
    note_length_and_toco_limitations(window, start_ms, end_ms, window.limitations);
    window.classification = categorize(window, found, window.reasons);
    list_high_risk_features(window, found, window.high_risk_features);
    list_protective_features(window, window.protective_features);
    note_baseline_and_maternal_capture(window, window.limitations, window.high_risk_features);
    weigh_tachysystole(window, window.reasons, window.high_risk_features);
    sort_without_repeats(window.reasons);
    sort_without_repeats(window.high_risk_features);
    sort_without_repeats(window.protective_features);
    window.alert_level = alert_level_for(window);
}

}  // namespace fhr_core

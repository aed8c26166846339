// Accelerations and decelerations of the fetal heart rate. Both are runs of
// seconds beyond a threshold around the baseline; short dropouts inside a run
// (up to three seconds) are bridged, since monitors lose a beat or two
// during the very movements that cause these events.
#include "events.hpp"

#include <algorithm>
#include <cmath>

#include "../time.hpp"
#include "contractions.hpp"

namespace fhr_core {
namespace {

// Non-qualifying seconds in a row that end a run.
constexpr int run_break_seconds = 4;

// Before 32 weeks an acceleration needs 10 bpm for 10 s, from then on 15 bpm
// for 15 s; an elevation of two minutes or more is a baseline change, not an
// acceleration, and a peak 30 s or more after the onset is too slow a rise.
constexpr std::uint8_t preterm_below_weeks = 32;
constexpr double preterm_acceleration_threshold = 10.0;
constexpr double term_acceleration_threshold = 15.0;
constexpr double max_acceleration_seconds = 120.0;
constexpr double max_seconds_to_peak = 30.0;

// A deceleration falls at least 15 bpm below the baseline for at least 15 s;
// from two to ten minutes it is prolonged, and reaching the nadir within
// 30 s of the onset marks the abrupt, variable kind.
constexpr double min_deceleration_depth = 15.0;
constexpr double min_deceleration_seconds = 15.0;
constexpr double min_prolonged_seconds = 120.0;
constexpr double max_prolonged_seconds = 600.0;
constexpr double max_variable_seconds_to_nadir = 30.0;

// Timing of a gradual deceleration against a contraction: the nadir may lie
// from 30 s before the contraction's start to 60 s after its end, and it
// mirrors the peak (early) within 5 s or lags it (late) by more.
constexpr std::int64_t association_before_ms = 30000;
constexpr std::int64_t association_after_ms = 60000;
constexpr std::int64_t early_tolerance_ms = 5000;

double run_seconds(const Run& run) noexcept {
    return static_cast<double>(std::max<std::int64_t>(run.end_ms - run.start_ms, 0)) / 1000.0;
}

bool qualifies(const SecondSample& second, RunDirection direction, double threshold) noexcept {
    if (!second.fetal_bpm) return false;
    return direction == RunDirection::at_or_above ? *second.fetal_bpm >= threshold : *second.fetal_bpm <= threshold;
}

// A contraction's times re-read from its texts.
struct ContractionTimes {
    std::int64_t start_ms = 0;
    std::int64_t peak_ms = 0;
    std::int64_t end_ms = 0;
};

std::optional<ContractionTimes> contraction_times(const ContractionEvent& contraction) {
    const Result<std::int64_t> start = parse_monitor_timestamp(contraction.start);
    const Result<std::int64_t> peak = parse_monitor_timestamp(contraction.peak);
    const Result<std::int64_t> end = parse_monitor_timestamp(contraction.end);
    if (!start || !peak || !end) return std::nullopt;
    return ContractionTimes{.start_ms = *start, .peak_ms = *peak, .end_ms = *end};
}

// The kind a gradual deceleration takes from the contraction whose peak lies
// nearest its nadir, among those it is associated with.
DecelerationKind time_gradual_deceleration(const DecelTimes& deceleration,
                                           std::span<const std::optional<ContractionTimes>> contractions) noexcept {
    std::optional<ContractionTimes> nearest;
    std::int64_t nearest_distance = 0;
    for (const std::optional<ContractionTimes>& contraction : contractions) {
        if (!contraction) continue;  // a text that does not parse: no timing
        const bool nadir_near = contraction->start_ms - association_before_ms <= deceleration.nadir_ms &&
                                deceleration.nadir_ms <= contraction->end_ms + association_after_ms;
        const bool overlapping =
            deceleration.onset_ms <= contraction->end_ms && contraction->start_ms <= deceleration.end_ms;
        if (!nadir_near && !overlapping) continue;
        const std::int64_t distance = std::abs(deceleration.nadir_ms - contraction->peak_ms);
        if (!nearest || distance < nearest_distance) {  // the earlier contraction on equal distance
            nearest = contraction;
            nearest_distance = distance;
        }
    }
    if (!nearest) return DecelerationKind::gradual;
    if (nearest_distance <= early_tolerance_ms) return DecelerationKind::early;
    if (deceleration.nadir_ms > nearest->peak_ms) return DecelerationKind::late;
    return DecelerationKind::gradual;  // the nadir comes well before the peak
}

void detect_accelerations(std::span<const SecondSample> series, std::span<const SecondSample> range,
                          double baseline, std::optional<std::uint8_t> gestational_age_weeks,
                          std::vector<AccelerationEvent>& accelerations) {
    const double threshold = gestational_age_weeks && *gestational_age_weeks < preterm_below_weeks
                                 ? preterm_acceleration_threshold
                                 : term_acceleration_threshold;
    for (const Run& run : find_runs(range, RunDirection::at_or_above, baseline + threshold)) {
        const double duration = run_seconds(run);
        if (duration < threshold || duration >= max_acceleration_seconds) continue;
        const SecondSample* peak = nullptr;
        for (const SecondSample& second : seconds_between(series, run.start_ms, run.end_ms)) {
            if (second.fetal_bpm && (!peak || *second.fetal_bpm >= *peak->fetal_bpm)) peak = &second;  // latest wins
        }
        if (!peak) continue;
        if (static_cast<double>(peak->timestamp_ms - run.start_ms) / 1000.0 >= max_seconds_to_peak) continue;
        accelerations.push_back(AccelerationEvent{.start = nearest_second_text(series, run.start_ms),
                                                  .end = nearest_second_text(series, run.end_ms),
                                                  .duration_seconds = duration,
                                                  .peak_bpm = *peak->fetal_bpm});
    }
}

void detect_decelerations(std::span<const SecondSample> series, std::span<const SecondSample> range,
                          double baseline, std::vector<DecelerationEvent>& decelerations) {
    for (const Run& run : find_runs(range, RunDirection::at_or_below, baseline - min_deceleration_depth)) {
        const double duration = run_seconds(run);
        if (duration < min_deceleration_seconds) continue;
        const SecondSample* nadir = nullptr;
        for (const SecondSample& second : seconds_between(series, run.start_ms, run.end_ms)) {
            if (second.fetal_bpm && (!nadir || *second.fetal_bpm < *nadir->fetal_bpm)) nadir = &second;  // earliest wins
        }
        if (!nadir) continue;
        const double depth = baseline - *nadir->fetal_bpm;
        if (depth < min_deceleration_depth) continue;
        const double time_to_nadir =
            static_cast<double>(std::max<std::int64_t>(nadir->timestamp_ms - run.start_ms, 0)) / 1000.0;
        DecelerationKind kind = DecelerationKind::gradual;
        if (duration >= min_prolonged_seconds && duration < max_prolonged_seconds) {
            kind = DecelerationKind::prolonged;
        } else if (time_to_nadir < max_variable_seconds_to_nadir) {
            kind = DecelerationKind::variable;
        }
        decelerations.push_back(DecelerationEvent{.start = nearest_second_text(series, run.start_ms),
                                                  .end = nearest_second_text(series, run.end_ms),
                                                  .duration_seconds = duration,
                                                  .nadir_bpm = *nadir->fetal_bpm,
                                                  .depth_bpm = depth,
                                                  .time_to_nadir_seconds = time_to_nadir,
                                                  .kind = kind});
    }
}

void fill_event_aggregates(WindowAnalysis& window) noexcept {
    WindowFeatures& features = window.features;
    features.acceleration_count = window.accelerations.size();
    features.deceleration_count = window.decelerations.size();
    features.prolonged_deceleration_count = 0;
    features.total_deceleration_seconds = 0.0;
    features.deepest_deceleration_nadir_bpm.reset();
    features.max_deceleration_depth_bpm.reset();
    for (const DecelerationEvent& deceleration : window.decelerations) {
        if (deceleration.kind == DecelerationKind::prolonged) ++features.prolonged_deceleration_count;
        features.total_deceleration_seconds += deceleration.duration_seconds;
        if (!features.deepest_deceleration_nadir_bpm || deceleration.nadir_bpm < *features.deepest_deceleration_nadir_bpm) {
            features.deepest_deceleration_nadir_bpm = deceleration.nadir_bpm;
        }
        if (!features.max_deceleration_depth_bpm || deceleration.depth_bpm > *features.max_deceleration_depth_bpm) {
            features.max_deceleration_depth_bpm = deceleration.depth_bpm;
        }
    }
}

}  // namespace

std::vector<Run> find_runs(std::span<const SecondSample> range, RunDirection direction, double threshold) {
    std::vector<Run> runs;
    bool in_run = false;
    Run run;
    int misses = 0;
    for (const SecondSample& second : range) {
        if (qualifies(second, direction, threshold)) {
            misses = 0;
            if (!in_run) {
                in_run = true;
                run.start_ms = second.timestamp_ms;
            }
            run.end_ms = second.timestamp_ms + 1000;
        } else if (in_run && ++misses == run_break_seconds) {
            runs.push_back(run);
            in_run = false;
            misses = 0;
        }
    }
    if (in_run) runs.push_back(run);
    return runs;
}

void detect_heart_rate_events(std::span<const SecondSample> series, std::int64_t start_ms, std::int64_t end_ms,
                              std::int32_t baseline_bpm, std::optional<std::uint8_t> gestational_age_weeks,
                              WindowAnalysis& window) {
    window.accelerations.clear();
    window.decelerations.clear();
    const std::span<const SecondSample> range = seconds_between(series, detection_start_ms(start_ms, end_ms), end_ms);
    const auto baseline = static_cast<double>(baseline_bpm);
    detect_accelerations(series, range, baseline, gestational_age_weeks, window.accelerations);
    detect_decelerations(series, range, baseline, window.decelerations);
}

std::optional<DecelTimes> decel_times(const DecelerationEvent& deceleration) {
    const Result<std::int64_t> onset = parse_monitor_timestamp(deceleration.start);
    const Result<std::int64_t> end = parse_monitor_timestamp(deceleration.end);
    if (!onset || !end) return std::nullopt;
    const std::int64_t to_nadir_ms = std::llround(deceleration.time_to_nadir_seconds * 1000.0);  // halves away from zero
    return DecelTimes{.onset_ms = *onset, .nadir_ms = *onset + to_nadir_ms, .end_ms = *end};
}

void type_decelerations(std::span<const ContractionEvent> contractions, WindowAnalysis& window) {
    const bool any_gradual = std::ranges::any_of(
        window.decelerations, [](const DecelerationEvent& d) { return d.kind == DecelerationKind::gradual; });
    if (!contractions.empty() && any_gradual) {
        // Each contraction's texts are read once, not once per deceleration.
        std::vector<std::optional<ContractionTimes>> times;
        times.reserve(contractions.size());
        for (const ContractionEvent& contraction : contractions) times.push_back(contraction_times(contraction));
        // Variable and prolonged decelerations keep their kind whatever their timing.
        for (DecelerationEvent& deceleration : window.decelerations) {
            if (deceleration.kind != DecelerationKind::gradual) continue;
            if (const std::optional<DecelTimes> decel = decel_times(deceleration)) {
                deceleration.kind = time_gradual_deceleration(*decel, times);
            }
        }
    }
    fill_event_aggregates(window);
}

}  // namespace fhr_core

// The verdict of a window, from hand-built window records: what the earlier
// stages would have left in the window is the input here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fhr_core/analysis/classification.hpp"
#include "fhr_core/analysis/verdict_texts.hpp"

namespace fhr_core {
namespace {

using Texts = std::vector<std::string_view>;
using Kind = DecelerationKind;

constexpr std::int64_t minute_ms = 60'000;
// 2024-03-01 08:00:00 UTC; the texts below are written relative to it.
constexpr std::int64_t origin_ms = 1'709'280'000'000;

// "2024-03-01 08:MM:SS.mmm" for a time `offset_ms` after 08:00:00.
std::string clock_text(std::int64_t offset_ms) {
    const std::int64_t seconds = offset_ms / 1000;
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "2024-03-01 %02lld:%02lld:%02lld.%03lld",
                  static_cast<long long>(8 + seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60), static_cast<long long>(offset_ms % 1000));
    return buffer;
}

// A clean window of `minutes` ending at origin + 30 min: determinate normal
// baseline and moderate variability, full signal, no events.
WindowAnalysis clean_window(double minutes) {
    WindowAnalysis window;
    window.duration_seconds = minutes * 60.0;
    window.baseline_bpm = 140;
    window.baseline_class = BaselineClass::normal;
    window.variability_bpm = 10.0;
    window.variability_class = VariabilityClass::moderate;
    window.data_quality.fetal_usable_ratio = 1.0;
    window.data_quality.toco_usable_ratio = 1.0;
    return window;
}

std::int64_t window_end_ms() { return origin_ms + 30 * minute_ms; }

// Classifies with the bounds the duration implies and no per-second series.
WindowAnalysis classified(WindowAnalysis window, std::span<const SecondSample> series = {}) {
    const std::int64_t end = window_end_ms();
    const std::int64_t start = end - static_cast<std::int64_t>(window.duration_seconds * 1000.0);
    classify_window(series, start, end, window);
    return window;
}

DecelerationEvent deceleration(Kind kind, double duration_seconds = 20.0, double nadir_bpm = 120.0) {
    DecelerationEvent d;
    d.kind = kind;
    d.duration_seconds = duration_seconds;
    d.nadir_bpm = nadir_bpm;
    d.depth_bpm = 140.0 - nadir_bpm;
    d.time_to_nadir_seconds = 10.0;
    return d;
}

// Sets the decelerations and the aggregates the event stage derives from them.
void set_decelerations(WindowAnalysis& window, std::vector<DecelerationEvent> decelerations) {
    double total = 0.0;
    std::optional<double> deepest;
    for (const DecelerationEvent& d : decelerations) {
        total += d.duration_seconds;
        if (!deepest || d.nadir_bpm < *deepest) deepest = d.nadir_bpm;
    }
    window.features.total_deceleration_seconds = total;
    window.features.deepest_deceleration_nadir_bpm = deepest;
    window.features.deceleration_count = decelerations.size();
    window.decelerations = std::move(decelerations);
}

void set_contraction_count(WindowAnalysis& window, std::size_t count) {
    window.toco_summary.contractions.assign(count, ContractionEvent{});
    window.features.contraction_count = count;
}

bool holds(const Texts& texts, std::string_view entry) { return std::ranges::find(texts, entry) != texts.end(); }

std::string joined(const Texts& texts) {
    std::string out;
    for (std::string_view t : texts) out.append("\n  \"").append(t).append("\"");
    return out;
}

#define EXPECT_TEXTS(actual, ...) \
    EXPECT_EQ(joined(actual), joined(Texts{__VA_ARGS__}))

// ------------------------------------------------------------- limitations

constexpr std::string_view under_10 = "less than 10 minutes: baseline and variability assessment is incomplete";
constexpr std::string_view under_20 = "less than 20 minutes: recurrent deceleration assessment is incomplete";
constexpr std::string_view few_contractions =
    "fewer than two detected contractions: recurrent deceleration assessment is limited";
constexpr std::string_view under_30 = "less than 30 minutes: tachysystole assessment is incomplete";
constexpr std::string_view toco_sparse =
    "TOCO unavailable or sparse: late/early timing and contraction recurrence are limited";
constexpr std::string_view tachysystole_30 = "tachysystole requires a 30-minute contraction average";
constexpr std::string_view no_baseline =
    "baseline indeterminate: fewer than 120 usable fetal-HR seconds in the current 10-minute segment";

struct LimitationCase {
    const char* name;
    double minutes;
    std::size_t contractions;
    double toco_ratio;
    std::optional<bool> tachysystole;
    bool baseline;
    Texts expected;
};

TEST(ClassificationLimitations, AppendInRuleOrder) {
    const LimitationCase cases[] = {
        {"5 min", 5, 3, 0.5, {}, true, {under_10, under_20, under_30, tachysystole_30}},
        {"5 min, sparse TOCO", 5, 3, 0.499, {}, true, {under_10, under_20, under_30, toco_sparse, tachysystole_30}},
        {"5 min, no baseline", 5, 3, 0.5, {}, false, {under_10, under_20, under_30, tachysystole_30, no_baseline}},
        {"exactly 10 min", 10, 0, 1.0, {}, true, {under_20, under_30, tachysystole_30}},
        {"20 min, one contraction", 20, 1, 1.0, {}, true, {few_contractions, under_30, tachysystole_30}},
        {"20 min, two contractions", 20, 2, 1.0, {}, true, {under_30, tachysystole_30}},
        {"19.99 min, no contraction", 19.99, 0, 1.0, {}, true, {under_20, under_30, tachysystole_30}},
        {"30 min, tachysystole unknown", 30, 0, 0.3, {}, true, {few_contractions, toco_sparse}},
        {"30 min, tachysystole assessed", 30, 4, 1.0, false, true, {}},
        {"30 min, everything missing", 30, 0, 0.0, {}, false, {few_contractions, toco_sparse, no_baseline}},
    };
    for (const LimitationCase& c : cases) {
        SCOPED_TRACE(c.name);
        WindowAnalysis window = clean_window(c.minutes);
        set_contraction_count(window, c.contractions);
        window.data_quality.toco_usable_ratio = c.toco_ratio;
        window.toco_summary.tachysystole = c.tachysystole;
        if (!c.baseline) {
            window.baseline_bpm.reset();
            window.baseline_class.reset();
            window.variability_bpm.reset();
            window.variability_class.reset();
        }
        EXPECT_EQ(joined(classified(window).limitations), joined(c.expected));
    }
}

// --------------------------------------------------------- category, reasons

constexpr std::string_view category_i_reason =
    "normal baseline, moderate variability, and no detected late or variable decelerations";
constexpr std::string_view category_iii_reason =
    "absent variability with bradycardia or recurrent late/variable decelerations";
constexpr std::string_view gradual_reason = "gradual deceleration not classifiable without clearer TOCO association";

struct CategoryCase {
    const char* name;
    std::optional<BaselineClass> baseline;
    std::optional<VariabilityClass> variability;
    std::vector<Kind> decelerations;
    Classification expected;
    Texts reasons;
};

TEST(ClassificationCategory, FirstMatchingRuleDecides) {
    using B = BaselineClass;
    using V = VariabilityClass;
    using C = Classification;
    const CategoryCase cases[] = {
        {"normal trace", B::normal, V::moderate, {}, C::category_i, {category_i_reason}},
        {"early and gradual stay I", B::normal, V::moderate, {Kind::early, Kind::gradual}, C::category_i,
         {category_i_reason}},
        {"one prolonged", B::normal, V::moderate, {Kind::prolonged}, C::category_ii, {"prolonged deceleration"}},
        {"three variables, one reason", B::normal, V::moderate, {Kind::variable, Kind::variable, Kind::variable},
         C::category_ii, {"variable deceleration"}},
        {"late, minimal, tachycardia", B::tachycardia, V::minimal, {Kind::late}, C::category_ii,
         {"late deceleration", "minimal variability", "tachycardia"}},
        {"bradycardia, moderate", B::bradycardia, V::moderate, {}, C::category_ii,
         {"bradycardia not accompanied by category-III criteria"}},
        {"bradycardia, absent", B::bradycardia, V::absent, {}, C::category_iii, {category_iii_reason}},
        {"absent without recurrence", B::normal, V::absent, {Kind::late}, C::category_ii,
         {"absent variability without recurrent decelerations", "late deceleration"}},
        {"marked", B::normal, V::marked, {}, C::category_ii, {"marked variability"}},
        {"gradual with minimal", B::normal, V::minimal, {Kind::gradual, Kind::early}, C::category_ii,
         {gradual_reason, "minimal variability"}},
        {"tachycardia alone", B::tachycardia, V::moderate, {}, C::category_ii, {"tachycardia"}},
        {"no baseline", {}, V::moderate, {}, C::unclassified, {"cannot classify without a determinate baseline"}},
        {"no variability", B::normal, {}, {}, C::unclassified, {"cannot classify without determinate variability"}},
        {"neither", {}, {}, {Kind::late}, C::unclassified, {"cannot classify without a determinate baseline"}},
    };
    for (const CategoryCase& c : cases) {
        SCOPED_TRACE(c.name);
        WindowAnalysis window = clean_window(30);
        window.baseline_class = c.baseline;
        window.variability_class = c.variability;
        std::vector<DecelerationEvent> decelerations;
        for (Kind kind : c.decelerations) decelerations.push_back(deceleration(kind));
        set_decelerations(window, std::move(decelerations));
        const WindowAnalysis result = classified(window);
        EXPECT_EQ(to_text(result.classification), to_text(c.expected));
        EXPECT_EQ(joined(result.reasons), joined(c.reasons));
    }
}

// ------------------------------------------------------ high-risk features

constexpr std::string_view burden = "high deceleration burden: at least 60 seconds in deceleration";
constexpr std::string_view severe_variable = "severe variable deceleration";
constexpr std::string_view deep_nadir = "deep deceleration nadir below 80 bpm";
constexpr std::string_view capture =
    "possible maternal heart-rate capture: fetal channel often tracks HRM within 5 bpm";

struct FeatureCase {
    const char* name;
    VariabilityClass variability;
    std::vector<DecelerationEvent> decelerations;
    double capture_ratio;
    std::uint64_t accelerations;
    Texts high_risk;
    Texts protective;
};

TEST(ClassificationFeatures, FromVariabilityDecelerationsAndCapture) {
    using V = VariabilityClass;
    const FeatureCase cases[] = {
        {"clean", V::moderate, {}, 0.0, 0, {}, {"moderate variability"}},
        {"accelerations", V::moderate, {}, 0.0, 2, {}, {"accelerations present", "moderate variability"}},
        {"marked", V::marked, {}, 0.0, 1, {"marked variability"}, {"accelerations present"}},
        {"absent", V::absent, {}, 0.0, 0, {"absent variability"}, {}},
        {"variable of 60 s is severe", V::moderate, {deceleration(Kind::variable, 60.0, 85.0)}, 0.0, 0,
         {burden, severe_variable}, {"moderate variability"}},
        {"variable of 59 s is not", V::moderate, {deceleration(Kind::variable, 59.0, 85.0)}, 0.0, 0, {},
         {"moderate variability"}},
        {"variable 60 bpm deep is severe", V::moderate, {deceleration(Kind::variable, 20.0, 80.0)}, 0.0, 0,
         {severe_variable}, {"moderate variability"}},
        {"variable below 80 bpm", V::moderate, {deceleration(Kind::variable, 20.0, 79.9)}, 0.0, 0,
         {deep_nadir, severe_variable}, {"moderate variability"}},
        {"variable 59 bpm deep is not", V::moderate, {deceleration(Kind::variable, 20.0, 81.0)}, 0.0, 0, {},
         {"moderate variability"}},
        {"two severe variables, one entry", V::moderate,
         {deceleration(Kind::variable, 20.0, 70.0), deceleration(Kind::variable, 25.0, 75.0)}, 0.0, 0,
         {deep_nadir, severe_variable}, {"moderate variability"}},
        {"late below 80 is deep, not severe", V::moderate, {deceleration(Kind::late, 30.0, 79.0)}, 0.0, 0,
         {deep_nadir}, {"moderate variability"}},
        {"burden summed over kinds", V::moderate,
         {deceleration(Kind::early, 30.0), deceleration(Kind::gradual, 30.0)}, 0.0, 0, {burden},
         {"moderate variability"}},
        {"one prolonged", V::moderate, {deceleration(Kind::prolonged, 120.0)}, 0.0, 0, {burden},
         {"moderate variability"}},
        {"two prolonged", V::moderate, {deceleration(Kind::prolonged, 120.0), deceleration(Kind::prolonged, 130.0)},
         0.0, 0, {burden, "more than one prolonged deceleration"}, {"moderate variability"}},
        {"gradual with minimal", V::minimal, {deceleration(Kind::gradual)}, 0.0, 0,
         {"gradual deceleration with absent or minimal variability"}, {}},
        {"gradual with absent", V::absent, {deceleration(Kind::gradual)}, 0.0, 0,
         {"absent variability", "gradual deceleration with absent or minimal variability"}, {}},
        {"gradual with moderate", V::moderate, {deceleration(Kind::gradual)}, 0.0, 0, {}, {"moderate variability"}},
        {"early with minimal", V::minimal, {deceleration(Kind::early)}, 0.0, 0, {}, {}},
        {"capture 0.25", V::moderate, {}, 0.25, 0, {}, {"moderate variability"}},
        {"capture 0.26", V::moderate, {}, 0.26, 0, {capture}, {"moderate variability"}},
    };
    for (const FeatureCase& c : cases) {
        SCOPED_TRACE(c.name);
        WindowAnalysis window = clean_window(30);
        window.variability_class = c.variability;
        set_decelerations(window, c.decelerations);
        window.data_quality.suspected_maternal_capture_ratio = c.capture_ratio;
        window.features.acceleration_count = c.accelerations;
        const WindowAnalysis result = classified(window);
        EXPECT_EQ(joined(result.high_risk_features), joined(c.high_risk));
        EXPECT_EQ(joined(result.protective_features), joined(c.protective));
    }
}

// ------------------------------------------------------------ tachysystole

struct TachysystoleCase {
    const char* name;
    BaselineClass baseline;
    VariabilityClass variability;
    double capture_ratio;
    Texts reasons;
    Texts high_risk;
    AlertLevel alert;
};

TEST(ClassificationTachysystole, ReasonAndFeatureByCategory) {
    using B = BaselineClass;
    using V = VariabilityClass;
    const TachysystoleCase cases[] = {
        {"category I", B::normal, V::moderate, 0.0, {category_i_reason, "tachysystole"}, {"tachysystole"},
         AlertLevel::warning},
        {"category II, nothing else high-risk", B::tachycardia, V::minimal, 0.25,
         {"minimal variability", "tachycardia", "tachysystole"}, {"tachysystole"}, AlertLevel::warning},
        {"category II with capture", B::tachycardia, V::minimal, 0.26,
         {"minimal variability", "tachycardia", "tachysystole"},
         {capture, "tachysystole with high-risk Category II features"}, AlertLevel::urgent_review},
        {"category I with capture keeps the plain form", B::normal, V::moderate, 0.26,
         {category_i_reason, "tachysystole"}, {capture, "tachysystole"}, AlertLevel::warning},
        {"category III", B::bradycardia, V::absent, 0.0, {category_iii_reason, "tachysystole"},
         {"absent variability", "tachysystole"}, AlertLevel::critical},
    };
    for (const TachysystoleCase& c : cases) {
        SCOPED_TRACE(c.name);
        WindowAnalysis window = clean_window(30);
        window.baseline_class = c.baseline;
        window.variability_class = c.variability;
        window.data_quality.suspected_maternal_capture_ratio = c.capture_ratio;
        window.toco_summary.tachysystole = true;
        set_contraction_count(window, 16);
        const WindowAnalysis result = classified(window);
        EXPECT_EQ(joined(result.reasons), joined(c.reasons));
        EXPECT_EQ(joined(result.high_risk_features), joined(c.high_risk));
        EXPECT_EQ(to_text(result.alert_level), to_text(c.alert));
    }
}

TEST(ClassificationTachysystole, FalseOrUnknownAddsNothing) {
    for (const std::optional<bool> tachysystole : {std::optional<bool>{false}, std::optional<bool>{}}) {
        WindowAnalysis window = clean_window(30);
        window.toco_summary.tachysystole = tachysystole;
        const WindowAnalysis result = classified(window);
        EXPECT_TEXTS(result.reasons, category_i_reason);
        EXPECT_TEXTS(result.high_risk_features);
    }
}

// ------------------------------------------------------------- alert level

struct AlertCase {
    const char* name;
    std::optional<BaselineClass> baseline;
    VariabilityClass variability;
    double fetal_ratio;
    std::vector<DecelerationEvent> decelerations;
    AlertLevel expected;
};

TEST(ClassificationAlert, FirstMatchingRuleDecides) {
    using B = BaselineClass;
    using V = VariabilityClass;
    using A = AlertLevel;
    const AlertCase cases[] = {
        {"category III, fetal 0.49", B::bradycardia, V::absent, 0.49, {}, A::data_quality},
        {"category III, fetal 0.5", B::bradycardia, V::absent, 0.5, {}, A::critical},
        {"unclassified, full signal", {}, V::moderate, 1.0, {}, A::data_quality},
        {"category I, fetal 0.49", B::normal, V::moderate, 0.49, {}, A::data_quality},
        {"category I", B::normal, V::moderate, 1.0, {}, A::none},
        {"category I with early", B::normal, V::moderate, 1.0, {deceleration(Kind::early)}, A::none},
        {"category II with moderate variability", B::tachycardia, V::moderate, 1.0, {}, A::none},
        {"category II, minimal", B::normal, V::minimal, 1.0, {}, A::warning},
        {"category II, one short variable", B::normal, V::moderate, 1.0, {deceleration(Kind::variable)}, A::none},
        {"marked only", B::normal, V::marked, 1.0, {}, A::warning},
        {"deep nadir only", B::normal, V::moderate, 1.0, {deceleration(Kind::late, 30.0, 79.0)}, A::warning},
        {"burden only", B::normal, V::moderate, 1.0, {deceleration(Kind::prolonged, 150.0)}, A::warning},
        {"absent without recurrence", B::normal, V::absent, 1.0, {}, A::urgent_review},
        {"gradual with minimal", B::normal, V::minimal, 1.0, {deceleration(Kind::gradual)}, A::urgent_review},
        {"two prolonged", B::normal, V::moderate, 1.0,
         {deceleration(Kind::prolonged, 120.0), deceleration(Kind::prolonged, 120.0)}, A::urgent_review},
    };
    for (const AlertCase& c : cases) {
        SCOPED_TRACE(c.name);
        WindowAnalysis window = clean_window(30);
        window.baseline_class = c.baseline;
        if (!c.baseline) window.baseline_bpm.reset();
        window.variability_class = c.variability;
        window.data_quality.fetal_usable_ratio = c.fetal_ratio;
        set_decelerations(window, c.decelerations);
        EXPECT_EQ(to_text(classified(window).alert_level), to_text(c.expected));
    }
}

// ------------------------------------------------ recurrence of decelerations

// Times in milliseconds after 08:00:00 of the window's contractions and
// decelerations; a negative end stands for a text that cannot be read back.
struct Span {
    std::int64_t start_ms;
    std::int64_t end_ms;
};

ContractionEvent contraction_at(Span span) {
    ContractionEvent c;
    c.start = clock_text(span.start_ms);
    c.peak = clock_text((span.start_ms + span.end_ms) / 2);
    c.end = span.end_ms < 0 ? "1709281800000ms" : clock_text(span.end_ms);
    c.duration_seconds = static_cast<double>(span.end_ms - span.start_ms) / 1000.0;
    return c;
}

DecelerationEvent deceleration_at(Kind kind, Span span, double nadir_bpm = 110.0) {
    DecelerationEvent d = deceleration(kind, 20.0, nadir_bpm);
    d.start = clock_text(span.start_ms);
    d.end = span.end_ms < 0 ? "1709281800000ms" : clock_text(span.end_ms);
    d.duration_seconds = static_cast<double>(span.end_ms - span.start_ms) / 1000.0;
    return d;
}

// Contractions at 10, 15 and 20 minutes after 08:00, each 60 s long.
constexpr Span first_contraction{10 * minute_ms, 11 * minute_ms};
constexpr Span second_contraction{15 * minute_ms, 16 * minute_ms};
constexpr Span third_contraction{20 * minute_ms, 21 * minute_ms};

void add_three_contractions(WindowAnalysis& window) {
    for (Span span : {first_contraction, second_contraction, third_contraction}) {
        window.toco_summary.contractions.push_back(contraction_at(span));
    }
    window.features.contraction_count = 3;
}

// A deceleration of 20 s that starts `delay_ms` after the contraction's end.
Span after_end(Span contraction, std::int64_t delay_ms) {
    return {contraction.end_ms + delay_ms, contraction.end_ms + delay_ms + 20'000};
}
// A deceleration of 20 s that ends `lead_ms` before the contraction's start.
Span before_start(Span contraction, std::int64_t lead_ms) {
    return {contraction.start_ms - lead_ms - 20'000, contraction.start_ms - lead_ms};
}

struct RecurrenceCase {
    const char* name;
    std::vector<Span> contractions;
    std::vector<std::pair<Kind, Span>> decelerations;
    bool late_recurrent;
    bool variable_recurrent;
};

TEST(ClassificationRecurrence, HalfOfTheContractionsAnswered) {
    const Span c1 = first_contraction, c2 = second_contraction, c3 = third_contraction;
    const RecurrenceCase cases[] = {
        {"2 of 3 contractions", {c1, c2, c3}, {{Kind::late, after_end(c1, 10'000)}, {Kind::late, after_end(c2, 0)}},
         true, false},
        {"1 of 3 contractions", {c1, c2, c3}, {{Kind::late, after_end(c1, 10'000)}}, false, false},
        {"1 of 2 contractions", {c1, c2}, {{Kind::late, after_end(c2, 10'000)}}, true, false},
        {"a single contraction is never enough", {c1}, {{Kind::late, after_end(c1, 0)}}, false, false},
        {"onset 60,000 ms after the end", {c1, c2}, {{Kind::late, after_end(c1, 60'000)}}, true, false},
        {"onset 60,001 ms after the end", {c1, c2}, {{Kind::late, after_end(c1, 60'001)}}, false, false},
        {"ends 30,000 ms before the start", {c1, c2}, {{Kind::variable, before_start(c2, 30'000)}}, false, true},
        {"ends 30,001 ms before the start", {c1, c2}, {{Kind::variable, before_start(c2, 30'001)}}, false, false},
        {"two on one contraction count once", {c1, c2, c3},
         {{Kind::late, after_end(c1, 0)}, {Kind::late, after_end(c1, 30'000)}}, false, false},
        {"one long deceleration answers two", {c1, c2, c3}, {{Kind::late, {c1.start_ms, c2.start_ms}}}, true, false},
        {"kinds are counted apart", {c1, c2, c3},
         {{Kind::late, after_end(c1, 0)}, {Kind::variable, after_end(c2, 0)}}, false, false},
        {"variable on 2 of 3", {c1, c2, c3},
         {{Kind::variable, after_end(c2, 0)}, {Kind::variable, after_end(c3, 0)}}, false, true},
        {"prolonged and gradual never recur", {c1, c2},
         {{Kind::prolonged, after_end(c1, 0)}, {Kind::gradual, after_end(c2, 0)}}, false, false},
        {"unreadable contraction end", {c1, {c2.start_ms, -1}},
         {{Kind::late, after_end(c2, 0)}, {Kind::late, {c2.start_ms, c2.end_ms}}}, false, false},
        {"unreadable deceleration end", {c1, c2}, {{Kind::late, {c1.start_ms, -1}}}, false, false},
    };
    for (const RecurrenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        WindowAnalysis window = clean_window(30);
        window.variability_class = VariabilityClass::minimal;
        for (Span span : c.contractions) window.toco_summary.contractions.push_back(contraction_at(span));
        window.features.contraction_count = c.contractions.size();
        std::vector<DecelerationEvent> decelerations;
        for (const auto& [kind, span] : c.decelerations) decelerations.push_back(deceleration_at(kind, span));
        set_decelerations(window, std::move(decelerations));
        const Texts high_risk = classified(window).high_risk_features;
        EXPECT_EQ(holds(high_risk, "recurrent late decelerations"), c.late_recurrent);
        EXPECT_EQ(holds(high_risk, "recurrent variable decelerations"), c.variable_recurrent);
    }
}

struct RecurrenceVerdictCase {
    const char* name;
    std::optional<BaselineClass> baseline;
    VariabilityClass variability;
    Kind kind;
    std::size_t answered;  // of three contractions
    double nadir_bpm;
    Classification category;
    AlertLevel alert;
};

TEST(ClassificationRecurrence, DecidesCategoryAndAlert) {
    using B = BaselineClass;
    using V = VariabilityClass;
    using C = Classification;
    using A = AlertLevel;
    const RecurrenceVerdictCase cases[] = {
        {"absent, late on 2 of 3", B::normal, V::absent, Kind::late, 2, 110.0, C::category_iii, A::critical},
        {"absent, late on 1 of 3", B::normal, V::absent, Kind::late, 1, 110.0, C::category_ii, A::urgent_review},
        {"absent, variable on 2 of 3", B::normal, V::absent, Kind::variable, 2, 110.0, C::category_iii,
         A::critical},
        {"minimal, recurrent late", B::normal, V::minimal, Kind::late, 2, 110.0, C::category_ii, A::urgent_review},
        {"recurrent variable, nadir 80", B::normal, V::moderate, Kind::variable, 2, 80.0, C::category_ii,
         A::warning},
        {"recurrent variable, nadir 79", B::normal, V::moderate, Kind::variable, 2, 79.0, C::category_ii,
         A::urgent_review},
        {"unclassified, recurrent late", {}, V::moderate, Kind::late, 2, 110.0, C::unclassified, A::data_quality},
    };
    for (const RecurrenceVerdictCase& c : cases) {
        SCOPED_TRACE(c.name);
        WindowAnalysis window = clean_window(30);
        window.baseline_class = c.baseline;
        window.variability_class = c.variability;
        add_three_contractions(window);
        std::vector<DecelerationEvent> decelerations;
        for (Span span : {first_contraction, second_contraction}) {
            if (decelerations.size() == c.answered) break;
            decelerations.push_back(deceleration_at(c.kind, after_end(span, 0), c.nadir_bpm));
        }
        set_decelerations(window, std::move(decelerations));
        const WindowAnalysis result = classified(window);
        EXPECT_EQ(to_text(result.classification), to_text(c.category));
        EXPECT_EQ(to_text(result.alert_level), to_text(c.alert));
        if (c.category == C::unclassified) {
            EXPECT_TEXTS(result.high_risk_features, "recurrent late decelerations");
        }
    }
}

TEST(ClassificationRecurrence, VariableBurdenOfSixtySecondsIsUrgent) {
    // Two variable decelerations of 30 s answer two of three contractions:
    // neither is deep, together they reach the burden of 60 s.
    for (const auto& [second_seconds, expected] : {std::pair{30, AlertLevel::urgent_review},
                                                  std::pair{29, AlertLevel::warning}}) {
        SCOPED_TRACE(second_seconds);
        WindowAnalysis window = clean_window(30);
        add_three_contractions(window);
        const Span s1 = after_end(first_contraction, 0);
        const Span s2 = after_end(second_contraction, 0);
        set_decelerations(window, {deceleration_at(Kind::variable, {s1.start_ms, s1.start_ms + 30'000}, 100.0),
                                   deceleration_at(Kind::variable, {s2.start_ms, s2.start_ms + second_seconds * 1000},
                                                   100.0)});
        const WindowAnalysis result = classified(window);
        EXPECT_TRUE(holds(result.high_risk_features, "recurrent variable decelerations"));
        EXPECT_EQ(to_text(result.alert_level), to_text(expected));
    }
}

// ------------------------------------------------ the two ten-minute segments

// A 20-minute series ending at the window's end: the previous ten minutes
// alternate between previous_level -/+ previous_range/2 from second to second,
// the current ten minutes likewise around current_level. Each minute's 5th to
// 95th percentile range is then exactly the segment's range.
std::vector<SecondSample> two_segment_series(std::int64_t start_ms, std::int64_t end_ms, double previous_level,
                                             double previous_range, double current_level, double current_range) {
    std::vector<SecondSample> series;
    for (std::int64_t t = end_ms - (end_ms - start_ms) / 1000 * 1000; t <= end_ms; t += 1000) {
        const bool current = t >= end_ms - 10 * minute_ms;
        const double level = current ? current_level : previous_level;
        const double half = (current ? current_range : previous_range) / 2.0;
        SecondSample second;
        second.timestamp_ms = t;
        second.fetal_bpm = (t / 1000) % 2 == 0 ? level - half : level + half;
        series.push_back(second);
    }
    return series;
}

struct PersistenceCase {
    const char* name;
    double previous_range;
    double current_range;
    std::int64_t span_ms;
    bool persistent;
};

TEST(ClassificationSegments, PersistentMinimalVariability) {
    const PersistenceCase cases[] = {
        {"4.0 then 5.0", 4.0, 5.0, 20 * minute_ms, true},
        {"1.0 then 4.0", 1.0, 4.0, 20 * minute_ms, false},
        {"4.0 then 1.0", 4.0, 1.0, 20 * minute_ms, false},
        {"5.01 then 4.0", 5.01, 4.0, 20 * minute_ms, false},
        {"4.0 then 5.01", 4.0, 5.01, 20 * minute_ms, false},
        {"moderate before", 8.0, 3.0, 20 * minute_ms, false},
        {"window 1 ms short of 20 min", 4.0, 4.0, 20 * minute_ms - 1, false},
    };
    for (const PersistenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t end = window_end_ms();
        const std::int64_t start = end - c.span_ms;
        const std::vector<SecondSample> series = two_segment_series(start, end, 140.0, c.previous_range, 140.0,
                                                                    c.current_range);
        WindowAnalysis window = clean_window(static_cast<double>(c.span_ms) / 60000.0);
        window.variability_class = VariabilityClass::minimal;
        window.variability_bpm = c.current_range;
        classify_window(series, start, end, window);
        EXPECT_EQ(holds(window.high_risk_features, "persistent minimal variability for at least 20 minutes"),
                  c.persistent);
        EXPECT_EQ(to_text(window.alert_level), to_text(c.persistent ? AlertLevel::urgent_review : AlertLevel::warning));
    }
}

TEST(ClassificationSegments, PersistenceNeedsTheWindowBaseline) {
    const std::int64_t end = window_end_ms();
    const std::int64_t start = end - 20 * minute_ms;
    const std::vector<SecondSample> series = two_segment_series(start, end, 140.0, 4.0, 140.0, 4.0);
    WindowAnalysis window = clean_window(20);
    window.baseline_bpm.reset();
    window.baseline_class.reset();
    window.variability_class.reset();
    classify_window(series, start, end, window);
    EXPECT_TEXTS(window.high_risk_features);
    // Measured against a baseline 30 bpm off, no second counts as variability.
    window = clean_window(20);
    window.baseline_bpm = 170;
    classify_window(series, start, end, window);
    EXPECT_TEXTS(window.high_risk_features);
}

struct BaselineChangeCase {
    const char* name;
    double previous_level;  // the segment estimates round these to multiples of 5
    double current_level;
    BaselineClass window_class;
    std::int64_t span_ms;
    bool changed;
};

TEST(ClassificationSegments, BaselineChangedFromNormalToTachycardia) {
    const BaselineChangeCase cases[] = {
        {"160 to 165", 160.0, 165.0, BaselineClass::tachycardia, 20 * minute_ms, true},
        {"110 to 180", 110.0, 180.0, BaselineClass::tachycardia, 20 * minute_ms, true},
        {"105 to 165", 105.0, 165.0, BaselineClass::tachycardia, 20 * minute_ms, false},
        {"165 to 170", 165.0, 170.0, BaselineClass::tachycardia, 20 * minute_ms, false},
        {"160 to 160", 160.0, 160.0, BaselineClass::tachycardia, 20 * minute_ms, false},
        {"window class normal", 140.0, 165.0, BaselineClass::normal, 20 * minute_ms, false},
        {"window 1 ms short of 20 min", 140.0, 165.0, BaselineClass::tachycardia, 20 * minute_ms - 1, false},
    };
    for (const BaselineChangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t end = window_end_ms();
        const std::int64_t start = end - c.span_ms;
        const std::vector<SecondSample> series =
            two_segment_series(start, end, c.previous_level, 0.0, c.current_level, 0.0);
        WindowAnalysis window = clean_window(static_cast<double>(c.span_ms) / 60000.0);
        window.baseline_bpm = static_cast<std::int32_t>(c.current_level);
        window.baseline_class = c.window_class;
        classify_window(series, start, end, window);
        EXPECT_EQ(holds(window.high_risk_features, "baseline changed from normal to tachycardia"), c.changed);
    }
}

// -------------------------------------------------------------- the texts

// Every entry is one of the fixed sentences. (Their addresses prove nothing:
// equal literals need not be merged, and are not under AddressSanitizer.)
TEST(ClassificationTexts, ListsHoldOnlyTheFixedSentences) {
    WindowAnalysis window = clean_window(5);
    window.baseline_class = BaselineClass::tachycardia;
    window.variability_class = VariabilityClass::marked;
    window.data_quality.toco_usable_ratio = 0.0;
    window.data_quality.suspected_maternal_capture_ratio = 1.0;
    window.features.acceleration_count = 1;
    set_decelerations(window, {deceleration(Kind::late, 30.0, 70.0), deceleration(Kind::prolonged, 130.0),
                               deceleration(Kind::prolonged, 140.0), deceleration(Kind::gradual)});
    const WindowAnalysis result = classified(window);
    const auto is_fixed = [](std::string_view entry, const auto& closed_set) {
        return std::ranges::any_of(closed_set, [&](std::string_view t) { return t == entry; });
    };
    for (std::string_view r : result.reasons) EXPECT_TRUE(is_fixed(r, verdict_text::all_reasons)) << r;
    for (std::string_view f : result.high_risk_features) {
        EXPECT_TRUE(is_fixed(f, verdict_text::all_high_risk_features)) << f;
    }
    for (std::string_view f : result.protective_features) {
        EXPECT_TRUE(is_fixed(f, verdict_text::all_protective_features)) << f;
    }
    for (std::string_view l : result.limitations) EXPECT_TRUE(is_fixed(l, verdict_text::all_limitations)) << l;
    EXPECT_TEXTS(result.reasons, gradual_reason, "late deceleration", "marked variability", "prolonged deceleration",
                 "tachycardia");
    EXPECT_TEXTS(result.high_risk_features, deep_nadir, burden, "marked variability",
                 "more than one prolonged deceleration", capture);
}

std::string source_text(const std::string& relative_path) {
    std::ifstream file(std::string(PULSEQUILL_SOURCE_DIR) + "/" + relative_path, std::ios::binary);
    EXPECT_TRUE(file) << relative_path;
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::size_t quoted_occurrences(const std::string& source, std::string_view sentence) {
    const std::string quoted = "\"" + std::string(sentence) + "\"";
    std::size_t count = 0;
    for (std::size_t at = source.find(quoted); at != std::string::npos; at = source.find(quoted, at + 1)) ++count;
    return count;
}

// Each sentence is written once, in the texts header; the classification
// names the constants and never retypes a sentence (a typo there would slip
// past the lists' content checks).
TEST(ClassificationTexts, EachSentenceIsWrittenOnceInTheSource) {
    const std::string header = source_text("fhr_core/analysis/verdict_texts.hpp");
    const std::string classification = source_text("fhr_core/analysis/classification.cpp");
    ASSERT_FALSE(header.empty());
    ASSERT_FALSE(classification.empty());
    const auto check = [&](const auto& closed_set) {
        for (std::string_view sentence : closed_set) {
            EXPECT_EQ(quoted_occurrences(header, sentence), 1U) << sentence;
            EXPECT_EQ(quoted_occurrences(classification, sentence), 0U) << sentence;
        }
    };
    check(verdict_text::all_reasons);
    check(verdict_text::all_high_risk_features);
    check(verdict_text::all_protective_features);
    check(verdict_text::all_limitations);
}

}  // namespace
}  // namespace fhr_core

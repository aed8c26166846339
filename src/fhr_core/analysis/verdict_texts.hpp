// The fixed sentences of a window's verdict. Each is defined once here; the
// window's reasons, high-risk features, protective features and limitations
// hold views of these constants and nothing is ever formatted into them.
#pragma once

#include <array>
#include <string_view>

namespace fhr_core::verdict_text {

// ------------------------------------------------------------------ reasons

inline constexpr std::string_view no_determinate_baseline = "cannot classify without a determinate baseline";
inline constexpr std::string_view no_determinate_variability = "cannot classify without determinate variability";
inline constexpr std::string_view category_iii_criteria =
    "absent variability with bradycardia or recurrent late/variable decelerations";
inline constexpr std::string_view category_i_criteria =
    "normal baseline, moderate variability, and no detected late or variable decelerations";
inline constexpr std::string_view bradycardia_without_category_iii =
    "bradycardia not accompanied by category-III criteria";
inline constexpr std::string_view tachycardia = "tachycardia";
inline constexpr std::string_view absent_variability_without_recurrence =
    "absent variability without recurrent decelerations";
inline constexpr std::string_view minimal_variability = "minimal variability";
inline constexpr std::string_view variable_deceleration = "variable deceleration";
inline constexpr std::string_view late_deceleration = "late deceleration";
inline constexpr std::string_view prolonged_deceleration = "prolonged deceleration";
inline constexpr std::string_view gradual_deceleration_unclassifiable =
    "gradual deceleration not classifiable without clearer TOCO association";

// Both a reason for Category II and a high-risk feature.
inline constexpr std::string_view marked_variability = "marked variability";
// Both a reason (whatever the category) and the plain high-risk feature.
inline constexpr std::string_view tachysystole = "tachysystole";

// ------------------------------------------------------- high-risk features

inline constexpr std::string_view absent_variability = "absent variability";
inline constexpr std::string_view persistent_minimal_variability =
    "persistent minimal variability for at least 20 minutes";
inline constexpr std::string_view baseline_became_tachycardic = "baseline changed from normal to tachycardia";
inline constexpr std::string_view recurrent_late_decelerations = "recurrent late decelerations";
inline constexpr std::string_view recurrent_variable_decelerations = "recurrent variable decelerations";
inline constexpr std::string_view gradual_deceleration_with_low_variability =
    "gradual deceleration with absent or minimal variability";
inline constexpr std::string_view severe_variable_deceleration = "severe variable deceleration";
inline constexpr std::string_view deep_deceleration_nadir = "deep deceleration nadir below 80 bpm";
inline constexpr std::string_view high_deceleration_burden =
    "high deceleration burden: at least 60 seconds in deceleration";
inline constexpr std::string_view repeated_prolonged_decelerations = "more than one prolonged deceleration";
inline constexpr std::string_view possible_maternal_capture =
    "possible maternal heart-rate capture: fetal channel often tracks HRM within 5 bpm";
inline constexpr std::string_view tachysystole_with_high_risk_category_ii =
    "tachysystole with high-risk Category II features";

// ------------------------------------------------------ protective features

inline constexpr std::string_view moderate_variability = "moderate variability";
inline constexpr std::string_view accelerations_present = "accelerations present";

// -------------------------------------------------------------- limitations

inline constexpr std::string_view under_10_minutes =
    "less than 10 minutes: baseline and variability assessment is incomplete";
inline constexpr std::string_view under_20_minutes =
    "less than 20 minutes: recurrent deceleration assessment is incomplete";
inline constexpr std::string_view fewer_than_two_contractions =
    "fewer than two detected contractions: recurrent deceleration assessment is limited";
inline constexpr std::string_view under_30_minutes = "less than 30 minutes: tachysystole assessment is incomplete";
inline constexpr std::string_view toco_sparse =
    "TOCO unavailable or sparse: late/early timing and contraction recurrence are limited";
inline constexpr std::string_view tachysystole_needs_30_minutes =
    "tachysystole requires a 30-minute contraction average";
inline constexpr std::string_view baseline_indeterminate =
    "baseline indeterminate: fewer than 120 usable fetal-HR seconds in the current 10-minute segment";

// ------------------------------------------------------------ closed sets

// Every text each list can hold, for checks that nothing else reaches a report.
inline constexpr std::array all_reasons{
    no_determinate_baseline, no_determinate_variability, category_iii_criteria,
    category_i_criteria, bradycardia_without_category_iii, tachycardia,
    absent_variability_without_recurrence, minimal_variability, marked_variability,
    variable_deceleration, late_deceleration, prolonged_deceleration,
    gradual_deceleration_unclassifiable, tachysystole,
};
inline constexpr std::array all_high_risk_features{
    marked_variability, absent_variability, persistent_minimal_variability,
    baseline_became_tachycardic, recurrent_late_decelerations, recurrent_variable_decelerations,
    gradual_deceleration_with_low_variability, severe_variable_deceleration, deep_deceleration_nadir,
    high_deceleration_burden, repeated_prolonged_decelerations, possible_maternal_capture,
    tachysystole, tachysystole_with_high_risk_category_ii,
};
inline constexpr std::array all_protective_features{moderate_variability, accelerations_present};
inline constexpr std::array all_limitations{
    under_10_minutes, under_20_minutes, fewer_than_two_contractions, under_30_minutes,
    toco_sparse, tachysystole_needs_30_minutes, baseline_indeterminate,
};

}  // namespace fhr_core::verdict_text

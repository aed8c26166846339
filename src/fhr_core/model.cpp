// STUB: to be replaced by the records' helpers.
#include "model.hpp"

namespace fhr_core {

Result<FetalChannel> FetalChannel::parse(std::string_view) { return FetalChannel::HR1; }
std::string_view to_text(FetalChannel channel) noexcept {
    switch (channel) {
        case FetalChannel::HR1: return "HR1";
        case FetalChannel::HR2: return "HR2";
        case FetalChannel::HR3: return "HR3";
    }
    return "HR1";
}

std::optional<double> fetal_value(const MonitorSample& sample, FetalChannel channel) noexcept {
    switch (channel) {
        case FetalChannel::HR1: return sample.hr1;
        case FetalChannel::HR2: return sample.hr2;
        case FetalChannel::HR3: return sample.hr3;
    }
    return sample.hr1;
}
std::string_view TextStore::keep(std::string_view text) { return text; }
void OutOfOrderCounter::accept(std::int64_t) noexcept {}
void finish_input(InputData&, const OutOfOrderCounter&) {}
// The report words of the enumerations.
std::string_view to_text(Classification value) noexcept {
    switch (value) {
        case Classification::category_i: return "category_i";
        case Classification::category_ii: return "category_ii";
        case Classification::category_iii: return "category_iii";
        case Classification::unclassified: return "unclassified";
    }
    return "unclassified";
}

std::string_view to_text(AlertLevel value) noexcept {
    switch (value) {
        case AlertLevel::none: return "none";
        case AlertLevel::warning: return "warning";
        case AlertLevel::urgent_review: return "urgent_review";
        case AlertLevel::critical: return "critical";
        case AlertLevel::data_quality: return "data_quality";
    }
    return "data_quality";
}

std::string_view to_text(BaselineClass value) noexcept {
    switch (value) {
        case BaselineClass::bradycardia: return "bradycardia";
        case BaselineClass::normal: return "normal";
        case BaselineClass::tachycardia: return "tachycardia";
    }
    return "normal";
}

std::string_view to_text(VariabilityClass value) noexcept {
    switch (value) {
        case VariabilityClass::absent: return "absent";
        case VariabilityClass::minimal: return "minimal";
        case VariabilityClass::moderate: return "moderate";
        case VariabilityClass::marked: return "marked";
    }
    return "absent";
}

}  // namespace fhr_core

#include "model.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "text.hpp"

namespace fhr_core {

Result<FetalChannel> FetalChannel::parse(std::string_view text) {
    std::string name(trim_white_space(text));
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (name == "HR1") return FetalChannel::HR1;
    if (name == "HR2") return FetalChannel::HR2;
    if (name == "HR3") return FetalChannel::HR3;
    return fail("unsupported fetal channel: " + name);
}

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

std::string_view TextStore::keep(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > block_size) {
        // A text larger than a block gets a block of its own, placed before
        // the current one so that the current block keeps filling.
        auto own = std::make_unique_for_overwrite<char[]>(text.size());
        std::memcpy(own.get(), text.data(), text.size());
        const std::string_view kept(own.get(), text.size());
        blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(own));
        return kept;
    }
    if (text.size() > block_size - used_in_last_) {
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(block_size));
        used_in_last_ = 0;
    }
    char* const at = blocks_.back().get() + used_in_last_;
    std::memcpy(at, text.data(), text.size());
    used_in_last_ += text.size();
    return {at, text.size()};
}

void OutOfOrderCounter::accept(std::int64_t timestamp_ms) noexcept {
    if (previous_ms && timestamp_ms < *previous_ms) ++count;
    previous_ms = timestamp_ms;
}

void finish_input(InputData& data, const OutOfOrderCounter& counter) {
    data.out_of_order_rows = counter.count;
    const auto by_time = [](const MonitorSample& a, const MonitorSample& b) { return a.timestamp_ms < b.timestamp_ms; };
    // Monitors write in time order; only a disordered recording pays for the sort.
    if (!std::is_sorted(data.samples.begin(), data.samples.end(), by_time)) {
        std::stable_sort(data.samples.begin(), data.samples.end(), by_time);
    }
    std::uint64_t duplicates = 0;
    for (std::size_t i = 1; i < data.samples.size(); ++i) {
        if (data.samples[i].timestamp_ms == data.samples[i - 1].timestamp_ms) ++duplicates;
    }
    data.duplicate_timestamps = duplicates;
}

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

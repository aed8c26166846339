#include "model.hpp"

#include <algorithm>
#include <limits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

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

namespace {

// A text_length of all ones marks a distant text, text_offset being its index.
constexpr std::uint32_t distant_mark = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::string_view timestamp_text(const SampleTexts& texts, const MonitorSample& sample) noexcept {
    if (sample.text_length == distant_mark) return texts.distant[sample.text_offset];
    return texts.base.substr(sample.text_offset, sample.text_length);
}

void InputData::place_text(MonitorSample& sample, std::string_view text) {
    const auto address = [](const char* at) { return reinterpret_cast<std::uintptr_t>(at); };
    const bool in_source = source && address(text.data()) >= address(source->data()) &&
                           address(text.data()) + text.size() <= address(source->data()) + source->size();
    const std::uint64_t offset = in_source ? address(text.data()) - address(source->data()) : built_texts.size();
    // A text beyond the 32 bits of offset and length (inputs past 4 GiB), or
    // one outside a source the samples address, keeps a copy of its own.
    if ((source && !in_source) || offset + text.size() >= distant_mark) {
        sample.text_offset = static_cast<std::uint32_t>(distant_texts.size());
        sample.text_length = distant_mark;
        distant_texts.emplace_back(text);
        return;
    }
    if (!in_source) built_texts.append(text);
    sample.text_offset = static_cast<std::uint32_t>(offset);
    sample.text_length = static_cast<std::uint32_t>(text.size());
}

SampleTexts InputData::texts() const noexcept {
    return {source ? *source : std::string_view(built_texts), distant_texts};
}

void finish_input(InputData& data, const OutOfOrderCounter& counter) {
    data.out_of_order_rows = counter.count;
    data.duplicate_timestamps = counter.repeats;
    // Monitors write in time order: then the samples are sorted already and
    // the counter has seen each repeat between neighbours. Only a disordered
    // recording pays for the sort and a second count.
    if (counter.count == 0) return;
    std::stable_sort(data.samples.begin(), data.samples.end(), [](const MonitorSample& a, const MonitorSample& b) {
        return a.timestamp_ms < b.timestamp_ms;
    });
    std::uint64_t repeats = 0;
    for (std::size_t i = 1; i < data.samples.size(); ++i) {
        repeats += data.samples[i].timestamp_ms == data.samples[i - 1].timestamp_ms;
    }
    data.duplicate_timestamps = repeats;
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

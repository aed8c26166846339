// The monitor CSV export reader on any text; rows read on the fast path must
// give what the general row path gives.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "checks.hpp"
#include "fhr_core/csv_input.hpp"

namespace {

bool same_samples(const fhr_core::InputData& a, const fhr_core::InputData& b) {
    if (a.samples.size() != b.samples.size() || a.out_of_order_rows != b.out_of_order_rows ||
        a.duplicate_timestamps != b.duplicate_timestamps) {
        return false;
    }
    const auto bits = [](const fhr_core::OptionalValue& value) {
        return value.has_value() ? std::bit_cast<std::uint64_t>(*value.get()) : std::uint64_t{1};
    };
    for (std::size_t i = 0; i < a.samples.size(); ++i) {
        const fhr_core::MonitorSample& x = a.samples[i];
        const fhr_core::MonitorSample& y = b.samples[i];
        if (x.timestamp_ms != y.timestamp_ms || a.all().text_of(x) != b.all().text_of(y) || bits(x.hr1) != bits(y.hr1) ||
            bits(x.hr2) != bits(y.hr2) || bits(x.hr3) != bits(y.hr3) || bits(x.hrm) != bits(y.hrm) ||
            bits(x.toco) != bits(y.toco)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    const auto input = fhr_core::read_monitor_csv_str(text);
    const auto general = fhr_core::read_monitor_csv_rows_generally(text);
    fuzz::require(input.has_value() == general.has_value(), "both row paths accept or refuse the text");
    if (!input) {
        fuzz::require(input.error() == general.error(), "both row paths give the same message");
        return 0;
    }
    fuzz::require(same_samples(*input, *general), "both row paths give the same samples");
    fuzz::check_recording(*input);
    return 0;
}

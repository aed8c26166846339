// The monitor CSV export reader on any text.
#include <cstddef>

#include "checks.hpp"
#include "fhr_core/csv_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const auto input = fhr_core::read_monitor_csv_str(fuzz::as_text(data, size));
    if (input) fuzz::check_recording(*input);
    return 0;
}

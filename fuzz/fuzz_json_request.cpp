// The JSON analysis request reader on any text.
#include <cstddef>

#include "checks.hpp"
#include "fhr_core/json_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const auto request = fhr_core::read_analysis_request_json(fuzz::as_text(data, size));
    if (!request) return 0;
    fuzz::check_recording(request->data);
    fuzz::require(!request->data.samples.empty(), "an accepted request has samples");
    fuzz::require(!request->settings.window_minutes && request->settings.step_seconds == 60,
                  "a request is analysed in chunk mode");
    return 0;
}

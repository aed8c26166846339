// Reader of a JSON analysis request: episode, send time, samples, and the
// optional analysis options and clinical metadata.
#pragma once

#include <string_view>

#include "model.hpp"
#include "result.hpp"

namespace fhr_core {

struct AnalysisRequestInput {
    InputData data;
    AnalysisSettings settings;  // chunk mode, 60-second step, channel, gestational age
};

// Validates the request and turns it into samples and settings, or a message.
// `text` must outlive the result.
[[nodiscard]] Result<AnalysisRequestInput> read_analysis_request_json(std::string_view text);

}  // namespace fhr_core

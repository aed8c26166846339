// STUB: to be replaced by the JSON request reader.
#include "json_input.hpp"

namespace fhr_core {

Result<AnalysisRequestInput> read_analysis_request_json(std::string_view) { return fail("not implemented"); }

}  // namespace fhr_core

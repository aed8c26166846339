// STUB: to be replaced by the report writer.
#include "analysis.hpp"

namespace fhr_core {

std::string report_as_json(const AnalysisReport&) { return "{}\n"; }

}  // namespace fhr_core

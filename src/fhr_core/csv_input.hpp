// Reader of a monitor's CSV export: a header row naming Date, HR1, HR2, HR3,
// HRM and TOCO in any ASCII case, comma-separated cells without quoting.
#pragma once

#include <string_view>

#include "model.hpp"
#include "result.hpp"

namespace fhr_core {

// Reads the whole export in one pass, in place: the samples' texts view `text`,
// which must outlive the result. The first bad row fails the whole read.
[[nodiscard]] Result<InputData> read_monitor_csv_str(std::string_view text);

}  // namespace fhr_core

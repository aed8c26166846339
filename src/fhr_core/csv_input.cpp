// STUB: to be replaced by the CSV reader.
#include "csv_input.hpp"

namespace fhr_core {

Result<InputData> read_monitor_csv_str(std::string_view) { return fail("not implemented"); }

}  // namespace fhr_core

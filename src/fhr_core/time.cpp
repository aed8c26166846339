// STUB: to be replaced by the timestamp grammar.
#include "time.hpp"

namespace fhr_core {

Result<std::int64_t> parse_monitor_timestamp(std::string_view input) { return fail("not implemented: " + std::string(input)); }
Result<std::uint32_t> parse_part(std::optional<std::string_view>, std::string_view, std::string_view) { return 0u; }
Result<std::uint32_t> parse_millis(std::string_view) { return 0u; }
std::int32_t days_from_civil(std::int32_t, std::uint32_t, std::uint32_t) noexcept { return 0; }

}  // namespace fhr_core

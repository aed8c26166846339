// The monitor timestamp parser on any text.
#include <cstddef>
#include <cstdint>

#include "checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view text = fuzz::as_text(data, size);
    const auto instant = fhr_core::parse_monitor_timestamp(text);
    if (!instant) {
        // Every message but the fraction's quotes the whole text as handed in.
        const std::string& message = instant.error();
        fuzz::require(message.ends_with(text) || message.starts_with("invalid millisecond digit: "),
                      "a refusal quotes the text as handed in");
        return 0;
    }
    // Stripping is the grammar's first step, so a stripped text means the same instant.
    const auto stripped = fhr_core::parse_monitor_timestamp(fhr_core::strip_timestamp_text(text));
    fuzz::require(stripped && *stripped == *instant, "the stripped text parses to the same instant");
    return 0;
}

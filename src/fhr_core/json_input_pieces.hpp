// Internal to the core: the request reader fed its text in pieces, the way a
// network stream delivers it. read_analysis_request_json is the one-piece case;
// the tests read requests in pieces of every size to prove the handler keeps
// strings, keys and numbers whole across the parser's calls.
#pragma once

#include <cstddef>
#include <string_view>

#include "json_input.hpp"

namespace fhr_core {

// As read_analysis_request_json, handing the parser at most `piece_size` bytes
// per call (0 counts as 1). The result does not depend on the piece size.
[[nodiscard]] Result<AnalysisRequestInput> read_analysis_request_json_in_pieces(std::string_view text,
                                                                              std::size_t piece_size);

}  // namespace fhr_core

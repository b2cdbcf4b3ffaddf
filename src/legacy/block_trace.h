// The frame trace of a 1.00 line: both directions cut into character blocks as they cross it.
#pragma once
#include <memory>
#include <string>

#include "legacy/block_line.h"

namespace korvane {

// `line` with every byte it moves traced as blocks of the link named `link` (log/frame_trace.h).
std::unique_ptr<BlockLine> TraceBlockLine(std::unique_ptr<BlockLine> line, const std::string& link);

}  // namespace korvane

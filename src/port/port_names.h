// Small text helpers for port names and addresses.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Splits at any of `separators`, dropping empty pieces.
std::vector<std::string> SplitDroppingEmpty(std::string_view text, std::string_view separators);
// Case-insensitive (ASCII) prefix test.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace korvane

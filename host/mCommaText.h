// Comma text: a list of 8-bit texts kept in one line, items separated by
// commas. An item that holds a blank, a control character, a comma or a
// double quote is enclosed in double quotes with each inner double quote
// doubled; an empty item is written as "" so that a trailing one is not lost.
// Reading skips blanks and control characters around items.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw {

std::string ToCommaText(const std::vector<std::string>& items);
std::vector<std::string> FromCommaText(std::string_view text);

}  // namespace tw

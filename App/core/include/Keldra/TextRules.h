#pragma once
// Small text rules shared by the app state and the menu model.

#include <string>
#include <string_view>

#include "BrivetClient/RFC3339.h"

namespace keldra {

// `text` without white space and line breaks (Unicode's) at both ends.
std::string trimWhitespaceAndNewlines(std::string_view text);

// `text` without spaces and tabs at both ends; line breaks stay.
std::string trimBlanks(std::string_view text);

// In each blank-separated word the first character upper case and all
// others lower case ("at risk now" gives "At Risk Now").
std::string capitalized(std::string_view text);

// A status is fresh when its time reads as RFC 3339 and lies at most 600
// seconds before `now`; a time in the future counts as fresh.
bool isFresh(std::string_view lastTickAt, brivet::Instant now);

}  // namespace keldra

#pragma once

#include <string>

// Quotes one argument so that the C runtime's command-line splitting gives the
// child exactly this text. An argument without blanks, line breaks and double
// quotes is returned unchanged; an empty one stays empty.
std::wstring quoteArgument(const std::wstring& argument);

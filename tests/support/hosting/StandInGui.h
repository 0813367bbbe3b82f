#pragma once

#include <unknwn.h>

namespace standin {
// The GUI's entry object as "__" returns it: one reference, for the result.
IUnknown* createGuiEntry();
}  // namespace standin

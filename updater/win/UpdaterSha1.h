#pragma once

#include <string>

#include "updater/BlockReader.h"

// SHA-1 through the system's crypto provider: the updater links no crypto of
// its own. False when the provider fails.
bool sha1Of(const std::string& bytes, ContentKey& out);

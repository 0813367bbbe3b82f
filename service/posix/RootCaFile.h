#pragma once

#include <string>

// Natively the "system" root certificates are the PEM certificates of one file
// (by default the distribution's CA bundle); tests point it at their own CA.
void setRootCaFile(const std::string& path);

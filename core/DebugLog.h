#pragma once

#include <cstdio>
#include <string>

// The encrypted debug log, "logs\debug.dat" beside the program: 256 bytes of
// RSA-wrapped AES-128 key and counter, then the text XORed with an AES-CTR
// keystream whose counter counts little-endian from byte 0.
void writeDebugLog(const std::string& text);

// Opens "debug.dat" (Windows) and starts the log; the client's static
// initialiser calls it once before WinMain.
void openDebugLog();

// Starts the log on an open file with the given PEM public key (NUL-terminated
// text): draws key and counter, writes their wrapped block, keeps the file.
// A previous log of this process is closed first.
void startDebugLog(FILE* file, const char* publicKeyPem);

// The one step of the keystream: 128-bit little-endian increment of a
// 16-byte counter block, an overflow of the last byte dropped.
void incrementLogCounter(unsigned char counter[16]);

// Checks of the values given on the command line: each returns an empty string when the value is
// good, otherwise what is wrong with it, in words.
#pragma once

#include <cstdint>
#include <string>

#include "transfer.h"

namespace tarnwire_tool {

// A whole number from 0 to 2^64-1, decimal, without sign.
std::string ParseSeed(const std::string& text, uint64_t* seed);
// "COM1" to "COM256" (any case).
std::string ParseCom(const std::string& text, unsigned* com);
// A rate from 75 to 3000000 baud.
std::string ParseBaud(const std::string& text, uint32_t* baud);
// "8N1": data bits 5 to 8, parity N, O, E, M or S, stop bits 1 or 2.
std::string ParseFormat(const std::string& text, LineSettings* settings);
// "none", "rts" (RTS/CTS) or "xon" (XON/XOFF).
std::string ParseFlow(const std::string& text, Flow* flow);

}  // namespace tarnwire_tool

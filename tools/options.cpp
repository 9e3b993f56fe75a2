#include "options.h"

#include <cctype>

namespace tarnwire_tool {
namespace {

// A decimal number without sign that fits below `limit`; false otherwise.
bool Unsigned(const std::string& text, uint64_t limit, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (limit - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

}  // namespace

std::string ParseSeed(const std::string& text, uint64_t* seed) {
  if (Unsigned(text, UINT64_MAX, seed)) return "";
  return "'" + text + "' is not a seed: give a whole number from 0 to 18446744073709551615";
}

std::string ParseCom(const std::string& text, unsigned* com) {
  uint64_t n = 0;
  if (text.size() > 3 && (text[0] | 0x20) == 'c' && (text[1] | 0x20) == 'o' && (text[2] | 0x20) == 'm' &&
      Unsigned(text.substr(3), 256, &n) && n >= 1) {
    *com = static_cast<unsigned>(n);
    return "";
  }
  return "'" + text + "' is not a port: give COM1 to COM256";
}

std::string ParseBaud(const std::string& text, uint32_t* baud) {
  uint64_t n = 0;
  if (Unsigned(text, 3000000, &n) && n >= 75) {
    *baud = static_cast<uint32_t>(n);
    return "";
  }
  return "'" + text + "' is not a rate: give 75 to 3000000 baud";
}

std::string ParseFormat(const std::string& text, LineSettings* settings) {
  const std::string parities = "NOEMS";
  if (text.size() == 3 && text[0] >= '5' && text[0] <= '8' &&
      parities.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])))) != std::string::npos &&
      (text[2] == '1' || text[2] == '2')) {
    settings->dataBits = static_cast<unsigned>(text[0] - '0');
    settings->parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    settings->stopBits = static_cast<unsigned>(text[2] - '0');
    return "";
  }
  return "'" + text + "' is not a format: give data bits 5-8, parity N/O/E/M/S and stop bits 1-2, e.g. 8N1";
}

std::string ParseFlow(const std::string& text, Flow* flow) {
  if (text == "none") *flow = Flow::None;
  else if (text == "rts") *flow = Flow::RtsCts;
  else if (text == "xon") *flow = Flow::XonXoff;
  else return "'" + text + "' is not a flow control: give none, rts (RTS/CTS) or xon (XON/XOFF)";
  return "";
}

}  // namespace tarnwire_tool

#include "win32/machine_description.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace emu::win32 {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// An unsigned number, decimal or with 0x; false when it is not one or exceeds max.
bool Number(std::string_view s, uint64_t max, uint64_t* value) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                      ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                      : -1;
    if (d < 0 || v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  *value = v;
  return true;
}

// "COMn" with n from 1 to 256.
bool ComName(std::string_view s, unsigned* com) {
  uint64_t n = 0;
  if (s.size() < 4 || Lower(s.substr(0, 3)) != "com" || s[3] == '0' || s.substr(3).find('x') != s.npos ||
      !Number(s.substr(3), 256, &n) || n == 0)
    return false;
  *com = static_cast<unsigned>(n);
  return true;
}

bool Revision(std::string_view s, int* revision) {
  uint64_t v = 0;
  if (!Number(s, 0xFF, &v)) return false;
  *revision = static_cast<int>(v);
  return true;
}

bool FarEndOf(std::string_view s, BridgeDescription* b) {
  const std::string end = Lower(s);
  if (end == "loopback") {
    b->farEnd = FarEnd::Loopback;
  } else if (end == "loopback+ri") {
    b->farEnd = FarEnd::LoopbackRi;
  } else if (end == "pty") {
    b->farEnd = FarEnd::Pty;
  } else if (end == "none") {
    b->farEnd = FarEnd::None;
  } else if (end.rfind("null:", 0) == 0 && ComName(s.substr(5), &b->peer)) {
    b->farEnd = FarEnd::NullModem;
  } else {
    return false;
  }
  return true;
}

// "COMn", "COMn=END", "COMn,rev=0xNN" or "COMn=END,rev=0xNN"; *why names what is wrong.
bool Bridge(std::string_view part, BridgeDescription* b, std::string* why) {
  const size_t comma = part.find(',');
  const std::string_view head = part.substr(0, comma);
  const size_t eq = head.find('=');
  if (!ComName(head.substr(0, eq), &b->com)) {
    *why = "expected COM1 to COM256, rev=, seed=, realtime, virtual, up or mp";
    return false;
  }
  if (eq != head.npos && !FarEndOf(head.substr(eq + 1), b)) {
    *why = "the far end must be loopback, loopback+ri, null:COMn, pty or none";
    return false;
  }
  if (comma == part.npos) return true;
  const std::string_view option = part.substr(comma + 1);
  if (Lower(option.substr(0, 4)) != "rev=" || !Revision(option.substr(4), &b->revision)) {
    *why = "after the port only rev=0xNN (0 to 0xFF) may follow";
    return false;
  }
  return true;
}

// Every cable joins two declared bridges, each at most once, and no bridge to itself.
bool CheckCables(MachineDescription* description, std::string* error) {
  auto find = [&](unsigned com) {
    return std::find_if(description->bridges.begin(), description->bridges.end(),
                        [&](const BridgeDescription& b) { return b.com == com; });
  };
  for (BridgeDescription& b : description->bridges) {
    if (b.farEnd != FarEnd::NullModem) continue;
    const std::string part = "COM" + std::to_string(b.com) + "=null:COM" + std::to_string(b.peer);
    auto peer = find(b.peer);
    if (b.peer == b.com) {
      *error = "bad part '" + part + "': a cable cannot join a bridge to itself";
      return false;
    }
    if (peer == description->bridges.end()) {
      *error = "bad part '" + part + "': there is no bridge COM" + std::to_string(b.peer);
      return false;
    }
    if (peer->farEnd == FarEnd::None) {
      peer->farEnd = FarEnd::NullModem;
      peer->peer = b.com;
    } else if (peer->farEnd != FarEnd::NullModem || peer->peer != b.com) {
      *error = "bad part '" + part + "': COM" + std::to_string(b.peer) + " has something else at its end";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseMachineDescription(std::string_view text, MachineDescription* description, std::string* error) {
  MachineDescription s;
  bool timeGiven = false;
  bool modelGiven = false;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(';', start), text.size());
    const std::string_view part = text.substr(start, end - start);
    start = end + 1;
    const std::string word = Lower(part);
    std::string why;
    uint64_t value = 0;
    int revision = 0;
    if (part.empty()) {
      if (end == text.size() && !text.empty()) break;  // a trailing ';'
      why = "empty part";
    } else if (word == "realtime" || word == "virtual") {
      if (timeGiven) why = "time is given twice";
      timeGiven = true;
      s.realTime = word == "realtime";
    } else if (word == "up" || word == "mp") {
      if (modelGiven) why = "the processor model is given twice";
      modelGiven = true;
      s.multiprocessor = word == "mp";
    } else if (word.rfind("seed=", 0) == 0) {
      if (!Number(part.substr(5), UINT64_MAX, &value)) why = "the seed must be an unsigned number";
      s.seed = value;
    } else if (word.rfind("rev=", 0) == 0) {
      if (!Revision(part.substr(4), &revision)) why = "the revision must be a number from 0 to 0xFF";
      s.revision = static_cast<uint8_t>(revision);
    } else {
      BridgeDescription b;
      if (Bridge(part, &b, &why)) {
        for (const BridgeDescription& other : s.bridges)
          if (other.com == b.com) why = "COM" + std::to_string(b.com) + " is given twice";
        s.bridges.push_back(b);
      }
    }
    if (!why.empty()) {
      *error = "bad part '" + std::string(part) + "': " + why;
      return false;
    }
  }
  if (s.bridges.empty()) {
    *error = "no bridge: name at least one port, e.g. COM8=loopback";
    return false;
  }
  if (!CheckCables(&s, error)) return false;
  for (BridgeDescription& b : s.bridges)
    if (b.revision < 0) b.revision = s.revision;
  *description = std::move(s);
  return true;
}

std::string FormatMachineDescription(const MachineDescription& description) {
  std::string text;
  for (const BridgeDescription& b : description.bridges) {
    text += "COM" + std::to_string(b.com) + "=";
    switch (b.farEnd) {
      case FarEnd::Loopback:
        text += "loopback";
        break;
      case FarEnd::LoopbackRi:
        text += "loopback+ri";
        break;
      case FarEnd::NullModem:
        text += "null:COM" + std::to_string(b.peer);
        break;
      case FarEnd::Pty:
        text += "pty";
        break;
      case FarEnd::None:
        text += "none";
        break;
    }
    char revision[16];
    std::snprintf(revision, sizeof revision, "0x%02x",
                  static_cast<unsigned>(b.revision < 0 ? description.revision : b.revision) & 0xFFu);
    text += std::string(",rev=") + revision + ";";
  }
  text += description.realTime ? "realtime" : "virtual";
  text += ";seed=" + std::to_string(description.seed);
  text += description.multiprocessor ? ";mp" : ";up";
  return text;
}

}  // namespace emu::win32

#include "scenario.h"

#include <algorithm>
#include <sstream>

#include "options.h"

namespace tarnwire_tool {
namespace {

using emu::win32::BridgeDescription;
using emu::win32::FarEnd;

struct Parser {
  Scenario* scenario = nullptr;
  int lineNumber = 0;
  std::string error;

  bool Fail(const std::string& what) {
    error = std::to_string(lineNumber) + ": " + what;
    return false;
  }

  BridgeDescription* Bridge(unsigned com) {
    for (BridgeDescription& b : scenario->machine.bridges)
      if (b.com == com) return &b;
    return nullptr;
  }

  // A COM name of a bridge declared above.
  bool Com(const std::string& word, unsigned* com) {
    if (std::string e = ParseCom(word, com); !e.empty()) return Fail(e);
    if (Bridge(*com) == nullptr) return Fail("COM" + std::to_string(*com) + " is not a bridge declared above");
    return true;
  }

  bool Number(const std::string& word, uint64_t low, uint64_t high, const char* what, uint64_t* value) {
    uint64_t v = 0;
    bool digits = !word.empty() && word.size() <= 9 &&
                  std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) v = std::stoull(word);
    if (!digits || v < low || v > high)
      return Fail("'" + word + "' is not " + what + ": give " + std::to_string(low) + " to " + std::to_string(high));
    *value = v;
    return true;
  }

  // Far ends join bridges, so they are declared before any step runs.
  bool Plug(const std::string& name, FarEnd end, unsigned com, unsigned peer) {
    if (!scenario->steps.empty()) return Fail(name + " comes after the steps began: describe the machine first");
    BridgeDescription* b = Bridge(com);
    if (b->farEnd != FarEnd::None) return Fail("COM" + std::to_string(com) + " already has something on its connector");
    b->farEnd = end;
    b->peer = peer;
    return true;
  }

  bool ParseLine(const std::string& line) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return true;
    const std::string& verb = words[0];
    auto want = [&](size_t low, size_t high) {
      if (words.size() - 1 >= low && words.size() - 1 <= high) return true;
      return Fail("'" + verb + "' takes " + std::to_string(low) + (low == high ? "" : " to " + std::to_string(high)) +
                  " words after it, not " + std::to_string(words.size() - 1));
    };
    Step step;
    step.lineNumber = lineNumber;
    if (verb == "bridge") {
      if (!want(1, 2)) return false;
      if (!scenario->steps.empty()) return Fail("bridge comes after the steps began: describe the machine first");
      BridgeDescription b;
      if (std::string e = ParseCom(words[1], &b.com); !e.empty()) return Fail(e);
      if (Bridge(b.com) != nullptr) return Fail("COM" + std::to_string(b.com) + " is declared twice");
      if (words.size() == 3) {
        const std::string& r = words[2];
        unsigned long value = 0;
        size_t used = 0;
        bool ok = r.size() >= 7 && r.size() <= 8 && r.compare(0, 6, "rev=0x") == 0;
        if (ok) {
          try {
            value = std::stoul(r.substr(6), &used, 16);
          } catch (const std::exception&) {
            ok = false;
          }
        }
        if (!ok || used != r.size() - 6) return Fail("'" + r + "' is not a revision: give rev=0xNN, e.g. rev=0x10");
        b.revision = static_cast<int>(value);
      }
      scenario->machine.bridges.push_back(b);
      return true;
    }
    if (verb == "cable") {
      unsigned a = 0, b = 0;
      if (!want(2, 2) || !Com(words[1], &a) || !Com(words[2], &b)) return false;
      if (a == b) return Fail("a cable joins two different bridges");
      return Plug(verb, FarEnd::NullModem, a, b) && Plug(verb, FarEnd::NullModem, b, a);
    }
    if (verb == "loopback") {
      unsigned a = 0;
      if (!want(1, 2) || !Com(words[1], &a)) return false;
      if (words.size() == 3 && words[2] != "ri") return Fail("'" + words[2] + "' is not an option of loopback: give ri");
      return Plug(verb, words.size() == 3 ? FarEnd::LoopbackRi : FarEnd::Loopback, a, 0);
    }
    if (verb == "line") {
      if (!want(3, 3)) return false;
      step.kind = Step::Kind::Line;
      for (std::string e : {ParseBaud(words[1], &step.settings.baud), ParseFormat(words[2], &step.settings),
                            ParseFlow(words[3], &step.settings.flow)})
        if (!e.empty()) return Fail(e);
    } else if (verb == "send" || verb == "exchange") {
      step.kind = verb == "send" ? Step::Kind::Send : Step::Kind::Exchange;
      if (!want(3, 3) || !Com(words[1], &step.from) || !Com(words[2], &step.to) ||
          !Number(words[3], 1, 16777216, "a byte count", &step.count))
        return false;
    } else if (verb == "text") {
      step.kind = Step::Kind::Text;
      if (words.size() < 4) return Fail("'text' takes two ports and the text");
      if (!Com(words[1], &step.from) || !Com(words[2], &step.to)) return false;
      for (size_t i = 3; i < words.size(); ++i) step.text += (i == 3 ? "" : " ") + words[i];
    } else if (verb == "sleep") {
      step.kind = Step::Kind::Sleep;
      if (!want(1, 1) || !Number(words[1], 1, 600000, "a time in milliseconds", &step.count)) return false;
    } else if (verb == "unplug") {
      step.kind = Step::Kind::Unplug;
      if (!want(1, 1) || !Com(words[1], &step.from)) return false;
    } else {
      return Fail("'" + verb + "' is not a step: give bridge, cable, loopback, line, send, exchange, text, sleep or unplug");
    }
    scenario->steps.push_back(step);
    return true;
  }
};

}  // namespace

bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error) {
  *scenario = Scenario{};
  Parser parser;
  parser.scenario = scenario;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ++parser.lineNumber;
    if (!parser.ParseLine(line)) {
      *error = parser.error;
      return false;
    }
  }
  if (scenario->machine.bridges.empty()) {
    *error = "no bridge: a scenario declares at least one (bridge COMn)";
    return false;
  }
  if (scenario->steps.empty()) {
    *error = "no steps: a scenario has at least one (send, exchange, text, sleep or unplug)";
    return false;
  }
  return true;
}

}  // namespace tarnwire_tool

#include "run.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "scenario.h"

namespace tarnwire_tool {
namespace {

std::string Com(unsigned n) { return "COM" + std::to_string(n); }

class ScenarioRun {
 public:
  ScenarioRun(const RunOptions& options, Session& session) : options_(options), session_(session) {}
  ~ScenarioRun() {
    if (ports_.empty()) return;
    session_.booted().RunTogether({[&] {
      for (auto& [com, port] : ports_) ClosePort(&port);
    }});
  }

  bool Step(const tarnwire_tool::Step& step) {
    const std::string where = "line " + std::to_string(step.lineNumber);
    switch (step.kind) {
      case Step::Kind::Line:
        settings_ = step.settings;
        return true;
      case Step::Kind::Send:
      case Step::Kind::Exchange:
      case Step::Kind::Text: {
        const Port* from = Open(step.from);
        const Port* to = from != nullptr ? Open(step.to) : nullptr;
        if (to == nullptr) return false;
        const uint64_t seed = options_.common.seed + static_cast<uint64_t>(step.lineNumber) * 2;
        std::vector<Leg> legs;
        std::string title;
        if (step.kind == Step::Kind::Text) {
          legs.push_back(MakeLeg(from, to, std::vector<uint8_t>(step.text.begin(), step.text.end())));
          title = where + ", text " + Com(step.from) + " -> " + Com(step.to);
        } else {
          legs.push_back(MakeLeg(from, to, TestData(step.count, seed, settings_)));
          title = where + ", " + (step.kind == Step::Kind::Send ? "send " : "exchange ") + Com(step.from) +
                  (step.kind == Step::Kind::Send ? " -> " : " <-> ") + Com(step.to);
          if (step.kind == Step::Kind::Exchange) legs.push_back(MakeLeg(to, from, TestData(step.count, seed + 1, settings_)));
        }
        return session_.TransferAndReport(title, settings_, legs);
      }
      case Step::Kind::Sleep: {
        const uint64_t before = session_.booted().machine()->kernel().Now();
        session_.booted().RunTogether({[&] { Sleep(static_cast<DWORD>(step.count)); }});
        std::printf("\n%s, sleep: %.3f ms of virtual time passed\n", where.c_str(),
                    static_cast<double>(session_.booted().machine()->kernel().Now() - before) / emu::kMillisecond);
        return true;
      }
      case Step::Kind::Unplug:
        return Unplug(where, step.from);
    }
    return false;
  }

 private:
  const Port* Open(unsigned com) {
    auto it = ports_.find(com);
    if (it != ports_.end()) return &it->second;
    Port port;
    std::string error;
    bool ok = false;
    session_.booted().RunTogether({[&] { ok = OpenPort(com, &port, &error); }});
    if (!ok) {
      session_.Fail(error);
      return nullptr;
    }
    return &(ports_[com] = port);
  }

  // The bridge goes: a write on an open handle then fails, and the name no longer opens.
  bool Unplug(const std::string& where, unsigned com) {
    std::printf("\n%s, unplug %s\n", where.c_str(), Com(com).c_str());
    auto it = ports_.find(com);
    if (it == ports_.end()) return session_.Unplug(com);
    if (!session_.booted().Unplug(com)) {
      session_.Fail(Com(com) + ": the removal did not finish");
      return false;
    }
    BOOL wrote = TRUE;
    DWORD error = 0;
    session_.booted().RunTogether({[&] {
      OVERLAPPED ov{};
      ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      DWORD n = 0;
      wrote = WriteFile(it->second.handle, "x", 1, nullptr, &ov);
      if (!wrote && GetLastError() == ERROR_IO_PENDING) wrote = GetOverlappedResult(it->second.handle, &ov, &n, TRUE);
      error = GetLastError();
      CloseHandle(ov.hEvent);
      ClosePort(&it->second);
    }});
    ports_.erase(it);
    if (wrote) {
      session_.Fail(Com(com) + ": a write on the open handle succeeded after the unplug");
      return false;
    }
    std::printf("  a write on the open handle failed with error %lu; the handle is closed\n",
                static_cast<unsigned long>(error));
    // The removal that waited for the last handle finishes now.
    session_.booted().machine()->pnp().RunUntilIdle();
    return session_.CheckGone(com);
  }

  const RunOptions& options_;
  Session& session_;
  LineSettings settings_{115200, 8, 'N', 1, Flow::None};
  std::map<unsigned, Port> ports_;
};

}  // namespace

int RunScenario(const RunOptions& options) {
  std::ifstream file(options.path);
  std::stringstream text;
  text << file.rdbuf();
  Scenario scenario;
  std::string error;
  if (!file || !ParseScenario(text.str(), &scenario, &error)) {
    std::fprintf(stderr, "tarnwire run: %s:%s\n", options.path.c_str(),
                 file ? error.c_str() : " cannot be read");
    return 2;
  }
  std::printf("TARNWIRE scenario %s (seed %llu, %s model)\n", options.path.c_str(),
              static_cast<unsigned long long>(options.common.seed),
              options.common.multiprocessor ? "multiprocessor" : "uniprocessor");
  std::printf("Replay        tarnwire run %s --seed %llu%s\n", options.path.c_str(),
              static_cast<unsigned long long>(options.common.seed), options.common.multiprocessor ? " --mp" : "");
  Session session(options.common);
  if (session.Boot(scenario.machine)) {
    session.ReportPorts();
    if (!session.Failed()) {
      ScenarioRun run(options, session);
      for (const Step& step : scenario.steps)
        if (!run.Step(step)) break;
    }
  }
  return session.Finish();
}

}  // namespace tarnwire_tool

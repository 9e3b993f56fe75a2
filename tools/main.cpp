// tarnwire: runs the emulated machine with the TARNWIRE driver.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "demo.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: tarnwire <command> [options]\n"
               "\n"
               "commands:\n"
               "  demo   load the driver into the emulated machine, plug two ZM470 bridges and show\n"
               "         the ports, their USB configuration and the bus traffic\n"
               "\n"
               "demo options:\n"
               "  --seed N          scheduler seed (default 1)\n"
               "  --mp              multiprocessor model (default uniprocessor)\n"
               "  --capture FILE    write the USB traffic as a pcap file (default tarnwire-demo.pcap;\n"
               "                    '-' for none); open it with tshark or Wireshark\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    PrintUsage(args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "demo") {
    tarnwire_tool::DemoOptions options;
    for (size_t i = 1; i < args.size(); ++i) {
      const std::string& a = args[i];
      auto value = [&](const char* name) -> const std::string* {
        if (i + 1 >= args.size()) {
          std::fprintf(stderr, "tarnwire demo: %s needs a value\n", name);
          return nullptr;
        }
        return &args[++i];
      };
      if (a == "--seed") {
        const std::string* v = value("--seed");
        if (!v) return 2;
        char* end = nullptr;
        options.seed = std::strtoull(v->c_str(), &end, 0);
        if (v->empty() || *end != '\0') {
          std::fprintf(stderr, "tarnwire demo: --seed wants a number, not '%s'\n", v->c_str());
          return 2;
        }
      } else if (a == "--mp") {
        options.multiprocessor = true;
      } else if (a == "--capture") {
        const std::string* v = value("--capture");
        if (!v) return 2;
        options.capturePath = *v == "-" ? "" : *v;
      } else {
        std::fprintf(stderr, "tarnwire demo: unknown option '%s'\n", a.c_str());
        PrintUsage(stderr);
        return 2;
      }
    }
    return tarnwire_tool::RunDemo(options);
  }
  std::fprintf(stderr, "tarnwire: unknown command '%s'\n", args[0].c_str());
  PrintUsage(stderr);
  return 2;
}

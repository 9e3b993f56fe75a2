// tarnwire: the TARNWIRE driver in an emulated Windows machine, from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <string>

#include "demo.h"
#include "fundamentals_command.h"
#include "options.h"
#include "run.h"
#include "term.h"

namespace {

using tarnwire_tool::CommonOptions;

// A check of CLI11 built from one of the tool's parsers.
template <class T>
CLI::Validator Checked(std::string (*parse)(const std::string&, T*), const char* name) {
  return CLI::Validator(
      [parse](std::string& text) {
        T value{};
        return parse(text, &value);
      },
      "", name);
}

struct CommonText {
  std::string seed = "1";
};

// --seed, --mp, --capture and --trace, on every subcommand.
void AddCommon(CLI::App* sub, CommonOptions& options, CommonText& text, const std::string& defaultCapture) {
  sub->add_option("--seed", text.seed, "scheduler seed, 0 to 18446744073709551615 (default 1): the same seed replays the same run")
      ->type_name("N")
      ->check(Checked(tarnwire_tool::ParseSeed, "seed"));
  sub->add_flag("--mp", options.multiprocessor, "multiprocessor model (default uniprocessor)");
  options.capturePath = defaultCapture;
  sub->add_option("--capture", options.capturePath,
                  "write every USB request and completion to FILE as a pcap capture (tshark, Wireshark); '-' for none" +
                      (defaultCapture.empty() ? std::string(" (default none)") : " (default " + defaultCapture + ")"))
      ->type_name("FILE");
  sub->add_flag("--trace", options.trace, "print the emulated kernel's trace on stderr at the end");
}

void Finish(CommonOptions& options, const CommonText& text) {
  tarnwire_tool::ParseSeed(text.seed, &options.seed);
  if (options.capturePath == "-") options.capturePath.clear();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tarnwire: the TARNWIRE serial driver in an emulated Windows machine, serving emulated ZM470 USB-to-serial\n"
      "bridges. Every run is reproducible from its seed and processor model.",
      "tarnwire"};
  app.set_version_flag("--version", "tarnwire " TARNWIRE_VERSION);
  app.require_subcommand(1);
  // One line naming the problem.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "tarnwire: " + std::string(e.what()) + " (see tarnwire --help, or --help after the subcommand)\n";
  });

  tarnwire_tool::DemoOptions demo;
  CommonText demoText;
  CLI::App* demoCmd = app.add_subcommand(
      "demo",
      "Boot the machine, plug two bridges (chip revisions 0x30 and 0x10) joined by a null-modem cable, open\n"
      "both COM ports through the Win32 API, move data both ways at once with XON/XOFF and then RTS/CTS,\n"
      "check every byte and report. Exits 0 only when every check passed.");
  AddCommon(demoCmd, demo.common, demoText, "tarnwire-demo.pcap");
  demoCmd->add_option("--bytes", demo.bytes, "bytes each way at 921600 baud, 1024 to 16777216 (default 327680)")
      ->type_name("N")
      ->check(CLI::Range(uint64_t{1024}, uint64_t{16777216}));

  tarnwire_tool::TermOptions term;
  CommonText termText;
  std::string termCom;
  std::string termBaud = "115200";
  std::string termFormat = "8N1";
  std::string termFlow = "none";
  CLI::App* termCmd = app.add_subcommand(
      "term",
      "Interactive terminal on an emulated port in real time. The far end of the port's line is a Linux\n"
      "pseudo-terminal whose path is printed on stderr: open it with picocom, minicom, screen or pyserial.\n"
      "Standard input goes out of the port, what the port receives goes to standard output. Ctrl-] or the\n"
      "end of standard input ends the session.");
  AddCommon(termCmd, term.common, termText, "");
  termCmd->add_option("port", termCom, "the port, COM1 to COM256")
      ->required()
      ->type_name("COMn")
      ->check(Checked(tarnwire_tool::ParseCom, "port"));
  termCmd->add_option("--peer", term.peer, "what is at the far end of the line: pty (a Linux pseudo-terminal)")
      ->required()
      ->check(CLI::IsMember({"pty"}));
  termCmd->add_option("--baud", termBaud, "rate, 75 to 3000000 (default 115200)")
      ->type_name("N")
      ->check(Checked(tarnwire_tool::ParseBaud, "baud"));
  termCmd->add_option("--format", termFormat, "data bits 5-8, parity N/O/E/M/S, stop bits 1-2 (default 8N1)")
      ->type_name("DPS")
      ->check(Checked(tarnwire_tool::ParseFormat, "format"));
  termCmd->add_option("--flow", termFlow, "none, rts (RTS/CTS) or xon (XON/XOFF) (default none)")
      ->type_name("FLOW")
      ->check(Checked(tarnwire_tool::ParseFlow, "flow"));

  tarnwire_tool::RunOptions run;
  CommonText runText;
  CLI::App* runCmd = app.add_subcommand(
      "run",
      "Run a scenario file: bridges, revisions, cabling, line settings, data, unplugs and sleeps (the format\n"
      "is described in tools/scenario.h and the README; examples in tools/scenarios), and report as the demo\n"
      "does. Exits 0 when every step checked out, 1 when one failed, 2 when the file is malformed.");
  AddCommon(runCmd, run.common, runText, "");
  runCmd->add_option("scenario", run.path, "the scenario file")
      ->required()
      ->type_name("FILE")
      ->check(CLI::ExistingFile);

  tarnwire_tool::FundamentalsOptions fund;
  CommonText fundText;
  CLI::App* fundCmd = app.add_subcommand(
      "fundamentals",
      "The device fundamentals suite: Plug and Play (disable/enable, remove, cancelled remove, surprise\n"
      "remove, rebalance, cancelled stop, failed restart), sleep and resume through S1 to S4, open/close\n"
      "storms, handles closed with requests pending, a fuzz of file requests and everything at once, each\n"
      "with checked data on loopback plugs, ending with the bridges pulled out and the driver's pool checked.\n"
      "One line per run; a failed run prints the command that replays it. Exits 0 only when all passed.");
  fundCmd->add_option("--scenario", fund.scenario, "a scenario's name, or all (default all)")->type_name("NAME");
  fundCmd->add_option("--seed", fundText.seed, "the first seed (default 1)")
      ->type_name("N")
      ->check(Checked(tarnwire_tool::ParseSeed, "seed"));
  fundCmd->add_option("--seeds", fund.seeds, "seeds per scenario and model, from --seed on (default 1)")
      ->type_name("K")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
  fundCmd->add_option("--cycles", fund.cycles, "operations per run (default 3)")
      ->type_name("C")
      ->check(CLI::Range(1u, 100000u));
  fundCmd->add_option("--virtual-seconds", fund.virtualSeconds,
                      "pad each run with bursty traffic and idle gaps to this much virtual time (default 0)")
      ->type_name("S")
      ->check(CLI::Range(0.0, 1e6));
  fundCmd->add_flag("--mp", fund.multiprocessor, "multiprocessor model (default uniprocessor)");
  fundCmd->add_flag("--both-models", fund.bothModels, "every run under the uniprocessor and the multiprocessor model");
  fundCmd->add_option("--inject", fund.inject,
                      "plant a failure to see it reported: none, lost-bytes or bug-check (default none)")
      ->type_name("FAULT");

  tarnwire_tool::SoakOptions soak;
  CLI::App* soakCmd = app.add_subcommand(
      "soak",
      "The fundamentals scenarios over many seeds (seed s runs scenario s mod 12, multiprocessor when\n"
      "s div 12 is odd), each padded with bursty traffic to --seed-seconds of virtual time. Progress on\n"
      "stderr; the report (seeds, virtual hours, wall time, requests, bytes, Plug and Play and power\n"
      "cycles, bug checks, leaks, bytes lost, each failure's replay command) on stdout and in --report.\n"
      "--shard I/N takes the seeds whose offset from --first-seed is I mod N; merge shard reports with\n"
      "tarnwire soak-merge. Exits 0 only when every run passed.");
  soakCmd->add_option("--seeds", soak.seeds, "seeds of the whole campaign")->type_name("K");
  soakCmd->add_option("--virtual-hours", soak.virtualHours,
                      "run seeds until the campaign covers this much virtual time (each shard its share)")
      ->type_name("H");
  soakCmd->add_option("--first-seed", soak.firstSeed, "the campaign's first seed (default 1)")->type_name("S");
  soakCmd->add_option("--shard", soak.shard, "this shard I of N (default 0/1)")->type_name("I/N");
  soakCmd->add_option("--seed-seconds", soak.seedSeconds, "virtual seconds of each run (default 90)")
      ->type_name("S")
      ->check(CLI::Range(0.0, 1e6));
  soakCmd->add_option("--cycles", soak.cycles, "operations of each run (default 2)")
      ->type_name("C")
      ->check(CLI::Range(1u, 1000u));
  soakCmd->add_option("--report", soak.reportPath, "also write the report as JSON to FILE")->type_name("FILE");

  std::vector<std::string> mergePaths;
  std::string mergeReport;
  CLI::App* mergeCmd =
      app.add_subcommand("soak-merge", "Merge the JSON reports of soak shards and print the whole campaign's report.");
  mergeCmd->add_option("reports", mergePaths, "the shards' reports")->required()->type_name("FILE.json");
  mergeCmd->add_option("--report", mergeReport, "also write the merged report as JSON to FILE")->type_name("FILE");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  if (demoCmd->parsed()) {
    Finish(demo.common, demoText);
    return tarnwire_tool::RunDemo(demo);
  }
  if (termCmd->parsed()) {
    Finish(term.common, termText);
    tarnwire_tool::ParseCom(termCom, &term.com);
    tarnwire_tool::ParseBaud(termBaud, &term.settings.baud);
    tarnwire_tool::ParseFormat(termFormat, &term.settings);
    tarnwire_tool::ParseFlow(termFlow, &term.settings.flow);
    return tarnwire_tool::RunTerm(term);
  }
  if (fundCmd->parsed()) {
    tarnwire_tool::ParseSeed(fundText.seed, &fund.seed);
    return tarnwire_tool::RunFundamentals(fund);
  }
  if (soakCmd->parsed()) return tarnwire_tool::RunSoakCommand(soak);
  if (mergeCmd->parsed()) return tarnwire_tool::RunSoakMerge(mergePaths, mergeReport);
  Finish(run.common, runText);
  return tarnwire_tool::RunScenario(run);
}

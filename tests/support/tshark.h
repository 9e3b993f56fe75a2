// Decoding USB captures with tshark, for tests that check what Wireshark makes of a capture.
#pragma once

#include <string>
#include <vector>

namespace test_support {

struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a shell command and collects its exit status, standard output and standard error.
CommandResult RunCommand(const std::string& command);

bool HaveTshark();

// A path in the temporary directory, unique to this process: "<tmp>/<stem>-<pid><suffix>".
std::string TempPath(const std::string& stem, const std::string& suffix = "");

// One row per packet of the named fields (tshark -T fields plus `options`), each row with exactly
// fields.size() entries. Adds a test failure when tshark cannot read the capture or complains.
std::vector<std::vector<std::string>> TsharkFields(const std::string& capture,
                                                   const std::vector<std::string>& fields,
                                                   const std::string& options = "");

// The full dissection (tshark -V). Adds a test failure when a packet is malformed or draws an
// expert warning or error.
std::string TsharkDissection(const std::string& capture);

}  // namespace test_support

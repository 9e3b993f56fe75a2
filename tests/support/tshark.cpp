#include "support/tshark.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace test_support {
namespace {

// tshark's standard error without its notice about running as root.
std::string Complaints(const std::string& err) {
  std::istringstream in(err);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.empty() || line.find("Running as user") != std::string::npos) continue;
    out += line + "\n";
  }
  return out;
}

}  // namespace

CommandResult RunCommand(const std::string& command) {
  static int calls = 0;
  std::string errFile = TempPath("command-stderr-" + std::to_string(++calls));
  CommandResult r;
  FILE* pipe = ::popen((command + " 2>" + errFile).c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
  r.exitCode = ::pclose(pipe);
  if (FILE* e = std::fopen(errFile.c_str(), "r")) {
    while ((n = std::fread(buf, 1, sizeof buf, e)) > 0) r.err.append(buf, n);
    std::fclose(e);
  }
  std::filesystem::remove(errFile);
  return r;
}

bool HaveTshark() { return RunCommand("command -v tshark").exitCode == 0; }

std::string TempPath(const std::string& stem, const std::string& suffix) {
  return std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(::getpid()) + suffix);
}

std::vector<std::vector<std::string>> TsharkFields(const std::string& capture,
                                                   const std::vector<std::string>& fields,
                                                   const std::string& options) {
  std::string command = "tshark -r " + capture + " -T fields " + options;
  for (const std::string& f : fields) command += " -e " + f;
  CommandResult r = RunCommand(command);
  std::vector<std::vector<std::string>> rows;
  if (r.exitCode != 0) {
    ADD_FAILURE() << "tshark could not read the capture " << capture << ": " << r.err;
    return rows;
  }
  EXPECT_EQ(Complaints(r.err), "") << "tshark must open the capture without complaint";
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> row;
    std::istringstream l(line);
    std::string field;
    while (std::getline(l, field, '\t')) row.push_back(field);
    row.resize(fields.size());
    rows.push_back(row);
  }
  return rows;
}

std::string TsharkDissection(const std::string& capture) {
  CommandResult r = RunCommand("tshark -r " + capture + " -V");
  EXPECT_EQ(r.exitCode, 0) << "tshark could not dissect the capture: " << r.err;
  for (const char* problem : {"Malformed", "Expert Info (Warning", "Expert Info (Error"}) {
    EXPECT_EQ(r.out.find(problem), std::string::npos) << "the dissection shows \"" << problem << "\":\n"
                                                      << r.out;
  }
  return r.out;
}

}  // namespace test_support

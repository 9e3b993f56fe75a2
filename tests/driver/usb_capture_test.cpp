// A capture of the port's configuration (descriptors, selection, revision read) decoded by tshark.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "usb/usb_config.h"
#include "usb_fixture.h"

namespace drvusb_test {
namespace {

struct CommandResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

CommandResult RunCommand(const std::string& command) {
  std::string errFile =
      std::filesystem::temp_directory_path() / ("drvusb-capture-err-" + std::to_string(::getpid()));
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

// tshark's stderr without its notice about running as root.
std::string Warnings(const std::string& err) {
  std::istringstream in(err);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.empty() || line.find("Running as user") != std::string::npos) continue;
    out += line + "\n";
  }
  return out;
}

std::vector<std::vector<std::string>> Rows(const std::string& text, size_t columns) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream l(line);
    std::string field;
    while (std::getline(l, field, '\t')) fields.push_back(field);
    fields.resize(columns);
    rows.push_back(fields);
  }
  return rows;
}

TEST(UsbCapture, ConfigurationTrafficDecodesAsDescriptorsSelectionAndRevisionRead) {
  if (RunCommand("command -v tshark").exitCode != 0) GTEST_SKIP() << "tshark is not installed";
  std::string path =
      std::filesystem::temp_directory_path() / ("drvusb-configure-" + std::to_string(::getpid()) + ".pcap");

  size_t totalLength = 0;
  {
    emu::zm470::Config chip;
    chip.revision = 0x30;
    chip.idProduct = 0x0ABC;
    UsbPortMachine m(chip);
    totalLength = m.chip->ConfigurationDescriptor().size();
    ASSERT_TRUE(m.host->StartCapture(path)) << "the capture file could not be created";
    m.ConfigureOrFail();
    m.host->StopCapture();
  }

  CommandResult r =
      RunCommand("tshark -r " + path +
                 " -T fields -E occurrence=a -E aggregator=, -e usb.irp_info.direction"
                 " -e usb.function -e usb.bmRequestType -e usb.setup.bRequest -e usb.bDescriptorType"
                 " -e usb.setup.wValue -e usb.setup.wLength -e usb.bConfigurationValue"
                 " -e usb.idProduct -e usb.wTotalLength -e usb.bEndpointAddress"
                 " -e usb.control.Response");
  CommandResult full = RunCommand("tshark -r " + path + " -V");
  std::filesystem::remove(path);
  ASSERT_EQ(r.exitCode, 0) << "tshark could not read the capture: " << r.err;
  EXPECT_EQ(Warnings(r.err), "") << "tshark must open the capture without complaint";
  EXPECT_EQ(full.out.find("Malformed"), std::string::npos) << "a packet does not decode:\n" << full.out;
  EXPECT_EQ(full.out.find("Expert Info (Warning"), std::string::npos) << full.out;
  EXPECT_EQ(full.out.find("Expert Info (Error"), std::string::npos) << full.out;

  enum {
    kDirection,
    kFunction,
    kRequestType,
    kRequest,
    kDescriptorType,
    kValue,
    kLength,
    kConfigValue,
    kProduct,
    kTotalLength,
    kEndpoints,
    kResponse,
    kColumns
  };
  std::vector<std::vector<std::string>> submissions, completions;
  for (auto& row : Rows(r.out, kColumns))
    (row[kDirection] == "0x01" ? completions : submissions).push_back(row);
  ASSERT_EQ(submissions.size(), 5u) << "five requests configure the port:\n" << r.out;
  ASSERT_EQ(completions.size(), 5u) << "every request completes:\n" << r.out;

  // Device descriptor, configuration header, whole configuration.
  const char* lengths[] = {"18", "9", nullptr};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("descriptor request " + std::to_string(i));
    const auto& s = submissions[i];
    EXPECT_EQ(s[kFunction], "0x000b") << "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE";
    EXPECT_EQ(s[kRequestType], "0x80");
    EXPECT_EQ(s[kRequest], "6") << "GET_DESCRIPTOR";
    EXPECT_EQ(s[kDescriptorType], i == 0 ? "0x01" : "0x02");
    EXPECT_EQ(s[kLength], lengths[i] ? std::string(lengths[i]) : std::to_string(totalLength));
  }
  EXPECT_EQ(completions[0][kProduct], "0x0abc") << "the device descriptor came back";
  EXPECT_EQ(completions[2][kTotalLength], std::to_string(totalLength));
  EXPECT_NE(completions[2][kEndpoints].find("0x82"), std::string::npos) << completions[2][kEndpoints];
  EXPECT_NE(completions[2][kEndpoints].find("0x02"), std::string::npos) << completions[2][kEndpoints];
  EXPECT_NE(completions[2][kEndpoints].find("0x81"), std::string::npos) << completions[2][kEndpoints];

  // The selection shows as SET_CONFIGURATION 1.
  EXPECT_EQ(submissions[3][kFunction], "0x0000") << "URB_FUNCTION_SELECT_CONFIGURATION";
  EXPECT_EQ(submissions[3][kRequest], "9");
  EXPECT_EQ(submissions[3][kConfigValue], "1");

  // The revision read: vendor request 0x5F, device to host, up to 7 bytes; the chip answers 30 00.
  EXPECT_EQ(submissions[4][kFunction], "0x0017") << "URB_FUNCTION_VENDOR_DEVICE";
  EXPECT_EQ(submissions[4][kRequestType], "0xc0");
  EXPECT_EQ(submissions[4][kRequest], "95") << "request 0x5F";
  EXPECT_EQ(submissions[4][kValue], "0x0000");
  EXPECT_EQ(submissions[4][kLength], "7");
  EXPECT_EQ(completions[4][kResponse], "3000") << "the revision answer";
}

}  // namespace
}  // namespace drvusb_test

// Descriptors, their configurable breakage, and the standard requests of the chip.
#include <cstdio>

#include "chip_fixture.h"

namespace zm470_test {
namespace {

// The endpoint descriptors of a configuration descriptor, in order, as "address attributes
// wMaxPacketSize bInterval" in hex.
std::vector<std::string> Endpoints(const Bytes& d) {
  std::vector<std::string> r;
  for (size_t i = 0; i + 6 < d.size() && d[i] >= 2; i += d[i]) {
    char text[32];
    std::snprintf(text, sizeof text, "%02x %d %d %d", d[i + 2], d[i + 3], d[i + 4] | d[i + 5] << 8, d[i + 6]);
    if (d[i + 1] == 5) r.push_back(text);
  }
  return r;
}
uint16_t Word(const Bytes& d, size_t at) { return static_cast<uint16_t>(d[at] | d[at + 1] << 8); }

TEST_F(ChipTest, DeviceDescriptorAndStringsNameAFullSpeedVendorDevice) {
  Make();
  ControlReply r = Std(0x80, 6, 0x0100, 0, 64);
  ASSERT_EQ(r.data.size(), 18u) << "device descriptor must be 18 bytes";
  EXPECT_EQ(Word(r.data, 2), 0x0110) << "bcdUSB";
  EXPECT_EQ(Word(r.data, 8), 0x0A5D) << "idVendor";
  EXPECT_EQ(Word(r.data, 10), 0x0023) << "default idProduct";
  EXPECT_EQ(r.data[17], 1) << "bNumConfigurations";
  EXPECT_EQ(Std(0x80, 6, 0x0300, 0, 255).data, (Bytes{4, 3, 0x09, 0x04})) << "language table: US English";
  EXPECT_EQ(Std(0x80, 6, 0x0302, 0x0409, 255).data.at(0), 2 + 2 * 10) << "\"USB Serial\" in UTF-16";
  EXPECT_TRUE(Std(0x80, 6, 0x0301, 0x0409, 255).stall) << "no manufacturer string by default";
  EXPECT_TRUE(Std(0x80, 6, 0x0600, 0, 10).stall) << "a full-speed device has no qualifier";

  Config c;
  c.idProduct = 0x7523;
  c.bMaxPacketSize0 = 64;
  Make(c);
  r = Std(0x80, 6, 0x0100, 0, 8);
  ASSERT_EQ(r.data.size(), 8u) << "a short request must be truncated to wLength";
  EXPECT_EQ(r.data[7], 64) << "bMaxPacketSize0 not taken from the configuration";
  EXPECT_EQ(Word(chip->DeviceDescriptor(), 10), 0x7523);
}

TEST_F(ChipTest, ConfigurationDescriptorHasOneVendorInterfaceWithThreePipesAndRevisionDependentPower) {
  Make();
  ControlReply head = Std(0x80, 6, 0x0200, 0, 9);
  ASSERT_EQ(head.data.size(), 9u) << "first 9 bytes of the configuration";
  const uint16_t total = Word(head.data, 2);
  EXPECT_EQ(total, 9 + 9 + 3 * 7);
  EXPECT_EQ(head.data[4], 1) << "bNumInterfaces";
  ControlReply full = Std(0x80, 6, 0x0200, 0, total);
  ASSERT_EQ(full.data.size(), total);
  EXPECT_EQ(full.data[9 + 5], 0xFF) << "interface class must be vendor specific";
  EXPECT_EQ(Endpoints(full.data), (std::vector<std::string>{"82 2 32 0", "02 2 32 0", "81 3 8 1"}));
  for (uint8_t rev : {uint8_t(0x10), uint8_t(0x1F), uint8_t(0x20), uint8_t(0x30)}) {
    EXPECT_EQ(Make(Rev(rev)).ConfigurationDescriptor()[8] == 0x40, rev < 0x20)
        << "bMaxPower 0x40 below 0x20 only, "
        << "revision " << int(rev);
  }
  Config c = Rev(0x20);
  c.bMaxPower = 0x40;
  EXPECT_EQ(Make(c).ConfigurationDescriptor()[8], 0x40) << "explicit bMaxPower ignored";
}

TEST_F(ChipTest, DescriptorsCanBeBrokenOnPurpose) {
  Config c;
  c.endpoints = {{0x02, 2, 64, 0}, {0x81, 3, 10, 1}};  // no bulk in, wrong bulk-out size
  c.bNumInterfaces = 0;
  c.wTotalLength = 300;
  Bytes d = Make(c).ConfigurationDescriptor();
  EXPECT_EQ(Word(d, 2), 300) << "a lying wTotalLength must be sent as configured";
  EXPECT_EQ(d[4], 0);
  EXPECT_EQ(d.size(), 9u + 9 + 2 * 7) << "the real data stays what it is";
  EXPECT_EQ(Endpoints(d), (std::vector<std::string>{"02 2 64 0", "81 3 10 1"}));

  for (size_t total : {255u, 256u, 295u}) {  // 295: 256 bytes of padding, too many for one descriptor
    Config p;
    p.PadConfigurationTo(total);
    Make(p);
    d = Std(0x80, 6, 0x0200, 0, 0xFFFF).data;
    EXPECT_EQ(d.size(), total) << "padding to " << total;
    EXPECT_EQ(Word(d, 2), total) << "wTotalLength after padding to " << total;
    EXPECT_EQ(Endpoints(d).size(), 3u) << "padding must not disturb the endpoints";
    size_t end = 0;
    while (end < d.size() && d[end] >= 2) end += d[end];
    EXPECT_EQ(end, total) << "the padding must be whole descriptors of at least 2 bytes";
  }
  EXPECT_THROW(Config().PadConfigurationTo(40), std::invalid_argument)
      << "one spare byte cannot be a descriptor";
}

TEST_F(ChipTest, ConfigurationEnablesPipesHaltStallsThemAndBusResetClearsBothButNotTheUart) {
  Make();
  size_t n = 0;
  Bytes buf(32);
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Stall) << "pipes must not work unconfigured";
  EXPECT_TRUE(Std(0x00, 9, 2).stall) << "there is no configuration 2";
  ASSERT_FALSE(Std(0x00, 9, 1).stall);
  EXPECT_EQ(Std(0x80, 8, 0, 0, 1).data, Bytes{1}) << "GET_CONFIGURATION";
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Nak) << "empty bulk-in must NAK";
  EXPECT_EQ(chip->In(0x83, buf, n), Handshake::Stall) << "unknown endpoint";
  ASSERT_FALSE(Std(0x02, 3, 0, 0x82).stall) << "SET_FEATURE(ENDPOINT_HALT)";
  EXPECT_EQ(Std(0x82, 0, 0, 0x82, 2).data, (Bytes{1, 0})) << "GET_STATUS must show the halt";
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Stall);
  ASSERT_FALSE(Std(0x02, 1, 0, 0x82).stall) << "CLEAR_FEATURE(ENDPOINT_HALT)";
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Nak);

  chip->HaltEndpoint(0x02, true);
  EXPECT_EQ(SendBulk({1}), Handshake::Stall) << "an injected halt must stall bulk-out";
  WritePair(0x12, 0x83, 0x13, 0xF3);
  chip->BusReset();
  EXPECT_FALSE(chip->Configured()) << "bus reset must unconfigure";
  EXPECT_FALSE(chip->EndpointHalted(0x02)) << "bus reset clears halts";
  EXPECT_EQ(ReadPair(0x12, 0x13), (Bytes{0x83, 0xF3})) << "bus reset keeps the UART";
}

}  // namespace
}  // namespace zm470_test

// Descriptors, their configurable breakage, and the standard requests of the chip.
#include "chip_fixture.h"

namespace zm470_test {
namespace {

struct Ep {
  uint8_t address, attributes;
  uint16_t maxPacket;
  uint8_t interval;
};

// The endpoint descriptors of a configuration descriptor, in order.
std::vector<Ep> Endpoints(const std::vector<uint8_t>& d) {
  std::vector<Ep> r;
  for (size_t i = 0; i + 1 < d.size() && d[i] >= 2; i += d[i]) {
    if (d[i + 1] == 5) r.push_back({d[i + 2], d[i + 3], uint16_t(d[i + 4] | d[i + 5] << 8), d[i + 6]});
  }
  return r;
}

TEST_F(ChipTest, DeviceDescriptorCarriesVendorProductAndFullSpeedVersion) {
  Make();
  ControlReply r = Std(0x80, 6, 0x0100, 0, 64);
  ASSERT_FALSE(r.stall) << "GET_DESCRIPTOR(device) stalled";
  ASSERT_EQ(r.data.size(), 18u) << "device descriptor must be 18 bytes";
  EXPECT_EQ(r.data[2] | r.data[3] << 8, 0x0110) << "bcdUSB";
  EXPECT_EQ(r.data[8] | r.data[9] << 8, 0x0A5D) << "idVendor";
  EXPECT_EQ(r.data[10] | r.data[11] << 8, 0x0023) << "default idProduct";
  EXPECT_EQ(r.data[17], 1) << "bNumConfigurations";

  Config c;
  c.idProduct = 0x7523;
  c.bMaxPacketSize0 = 64;
  Make(c);
  r = Std(0x80, 6, 0x0100, 0, 8);
  ASSERT_EQ(r.data.size(), 8u) << "a short request must be truncated to wLength";
  EXPECT_EQ(r.data[7], 64) << "bMaxPacketSize0 not taken from the configuration";
  EXPECT_EQ(chip->DeviceDescriptor()[10] | chip->DeviceDescriptor()[11] << 8, 0x7523);
}

TEST_F(ChipTest, ConfigurationDescriptorHasOneVendorInterfaceWithThreePipes) {
  Make();
  ControlReply head = Std(0x80, 6, 0x0200, 0, 9);
  ASSERT_EQ(head.data.size(), 9u) << "first 9 bytes of the configuration";
  const uint16_t total = head.data[2] | head.data[3] << 8;
  EXPECT_EQ(total, 9 + 9 + 3 * 7);
  EXPECT_EQ(head.data[4], 1) << "bNumInterfaces";
  EXPECT_NE(head.data[8], 0x40) << "a 0x30 chip must not announce bMaxPower 0x40";

  ControlReply full = Std(0x80, 6, 0x0200, 0, total);
  ASSERT_EQ(full.data.size(), total);
  EXPECT_EQ(full.data[9 + 5], 0xFF) << "interface class must be vendor specific";
  std::vector<Ep> eps = Endpoints(full.data);
  ASSERT_EQ(eps.size(), 3u);
  EXPECT_TRUE(eps[0].address == 0x82 && eps[0].attributes == 2 && eps[0].maxPacket == 32);
  EXPECT_TRUE(eps[1].address == 0x02 && eps[1].attributes == 2 && eps[1].maxPacket == 32);
  EXPECT_TRUE(eps[2].address == 0x81 && eps[2].attributes == 3 && eps[2].interval == 1);
}

TEST_F(ChipTest, OlderRevisionsAnnounceMaxPower0x40UnlessConfiguredOtherwise) {
  Config c;
  c.revision = 0x10;
  EXPECT_EQ(Make(c).ConfigurationDescriptor()[8], 0x40);
  c.revision = 0x20;
  EXPECT_NE(Make(c).ConfigurationDescriptor()[8], 0x40) << "0x20 and later are told apart by 0x5F";
  c.bMaxPower = 0x40;
  EXPECT_EQ(Make(c).ConfigurationDescriptor()[8], 0x40) << "explicit bMaxPower ignored";
}

TEST_F(ChipTest, DescriptorsCanBeBrokenOnPurpose) {
  Config c;
  c.endpoints = {{0x02, 2, 64, 0}, {0x81, 3, 10, 1}};  // no bulk in, wrong bulk-out size
  c.bNumInterfaces = 0;
  c.wTotalLength = 300;
  Make(c);
  std::vector<uint8_t> d = chip->ConfigurationDescriptor();
  EXPECT_EQ(d[2] | d[3] << 8, 300) << "a lying wTotalLength must be sent as configured";
  EXPECT_EQ(d[4], 0);
  EXPECT_EQ(d.size(), 9u + 9 + 2 * 7) << "the real data stays what it is";
  std::vector<Ep> eps = Endpoints(d);
  ASSERT_EQ(eps.size(), 2u);
  EXPECT_EQ(eps[0].maxPacket, 64);

  for (size_t total : {255u, 256u}) {
    Config p;
    p.PadConfigurationTo(total);
    Make(p);
    d = Std(0x80, 6, 0x0200, 0, 0xFFFF).data;
    EXPECT_EQ(d.size(), total) << "padding to " << total;
    EXPECT_EQ(d[2] | d[3] << 8, total) << "wTotalLength after padding to " << total;
    EXPECT_EQ(Endpoints(d).size(), 3u) << "padding must not disturb the endpoints";
  }
  EXPECT_THROW(Config().PadConfigurationTo(40), std::invalid_argument)
      << "one spare byte cannot be a descriptor";
}

TEST_F(ChipTest, ProductStringAndLanguageTable) {
  Make();
  ControlReply langs = Std(0x80, 6, 0x0300, 0, 255);
  ASSERT_EQ(langs.data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  ControlReply product = Std(0x80, 6, 0x0302, 0x0409, 255);
  ASSERT_FALSE(product.stall);
  EXPECT_EQ(product.data[0], 2 + 2 * 10) << "\"USB Serial\" in UTF-16";
  EXPECT_TRUE(Std(0x80, 6, 0x0301, 0x0409, 255).stall) << "no manufacturer string by default";
  EXPECT_TRUE(Std(0x80, 6, 0x0600, 0, 10).stall) << "a full-speed device has no qualifier";
}

TEST_F(ChipTest, ConfigurationEnablesPipesAndHaltFeatureStallsThem) {
  Make();
  std::vector<uint8_t> buf(32);
  size_t n = 0;
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Stall) << "pipes must not work unconfigured";
  EXPECT_TRUE(Std(0x00, 9, 2).stall) << "there is no configuration 2";
  ASSERT_FALSE(Std(0x00, 9, 1).stall);
  EXPECT_EQ(Std(0x80, 8, 0, 0, 1).data, std::vector<uint8_t>{1}) << "GET_CONFIGURATION";
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Nak) << "empty bulk-in must NAK";
  EXPECT_EQ(chip->In(0x83, buf, n), Handshake::Stall) << "unknown endpoint";

  ASSERT_FALSE(Std(0x02, 3, 0, 0x82).stall) << "SET_FEATURE(ENDPOINT_HALT)";
  EXPECT_EQ(Std(0x82, 0, 0, 0x82, 2).data, (std::vector<uint8_t>{1, 0})) << "GET_STATUS must show the halt";
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Stall);
  ASSERT_FALSE(Std(0x02, 1, 0, 0x82).stall) << "CLEAR_FEATURE(ENDPOINT_HALT)";
  EXPECT_EQ(chip->In(0x82, buf, n), Handshake::Nak);

  chip->HaltEndpoint(0x02, true);
  EXPECT_EQ(SendBulk({1}), Handshake::Stall) << "an injected halt must stall bulk-out";
  chip->BusReset();
  EXPECT_FALSE(chip->Configured()) << "bus reset must unconfigure";
  EXPECT_FALSE(chip->EndpointHalted(0x02)) << "bus reset clears halts";
}

TEST_F(ChipTest, BusResetKeepsUartRegisters) {
  MakeConfigured();
  WritePair(0x12, 0x83, 0x13, 0xF3);
  chip->BusReset();
  EXPECT_EQ(ReadPair(0x12, 0x13), std::make_pair(uint8_t(0x83), uint8_t(0xF3)));
}

}  // namespace
}  // namespace zm470_test

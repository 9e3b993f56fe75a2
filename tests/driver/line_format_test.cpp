// Line rate and character format as the chip receives them: registers 0x12/0x13/0x2C and
// 0x18/0x25, the register caches, and the software parity that older chips need.
#include "usb/line_format.h"

#include <bit>

#include "usb_fixture.h"

namespace drvusb_test {
namespace {

using emu::line::Parity;
using emu::line::StopBits;

const UrbFilter kPairWrites = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x9A);
const UrbFilter kPairReads = UrbFilter::Function(URB_FUNCTION_VENDOR_DEVICE).AndRequest(0x95);

// wValue (the register numbers) of every register-pair write in the log.
std::vector<uint16_t> PairWrites(UsbPortMachine& m) {
  std::vector<uint16_t> pairs;
  for (const auto& u : m.usb().UrbsMatching(kPairWrites)) pairs.push_back(u.setup.wValue);
  return pairs;
}

NTSTATUS SetRate(UsbPortMachine& m, ULONG baud) {
  m.ext()->BaudRate = baud;
  return m.Call([&] { return ProgramBaudRate(m.device); });
}

NTSTATUS SetFormat(UsbPortMachine& m, UCHAR dataMask, UCHAR parity, UCHAR stopBits) {
  m.ext()->DataMask = dataMask;
  m.ext()->Parity = parity;
  m.ext()->StopBits = stopBits;
  return m.Call([&] { return ProgramLineFormat(m.device); });
}

UCHAR SoftwareParity(UsbPortMachine& m, UCHAR byte) {
  ApplySoftwareParity(m.ext(), &byte, 1);
  return byte;
}

TEST(ProgramBaudRate, TheSameRateTwiceWritesOnce) {
  ConfiguredPort m;
  EXPECT_EQ(SetRate(m, 9600), STATUS_SUCCESS);
  EXPECT_EQ(PairWrites(m), (std::vector<uint16_t>{0x1312, 0x0F2C})) << "rate pair, then timing pair";
  m.usb().ClearUrbLog();
  EXPECT_EQ(SetRate(m, 9600), STATUS_SUCCESS);
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "the caches show the chip already runs 9600";
}

TEST(ProgramBaudRate, CommonRatesOnEveryRevision) {
  // clang-format off
  const struct { ULONG baud; uint8_t prescaler, divisor, timing; } rates[] = {
      {300, 0x00, 0xD9, 215}, {1200, 0x01, 0xB2, 54},  {9600, 0x02, 0xB2, 7},  {19200, 0x02, 0xD9, 4},
      {57600, 0x03, 0x98, 2}, {115200, 0x03, 0xCC, 2}, {230400, 0x03, 0xE6, 1}, {307200, 0x07, 0xD9, 1},
      {921600, 0x07, 0xF3, 1}, {3000000, 0x03, 0xFE, 1}};
  // clang-format on
  for (uint8_t revision : {0x10, 0x30}) {
    ConfiguredPort m(ChipRevision(revision));
    for (const auto& r : rates) {
      SCOPED_TRACE("revision " + Hex(revision) + ", " + std::to_string(r.baud) + " baud");
      ASSERT_EQ(SetRate(m, r.baud), STATUS_SUCCESS);
      EXPECT_EQ(m.chip->Register(0x12), r.prescaler | (revision >= 0x30 ? 0x80 : 0));
      EXPECT_EQ(m.chip->Register(0x13), r.divisor);
      EXPECT_EQ(m.chip->Register(0x2C), r.timing);
      EXPECT_NEAR(m.chip->LineFrame().baud, r.baud, r.baud * 0.01) << "the chip runs at another rate";
    }
  }
}

TEST(ProgramBaudRate, RefusesRatesOutsideTheDivisorAndRoundsToTheNearerFactor) {
  ConfiguredPort m(ChipRevision(0x10));
  ASSERT_EQ(SetRate(m, 9600), STATUS_SUCCESS);
  for (ULONG refused : {0u, 1u, 45u, 3000001u}) {
    m.usb().ClearUrbLog();
    EXPECT_EQ(SetRate(m, refused), STATUS_UNSUCCESSFUL) << refused << " baud";
    EXPECT_EQ(m.usb().Urbs().size(), 0u) << "nothing may be written for " << refused << " baud";
    EXPECT_EQ(m.chip->Register(0x13), 0xB2) << "the chip must keep its previous divisor";
  }
  // Factor = clock / rate, or one more when that is nearer; a tie keeps the smaller factor.
  const struct {
    ULONG baud;
    uint8_t prescaler, divisor;
  } edges[] = {
      {46, 0, 0x02},     // 11719 / 46 = 254, nearer than 255
      {367, 0, 0xE0},    // 11719 / 31 = 378 is 11 away, 11719 / 32 = 366 is 1 away
      {368, 1, 0x02},    // 93750 / 254 = 369 and 93750 / 255 = 367: a tie
      {2942, 2, 0x01},   // 750000 / 254 = 2952, 750000 / 255 = 2941
      {23530, 3, 0x01},  // 6000000 / 254 = 23622, 6000000 / 255 = 23529
  };
  for (const auto& e : edges) {
    EXPECT_EQ(SetRate(m, e.baud), STATUS_SUCCESS) << e.baud << " baud";
    EXPECT_EQ(m.chip->Register(0x12), e.prescaler) << e.baud << " baud";
    EXPECT_EQ(m.chip->Register(0x13), e.divisor) << e.baud << " baud";
  }
}

TEST(ProgramBaudRate, CharacterTimingFollowsTheFormAtTheNextRateWithHysteresis) {
  // The long form counts a parity or extra stop bit of 8 data bits only; 46 baud reaches the cap.
  const struct {
    ULONG baud;
    UCHAR dataMask, parity;
    int timing;
  } cases[] = {{9600, 0xFF, NO_PARITY, 7},  {9600, 0xFF, EVEN_PARITY, 8},  {9600, 0x7F, EVEN_PARITY, 7},
               {19200, 0xFF, NO_PARITY, 4}, {19200, 0xFF, EVEN_PARITY, 4}, {46, 0xFF, NO_PARITY, 254}};
  for (const auto& c : cases) {
    ConfiguredPort m;
    m.ext()->DataMask = c.dataMask;
    m.ext()->Parity = c.parity;
    EXPECT_EQ(SetRate(m, c.baud), STATUS_SUCCESS);
    EXPECT_EQ(m.chip->Register(0x2C), c.timing)
        << c.baud << " baud, data mask " << Hex(c.dataMask) << ", parity " << int(c.parity);
  }

  ConfiguredPort m;
  ASSERT_EQ(SetRate(m, 9600), STATUS_SUCCESS);
  m.usb().ClearUrbLog();
  ASSERT_EQ(SetFormat(m, 0xFF, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(PairWrites(m), std::vector<uint16_t>{0x2518}) << "a format change writes only 0x18/0x25";
  EXPECT_EQ(m.chip->Register(0x2C), 7);
  m.usb().ClearUrbLog();
  ASSERT_EQ(SetRate(m, 9600), STATUS_SUCCESS);
  EXPECT_EQ(PairWrites(m), std::vector<uint16_t>{0x0F2C}) << "the same rate rewrites only the timing";
  EXPECT_EQ(m.chip->Register(0x2C), 8);

  // 1200 gives 54; 1250 gives 52, within a sixteenth, so 54 stays; 1300 gives 50, beyond it.
  m.ext()->Parity = NO_PARITY;
  ASSERT_EQ(SetRate(m, 1200), STATUS_SUCCESS);
  m.usb().ClearUrbLog();
  ASSERT_EQ(SetRate(m, 1250), STATUS_SUCCESS);
  EXPECT_EQ(PairWrites(m), std::vector<uint16_t>{0x1312});
  EXPECT_EQ(m.chip->Register(0x2C), 54);
  ASSERT_EQ(SetRate(m, 1300), STATUS_SUCCESS);
  EXPECT_EQ(m.chip->Register(0x2C), 50);
}

TEST(CharacterTime, ElevenBitsAtTheRateAndTheSlowestRateForZero) {
  ConfiguredPort m;
  m.ext()->BaudRate = 9600;
  EXPECT_EQ(CharacterTime(m.ext()), 11458u);
  m.ext()->BaudRate = 46;
  ULONG slowest = CharacterTime(m.ext());
  m.ext()->BaudRate = 0;
  EXPECT_EQ(CharacterTime(m.ext()), slowest) << "a stored rate of 0 counts as the slowest accepted rate";
}

TEST(ProgramLineFormat, SevenEvenOneByRevision) {
  {
    ConfiguredPort m(ChipRevision(0x30));
    ASSERT_EQ(SetFormat(m, 0x7F, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
    EXPECT_EQ(m.chip->Register(0x18), 0xC0 | 0x1A) << "7 data bits, parity on, even; bits 6-7 kept";
    EXPECT_EQ(m.chip->Register(0x25), 0);
  }
  ConfiguredPort m(ChipRevision(0x10));
  ASSERT_EQ(SetFormat(m, 0x7F, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(m.chip->Register(0x18) & 0x80, 0) << "no ninth bit: the driver makes the parity";
  EXPECT_EQ(m.chip->Register(0x25) & 7, 0);
  EXPECT_EQ(SoftwareParity(m, 0x41), 0x41);
  EXPECT_EQ(SoftwareParity(m, 0x43), 0xC3);
  ASSERT_EQ(SetFormat(m, 0x3F, ODD_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(SoftwareParity(m, 0x01), 0x81);
  EXPECT_EQ(SoftwareParity(m, 0x03), 0xC3);
}

// The wire after the start bit, first bit first: data bits, the parity bit, stop bits.
std::vector<int> WireBits(unsigned value, int dataBits, Parity parity, int stopBits) {
  std::vector<int> bits;
  for (int i = 0; i < dataBits; ++i) bits.push_back((value >> i) & 1);
  int ones = std::popcount(value & ((1u << dataBits) - 1));
  if (parity == Parity::Odd) bits.push_back(ones % 2 == 0);
  if (parity == Parity::Even) bits.push_back(ones % 2);
  if (parity == Parity::Mark) bits.push_back(1);
  if (parity == Parity::Space) bits.push_back(0);
  bits.insert(bits.end(), stopBits, 1);
  return bits;
}

TEST(ProgramLineFormat, EveryFormatReachesTheWireOnEveryRevision) {
  for (uint8_t revision : {0x10, 0x30}) {
    ConfiguredPort m(ChipRevision(revision));
    // Bits the format keeps: 4 and 6 of 0x18 and 3-7 of 0x25 below 0x30, 6-7 of 0x18 from 0x30.
    const uint8_t kept18 = revision < 0x30 ? 0x50 : 0xC0, kept25 = revision < 0x30 ? 0xF8 : 0x00;
    m.chip->PokeRegister(0x18, 0x7F);  // bit 6 set: no break
    m.chip->PokeRegister(0x25, 0xF8);
    for (int dataBits = 5; dataBits <= 8; ++dataBits) {
      for (UCHAR parity = NO_PARITY; parity <= SPACE_PARITY; ++parity) {
        for (UCHAR stop = STOP_BIT_1; stop <= STOP_BITS_2; ++stop) {
          SCOPED_TRACE("revision " + Hex(revision) + ", " + std::to_string(dataBits) + " bits, parity " +
                       std::to_string(parity) + ", stop code " + std::to_string(stop));
          const auto mask = static_cast<UCHAR>((1u << dataBits) - 1);
          ASSERT_EQ(SetFormat(m, mask, parity, stop), STATUS_SUCCESS);
          EXPECT_EQ(m.chip->Register(0x18) & kept18, 0x7F & kept18) << "bits of register 0x18 lost";
          EXPECT_EQ(m.chip->Register(0x25) & (revision < 0x30 ? 0xF8 : 0xFF), kept25) << "bits of 0x25 wrong";
          const emu::line::Frame frame = m.chip->LineFrame();
          const auto want = static_cast<Parity>(parity);  // SERIAL_LINE_CONTROL order
          if (revision >= 0x30) {
            EXPECT_EQ(frame.dataBits, dataBits);
            EXPECT_EQ(frame.parity, want);
            EXPECT_EQ(frame.stopBits, stop == STOP_BIT_1 ? StopBits::One
                                      : dataBits == 5    ? StopBits::OnePointFive
                                                         : StopBits::Two);
            continue;
          }
          // 8-bit frames: the byte after software parity plus the chip's ninth bit must carry the
          // wanted character and then only marks; only 8 data bits with parity cannot get a
          // second stop bit.
          const bool hardwareLimit = dataBits == 8 && parity != NO_PARITY && stop != STOP_BIT_1;
          for (unsigned v = 0; v < 256; ++v) {
            auto wanted = WireBits(v, dataBits, want, stop == STOP_BIT_1 ? 1 : 2);
            auto sent = WireBits(SoftwareParity(m, static_cast<UCHAR>(v)), 8, frame.parity, 1);
            ASSERT_GE(sent.size() + (hardwareLimit ? 1 : 0), wanted.size()) << "too few stop bits";
            for (size_t i = 0; i < sent.size(); ++i) {
              ASSERT_EQ(sent[i], i < wanted.size() ? wanted[i] : 1)
                  << "byte " << Hex(v) << ": wire bit " << i << " after the start bit is wrong";
            }
          }
        }
      }
    }
  }
}

TEST(RegisterCaches, AFailedReadOrWriteForgetsThePairAndTheNextCallRewritesIt) {
  ConfiguredPort m;
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, kPairWrites);
  EXPECT_EQ(SetRate(m, 9600), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(m.ext()->Reg12Cache, -1);
  EXPECT_EQ(m.ext()->Reg13Cache, -1);
  EXPECT_EQ(PairWrites(m).size(), 1u) << "no timing write after a failed rate write";
  m.usb().ClearUrbLog();
  EXPECT_EQ(SetRate(m, 9600), STATUS_SUCCESS);
  EXPECT_EQ(PairWrites(m), (std::vector<uint16_t>{0x1312, 0x0F2C}));

  m.ext()->Parity = EVEN_PARITY;  // only the timing changes
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, kPairWrites);
  EXPECT_EQ(SetRate(m, 9600), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(m.ext()->Reg2CCache, -1);
  m.usb().ClearUrbLog();
  EXPECT_EQ(SetRate(m, 9600), STATUS_SUCCESS);
  EXPECT_EQ(PairWrites(m), std::vector<uint16_t>{0x0F2C});

  // The chip runs 8N1; 8E1 needs a write once the registers are known.
  m.usb().ClearUrbLog();
  m.ext()->Reg18Cache = 0xC3;  // one known cache is not enough: the pair is read
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, kPairReads);
  EXPECT_EQ(SetFormat(m, 0xFF, EVEN_PARITY, STOP_BIT_1), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(PairWrites(m).size(), 0u) << "nothing may be written without the register values";
  EXPECT_EQ(m.ext()->Reg18Cache, -1) << "a failed read forgets both caches";
  m.usb().FailNext(1, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC, kPairWrites);
  EXPECT_EQ(SetFormat(m, 0xFF, EVEN_PARITY, STOP_BIT_1), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(m.ext()->Reg18Cache, -1);
  EXPECT_EQ(m.ext()->Reg25Cache, -1);
  m.usb().ClearUrbLog();
  EXPECT_EQ(SetFormat(m, 0xFF, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(m.usb().CountUrbs(kPairReads), 1u) << "unknown caches are read back first";
  EXPECT_EQ(PairWrites(m), std::vector<uint16_t>{0x2518});
  EXPECT_EQ(m.chip->LineFrame().parity, Parity::Even);
  m.usb().ClearUrbLog();
  EXPECT_EQ(SetFormat(m, 0xFF, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(m.usb().Urbs().size(), 0u) << "known caches: no read and no write";
}

}  // namespace
}  // namespace drvusb_test

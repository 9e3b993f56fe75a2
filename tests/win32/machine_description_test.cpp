// The TARNWIRE_MACHINE description: what good ones describe, and that a bad one is refused with
// the bad part named.
#include "win32/machine_description.h"

#include <gtest/gtest.h>

namespace {

using emu::win32::FarEnd;
using emu::win32::MachineDescription;
using emu::win32::ParseMachineDescription;

MachineDescription Parse(std::string_view text) {
  MachineDescription description;
  std::string error;
  EXPECT_TRUE(ParseMachineDescription(text, &description, &error)) << text << ": " << error;
  return description;
}

TEST(MachineDescriptionTest, TheDefaultIsOneLoopedBridgeAsCom8InRealTime) {
  const MachineDescription s = Parse(emu::win32::kDefaultMachine);
  ASSERT_EQ(1u, s.bridges.size());
  EXPECT_EQ(8u, s.bridges[0].com);
  EXPECT_EQ(FarEnd::Loopback, s.bridges[0].farEnd);
  EXPECT_EQ(0x30, s.bridges[0].revision);
  EXPECT_TRUE(s.realTime);
  EXPECT_FALSE(s.multiprocessor);
  EXPECT_EQ(1u, s.seed);
}

TEST(MachineDescriptionTest, BridgesFarEndsAndMachineOptions) {
  const MachineDescription s =
      Parse("com8=loopback+ri;COM9=null:COM10;COM10;rev=0x10;COM3=pty,rev=0x2A;virtual;seed=7;mp");
  ASSERT_EQ(4u, s.bridges.size());
  EXPECT_EQ(FarEnd::LoopbackRi, s.bridges[0].farEnd);
  EXPECT_EQ(FarEnd::NullModem, s.bridges[1].farEnd);
  EXPECT_EQ(10u, s.bridges[1].peer);
  // The far end of a cable named from one side is the cable on the other side too.
  EXPECT_EQ(FarEnd::NullModem, s.bridges[2].farEnd);
  EXPECT_EQ(9u, s.bridges[2].peer);
  EXPECT_EQ(FarEnd::Pty, s.bridges[3].farEnd);
  // rev= applies to every bridge that names no revision of its own, wherever it stands.
  EXPECT_EQ(0x10, s.bridges[0].revision);
  EXPECT_EQ(0x10, s.bridges[2].revision);
  EXPECT_EQ(0x2A, s.bridges[3].revision);
  EXPECT_FALSE(s.realTime);
  EXPECT_TRUE(s.multiprocessor);
  EXPECT_EQ(7u, s.seed);

  EXPECT_EQ(FarEnd::None, Parse("COM256=none;realtime;up").bridges[0].farEnd);
  EXPECT_EQ(256u, Parse("COM256;").bridges[0].com);
  const MachineDescription both = Parse("COM9=null:COM10;COM10=null:COM9");
  EXPECT_EQ(10u, both.bridges[0].peer);
  EXPECT_EQ(9u, both.bridges[1].peer);
}

TEST(MachineDescriptionTest, TheFullFormSpellsOutEverySettingAndParsesBack) {
  const struct {
    std::string_view text, full;
  } cases[] = {
      {emu::win32::kDefaultMachine, "COM8=loopback,rev=0x30;realtime;seed=1;up"},
      {"com8=loopback+ri;COM9=null:COM10;COM10;rev=0x10;COM3=pty,rev=0x2A;virtual;seed=18446744073709551615;mp",
       "COM8=loopback+ri,rev=0x10;COM9=null:COM10,rev=0x10;COM10=null:COM9,rev=0x10;COM3=pty,rev=0x2a;"
       "virtual;seed=18446744073709551615;mp"},
      {"COM256,rev=0", "COM256=none,rev=0x00;realtime;seed=1;up"},
  };
  for (const auto& c : cases) {
    const std::string full = emu::win32::FormatMachineDescription(Parse(c.text));
    EXPECT_EQ(c.full, full) << c.text;
    EXPECT_EQ(full, emu::win32::FormatMachineDescription(Parse(full))) << c.text;
  }
}

TEST(MachineDescriptionTest, ABadDescriptionNamesTheBadPart) {
  struct Case {
    const char* text;
    const char* named;  // expected in the error
  };
  const Case cases[] = {
      {"", "empty part"},
      {"seed=7", "no bridge"},
      {"COM8=loopbak", "'COM8=loopbak'"},
      {"COM0=loopback", "'COM0=loopback'"},
      {"COM257", "'COM257'"},
      {"COM08", "'COM08'"},
      {"COMX", "'COMX'"},
      {"LPT1=loopback", "'LPT1=loopback'"},
      {"COM8;COM8=loopback", "COM8 is given twice"},
      {"COM8;;COM9", "empty part"},
      {"COM8;rev=0x100", "'rev=0x100'"},
      {"COM8=loopback,rev=zz", "'COM8=loopback,rev=zz'"},
      {"COM8=loopback,speed=9600", "'COM8=loopback,speed=9600'"},
      {"COM8;seed=-1", "'seed=-1'"},
      {"COM8;seed=99999999999999999999", "'seed=99999999999999999999'"},
      {"COM8;realtime;virtual", "time is given twice"},
      {"COM8;up;mp", "'mp'"},
      {"COM8=null:COM8", "itself"},
      {"COM8=null:COM9", "no bridge COM9"},
      {"COM8=null:COM9;COM9=loopback", "COM9 has something else"},
      {"COM8=null:COM9;COM9=null:COM10;COM10", "'COM8=null:COM9'"},
      {"COM8=null:", "'COM8=null:'"},
  };
  for (const Case& c : cases) {
    MachineDescription description;
    std::string error;
    EXPECT_FALSE(ParseMachineDescription(c.text, &description, &error)) << c.text;
    EXPECT_NE(std::string::npos, error.find(c.named)) << c.text << " gave: " << error;
  }
}

}  // namespace

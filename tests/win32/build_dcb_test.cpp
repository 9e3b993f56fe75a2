// BuildCommDCB and BuildCommDCBAndTimeouts on mode strings of both forms; they need no port.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "win32_fixture.h"

namespace tarnwire::win32_testing {
namespace {

// WCHAR is char16_t in the emulated API and a 16-bit wchar_t on Windows.
LPCWSTR Wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }

struct Expected {
  DWORD baud;
  BYTE parity, data, stop;
  DWORD dtr, rts;
  bool outX, inX, octs, odsr, idsr;
};

// A DCB with settings unlike any the strings ask for, so that what changed shows.
DCB Before() {
  DCB d{};
  d.BaudRate = 4321;
  d.ByteSize = 6;
  d.Parity = SPACEPARITY;
  d.StopBits = ONE5STOPBITS;
  d.fDtrControl = DTR_CONTROL_DISABLE;
  d.fRtsControl = RTS_CONTROL_DISABLE;
  d.fOutX = d.fInX = d.fOutxCtsFlow = d.fOutxDsrFlow = d.fDsrSensitivity = TRUE;
  d.XonChar = 0x11;
  return d;
}

TEST(BuildCommDcbTest, ModeStringsOfBothForms) {
  SKIP_UNDER_WINE(
      "kernel32's mode-string parser (no driver takes part) differs: it leaves fBinary clear; the keyword"
      " form leaves DTR, RTS, XON/XOFF and CTS/DSR flow as they were, not at the defaults expected here; "
      "\"baud=11\""
      " gets StopBits 0, not 2 at 110 baud; \"COM3: BAUD=57600 ... rts=tg idsr=off\" is refused with 87");
  const std::pair<const char*, Expected> cases[] = {
      {"baud=1200 parity=N data=8 stop=1",
       {1200, NOPARITY, 8, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false, false, false,
        true}},
      {"COM1: 9600,n,8,1",
       {9600, NOPARITY, 8, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false, false, false,
        true}},
      {"96,n,8,1",
       {9600, NOPARITY, 8, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false, false, false,
        true}},
      {"19,e,7,2,x",
       {19200, EVENPARITY, 7, TWOSTOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, true, true, false, false,
        true}},
      {"com12:2400,o,5,1.5,p",
       {2400, ODDPARITY, 5, ONE5STOPBITS, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, false, false, true,
        true, true}},
      {"baud=11",
       {110, SPACEPARITY, 6, TWOSTOPBITS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false, false, false,
        true}},
      {"COM3: BAUD=57600 PARITY=M DATA=7 xon=on odsr=on octs=on dtr=hs rts=tg idsr=off",
       {57600, MARKPARITY, 7, ONE5STOPBITS, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, true, true, true, true,
        false}},
      {"baud=300 dtr=off rts=hs",
       {300, SPACEPARITY, 6, ONE5STOPBITS, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, false, false, false,
        false, true}},
  };
  for (const auto& [text, e] : cases) {
    DCB d = Before();
    ASSERT_TRUE(BuildCommDCBA(text, &d)) << text << ": error " << GetLastError();
    EXPECT_EQ(e.baud, d.BaudRate) << text;
    EXPECT_EQ(e.parity, d.Parity) << text;
    EXPECT_EQ(e.data, d.ByteSize) << text;
    EXPECT_EQ(e.stop, d.StopBits) << text;
    EXPECT_EQ(e.dtr, d.fDtrControl) << text;
    EXPECT_EQ(e.rts, d.fRtsControl) << text;
    EXPECT_EQ(e.outX, d.fOutX != 0) << text;
    EXPECT_EQ(e.inX, d.fInX != 0) << text;
    EXPECT_EQ(e.octs, d.fOutxCtsFlow != 0) << text;
    EXPECT_EQ(e.odsr, d.fOutxDsrFlow != 0) << text;
    EXPECT_EQ(e.idsr, d.fDsrSensitivity != 0) << text;
    EXPECT_TRUE(d.fBinary) << text;
    EXPECT_EQ(0x11, d.XonChar) << text << " changed a character it does not name";
  }
}

TEST(BuildCommDcbTest, BadStringsChangeNothing) {
  const char* bad[] = {"baud=fast",    "parity=x",  "data=9",     "data=4",     "stop=3",
                       "xon=maybe",    "dtr=tg",    "rts=both",   "speed=9600", "9600,n,8,1,q",
                       "96,n,8,1,x,9", "COM: 9600", "baud=9600,n"};
  for (const char* text : bad) {
    DCB d = Before();
    SetLastError(0);
    EXPECT_FALSE(BuildCommDCBA(text, &d)) << text;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << text;
    EXPECT_EQ(4321u, d.BaudRate) << text << " changed the DCB";
    EXPECT_EQ(6, d.ByteSize) << text;
  }
}

TEST(BuildCommDcbTest, TimeoutsFollowTo) {
  DCB d{};
  COMMTIMEOUTS t{1, 2, 3, 4, 5};
  ASSERT_TRUE(BuildCommDCBAndTimeoutsW(Wide(u"baud=9600 to=on"), &d, &t));
  EXPECT_EQ(9600u, d.BaudRate);
  EXPECT_EQ(0u, t.ReadIntervalTimeout + t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant);
  EXPECT_EQ(0u, t.WriteTotalTimeoutMultiplier);
  EXPECT_EQ(60000u, t.WriteTotalTimeoutConstant);
  ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=off", &d, &t));
  EXPECT_EQ(0u, t.WriteTotalTimeoutConstant);
  t = COMMTIMEOUTS{1, 2, 3, 4, 5};
  ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=4800", &d, &t));
  EXPECT_EQ(4800u, d.BaudRate);
  EXPECT_EQ(3u, t.ReadTotalTimeoutConstant) << "time-outs changed without to=";
  EXPECT_TRUE(BuildCommDCBW(Wide(u"COM2: baud=2400"), &d));
  EXPECT_EQ(2400u, d.BaudRate);
}

}  // namespace
}  // namespace tarnwire::win32_testing

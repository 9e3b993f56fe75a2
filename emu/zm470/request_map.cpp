// The vendor request and register map of the ZM470, checked field by field.
#include "zm470/request_map.h"

#include <cstdio>

#include "zm470/zm470.h"

namespace emu::zm470 {

namespace {

std::string Hex(unsigned value, int digits) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// One row of the request table. A field passes when its bits outside `free` equal `fixed`.
struct RequestRule {
  uint8_t request;
  bool in;
  uint8_t fromRevision;   // defined on revisions >= fromRevision ...
  uint8_t belowRevision;  // ... and < belowRevision (0: no upper bound)
  uint16_t valueFree, valueFixed;
  uint16_t indexFree, indexFixed;
  uint16_t answerLength;  // IN: the data stage the answer needs
};

// Registers (wValue of 0x95 and 0x9A) and initialisation fields (0xA1) get their own checks below.
constexpr RequestRule kRules[] = {
    {request::kAuxStatus, true, 0, 0, 0x0000, 0, 0x0000, 0, 1},
    {request::kAuxStart, false, 0, 0x20, 0x00FF, 0, 0xFFFF, 0, 0},
    {request::kAuxAccess, true, 0x20, 0, 0xFF00, 0, 0xFE00, 0x0001, 1},
    {request::kAuxAccess, false, 0x20, 0, 0xFFFF, 0, 0xFE00, 0x0001, 0},
    {request::kAuxCommit, false, 0x20, 0, 0x0000, 0x000A, 0x0000, 0, 0},
    {request::kRevision, true, 0, 0, 0x0000, 0, 0x0000, 0, 1},
    {request::kReadPair, true, 0, 0, 0xFFFF, 0, 0x0000, 0, 2},
    {request::kWritePair, false, 0, 0, 0xFFFF, 0, 0xFFFF, 0, 0},
    {request::kInitialize, false, 0, 0, 0xFFFF, 0, 0xFFFF, 0, 0},
    {request::kModemControl, false, 0x20, 0, 0x00FF, 0, 0x0000, 0, 0},
};

enum class Access { None, Read, ReadWrite };

Access RegisterAccess(uint8_t r, uint8_t revision) {
  switch (r) {
    case reg::kBreakRelease:
    case reg::kTiming0F:
    case reg::kPrescaler:
    case reg::kDivisor:
    case reg::kLineControl:
    case reg::kNinthBit:
    case reg::kCharTiming:
      return Access::ReadWrite;
    case reg::kModem:  // the modem outputs are written here only below 0x20
      return revision < 0x20 ? Access::ReadWrite : Access::Read;
    case reg::kTxStatus:
      return Access::Read;
    case reg::kHandshake:
      return revision >= 0x30 ? Access::ReadWrite : Access::None;
    default:
      return Access::None;
  }
}

class Faults {
 public:
  void Add(const std::string& fault) { text_ += (text_.empty() ? "" : "; ") + fault; }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

void CheckField(Faults& f, const char* name, uint16_t value, uint16_t free, uint16_t fixed) {
  if ((value & ~free) == fixed) return;
  if (free == 0) {
    f.Add(std::string(name) + " must be " + Hex(fixed, 4));
  } else {
    f.Add(std::string(name) + " bits " + Hex(static_cast<uint16_t>(~free), 4) + " must be " + Hex(fixed, 4));
  }
}

void CheckRegister(Faults& f, uint8_t r, bool write, uint8_t revision) {
  const Access access = RegisterAccess(r, revision);
  if (access == Access::None) {
    f.Add("register " + Hex(r, 2) + " is not mapped on revision " + Hex(revision, 2));
  } else if (write && access == Access::Read) {
    f.Add("register " + Hex(r, 2) + " is read-only on revision " + Hex(revision, 2));
  }
}

// A register pair: register A in the low byte, B in the high byte; one named twice counts once.
void CheckRegisters(Faults& f, uint16_t pair, bool write, uint8_t revision) {
  const uint8_t a = static_cast<uint8_t>(pair), b = static_cast<uint8_t>(pair >> 8);
  CheckRegister(f, a, write, revision);
  if (b != a) CheckRegister(f, b, write, revision);
}

// Request 0xA1: each flag in the low byte of wValue makes some bits of the other three bytes
// meaningful; bits no flag carries are not defined.
void CheckInitialize(Faults& f, uint16_t value, uint16_t index, uint8_t revision) {
  const bool newFormat = revision >= 0x30;
  const uint8_t known = static_cast<uint8_t>(0x04 | 0x08 | 0x10 | (newFormat ? 0x80 : 0x01 | 0x02));
  const uint8_t flags = static_cast<uint8_t>(value);
  if (flags & ~known) {
    f.Add("initialisation flags " + Hex(flags & ~known, 2) + " are not defined on revision " +
          Hex(revision, 2));
  }
  const uint8_t used = flags & known;
  const uint16_t valueBits = static_cast<uint16_t>(
      0x00FF | ((used & 0x80) ? 0xFF00 : 0) | ((used & 0x01) ? 0xF000 : 0) | ((used & 0x02) ? 0x0F00 : 0));
  const uint16_t indexBits = static_cast<uint16_t>(((used & 0x04) ? (newFormat ? 0x87 : 0x07) : 0) |
                                                   ((used & 0x10) ? 0xF8 : 0) | ((used & 0x08) ? 0xFF00 : 0));
  if (value & ~valueBits) {
    f.Add("wValue bits " + Hex(value & ~valueBits, 4) + " belong to no flag of " + Hex(used, 2));
  }
  if (index & ~indexBits) {
    f.Add("wIndex bits " + Hex(index & ~indexBits, 4) + " belong to no flag of " + Hex(used, 2));
  }
}

}  // namespace

std::string DescribeRequest(const usb::SetupPacket& s) {
  static const char* const kType[4] = {"standard", "class", "vendor", "reserved-type"};
  static const char* const kRecipient[4] = {"device", "interface", "endpoint", "other"};
  const uint8_t recipient = s.bmRequestType & 0x1F;
  char text[128];
  std::snprintf(text, sizeof text, "%s request 0x%02X (%s, to the %s) wValue 0x%04X wIndex 0x%04X wLength %u",
                kType[(s.bmRequestType >> 5) & 3], s.bRequest, (s.bmRequestType & 0x80) ? "IN" : "OUT",
                recipient < 4 ? kRecipient[recipient] : "reserved recipient", s.wValue, s.wIndex, s.wLength);
  return text;
}

std::string MapFault(const usb::SetupPacket& s, uint8_t revision) {
  const uint8_t type = (s.bmRequestType >> 5) & 3;
  if (type == 0) return {};
  if (type != 2 || (s.bmRequestType & 0x1F) != 0) return "not a request of this chip";

  const bool in = (s.bmRequestType & 0x80) != 0;
  const RequestRule* rule = nullptr;
  bool known = false;
  for (const RequestRule& r : kRules) {
    if (r.request != s.bRequest) continue;
    known = true;
    if (r.in == in) rule = &r;
  }
  if (!known) return "not a request of this chip";

  Faults f;
  if (!rule) f.Add(in ? "the request is host-to-device" : "the request is device-to-host");
  if (!in && s.wLength != 0) {
    f.Add("an OUT data stage of " + std::to_string(s.wLength) + " bytes where the request has none");
  }
  if (!rule) return f.Take();  // the fields are defined for the other direction only

  if (revision < rule->fromRevision || (rule->belowRevision != 0 && revision >= rule->belowRevision)) {
    f.Add("not defined on revision " + Hex(revision, 2));
  }
  CheckField(f, "wValue", s.wValue, rule->valueFree, rule->valueFixed);
  CheckField(f, "wIndex", s.wIndex, rule->indexFree, rule->indexFixed);
  if (in && s.wLength < rule->answerLength) {
    f.Add("a data stage of " + std::to_string(s.wLength) + " bytes cannot hold the " +
          std::to_string(rule->answerLength) + "-byte answer");
  }
  if (s.bRequest == request::kReadPair || s.bRequest == request::kWritePair) {
    CheckRegisters(f, s.wValue, s.bRequest == request::kWritePair, revision);
  }
  if (s.bRequest == request::kInitialize) CheckInitialize(f, s.wValue, s.wIndex, revision);
  return f.Take();
}

}  // namespace emu::zm470

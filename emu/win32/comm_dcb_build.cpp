// BuildCommDCB and BuildCommDCBAndTimeouts: a DCB (and time-outs) from a string in the syntax of
// the mode command, in its newer form ("COM1: baud=1200 parity=N data=8 stop=1 xon=on") or its
// older one ("COM1: 96,n,8,1,x"). Nothing is changed unless the whole string is valid.
#include <string>
#include <string_view>

#include "win32/api_call.h"

using namespace emu::win32;

namespace {

std::u16string Lower(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

bool Number(std::u16string_view s, DWORD* value) {
  if (s.empty() || s.size() > 9) return false;
  DWORD v = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + static_cast<DWORD>(c - u'0');
  }
  *value = v;
  return true;
}

// The two-digit abbreviations stand for the rate they begin.
bool Baud(std::u16string_view s, DWORD* rate) {
  static constexpr struct {
    DWORD shortForm, rate;
  } kShort[] = {{11, 110},  {15, 150},  {30, 300},  {60, 600},  {12, 1200},
                {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
  if (!Number(s, rate) || *rate == 0) return false;
  for (auto e : kShort)
    if (s.size() == 2 && *rate == e.shortForm) *rate = e.rate;
  return true;
}

bool Parity(std::u16string_view s, DCB* dcb) {
  static constexpr std::u16string_view kLetters = u"neoms";
  static constexpr BYTE kParity[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
  if (s.size() != 1 || kLetters.find(s[0]) == std::u16string_view::npos) return false;
  dcb->Parity = kParity[kLetters.find(s[0])];
  dcb->fParity = dcb->Parity != NOPARITY;
  return true;
}

bool DataBits(std::u16string_view s, DCB* dcb) {
  DWORD bits = 0;
  if (!Number(s, &bits) || bits < 5 || bits > 8) return false;
  dcb->ByteSize = static_cast<BYTE>(bits);
  return true;
}

bool StopBits(std::u16string_view s, DCB* dcb) {
  if (s == u"1")
    dcb->StopBits = ONESTOPBIT;
  else if (s == u"1.5")
    dcb->StopBits = ONE5STOPBITS;
  else if (s == u"2")
    dcb->StopBits = TWOSTOPBITS;
  else
    return false;
  return true;
}

bool OnOff(std::u16string_view s, bool* on) {
  if (s != u"on" && s != u"off") return false;
  *on = s == u"on";
  return true;
}

// Flow control by default: none, with DTR and RTS on.
void DefaultFlow(DCB* dcb) {
  dcb->fInX = dcb->fOutX = FALSE;
  dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fRtsControl = RTS_CONTROL_ENABLE;
}

struct Parsed {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  bool stopGiven = false;
};

bool NewForm(std::u16string_view rest, Parsed* p) {
  DCB* dcb = &p->dcb;
  DefaultFlow(dcb);
  while (!rest.empty()) {
    const size_t end = rest.find(u' ');
    const std::u16string_view item = rest.substr(0, end);
    rest = end == std::u16string_view::npos ? std::u16string_view{} : rest.substr(end + 1);
    if (item.empty()) continue;
    const size_t eq = item.find(u'=');
    if (eq == std::u16string_view::npos) return false;
    const std::u16string_view key = item.substr(0, eq);
    const std::u16string_view value = item.substr(eq + 1);
    bool on = false;
    if (key == u"baud") {
      if (!Baud(value, &dcb->BaudRate)) return false;
    } else if (key == u"parity") {
      if (!Parity(value, dcb)) return false;
    } else if (key == u"data") {
      if (!DataBits(value, dcb)) return false;
    } else if (key == u"stop") {
      if (!StopBits(value, dcb)) return false;
      p->stopGiven = true;
    } else if (key == u"to") {
      if (!OnOff(value, &on)) return false;
      // With time-outs on, a write gives up after a minute; off, nothing times out.
      p->timeouts = COMMTIMEOUTS{0, 0, 0, 0, on ? 60000u : 0u};
    } else if (key == u"xon") {
      if (!OnOff(value, &on)) return false;
      dcb->fInX = dcb->fOutX = on;
    } else if (key == u"odsr") {
      if (!OnOff(value, &on)) return false;
      dcb->fOutxDsrFlow = on;
    } else if (key == u"octs") {
      if (!OnOff(value, &on)) return false;
      dcb->fOutxCtsFlow = on;
    } else if (key == u"idsr") {
      if (!OnOff(value, &on)) return false;
      dcb->fDsrSensitivity = on;
    } else if (key == u"dtr") {
      if (value == u"hs")
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
      else if (OnOff(value, &on))
        dcb->fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
      else
        return false;
    } else if (key == u"rts") {
      if (value == u"hs")
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
      else if (value == u"tg")
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
      else if (OnOff(value, &on))
        dcb->fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
      else
        return false;
    } else {
      return false;
    }
  }
  return true;
}

// baud[,parity[,data[,stop[,retry]]]], where the retry letter x asks for XON/XOFF and p for the
// hardware handshake.
bool OldForm(std::u16string_view rest, Parsed* p) {
  DCB* dcb = &p->dcb;
  DefaultFlow(dcb);
  std::u16string_view fields[5];
  size_t n = 0;
  while (true) {
    const size_t comma = rest.find(u',');
    if (n == 5) return false;
    std::u16string_view field = rest.substr(0, comma);
    while (!field.empty() && field.front() == u' ') field.remove_prefix(1);
    while (!field.empty() && field.back() == u' ') field.remove_suffix(1);
    fields[n++] = field;
    if (comma == std::u16string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  if (!fields[0].empty() && !Baud(fields[0], &dcb->BaudRate)) return false;
  if (!fields[1].empty() && !Parity(fields[1], dcb)) return false;
  if (!fields[2].empty() && !DataBits(fields[2], dcb)) return false;
  if (!fields[3].empty()) {
    if (!StopBits(fields[3], dcb)) return false;
    p->stopGiven = true;
  }
  if (fields[4] == u"x") {
    dcb->fInX = dcb->fOutX = TRUE;
  } else if (fields[4] == u"p") {
    dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = TRUE;
    dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else if (!fields[4].empty()) {
    return false;
  }
  return true;
}

bool Parse(std::u16string_view definition, Parsed* p) {
  const std::u16string lower = Lower(definition);
  std::u16string_view rest = lower;
  while (!rest.empty() && rest.front() == u' ') rest.remove_prefix(1);
  // An optional device name, COMn with an optional colon.
  if (rest.substr(0, 3) == u"com") {
    size_t digits = 3;
    while (digits < rest.size() && rest[digits] >= u'0' && rest[digits] <= u'9') ++digits;
    if (digits == 3) return false;
    rest.remove_prefix(digits);
    if (!rest.empty() && rest.front() == u':') rest.remove_prefix(1);
    while (!rest.empty() && rest.front() == u' ') rest.remove_prefix(1);
  }
  while (!rest.empty() && rest.back() == u' ') rest.remove_suffix(1);
  if (rest.empty()) return true;
  if (!(rest.find(u'=') != std::u16string_view::npos ? NewForm(rest, p) : OldForm(rest, p))) return false;
  p->dcb.fBinary = TRUE;
  p->dcb.DCBlength = sizeof(DCB);
  // The mode command's rule: 110 baud goes with two stop bits unless others were asked for.
  if (p->dcb.BaudRate == CBR_110 && !p->stopGiven) p->dcb.StopBits = TWOSTOPBITS;
  return true;
}

BOOL Build(std::u16string_view definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  Parsed p{*dcb, timeouts != nullptr ? *timeouts : COMMTIMEOUTS{}};
  if (!Parse(definition, &p)) return Fail(ERROR_INVALID_PARAMETER);
  *dcb = p.dcb;
  if (timeouts != nullptr) *timeouts = p.timeouts;
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
  return lpDef == nullptr ? Fail(ERROR_INVALID_PARAMETER) : Build(lpDef, lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
  return lpDef == nullptr ? Fail(ERROR_INVALID_PARAMETER) : Build(Widen(lpDef), lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpDef == nullptr || lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Build(lpDef, lpDCB, lpCommTimeouts);
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (lpDef == nullptr || lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Build(Widen(lpDef), lpDCB, lpCommTimeouts);
}

}  // extern "C"

// USB descriptors and standard requests of the ZM470.
#include <stdexcept>

#include "zm470/zm470.h"

namespace emu::zm470 {

namespace {

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescString = 3;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescEndpoint = 5;
constexpr uint8_t kDescClassInterface = 0x24;

constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;

constexpr uint16_t kFeatureEndpointHalt = 0;
constexpr uint16_t kFeatureRemoteWakeup = 1;

constexpr uint8_t kConfigurationValue = 1;

size_t ConfigurationLength(const Config& c) {
  return 9 + 9 + 7 * c.endpoints.size() + c.extraDescriptors.size();
}

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

usb::ControlReply Stall() { return usb::ControlReply{true, {}}; }
usb::ControlReply Ok(std::vector<uint8_t> data = {}) { return usb::ControlReply{false, std::move(data)}; }

}  // namespace

void Config::PadConfigurationTo(size_t total) {
  size_t have = ConfigurationLength(*this);
  if (total < have || total - have == 1) {
    throw std::invalid_argument("configuration descriptor cannot be padded to that length");
  }
  size_t need = total - have;
  while (need > 0) {
    size_t chunk = need > 255 ? 255 : need;
    if (need - chunk == 1) chunk -= 2;  // never leave a single byte
    extraDescriptors.push_back(static_cast<uint8_t>(chunk));
    extraDescriptors.push_back(kDescClassInterface);
    extraDescriptors.insert(extraDescriptors.end(), chunk - 2, 0);
    need -= chunk;
  }
}

std::vector<uint8_t> Zm470::DeviceDescriptor() const {
  const Config& c = config_;
  std::vector<uint8_t> d;
  d.push_back(18);
  d.push_back(kDescDevice);
  Put16(d, c.bcdUSB);
  d.push_back(0xFF);  // vendor-specific class
  d.push_back(0);
  d.push_back(0);
  d.push_back(c.bMaxPacketSize0);
  Put16(d, c.idVendor);
  Put16(d, c.idProduct);
  Put16(d, c.bcdDevice);
  d.push_back(c.manufacturer.empty() ? 0 : 1);
  d.push_back(c.product.empty() ? 0 : 2);
  d.push_back(c.serialNumber.empty() ? 0 : 3);
  d.push_back(1);  // one configuration
  return d;
}

std::vector<uint8_t> Zm470::ConfigurationDescriptor() const {
  const Config& c = config_;
  std::vector<uint8_t> d;
  d.push_back(9);
  d.push_back(kDescConfiguration);
  Put16(d, c.wTotalLength ? *c.wTotalLength : static_cast<uint16_t>(ConfigurationLength(c)));
  d.push_back(c.bNumInterfaces ? *c.bNumInterfaces : 1);
  d.push_back(kConfigurationValue);
  d.push_back(0);
  d.push_back(c.bmAttributes);
  d.push_back(c.bMaxPower ? *c.bMaxPower : (c.revision < 0x20 ? 0x40 : 0x31));

  d.push_back(9);
  d.push_back(kDescInterface);
  d.push_back(0);  // interface 0
  d.push_back(0);  // alternate setting 0
  d.push_back(static_cast<uint8_t>(c.endpoints.size()));
  d.push_back(0xFF);  // vendor-specific class
  d.push_back(0x01);
  d.push_back(0x02);
  d.push_back(0);

  for (const EndpointDescriptor& e : c.endpoints) {
    d.push_back(7);
    d.push_back(kDescEndpoint);
    d.push_back(e.address);
    d.push_back(e.attributes);
    Put16(d, e.maxPacketSize);
    d.push_back(e.interval);
  }
  d.insert(d.end(), c.extraDescriptors.begin(), c.extraDescriptors.end());
  return d;
}

std::optional<usb::ControlReply> Zm470::StringDescriptor(uint8_t index, uint16_t language) const {
  if (index == 0) return Ok({4, kDescString, 0x09, 0x04});  // US English only
  if (language != 0x0409) return std::nullopt;
  const std::string* s = nullptr;
  if (index == 1) s = &config_.manufacturer;
  if (index == 2) s = &config_.product;
  if (index == 3) s = &config_.serialNumber;
  if (!s || s->empty() || s->size() > 126) return std::nullopt;
  std::vector<uint8_t> d;
  d.push_back(static_cast<uint8_t>(2 + 2 * s->size()));
  d.push_back(kDescString);
  for (char ch : *s) Put16(d, static_cast<uint8_t>(ch));
  return Ok(std::move(d));
}

Zm470::Endpoint* Zm470::FindEndpoint(uint8_t address) {
  for (Endpoint& e : endpoints_) {
    if (e.desc.address == address) return &e;
  }
  return nullptr;
}

const Zm470::Endpoint* Zm470::FindEndpoint(uint8_t address) const {
  return const_cast<Zm470*>(this)->FindEndpoint(address);
}

bool Zm470::EndpointHalted(uint8_t address) const {
  const Endpoint* e = FindEndpoint(address);
  return e && e->halted;
}

void Zm470::HaltEndpoint(uint8_t address, bool halted) {
  if (Endpoint* e = FindEndpoint(address)) e->halted = halted;
}

void Zm470::BusReset() {
  // A bus reset returns the USB function to the default state. The UART, its registers and
  // FIFOs are not part of the USB function and keep their state (the hub restores the
  // configuration after a port reset and the driver carries on with its register caches).
  address_ = 0;
  configuration_ = 0;
  remoteWakeup_ = false;
  for (Endpoint& e : endpoints_) e.halted = false;
}

usb::ControlReply Zm470::StandardRequest(const usb::SetupPacket& s) {
  const uint8_t recipient = s.bmRequestType & 0x1F;
  const bool in = (s.bmRequestType & 0x80) != 0;

  switch (s.bRequest) {
    case kGetDescriptor: {
      if (!in || recipient != 0) return Stall();
      const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
      const uint8_t index = static_cast<uint8_t>(s.wValue);
      if (type == kDescDevice && index == 0) return Ok(DeviceDescriptor());
      if (type == kDescConfiguration && index == 0) return Ok(ConfigurationDescriptor());
      if (type == kDescString) {
        if (auto r = StringDescriptor(index, s.wIndex)) return *r;
      }
      // Device qualifier and other-speed descriptors: a full-speed-only device stalls.
      return Stall();
    }
    case kSetAddress:
      if (in || recipient != 0 || s.wValue > 127 || configuration_ != 0) return Stall();
      address_ = static_cast<uint8_t>(s.wValue);
      return Ok();
    case kGetConfiguration:
      if (!in || recipient != 0) return Stall();
      return Ok({configuration_});
    case kSetConfiguration: {
      if (in || recipient != 0) return Stall();
      const uint16_t value = s.wValue & 0xFF;
      if (value != 0 && value != kConfigurationValue) return Stall();
      configuration_ = static_cast<uint8_t>(value);
      for (Endpoint& e : endpoints_) e.halted = false;  // data toggles and halts start afresh
      return Ok();
    }
    case kGetInterface:
      if (!in || recipient != 1 || configuration_ == 0 || s.wIndex != 0) return Stall();
      return Ok({0});
    case kSetInterface:
      if (in || recipient != 1 || configuration_ == 0 || s.wIndex != 0 || s.wValue != 0) {
        return Stall();
      }
      for (Endpoint& e : endpoints_) e.halted = false;
      return Ok();
    case kGetStatus: {
      if (!in) return Stall();
      if (recipient == 0) {
        uint8_t status = (config_.bmAttributes & 0x40 ? 1 : 0) | (remoteWakeup_ ? 2 : 0);
        return Ok({status, 0});
      }
      if (recipient == 1) {
        if (configuration_ == 0 || s.wIndex != 0) return Stall();
        return Ok({0, 0});
      }
      if (recipient == 2) {
        const uint8_t ep = static_cast<uint8_t>(s.wIndex);
        if ((ep & 0x7F) == 0) return Ok({0, 0});
        const Endpoint* e = FindEndpoint(ep);
        if (!e || configuration_ == 0) return Stall();
        return Ok({static_cast<uint8_t>(e->halted ? 1 : 0), 0});
      }
      return Stall();
    }
    case kClearFeature:
    case kSetFeature: {
      if (in) return Stall();
      const bool set = s.bRequest == kSetFeature;
      if (recipient == 0 && s.wValue == kFeatureRemoteWakeup) {
        if (!(config_.bmAttributes & 0x20)) return Stall();
        remoteWakeup_ = set;
        return Ok();
      }
      if (recipient == 2 && s.wValue == kFeatureEndpointHalt) {
        const uint8_t ep = static_cast<uint8_t>(s.wIndex);
        if ((ep & 0x7F) == 0) return Ok();  // endpoint 0 cannot stay halted
        Endpoint* e = FindEndpoint(ep);
        if (!e || configuration_ == 0) return Stall();
        e->halted = set;
        return Ok();
      }
      return Stall();
    }
    default:
      return Stall();
  }
}

}  // namespace emu::zm470

// The SERIAL_COMMPROP a port reports: what it can do, and the size of its receive ring.
#include "serial/comm_properties.h"

#include "driver/port_extension.h"

static_assert(sizeof(SERIAL_COMMPROP) == COMM_PROPERTIES_SIZE, "SERIAL_COMMPROP is 64 bytes");

namespace {

// The provider tag in ProvSpec2: "#QZK" read as a little-endian ULONG.
const ULONG kProviderTag = 0x4B5A5123;

}  // namespace

VOID FillCommProperties(PDEVICE_OBJECT DeviceObject, PSERIAL_COMMPROP Properties) {
  Properties->PacketLength = COMM_PROPERTIES_SIZE;
  Properties->PacketVersion = 2;
  Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
  Properties->MaxTxQueue = 0;
  Properties->MaxRxQueue = 0;
  Properties->MaxBaud = SERIAL_BAUD_USER;
  Properties->ProvSubType = SERIAL_SP_RS232;
  Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                 SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR |
                                 SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
  Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                               SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
  // Every SERIAL_BAUD_* rate from 75 to 128K, 57600, 115200 and user-defined rates.
  Properties->SettableBaud = 0x1007FFFF;
  Properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                   SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                   SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
  Properties->CurrentTxQueue = 0;
  Properties->CurrentRxQueue = PortExtension(DeviceObject)->RingSize;
  Properties->ProvSpec1 = 0;
  Properties->ProvSpec2 = kProviderTag;
}

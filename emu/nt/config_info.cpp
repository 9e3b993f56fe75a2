// The machine-wide configuration information (SerialCount and the other device counters) and
// the WDM version the emulated system reports.
#include "nt/io_manager.h"

PCONFIGURATION_INFORMATION NTAPI IoGetConfigurationInformation(VOID) {
  emu::KernelCall();
  return &emu::IoManager::Current().Configuration();
}

// The emulated system is WDM 1.20 (Windows XP): every version up to it is available.
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  emu::KernelCall();
  constexpr UCHAR kMajor = 0x01;
  constexpr UCHAR kMinor = 0x20;
  if (MajorVersion != kMajor) return MajorVersion < kMajor;
  return MinorVersion <= kMinor;
}

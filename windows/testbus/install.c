/* Installs the test bus and the port driver in a Wine prefix and waits for the port to appear.
 *
 * usage: install BUS_INF PORT_INF PORT_NAME...
 *
 * PORT_INF goes to the system's INF directory, where Plug and Play finds it for the bridges the bus
 * reports; the bus is created as a root device and given BUS_INF's driver. Exits 0 once every
 * PORT_NAME (e.g. COM8) opens, 1 with the reason otherwise. */
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <stdio.h>

#define BUS_HARDWARE_ID "ROOT\\TARNWIRE_TESTBUS"
#define PORT_WAIT_MS 60000
#define POLL_MS 100

static int fail(const char *what) {
  printf("install: FAILED: %s (error %lu)\n", what, GetLastError());
  return 1;
}

static int create_bus_device(void) {
  static const GUID system_class = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  static const char ids[] = BUS_HARDWARE_ID "\0";
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, NULL);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
  if (!SetupDiCreateDeviceInfoA(set, "System", &system_class, NULL, NULL, DICD_GENERATE_ID, &device))
    return fail("SetupDiCreateDeviceInfo");
  if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)ids, sizeof ids))
    return fail("SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return fail("DIF_REGISTERDEVICE");
  SetupDiDestroyDeviceInfoList(set);
  return 0;
}

/* Waits until the port opens; 0 once it does, 1 after PORT_WAIT_MS. */
static int wait_for_port(const char *name) {
  char path[64];
  DWORD start = GetTickCount();
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  for (;;) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      printf("install: %s is ready after %lu ms\n", name, GetTickCount() - start);
      return 0;
    }
    if (GetTickCount() - start > PORT_WAIT_MS) {
      printf("install: FAILED: %s did not appear within %d ms (error %lu)\n", name, PORT_WAIT_MS, GetLastError());
      return 1;
    }
    Sleep(POLL_MS);
  }
}

int main(int argc, char **argv) {
  char full[MAX_PATH];
  BOOL reboot = FALSE;
  int i;
  if (argc < 4) {
    printf("usage: install BUS_INF PORT_INF PORT_NAME...\n");
    return 2;
  }
  if (!GetFullPathNameA(argv[2], sizeof full, full, NULL)) return fail("GetFullPathName(PORT_INF)");
  if (!SetupCopyOEMInfA(full, NULL, SPOST_PATH, 0, NULL, 0, NULL, NULL)) return fail("SetupCopyOEMInf(PORT_INF)");
  if (create_bus_device()) return 1;
  if (!GetFullPathNameA(argv[1], sizeof full, full, NULL)) return fail("GetFullPathName(BUS_INF)");
  if (!UpdateDriverForPlugAndPlayDevicesA(NULL, BUS_HARDWARE_ID, full, INSTALLFLAG_FORCE, &reboot))
    return fail("UpdateDriverForPlugAndPlayDevices(BUS_INF)");
  for (i = 3; i < argc; ++i) {
    if (wait_for_port(argv[i])) return 1;
  }
  return 0;
}

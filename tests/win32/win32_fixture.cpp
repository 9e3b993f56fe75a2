#include "win32_fixture.h"

#include <algorithm>

#include "nt/io_util.h"
#include "support/current_schedule.h"

namespace tarnwire::win32_testing {

Win32Test::Win32Test(serial_rig::SerialRig::FarEnd farEnd) : rig_(farEnd, test_support::CurrentConfig()) {
  EXPECT_EQ("", rig_.Error());
  // The ports are the application's: the rig's own handles go.
  for (serial_rig::Bridge* b : {&rig_.A(), &rig_.B()}) {
    if (b->file == nullptr) continue;
    EXPECT_EQ(STATUS_SUCCESS, machine().Close(b->file));
    b->file = nullptr;
  }
}

Win32Test::~Win32Test() { EXPECT_EQ("", rig_.Shutdown()) << "the machine did not shut down cleanly"; }

std::string Win32Test::PortName(serial_rig::Bridge& bridge) const {
  const UNICODE_STRING& name = bridge.ext()->PortName;
  return emu::Narrow(std::u16string_view(name.Buffer, name.Length / sizeof(WCHAR)));
}

HANDLE Win32Test::Open(const std::string& name, DWORD flags) {
  HANDLE h = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         flags, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "opening " << name << " failed with error " << GetLastError();
  return h;
}

void Win32Test::Run(const std::function<void()>& body) { RunTogether({body}); }

void Win32Test::RunTogether(const std::vector<std::function<void()>>& bodies) {
  std::vector<emu::Kernel::ContextId> ids;
  for (const auto& body : bodies) ids.push_back(kernel().StartApplicationThread("application", body));
  const bool done = kernel().RunUntil([&] {
    return std::all_of(ids.begin(), ids.end(), [&](auto id) { return kernel().ContextFinished(id); });
  });
  ASSERT_TRUE(done) << "an application thread never returned:\n" << kernel().DescribeContexts();
}

}  // namespace tarnwire::win32_testing

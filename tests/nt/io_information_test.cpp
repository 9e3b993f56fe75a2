// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION as the I/O manager builds them for an
// application: buffered, with the information class and length in the stack location, and only
// the bytes the driver reports copied back.
#include <cstring>
#include <vector>

#include "nt/io_test_support.h"

namespace {

using emu::Machine;
using emu::testing::Complete;
using emu::testing::LambdaDriver;

// A driver keeping one FilePositionInformation record: set stores it, query returns it.
struct PositionDriver : LambdaDriver {
  LONGLONG position = 0;
  std::vector<std::pair<ULONG, ULONG>> seen;  // class, length of each information request
  explicit PositionDriver(Machine& m) : LambdaDriver(m, u"infoprobe") {
    dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      void* buffer = irp->AssociatedIrp.SystemBuffer;
      switch (sp->MajorFunction) {
        case IRP_MJ_SET_INFORMATION:
          seen.emplace_back(sp->Parameters.SetFile.FileInformationClass, sp->Parameters.SetFile.Length);
          if (sp->Parameters.SetFile.FileInformationClass != FilePositionInformation ||
              sp->Parameters.SetFile.Length < sizeof(LONGLONG))
            return Complete(irp, STATUS_INVALID_PARAMETER);
          std::memcpy(&position, buffer, sizeof position);
          return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_QUERY_INFORMATION:
          seen.emplace_back(sp->Parameters.QueryFile.FileInformationClass, sp->Parameters.QueryFile.Length);
          if (sp->Parameters.QueryFile.FileInformationClass != FilePositionInformation)
            return Complete(irp, STATUS_INVALID_PARAMETER);
          if (sp->Parameters.QueryFile.Length < sizeof(LONGLONG)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
          std::memcpy(buffer, &position, sizeof position);
          return Complete(irp, STATUS_SUCCESS, sizeof position);
        default:
          return Complete(irp, STATUS_SUCCESS);
      }
    };
  }
};

TEST(IoInformation, SetThenQueryRoundTripsThroughTheSystemBuffer) {
  Machine m(test_support::CurrentConfig());
  PositionDriver d(m);
  d.AddDevice(nullptr, u"\\Device\\InfoProbe");
  m.objects().CreateLink(u"\\DosDevices\\INFO1", u"\\Device\\InfoProbe");
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(u"\\??\\INFO1", &file), STATUS_SUCCESS);

  const LONGLONG position = 0x123456789ALL;
  ASSERT_EQ(m.SetInformation(file, FilePositionInformation, &position, sizeof position), STATUS_SUCCESS);
  EXPECT_EQ(d.position, position) << "the set data did not reach the driver's system buffer";

  unsigned char out[16];
  std::memset(out, 0xEE, sizeof out);
  ULONG_PTR information = 0;
  ASSERT_EQ(m.QueryInformation(file, FilePositionInformation, out, sizeof out, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, sizeof position);
  LONGLONG read = 0;
  std::memcpy(&read, out, sizeof read);
  EXPECT_EQ(read, position);
  EXPECT_EQ(out[sizeof position], 0xEE) << "bytes past the reported length were copied back";

  // A failed query leaves the caller's buffer as it was.
  unsigned char standard[24];
  std::memset(standard, 0xEE, sizeof standard);
  EXPECT_EQ(m.QueryInformation(file, FileStandardInformation, standard, sizeof standard), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(standard[0], 0xEE);

  const std::vector<std::pair<ULONG, ULONG>> expected = {{FilePositionInformation, 8},
                                                         {FilePositionInformation, 16},
                                                         {FileStandardInformation, 24}};
  EXPECT_EQ(d.seen, expected) << "information class or length wrong in the stack location";
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
}

// As NtQueryInformationFile and NtSetInformationFile do, a buffer shorter than the class's record
// and a class the call does not accept are refused before an IRP is built: a driver filling a
// FILE_STANDARD_INFORMATION never gets a shorter system buffer.
TEST(IoInformation, ShortBuffersAndClassesTheCallDoesNotAcceptNeverReachTheDriver) {
  Machine m(test_support::CurrentConfig());
  PositionDriver d(m);
  d.AddDevice(nullptr, u"\\Device\\InfoProbe");
  m.objects().CreateLink(u"\\DosDevices\\INFO1", u"\\Device\\InfoProbe");
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(m.Open(u"\\??\\INFO1", &file), STATUS_SUCCESS);
  unsigned char buffer[32] = {};
  ULONG_PTR information = 99;
  EXPECT_EQ(m.QueryInformation(file, FileStandardInformation, buffer, 23, &information), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(m.QueryInformation(file, FilePositionInformation, buffer, 4), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(m.QueryInformation(file, FilePositionInformation, buffer, 0), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(m.QueryInformation(file, 0, buffer, sizeof buffer), STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(m.QueryInformation(file, FileEndOfFileInformation, buffer, sizeof buffer), STATUS_INVALID_INFO_CLASS)
      << "end of file is set, not queried";
  EXPECT_EQ(m.SetInformation(file, FileStandardInformation, buffer, sizeof buffer), STATUS_INVALID_INFO_CLASS)
      << "standard information is queried, not set";
  EXPECT_EQ(m.SetInformation(file, FileEndOfFileInformation, buffer, 7), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_TRUE(d.seen.empty()) << "a refused request reached the driver";
  EXPECT_EQ(m.Close(file), STATUS_SUCCESS);
}

}  // namespace

#include "nt/information_lengths.h"

namespace emu {
namespace {

// FILE_INFORMATION_CLASS values and the sizes of their records in the 64-bit layout.
struct ClassLengths {
  ULONG informationClass;
  ULONG query;  // 0: the class cannot be queried
  ULONG set;    // 0: the class cannot be set
};

constexpr ClassLengths kKnown[] = {
    {4, 40, 40},   // FileBasicInformation
    {5, 24, 0},    // FileStandardInformation
    {6, 8, 0},     // FileInternalInformation
    {7, 4, 0},     // FileEaInformation
    {8, 4, 0},     // FileAccessInformation
    {9, 8, 0},     // FileNameInformation
    {10, 0, 24},   // FileRenameInformation
    {11, 0, 24},   // FileLinkInformation
    {13, 0, 1},    // FileDispositionInformation
    {14, 8, 8},    // FilePositionInformation
    {16, 4, 4},    // FileModeInformation
    {17, 4, 0},    // FileAlignmentInformation
    {18, 104, 0},  // FileAllInformation
    {19, 0, 8},    // FileAllocationInformation
    {20, 0, 8},    // FileEndOfFileInformation
    {34, 56, 0},   // FileNetworkOpenInformation
    {35, 8, 0},    // FileAttributeTagInformation
};

NTSTATUS Check(ULONG informationClass, ULONG length, bool query) {
  if (informationClass == 0) return STATUS_INVALID_INFO_CLASS;
  for (const ClassLengths& c : kKnown) {
    if (c.informationClass != informationClass) continue;
    const ULONG needed = query ? c.query : c.set;
    if (needed == 0) return STATUS_INVALID_INFO_CLASS;
    return length < needed ? STATUS_INFO_LENGTH_MISMATCH : STATUS_SUCCESS;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CheckQueryInformation(ULONG informationClass, ULONG length) {
  return Check(informationClass, length, true);
}

NTSTATUS CheckSetInformation(ULONG informationClass, ULONG length) {
  return Check(informationClass, length, false);
}

}  // namespace emu

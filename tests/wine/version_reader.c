/* Prints the version resource of each file named on its command line as Windows' version API reads
   it: "NAME: FileVersion F, ProductVersion P, A.B.C.D", or "NAME: no version resource". */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static const char* StringValue(void* data, WORD language, WORD codePage, const char* name) {
  char path[96];
  char* value = NULL;
  UINT length = 0;
  snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
  return VerQueryValueA(data, path, (void**)&value, &length) && length > 0 ? value : "(none)";
}

int main(int argc, char** argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[i], &ignored);
    void* data = size != 0 ? malloc(size) : NULL;
    VS_FIXEDFILEINFO* fixed = NULL;
    WORD* translation = NULL;
    UINT length = 0;
    if (data == NULL || !GetFileVersionInfoA(argv[i], 0, size, data) ||
        !VerQueryValueA(data, "\\", (void**)&fixed, &length) || length < sizeof *fixed ||
        !VerQueryValueA(data, "\\VarFileInfo\\Translation", (void**)&translation, &length) || length < 4) {
      printf("%s: no version resource\n", argv[i]);
      failed = 1;
    } else {
      printf("%s: FileVersion %s, ProductVersion %s, %lu.%lu.%lu.%lu\n", argv[i],
             StringValue(data, translation[0], translation[1], "FileVersion"),
             StringValue(data, translation[0], translation[1], "ProductVersion"),
             (unsigned long)HIWORD(fixed->dwFileVersionMS), (unsigned long)LOWORD(fixed->dwFileVersionMS),
             (unsigned long)HIWORD(fixed->dwFileVersionLS), (unsigned long)LOWORD(fixed->dwFileVersionLS));
    }
    free(data);
  }
  return failed;
}

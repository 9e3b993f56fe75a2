/* The Win32 API of the emulated machine: the types, structures, constants and routines a
 * Windows serial program uses, with Windows' names, values and layouts. Compiles as C and C++.
 * Data model: DWORD and LONG are 32 bits, pointers and ULONG_PTR are the host's. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef void VOID;
typedef int BOOL;
typedef char CHAR;
typedef unsigned char UCHAR, BYTE;
typedef int16_t SHORT;
typedef uint16_t USHORT, WORD;
typedef int32_t LONG, INT;
typedef uint32_t ULONG, DWORD, UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR, SIZE_T, DWORD_PTR;
typedef char16_t WCHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef BOOL* LPBOOL;
typedef BYTE* LPBYTE;
typedef WORD* LPWORD;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef LONG* LPLONG;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

#ifdef UNICODE
typedef WCHAR TCHAR;
#define TEXT(quote) u##quote
#else
typedef char TCHAR;
#define TEXT(quote) quote
#endif
typedef TCHAR* LPTSTR;
typedef const TCHAR* LPCTSTR;

#define ZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define FillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define CopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define MoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAXDWORD 0xffffffff

#include "winbase.h"
#include "winerror.h"

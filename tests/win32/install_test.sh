#!/bin/sh
# Installs the Win32 layer into a temporary prefix, builds the example program against it with
# pkg-config alone and runs it: on the default machine, and with a bad TARNWIRE_MACHINE.
# Usage: install_test.sh <cmake> <build dir> <example.c> <C compiler>
set -u
cmake=$1 build=$2 example=$3 cc=$4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install test: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" --component win32 >/dev/null || fail "install failed"
for f in include/windows.h include/winbase.h include/winerror.h lib/libtarnwire-win32.so \
         lib/pkgconfig/tarnwire-win32.pc; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[ "$(pkg-config --variable=prefix tarnwire-win32)" = "$prefix" ] || fail "the .pc file's prefix is not $prefix"
# shellcheck disable=SC2046
"$cc" -o "$prefix/example" "$example" $(pkg-config --cflags --libs tarnwire-win32) || fail "the example does not build"

unset TARNWIRE_MACHINE
out=$("$prefix/example" 2>&1) || fail "the example failed on the default machine: $out"
expected="opened COM8
set 9600 8N1
wrote 5 bytes
read 5 bytes: hello
modem lines: CTS DSR DCD
closed COM8
opened \\\\.\\COM8
set 9600 8N1
wrote 5 bytes
read 5 bytes: hello
modem lines: CTS DSR DCD
closed \\\\.\\COM8"
[ "$out" = "$expected" ] || fail "unexpected output on the default machine:
$out"

out=$(TARNWIRE_MACHINE='COM8=loopbak;realtime' "$prefix/example" 2>&1) && fail "the example succeeded with a bad machine"
echo "$out" | grep -q "bad part 'COM8=loopbak'" || fail "the bad part is not named: $out"
echo "$out" | grep -q "CreateFile failed: error 2$" || fail "CreateFile did not fail with ERROR_FILE_NOT_FOUND: $out"
echo "install test: passed"

// The one place that knows which kernel the driver is built for: the host
// kernel's headers on the host, mingw-w64's DDK for i686 Windows.
#pragma once

extern "C" {
#include <ntddk.h>
#include <ntddser.h>
}


static_assert(sizeof(WCHAR) == 2, "driver sources need 16-bit wide characters");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2, "Windows integer widths");
static_assert(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR is pointer-sized");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS is five 32-bit words");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");

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

// One aligned 32-bit word read and written without a lock from several
// processors (the device state): plain loads and stores on the machine, and
// atomic ones to the compiler, so that neither tears nor caches them.
static inline ULONG ZyrReadUlong(const volatile ULONG *Address) { return __atomic_load_n(Address, __ATOMIC_RELAXED); }
static inline VOID ZyrWriteUlong(volatile ULONG *Address, ULONG Value) { __atomic_store_n(Address, Value, __ATOMIC_RELAXED); }

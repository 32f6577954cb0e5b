// Memory for the conversion objects: non-paged, so usable at DISPATCH_LEVEL.
#include "zyrva_driver.h"

PVOID OsHeapAllocate(ULONG Size) { return ExAllocatePoolWithTag(NonPagedPool, Size, ZYR_POOL_TAG); }

VOID OsHeapFree(PVOID Memory) { ExFreePool(Memory); }

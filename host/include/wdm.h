/* WDM drivers see the same API as ntddk.h on the host. */
#ifndef HOST_WDM_H
#define HOST_WDM_H
#include "ntddk.h"
#endif

// Every driver source includes this and nothing else of the driver's.
#pragma once

#include "zyrva_kernel.h"
#include "zyrva_types.h"
#include "zyrva_routines.h"

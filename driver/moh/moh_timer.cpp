// The modem-on-hold user-response timer's DPC. Armed only by the modem-on-hold
// negotiation of an open channel.
#include "zyrva_driver.h"

VOID NTAPI DpcUserResponseTimeOut(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
}

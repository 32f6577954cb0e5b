// Fixed-size byte ring. Head == Tail is empty when Count is 0 and full when
// Count is Size, so the whole storage is usable.
#include "zyrva_driver.h"

PFIFO FIFOCreate(ULONG Size)
{
    PFIFO fifo = static_cast<PFIFO>(OsHeapAllocate(sizeof(FIFO)));
    if (!fifo) return NULL;
    PUCHAR storage = static_cast<PUCHAR>(OsHeapAllocate(Size));
    if (!storage) {
        OsHeapFree(fifo);
        return NULL;
    }
    fifo->Start = storage;
    fifo->Size = Size;
    fifo->End = storage + Size;
    FIFOFlush(fifo);
    return fifo;
}

VOID FIFODelete(PFIFO Fifo)
{
    OsHeapFree(Fifo->Start);
    OsHeapFree(Fifo);
}

PFIFO FIFOFlush(PFIFO Fifo)
{
    Fifo->Count = 0;
    Fifo->Head = Fifo->Tail = Fifo->Start;
    return Fifo;
}

ULONG FIFOGetCount(PFIFO Fifo) { return Fifo->Count; }

ULONG FIFOGetFree(PFIFO Fifo) { return Fifo->Size - Fifo->Count; }

ULONG FIFOWrite(PFIFO Fifo, const UCHAR *Source, ULONG Length)
{
    ULONG room = Fifo->Size - Fifo->Count;
    ULONG n = Length < room ? Length : room;
    if (n == 0) return 0;
    if (Fifo->Head > Fifo->Tail) {
        // The free space is the one run between Tail and Head.
        RtlCopyMemory(Fifo->Tail, Source, n);
        Fifo->Tail += n;
    } else {
        ULONG first = static_cast<ULONG>(Fifo->End - Fifo->Tail);
        if (n <= first) {
            RtlCopyMemory(Fifo->Tail, Source, n);
            Fifo->Tail += n;
            if (Fifo->Tail == Fifo->End) Fifo->Tail = Fifo->Start;
        } else {
            RtlCopyMemory(Fifo->Tail, Source, first);
            RtlCopyMemory(Fifo->Start, Source + first, n - first);
            Fifo->Tail = Fifo->Start + (n - first);
        }
    }
    Fifo->Count += n;
    return n;
}

ULONG FIFORead(PFIFO Fifo, PUCHAR Destination, ULONG Length)
{
    ULONG n = Length < Fifo->Count ? Length : Fifo->Count;
    if (n == 0) return 0;
    if (Fifo->Tail > Fifo->Head) {
        // The stored bytes do not wrap.
        RtlCopyMemory(Destination, Fifo->Head, n);
        Fifo->Head += n;
    } else {
        ULONG first = static_cast<ULONG>(Fifo->End - Fifo->Head);
        if (n <= first) {
            RtlCopyMemory(Destination, Fifo->Head, n);
            Fifo->Head += n;
            if (Fifo->Head == Fifo->End) Fifo->Head = Fifo->Start;
        } else {
            RtlCopyMemory(Destination, Fifo->Head, first);
            RtlCopyMemory(Destination + first, Fifo->Start, n - first);
            Fifo->Head = Fifo->Start + (n - first);
        }
    }
    Fifo->Count -= n;
    return n;
}

ULONG FIFOPutCh(PFIFO Fifo, ULONG Byte)
{
    if (Fifo->Count == Fifo->Size) return 0;
    *Fifo->Tail = static_cast<UCHAR>(Byte);
    if (++Fifo->Tail == Fifo->End) Fifo->Tail = Fifo->Start;
    Fifo->Count++;
    return 1;
}

ULONG FIFOGetCh(PFIFO Fifo, PUCHAR Byte)
{
    if (Fifo->Count == 0) return 0;
    *Byte = *Fifo->Head;
    if (++Fifo->Head == Fifo->End) Fifo->Head = Fifo->Start;
    Fifo->Count--;
    return 1;
}

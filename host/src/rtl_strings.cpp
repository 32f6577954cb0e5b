// Counted-string routines of the run-time library, and the C run-time string
// routines ntoskrnl exports that the host C library lacks. The ANSI code page
// is Latin-1 here: characters above U+00FF narrow to '?'.
#include "state.h"

#include <cctype>
#include <cstring>

namespace {

const ULONG kStringTag = host::Tag("Strg");

size_t WideLength(PCWSTR text)
{
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

WCHAR UpcaseChar(WCHAR c)
{
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return WCHAR(c - 0x20);
    return c;
}

// Writes a terminating zero after the text when the buffer has room for it.
void TerminateIfRoom(PUNICODE_STRING s)
{
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

}  // namespace

namespace host {

std::u16string ToU16(std::string_view latin1)
{
    std::u16string out;
    out.reserve(latin1.size());
    for (char c : latin1) out.push_back(char16_t(UCHAR(c)));
    return out;
}

std::string ToNarrow(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out.push_back(c <= 0xFF ? char(c) : '?');
    return out;
}

std::u16string FromUnicodeString(const UNICODE_STRING &string)
{
    if (!string.Buffer) return {};
    return std::u16string(reinterpret_cast<const char16_t *>(string.Buffer), string.Length / sizeof(WCHAR));
}

}  // namespace host

using host::detail::KernelAllocate;

extern "C" {

SIZE_T RtlCompareMemory(const VOID *source1, const VOID *source2, SIZE_T length)
{
    auto a = static_cast<const UCHAR *>(source1), b = static_cast<const UCHAR *>(source2);
    SIZE_T i = 0;
    while (i < length && a[i] == b[i]) ++i;
    return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    destination->Buffer = const_cast<PWSTR>(source);
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(source) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    destination->Length = USHORT(bytes);
    destination->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING destination, PCSTR source)
{
    destination->Buffer = const_cast<PCHAR>(source);
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(source);
    if (bytes > 0xFFFE) bytes = 0xFFFE;
    destination->Length = USHORT(bytes);
    destination->MaximumLength = USHORT(bytes + 1);
}

VOID RtlInitString(PSTRING destination, PCSTR source) { RtlInitAnsiString(destination, source); }

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source)
{
    if (!source) return STATUS_SUCCESS;
    size_t bytes = WideLength(source) * sizeof(WCHAR);
    if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<UCHAR *>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = USHORT(destination->Length + bytes);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (!source->Length) return STATUS_SUCCESS;
    if (destination->Length + source->Length > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<UCHAR *>(destination->Buffer) + destination->Length, source->Buffer,
                 source->Length);
    destination->Length = USHORT(destination->Length + source->Length);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (!source || !source->Buffer) {
        destination->Length = 0;
        return;
    }
    USHORT bytes = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
    std::memmove(destination->Buffer, source->Buffer, bytes);
    destination->Length = bytes;
    TerminateIfRoom(destination);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string)
{
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        ULONG d = value % base;
        digits[n++] = char(d < 10 ? '0' + d : 'A' + d - 10);
        value /= base;
    } while (value);
    size_t bytes = size_t(n) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) string->Buffer[i] = WCHAR(digits[n - 1 - i]);
    string->Buffer[n] = 0;
    string->Length = USHORT(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value)
{
    size_t n = string->Length / sizeof(WCHAR), i = 0;
    while (i < n && (string->Buffer[i] == u' ' || string->Buffer[i] == u'\t')) ++i;
    bool negative = false;
    if (i < n && (string->Buffer[i] == u'-' || string->Buffer[i] == u'+')) negative = string->Buffer[i++] == u'-';
    if (base == 0) {
        base = 10;
        if (i + 1 < n && string->Buffer[i] == u'0') {
            WCHAR p = string->Buffer[i + 1];
            if (p == u'x') base = 16, i += 2;
            else if (p == u'o') base = 8, i += 2;
            else if (p == u'b') base = 2, i += 2;
        }
    }
    ULONG result = 0;
    for (; i < n; ++i) {
        WCHAR c = UpcaseChar(string->Buffer[i]);
        ULONG d = c >= u'0' && c <= u'9' ? ULONG(c - u'0') : c >= u'A' && c <= u'F' ? ULONG(c - u'A' + 10) : 99;
        if (d >= base) break;
        result = result * base + d;
    }
    *value = negative ? ULONG(0u - result) : result;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate)
{
    size_t chars = source->Length / sizeof(WCHAR);
    if (chars + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    if (allocate) {
        auto buffer = static_cast<PCHAR>(KernelAllocate(PagedPool, chars + 1, kStringTag, true));
        if (!buffer) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = USHORT(chars + 1);
    } else if (chars >= destination->MaximumLength) {
        if (destination->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        chars = destination->MaximumLength - 1;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i) {
        WCHAR c = source->Buffer[i];
        destination->Buffer[i] = c <= 0xFF ? CHAR(c) : '?';
    }
    destination->Buffer[chars] = 0;
    destination->Length = USHORT(chars);
    return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate)
{
    size_t bytes = size_t(source->Length) * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
    if (allocate) {
        auto buffer = static_cast<PWSTR>(KernelAllocate(PagedPool, bytes + sizeof(WCHAR), kStringTag, true));
        if (!buffer) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    } else if (bytes > destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < source->Length; ++i) destination->Buffer[i] = WCHAR(UCHAR(source->Buffer[i]));
    destination->Length = USHORT(bytes);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING string)
{
    if (string->Buffer) ExFreePool(string->Buffer);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING string)
{
    if (string->Buffer) ExFreePool(string->Buffer);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
    for (size_t i = 0; i < na && i < nb; ++i) {
        WCHAR ca = a->Buffer[i], cb = b->Buffer[i];
        if (caseInsensitive) ca = UpcaseChar(ca), cb = UpcaseChar(cb);
        if (ca != cb) return LONG(ca) - LONG(cb);
    }
    return LONG(na) - LONG(nb);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

char *_strupr(char *text)
{
    for (char *p = text; *p; ++p)
        if (*p >= 'a' && *p <= 'z') *p = char(*p - 'a' + 'A');
    return text;
}

int _stricmp(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        int ca = std::tolower(UCHAR(*a)), cb = std::tolower(UCHAR(*b));
        if (ca != cb || !ca) return ca - cb;
    }
}

int _strnicmp(const char *a, const char *b, SIZE_T n)
{
    for (; n; --n, ++a, ++b) {
        int ca = std::tolower(UCHAR(*a)), cb = std::tolower(UCHAR(*b));
        if (ca != cb || !ca) return ca - cb;
    }
    return 0;
}

}  // extern "C"

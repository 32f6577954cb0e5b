// The registry: a tree of keys with typed values under \Registry, and the
// run-time routines drivers use on it.
#include "state.h"

#include <cstring>

namespace host::detail {

namespace {

std::vector<std::u16string> SplitPath(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find(u'\\', i);
        if (j == std::u16string_view::npos) j = path.size();
        if (j > i) parts.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

}  // namespace

// Absolute path of a RelativeTo base, or empty for an unknown base.
std::u16string RegistryBase(ULONG relativeTo)
{
    switch (relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL)) {
    case RTL_REGISTRY_ABSOLUTE: return u"";
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap\\";
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default\\";
    default: return u"?";
    }
}

// The key at an absolute path ("\Registry\..."), created on the way if asked.
RegistryKey *FindKey(std::u16string_view path, bool create)
{
    std::vector<std::u16string> parts = SplitPath(path);
    if (parts.empty() || Upper(parts[0]) != u"REGISTRY") return nullptr;
    RegistryKey *key = &S().registryRoot;
    for (size_t i = 1; i < parts.size(); ++i) {
        std::u16string upper = Upper(parts[i]);
        auto it = key->subkeys.find(upper);
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            auto child = std::make_unique<RegistryKey>();
            child->name = parts[i];
            it = key->subkeys.emplace(upper, std::move(child)).first;
        }
        key = it->second.get();
    }
    return key;
}

void ShutdownRegistry()
{
    std::lock_guard guard(S().registryLock);
    S().registryRoot.subkeys.clear();
    S().registryRoot.values.clear();
}

namespace {

bool CheckPassive(const char *routine)
{
    if (T().irql == PASSIVE_LEVEL) return true;
    Violation(Rule::IrqlRegistryAbovePassive, std::string(routine) + " at IRQL " + std::to_string(T().irql),
              T().irql);
    return false;
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// RTL_QUERY_REGISTRY_DIRECT: the value goes straight into EntryContext.
NTSTATUS StoreDirect(PRTL_QUERY_REGISTRY_TABLE entry, ULONG type, const UCHAR *data, ULONG length)
{
    if (IsStringType(type)) {
        auto target = static_cast<PUNICODE_STRING>(entry->EntryContext);
        size_t chars = length / sizeof(WCHAR);
        const auto *text = reinterpret_cast<const WCHAR *>(data);
        if (type != REG_MULTI_SZ)
            for (size_t i = 0; i < chars; ++i)
                if (text[i] == 0) {
                    chars = i;
                    break;
                }
        size_t needed = (chars + 1) * sizeof(WCHAR);
        if (!target->Buffer) {
            auto buffer = static_cast<PWSTR>(KernelAllocate(PagedPool, needed, Tag("Strg"), true));
            if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
            target->Buffer = buffer;
            target->MaximumLength = USHORT(needed);
        } else if (needed > target->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(target->Buffer, data, chars * sizeof(WCHAR));
        target->Buffer[chars] = 0;
        target->Length = USHORT(chars * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(entry->EntryContext, data, length);
        return STATUS_SUCCESS;
    }
    // Larger values: the first LONG of the target holds minus its size.
    LONG size = *static_cast<LONG *>(entry->EntryContext);
    if (size >= 0 || ULONG(-size) < length) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(entry->EntryContext, data, length);
    return STATUS_SUCCESS;
}

NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, ULONG type, const UCHAR *data, ULONG length,
                 PVOID context)
{
    if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry, type, data, length);
    // The routine may not change the registry while we hold its data: hand it a copy.
    std::vector<UCHAR> copy(data, data + length);
    return entry->QueryRoutine(name, type, copy.empty() ? nullptr : copy.data(), length, context,
                               entry->EntryContext);
}

NTSTATUS DeliverDefault(PRTL_QUERY_REGISTRY_TABLE entry, PWSTR name, PVOID context)
{
    if (entry->DefaultType == REG_NONE) return STATUS_SUCCESS;
    ULONG length = entry->DefaultLength;
    if (length == 0 && IsStringType(entry->DefaultType) && entry->DefaultData) {
        auto text = static_cast<const WCHAR *>(entry->DefaultData);
        while (text[length / 2]) length += 2;
        length += 2;
    }
    return Deliver(entry, name, entry->DefaultType, static_cast<const UCHAR *>(entry->DefaultData), length, context);
}

}  // namespace

}  // namespace host::detail

using namespace host;
using namespace host::detail;

extern "C" {

NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE table, PVOID context,
                                PVOID)
{
    if (!CheckPassive("RtlQueryRegistryValues")) return STATUS_UNSUCCESSFUL;
    std::u16string base = RegistryBase(relativeTo);
    if (base == u"?") return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(S().registryLock);
    RegistryKey *top = FindKey(base + WideFromPcwstr(path), false);
    if (!top) return STATUS_OBJECT_NAME_NOT_FOUND;
    RegistryKey *key = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = table; entry->QueryRoutine || entry->Name; ++entry) {
        if (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
            key = top;
            if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
                auto it = key->subkeys.find(Upper(WideFromPcwstr(entry->Name)));
                if (it == key->subkeys.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
                key = it->second.get();
            }
            if (!entry->QueryRoutine) continue;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (entry->Name && !(entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
            std::u16string name = Upper(WideFromPcwstr(entry->Name));
            auto it = key->values.find(name);
            if (it == key->values.end()) {
                if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
                status = DeliverDefault(entry, entry->Name, context);
            } else {
                const RegistryValue &value = it->second.value;
                status = Deliver(entry, entry->Name, value.type, value.data.data(), ULONG(value.data.size()), context);
                if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) key->values.erase(name);
            }
        } else if (entry->QueryRoutine) {
            if (key->values.empty() && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            // Copy the names first: a routine may write the registry.
            std::vector<std::pair<std::u16string, RegistryValue>> values;
            for (auto &[upper, v] : key->values) values.emplace_back(v.name, v.value);
            for (auto &[name, value] : values) {
                std::u16string terminated = name + u'\0';
                status = Deliver(entry, reinterpret_cast<PWSTR>(terminated.data()), value.type, value.data.data(),
                                 ULONG(value.data.size()), context);
                if (!NT_SUCCESS(status)) break;
            }
        }
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType, PVOID valueData,
                               ULONG valueLength)
{
    if (!CheckPassive("RtlWriteRegistryValue")) return STATUS_UNSUCCESSFUL;
    std::u16string base = RegistryBase(relativeTo);
    if (base == u"?") return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(S().registryLock);
    RegistryKey *key = FindKey(base + WideFromPcwstr(path), true);
    if (!key) return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string name = WideFromPcwstr(valueName);
    RegistryValue value;
    value.type = valueType;
    auto bytes = static_cast<const UCHAR *>(valueData);
    if (valueLength) value.data.assign(bytes, bytes + valueLength);
    key->values[Upper(name)] = RegistryKey::Value{name, value};
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName)
{
    if (!CheckPassive("RtlDeleteRegistryValue")) return STATUS_UNSUCCESSFUL;
    std::u16string base = RegistryBase(relativeTo);
    if (base == u"?") return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(S().registryLock);
    RegistryKey *key = FindKey(base + WideFromPcwstr(path), false);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    return key->values.erase(Upper(WideFromPcwstr(valueName))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, PWSTR path)
{
    if (!CheckPassive("RtlCreateRegistryKey")) return STATUS_UNSUCCESSFUL;
    std::u16string base = RegistryBase(relativeTo);
    if (base == u"?") return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(S().registryLock);
    return FindKey(base + WideFromPcwstr(path), true) ? STATUS_SUCCESS : STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path)
{
    if (!CheckPassive("RtlCheckRegistryKey")) return STATUS_UNSUCCESSFUL;
    std::u16string base = RegistryBase(relativeTo);
    if (base == u"?") return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(S().registryLock);
    return FindKey(base + WideFromPcwstr(path), false) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"

namespace host {

std::optional<RegistryValue> RegistryGet(std::u16string_view keyPath, std::u16string_view valueName)
{
    std::lock_guard guard(S().registryLock);
    RegistryKey *key = FindKey(keyPath, false);
    if (!key) return std::nullopt;
    auto it = key->values.find(Upper(valueName));
    if (it == key->values.end()) return std::nullopt;
    return it->second.value;
}

void RegistrySet(std::u16string_view keyPath, std::u16string_view valueName, const RegistryValue &value)
{
    std::lock_guard guard(S().registryLock);
    if (RegistryKey *key = FindKey(keyPath, true))
        key->values[Upper(valueName)] = RegistryKey::Value{std::u16string(valueName), value};
}

bool RegistryDeleteValue(std::u16string_view keyPath, std::u16string_view valueName)
{
    std::lock_guard guard(S().registryLock);
    RegistryKey *key = FindKey(keyPath, false);
    return key && key->values.erase(Upper(valueName)) != 0;
}

bool RegistryKeyExists(std::u16string_view keyPath)
{
    std::lock_guard guard(S().registryLock);
    return FindKey(keyPath, false) != nullptr;
}

RegistryValue RegSz(std::u16string_view text, bool terminated)
{
    RegistryValue value;
    value.type = REG_SZ;
    for (char16_t c : text) {
        value.data.push_back(UCHAR(c & 0xFF));
        value.data.push_back(UCHAR(c >> 8));
    }
    if (terminated) value.data.insert(value.data.end(), {0, 0});
    return value;
}

RegistryValue RegDword(ULONG number)
{
    RegistryValue value;
    value.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) value.data.push_back(UCHAR(number >> (8 * i)));
    return value;
}

}  // namespace host

// REGEDIT4 text: importing a .reg file into the registry and exporting a key.
// The text is in the ANSI code page, taken here as Latin-1.
#include "state.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace host::detail {

namespace {

struct Root {
    std::string_view hive;
    std::u16string_view path;
};
constexpr Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", u"\\Registry\\Machine"},
    {"HKEY_USERS", u"\\Registry\\User"},
    {"HKEY_CURRENT_USER", u"\\Registry\\User\\.Default"},
    {"HKEY_CLASSES_ROOT", u"\\Registry\\Machine\\Software\\Classes"},
};

std::string UpperAscii(std::string text)
{
    for (auto &c : text)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return text;
}

std::u16string KeyPathFromHive(const std::string &name)
{
    size_t cut = name.find('\\');
    std::string hive = UpperAscii(name.substr(0, cut));
    for (const Root &root : kRoots)
        if (hive == root.hive)
            return std::u16string(root.path) + (cut == std::string::npos ? u"" : ToU16(name.substr(cut)));
    throw std::runtime_error("unknown registry hive in '" + name + "'");
}

// Reads a quoted string at `pos`, undoing \\ and \" escapes.
std::string Quoted(const std::string &line, size_t &pos)
{
    if (line[pos] != '"') throw std::runtime_error("expected '\"' in: " + line);
    std::string out;
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '\\' && pos + 1 < line.size()) {
            out.push_back(line[++pos]);
        } else if (c == '"') {
            ++pos;
            return out;
        } else {
            out.push_back(c);
        }
    }
    throw std::runtime_error("unterminated string in: " + line);
}

std::vector<UCHAR> HexBytes(const std::string &text)
{
    std::vector<UCHAR> bytes;
    std::string digits;
    auto flush = [&] {
        if (digits.empty()) return;
        bytes.push_back(UCHAR(std::stoul(digits, nullptr, 16)));
        digits.clear();
    };
    for (char c : text) {
        if (std::isxdigit(UCHAR(c))) {
            digits.push_back(c);
        } else if (c == ',') {
            flush();
        } else if (!std::isspace(UCHAR(c))) {
            throw std::runtime_error("bad hex data: " + text);
        }
    }
    flush();
    return bytes;
}

std::string Escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string FormatHex(const std::string &prefix, const std::vector<UCHAR> &data)
{
    std::string out = prefix;
    size_t column = prefix.size();
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
        column += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

// A REG_SZ that regedit can write as "text": terminated once, Latin-1 only.
bool PlainText(const RegistryValue &value, std::string &text)
{
    if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2) return false;
    size_t chars = value.data.size() / 2 - 1;
    if (value.data[chars * 2] || value.data[chars * 2 + 1]) return false;
    text.clear();
    for (size_t i = 0; i < chars; ++i) {
        unsigned c = value.data[2 * i] | unsigned(value.data[2 * i + 1]) << 8;
        if (c == 0 || c > 0xFF) return false;
        text.push_back(char(c));
    }
    return true;
}

void ExportKey(const RegistryKey &key, const std::string &hivePath, std::ostringstream &out)
{
    out << "[" << hivePath << "]\r\n";
    for (auto &[upper, v] : key.values) {
        std::string name = v.name.empty() ? "@" : "\"" + Escape(ToNarrow(v.name)) + "\"";
        std::string text;
        if (PlainText(v.value, text)) {
            out << name << "=\"" << Escape(text) << "\"\r\n";
        } else if (v.value.type == REG_DWORD && v.value.data.size() == 4) {
            ULONG n = v.value.data[0] | ULONG(v.value.data[1]) << 8 | ULONG(v.value.data[2]) << 16 |
                      ULONG(v.value.data[3]) << 24;
            char word[20];
            std::snprintf(word, sizeof word, "dword:%08lx", static_cast<unsigned long>(n));
            out << name << "=" << word << "\r\n";
        } else {
            std::string prefix = v.value.type == REG_BINARY ? "hex:" : "hex(" + std::to_string(v.value.type) + "):";
            out << FormatHex(name + "=" + prefix, v.value.data).substr(0) << "\r\n";
        }
    }
    out << "\r\n";
    for (auto &[upper, child] : key.subkeys) ExportKey(*child, hivePath + "\\" + ToNarrow(child->name), out);
}

std::string HivePath(std::u16string_view keyPath)
{
    std::u16string upper = Upper(keyPath);
    const Root *best = nullptr;
    for (const Root &root : kRoots) {
        std::u16string rootUpper = Upper(root.path);
        if (upper.rfind(rootUpper, 0) == 0 && (upper.size() == rootUpper.size() || upper[rootUpper.size()] == u'\\'))
            if (!best || root.path.size() > best->path.size()) best = &root;
    }
    if (!best) throw std::runtime_error("no hive holds " + ToNarrow(keyPath));
    return std::string(best->hive) + ToNarrow(keyPath.substr(best->path.size()));
}

}  // namespace

}  // namespace host::detail

using namespace host::detail;

namespace host {

void RegistryImport(std::string_view text)
{
    std::istringstream in{std::string(text)};
    std::string line, logical;
    std::vector<std::string> lines;
    bool header = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!header) {
            if (line.empty()) continue;
            if (line != "REGEDIT4" && line.rfind("Windows Registry Editor", 0) != 0)
                throw std::runtime_error("not a REGEDIT4 file: first line is '" + line + "'");
            header = true;
            continue;
        }
        logical += line;
        if (!logical.empty() && logical.back() == '\\' && logical.find('=') != std::string::npos &&
            logical.find("=\"") == std::string::npos) {
            logical.pop_back();
            continue;
        }
        lines.push_back(logical);
        logical.clear();
    }
    if (!logical.empty()) lines.push_back(logical);

    std::lock_guard guard(S().registryLock);
    RegistryKey *key = nullptr;
    for (std::string &raw : lines) {
        size_t first = raw.find_first_not_of(" \t");
        if (first == std::string::npos || raw[first] == ';') continue;
        std::string entry = raw.substr(first);
        if (entry[0] == '[') {
            size_t close = entry.rfind(']');
            if (close == std::string::npos) throw std::runtime_error("bad key line: " + entry);
            std::string name = entry.substr(1, close - 1);
            if (!name.empty() && name[0] == '-') {
                std::u16string path = KeyPathFromHive(name.substr(1));
                size_t cut = path.rfind(u'\\');
                if (RegistryKey *parent = FindKey(path.substr(0, cut), false))
                    parent->subkeys.erase(Upper(path.substr(cut + 1)));
                key = nullptr;
                continue;
            }
            key = FindKey(KeyPathFromHive(name), true);
            continue;
        }
        if (!key) throw std::runtime_error("value outside a key: " + entry);
        size_t pos = 0;
        std::u16string name;
        if (entry[0] == '@') {
            pos = 1;
        } else {
            name = ToU16(Quoted(entry, pos));
        }
        if (pos >= entry.size() || entry[pos] != '=') throw std::runtime_error("expected '=' in: " + entry);
        ++pos;
        std::string data = entry.substr(pos);
        RegistryValue value;
        if (data == "-") {
            key->values.erase(Upper(name));
            continue;
        } else if (!data.empty() && data[0] == '"') {
            size_t at = 0;
            value = RegSz(ToU16(Quoted(data, at)), true);
        } else if (data.rfind("dword:", 0) == 0) {
            value = RegDword(ULONG(std::stoul(data.substr(6), nullptr, 16)));
        } else if (data.rfind("hex:", 0) == 0) {
            value.type = REG_BINARY;
            value.data = HexBytes(data.substr(4));
        } else if (data.rfind("hex(", 0) == 0) {
            size_t close = data.find("):");
            if (close == std::string::npos) throw std::runtime_error("bad hex type in: " + entry);
            value.type = ULONG(std::stoul(data.substr(4, close - 4), nullptr, 16));
            value.data = HexBytes(data.substr(close + 2));
        } else {
            throw std::runtime_error("unknown value data in: " + entry);
        }
        key->values[Upper(name)] = RegistryKey::Value{name, value};
    }
}

void RegistryImportFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    RegistryImport(text.str());
}

std::string RegistryExport(std::u16string_view keyPath)
{
    std::ostringstream out;
    out << "REGEDIT4\r\n\r\n";
    std::lock_guard guard(S().registryLock);
    RegistryKey *key = FindKey(keyPath, false);
    if (key) ExportKey(*key, HivePath(keyPath), out);
    return out.str();
}

void RegistryExportFile(std::u16string_view keyPath, const std::string &path)
{
    std::ofstream file(path, std::ios::binary);
    file << RegistryExport(keyPath);
    if (!file) throw std::runtime_error("cannot write " + path);
}

}  // namespace host

#include "RegStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>

#include "Strings.h"
#include "WenkUtils.h"

namespace {

// A text of the string table with its one argument.
std::string StoreText(const char *text, const std::string &argument)
{
    return QString::fromLatin1(text).arg(QString::fromStdString(argument)).toStdString();
}

} // namespace

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";

std::string Quote(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// The text of a quoted value, or false when raw is no plain string.
bool Unquote(const std::string &raw, std::string &out)
{
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"')
        return false;
    out.clear();
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 2 < raw.size())
            ++i;
        out += raw[i];
    }
    return true;
}

std::string Trim(const std::string &s)
{
    const std::size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// The number of data bytes of a "hex:" or "hex(n):" value.
std::size_t HexBytes(const std::string &raw)
{
    const std::size_t colon = raw.find(':');
    std::size_t bytes = 0;
    bool inByte = false;
    for (std::size_t i = colon + 1; i < raw.size(); ++i) {
        const bool hex = std::isxdigit(static_cast<unsigned char>(raw[i])) != 0;
        if (hex && !inByte)
            ++bytes;
        inByte = hex;
    }
    return bytes;
}

} // namespace

std::string DefaultSettingsFile(const std::string &program)
{
    std::string base;
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        base = xdg;
    else if (const char *home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.config";
    else
        base = "/tmp";
    return base + "/velmora/" + program + ".reg";
}

RegFileStore::RegFileStore(std::string file, std::string key) : m_file(std::move(file)), m_key(std::move(key)) {}

void RegFileStore::Open(bool forWriting)
{
    m_before.clear();
    m_after.clear();
    m_entries.clear();
    m_dirty = false;
    m_writing = forWriting;
    struct stat st;
    if (::stat(m_file.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return; // a missing key: created when something is written
        throw RegistryError(StoreText(strings::kFailedToCreateKey, m_key));
    }
    std::ifstream in(m_file, std::ios::binary);
    std::ostringstream text;
    if (!S_ISREG(st.st_mode) || !in || !(text << in.rdbuf()) || in.bad())
        throw RegistryError(StoreText(strings::kFailedToCreateKey, m_key));
    Parse(text.str());
}

void RegFileStore::Parse(const std::string &text)
{
    const std::string section = "[HKEY_CURRENT_USER\\" + m_key + "]";
    std::istringstream lines(text);
    std::string line;
    enum { Before, In, After } where = Before;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string t = Trim(line);
        if (!t.empty() && t[0] == '[') {
            if (where == In)
                where = After;
            if (t == section) {
                where = In;
                continue;
            }
        }
        if (where != In) {
            (where == Before ? m_before : m_after).push_back(line);
            continue;
        }
        std::string name;
        if (!t.empty() && t[0] == '"' && Unquote(t.substr(0, t.find("\"=", 1) + 1), name) &&
            t.find("\"=", 1) != std::string::npos) {
            m_entries.push_back({name, t.substr(t.find("\"=", 1) + 2)});
        } else if (!t.empty()) {
            m_entries.push_back({"", line}); // kept as it is
        }
    }
}

RegFileStore::Entry *RegFileStore::Find(const std::string &name)
{
    for (Entry &e : m_entries)
        if (!e.name.empty() && e.name == name)
            return &e;
    return nullptr;
}

std::optional<StoredValue> RegFileStore::Read(const QString &qname)
{
    const std::string name = qname.toStdString();
    const Entry *e = Find(name);
    if (!e)
        return std::nullopt;
    std::string text;
    if (Unquote(e->raw, text))
        return StoredValue(QString::fromStdString(text));
    if (e->raw.rfind("dword:", 0) == 0) {
        char *end = nullptr;
        const unsigned long v = std::strtoul(e->raw.c_str() + 6, &end, 16);
        if (end && *end == '\0' && e->raw.size() > 6)
            return StoredValue(static_cast<int32_t>(static_cast<uint32_t>(v)));
    }
    // Another type: a double word is four bytes; a longer value cannot be
    // read into one.
    if (e->raw.rfind("hex", 0) == 0 && HexBytes(e->raw) > 4)
        throw RegistryError(StoreText(strings::kFailedToGetData, name));
    throw RegistryError(StoreText(strings::kInvalidDataType, name));
}

void RegFileStore::WriteString(const QString &name, const QString &value)
{
    const std::string raw = Quote(value.toStdString());
    if (Entry *e = Find(name.toStdString()))
        e->raw = raw;
    else
        m_entries.push_back({name.toStdString(), raw});
    m_dirty = true;
}

void RegFileStore::WriteInt(const QString &name, int32_t value)
{
    char raw[32];
    std::snprintf(raw, sizeof raw, "dword:%08x", static_cast<uint32_t>(value));
    if (Entry *e = Find(name.toStdString()))
        e->raw = raw;
    else
        m_entries.push_back({name.toStdString(), raw});
    m_dirty = true;
}

std::string RegFileStore::Render() const
{
    std::string out;
    bool hasHeader = false;
    for (const std::string &l : m_before)
        if (Trim(l) == kHeader)
            hasHeader = true;
    if (!hasHeader)
        out += std::string(kHeader) + "\n\n";
    for (const std::string &l : m_before)
        out += l + "\n";
    if (!out.empty() && out.substr(out.size() - 2) != "\n\n")
        out += "\n";
    out += "[HKEY_CURRENT_USER\\" + m_key + "]\n";
    for (const Entry &e : m_entries)
        out += e.name.empty() ? e.raw + "\n" : Quote(e.name) + "=" + e.raw + "\n";
    out += "\n";
    for (const std::string &l : m_after)
        out += l + "\n";
    return out;
}

void RegFileStore::Close()
{
    if (!m_writing || !m_dirty)
        return;
    m_dirty = false;
    const std::size_t slash = m_file.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : m_file.substr(0, slash);
    const std::string failed = StoreText(strings::kFailedToCreateKey, m_key);
    if (!wenk::ForceDirectories(dir))
        throw RegistryError(failed);
    const std::string tmp = m_file + ".tmp-" + std::to_string(getpid());
    const std::string text = Render();
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw RegistryError(failed);
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(tmp.c_str(), m_file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        throw RegistryError(failed);
    }
}

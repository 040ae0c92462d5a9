// A settings store in a text file of the registry export format (".reg"):
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\orvane\Misc]
//   "OpenFixed"="1"
//   "Channels"=dword:00000003
//
// Values keep their two types, string and 32-bit double word. Every other
// line of the file (other keys, values of other types, comments) is kept as
// it is when the file is written again, and it is written atomically (a
// temporary file, then a rename), so the settings are never lost.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Platform.h"

class RegFileStore final : public ISettingsStore {
public:
    /// file: the .reg file; key: the key path under HKEY_CURRENT_USER
    /// ("Software\orvane\Misc").
    RegFileStore(std::string file, std::string key);

    void Open(bool forWriting) override;
    std::optional<StoredValue> Read(const QString &name) override;
    void WriteString(const QString &name, const QString &value) override;
    void WriteInt(const QString &name, int32_t value) override;
    void Close() override;

    const std::string &FilePath() const { return m_file; }

private:
    struct Entry {
        std::string name;
        std::string raw; ///< what follows "=" in the file
    };
    void Parse(const std::string &text);
    std::string Render() const;
    Entry *Find(const std::string &name);

    std::string m_file, m_key;
    std::vector<std::string> m_before, m_after; ///< lines outside the key, kept as they are
    std::vector<Entry> m_entries;
    bool m_dirty = false, m_writing = false;
};

/// The store of a user: $XDG_CONFIG_HOME (default ~/.config)/velmora/<program>.reg,
/// key Software\<program>\Misc.
std::string DefaultSettingsFile(const std::string &program);

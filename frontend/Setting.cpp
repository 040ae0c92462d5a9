#include "Setting.h"

#include "Strings.h"

namespace {

int32_t ReadInteger(ISettingsStore &store, const char *name, int32_t fallback)
{
    const auto v = store.Read(QString::fromLatin1(name));
    if (!v)
        return fallback;
    if (const int32_t *i = std::get_if<int32_t>(&*v))
        return *i;
    bool ok = false;
    const int32_t n = std::get<QString>(*v).trimmed().toInt(&ok, 10);
    return ok ? n : fallback;
}

bool ReadBool(ISettingsStore &store, const char *name, bool fallback)
{
    return ReadInteger(store, name, fallback ? 1 : 0) != 0;
}

QString ReadString(ISettingsStore &store, const char *name, const QString &fallback)
{
    const auto v = store.Read(QString::fromLatin1(name));
    if (!v)
        return fallback;
    if (const QString *s = std::get_if<QString>(&*v))
        return *s;
    throw RegistryError(QString::fromLatin1(strings::kInvalidDataType).arg(QString::fromLatin1(name)).toStdString());
}

void WriteInteger(ISettingsStore &store, const char *name, int32_t value)
{
    const QString key = QString::fromLatin1(name);
    std::optional<StoredValue> existing;
    try {
        existing = store.Read(key);
    } catch (const RegistryError &) {
        // a value of another type is replaced by a double word
    }
    if (existing && std::holds_alternative<QString>(*existing))
        store.WriteString(key, QString::number(value));
    else
        store.WriteInt(key, value);
}

void WriteBool(ISettingsStore &store, const char *name, bool value)
{
    store.WriteString(QString::fromLatin1(name), value ? QStringLiteral("1") : QStringLiteral("0"));
}

// The key is opened afresh for each load and save and closed afterwards,
// also when a value fails.
struct OpenKey {
    ISettingsStore &store;
    OpenKey(ISettingsStore &s, bool writing) : store(s) { store.Open(writing); }
    ~OpenKey() noexcept(false)
    {
        if (std::uncaught_exceptions() == 0)
            store.Close();
    }
};

} // namespace

void LoadSettings(ISettingsStore &store, TRepairSettings &s, const QString &defaultTempDir)
{
    OpenKey key(store, false);
    s.OpenFixed = ReadBool(store, "OpenFixed", true);
    s.Channels = ReadInteger(store, "Channels", 3);
    s.Rows = ReadInteger(store, "Rows", 600);
    s.Columns = ReadInteger(store, "Columns", 800);
    s.Depth = ReadInteger(store, "Depth", 8);
    s.Mode = ReadInteger(store, "Mode", 3);
    s.HeuristicRecovery = ReadBool(store, "HeuristicRecovery", true);
    s.TempDir = ReadString(store, "TempDir", defaultTempDir);
    s.BufSize = ReadInteger(store, "BufSize", 512);
    s.OpenFilterIndex = ReadInteger(store, "OpenFilterIndex", 1);
    s.SaveFilterIndex = ReadInteger(store, "SaveFilterIndex", 1);
    s.RebuildDocument = ReadBool(store, "RebuildDocument", true);
}

void SaveSettings(ISettingsStore &store, const TRepairSettings &s)
{
    OpenKey key(store, true);
    WriteBool(store, "OpenFixed", s.OpenFixed);
    WriteInteger(store, "Channels", s.Channels);
    WriteInteger(store, "Rows", s.Rows);
    WriteInteger(store, "Columns", s.Columns);
    WriteInteger(store, "Depth", s.Depth);
    WriteInteger(store, "Mode", s.Mode);
    WriteBool(store, "HeuristicRecovery", s.HeuristicRecovery);
    store.WriteString(QStringLiteral("TempDir"), s.TempDir);
    WriteInteger(store, "BufSize", s.BufSize);
    WriteInteger(store, "OpenFilterIndex", s.OpenFilterIndex);
    WriteInteger(store, "SaveFilterIndex", s.SaveFilterIndex);
    WriteBool(store, "RebuildDocument", s.RebuildDocument);
}

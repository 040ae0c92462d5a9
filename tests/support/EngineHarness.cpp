#include "EngineHarness.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace test {

std::string ToString(const Event &e)
{
    return std::to_string(e.code) + ":" + e.text;
}

int32_t ZELT_CALL CallbackRecorder::Callback(int32_t code, const void *data, void *user)
{
    auto *self = static_cast<CallbackRecorder *>(user);
    if (code == MSG_QUERY_ABORT) {
        ++self->polls;
        self->events.push_back({code, ""});
        return self->abortAtPoll != 0 && self->polls == self->abortAtPoll ? 1 : 0;
    }
    if (code == MSG_PROGRESS)
        self->events.push_back({code, std::to_string(*static_cast<const uint8_t *>(data))});
    else
        self->events.push_back({code, data ? static_cast<const char *>(data) : "<null>"});
    if (code != MSG_PROGRESS && self->onMessage)
        self->onMessage(self->events.back());
    return 0;
}

std::vector<Event> CallbackRecorder::Messages() const
{
    std::vector<Event> out;
    for (const Event &e : events)
        if (e.code != MSG_QUERY_ABORT && e.code != MSG_PROGRESS)
            out.push_back(e);
    return out;
}

static std::vector<std::string> TextsOf(const std::vector<Event> &events, int32_t code)
{
    std::vector<std::string> out;
    for (const Event &e : events)
        if (e.code == code)
            out.push_back(e.text);
    return out;
}

std::vector<std::string> CallbackRecorder::Written() const { return TextsOf(events, MSG_FILE_WRITTEN); }
std::vector<std::string> CallbackRecorder::Errors() const { return TextsOf(events, MSG_ERROR); }

int CallbackRecorder::Count(int32_t code) const
{
    return int(std::count_if(events.begin(), events.end(), [code](const Event &e) { return e.code == code; }));
}

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zelt-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TempDir::~TempDir()
{
    nftw(m_path.c_str(),
         [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string &path, const Bytes &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string MakeDir(const std::string &path)
{
    ::mkdir(path.c_str(), 0755);
    return path;
}

std::string CurrentDir()
{
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

std::vector<std::string> ListDir(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> FilesWithPrefix(const std::string &dir, const std::string &prefix)
{
    std::vector<std::string> out;
    for (const std::string &n : ListDir(dir))
        if (n.rfind(prefix, 0) == 0)
            out.push_back(n);
    return out;
}

RepairOptions MakeOptions(uint16_t channels, uint32_t height, uint32_t width, uint16_t depth, uint16_t mode,
                          uint32_t flags)
{
    RepairOptions o;
    o.StructSize = 22;
    o.ChannelCount = channels;
    o.ImageHeight = height;
    o.ImageWidth = width;
    o.BitsPerChannel = depth;
    o.ColorMode = mode;
    o.RecoveryFlags = flags;
    return o;
}

int32_t Recover(const std::string &source, const std::string &outputDir, CallbackRecorder *recorder,
                const RepairOptions *options)
{
    RepairOptions defaults = MakeOptions(3, 600, 800, 8, 3);
    EngineParams p;
    p.SourcePath = source.c_str();
    p.Options = options ? options : &defaults;
    p.Reserved = 0;
    p.OutputDir = outputDir.c_str();
    p.Callback = recorder ? &CallbackRecorder::Callback : nullptr;
    p.UserData = recorder;
    ZeltMaskParams(&p, sizeof p);
    return RecoverFile(&p);
}

static uint32_t BE32(const Bytes &b, std::size_t at)
{
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
static uint16_t BE16(const Bytes &b, std::size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }

PsdImage ParseRecovered(const std::string &path)
{
    PsdImage img;
    Bytes b = ReadFile(path);
    EXPECT_GE(b.size(), 48u) << path;
    if (b.size() < 48)
        return img;
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "8BPS");
    img.version = BE16(b, 4);
    EXPECT_TRUE(img.version == 1 || img.version == 2) << path;
    img.channels = BE16(b, 12);
    img.height = BE32(b, 14);
    img.width = BE32(b, 18);
    img.depth = BE16(b, 22);
    img.mode = BE16(b, 24);
    const uint32_t cmd = BE32(b, 26);
    img.colorModeData.assign(b.begin() + 30, b.begin() + 30 + cmd);
    std::size_t at = 30 + cmd;
    EXPECT_EQ(BE32(b, at), 0u) << "no image resources";
    at += 4;
    // An empty layer-and-mask section: 4-byte lengths in a document, the
    // section's and the layer info's 8 bytes wide in a large one.
    const Bytes empty = img.version == 1 ? Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}
                                         : Bytes{0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + empty.size()))), empty) << path;
    at += empty.size();
    EXPECT_EQ(BE16(b, at), 0) << "raw planes";
    at += 2;
    const std::size_t bps = img.depth / 8 == 0 ? 1 : img.depth / 8;
    const std::size_t row = img.depth == 1 ? (std::size_t(img.width) + 7) / 8 : std::size_t(img.width) * bps;
    const std::size_t plane = std::size_t(img.height) * row;
    EXPECT_EQ(b.size(), at + plane * img.channels) << path;
    for (uint16_t c = 0; c < img.channels && at + plane <= b.size(); ++c, at += plane)
        img.planes.emplace_back(b.begin() + long(at), b.begin() + long(at + plane));
    return img;
}

PsdDocument ParseDocument(const std::string &path)
{
    PsdDocument doc;
    const Bytes b = ReadFile(path);
    EXPECT_GE(b.size(), 26u) << path;
    if (b.size() < 26)
        return doc;
    PsdImage &img = doc.image;
    img.version = BE16(b, 4);
    img.channels = BE16(b, 12);
    img.height = BE32(b, 14);
    img.width = BE32(b, 18);
    img.depth = BE16(b, 22);
    img.mode = BE16(b, 24);
    std::size_t at = 26;
    const uint32_t cmd = BE32(b, at);
    img.colorModeData.assign(b.begin() + long(at + 4), b.begin() + long(at + 4 + cmd));
    at += 4 + cmd;
    const uint32_t res = BE32(b, at);
    doc.resources.assign(b.begin() + long(at + 4), b.begin() + long(at + 4 + res));
    at += 4 + res;
    const std::size_t sectionEnd = at + 4 + BE32(b, at);
    const std::size_t infoEnd = at + 8 + BE32(b, at + 4);
    at += 8;
    doc.layerCount = int16_t(BE16(b, at));
    at += 2;
    const int count = doc.layerCount < 0 ? -doc.layerCount : doc.layerCount;
    for (int k = 0; k < count; ++k) {
        DocLayer l;
        l.top = int32_t(BE32(b, at));
        l.left = int32_t(BE32(b, at + 4));
        l.bottom = int32_t(BE32(b, at + 8));
        l.right = int32_t(BE32(b, at + 12));
        const uint16_t n = BE16(b, at + 16);
        at += 18;
        for (uint16_t c = 0; c < n; ++c, at += 6)
            l.channels.push_back({int16_t(BE16(b, at)), BE32(b, at + 2)});
        EXPECT_EQ(std::string(b.begin() + long(at), b.begin() + long(at + 4)), "8BIM");
        l.blendKey.assign(b.begin() + long(at + 4), b.begin() + long(at + 8));
        l.opacity = b[at + 8];
        l.clipping = b[at + 9];
        l.flags = b[at + 10];
        const uint32_t extra = BE32(b, at + 12);
        l.extra.assign(b.begin() + long(at + 16), b.begin() + long(at + 16 + extra));
        at += 16 + extra;
        // Mask data, blending ranges, the Pascal name, then tagged blocks.
        std::size_t e = 4 + BE32(l.extra, 0);
        e += 4 + BE32(l.extra, e);
        l.name.assign(l.extra.begin() + long(e + 1), l.extra.begin() + long(e + 1 + l.extra[e]));
        e += (1 + l.extra[e] + 3) / 4 * 4;
        while (e + 12 <= l.extra.size()) {
            const std::string key(l.extra.begin() + long(e + 4), l.extra.begin() + long(e + 8));
            const uint32_t len = BE32(l.extra, e + 8);
            if (key == "luni")
                for (uint32_t i = 0; i < BE32(l.extra, e + 12); ++i)
                    l.unicodeName += char(BE16(l.extra, e + 16 + 2 * i));
            e += 12 + len;
        }
        doc.layers.push_back(std::move(l));
    }
    for (DocLayer &l : doc.layers)
        for (const auto &[id, length] : l.channels) {
            EXPECT_EQ(BE16(b, at), 0) << "uncompressed channels";
            l.planes.emplace_back(b.begin() + long(at + 2), b.begin() + long(at + length));
            at += length;
        }
    EXPECT_LE(at, infoEnd);
    at = sectionEnd;
    EXPECT_EQ(BE16(b, at), 0) << "a raw merged image";
    at += 2;
    const std::size_t plane = std::size_t(img.height) * img.width * (img.depth / 8 ? img.depth / 8 : 1);
    for (uint16_t c = 0; c < img.channels && at + plane <= b.size(); ++c, at += plane)
        img.planes.emplace_back(b.begin() + long(at), b.begin() + long(at + plane));
    EXPECT_EQ(at, b.size()) << path;
    return doc;
}

} // namespace test

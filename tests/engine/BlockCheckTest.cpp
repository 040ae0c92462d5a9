// The content checks of tagged blocks and image resources: built blocks that
// hold and damaged copies of them that must not, and every block of the real
// files, which must all hold.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <gtest/gtest.h>

#include "BigEndian.h"
#include "BlockCheck.h"
#include "Layout.h"
#include "PsdBuilder.h"

using namespace test;

namespace {

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes S(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes N16(uint16_t v) { return PsdBuilder().U16(v).Data(); }
Bytes N32(uint32_t v) { return PsdBuilder().U32(v).Data(); }
Bytes Zeros(std::size_t n) { return Bytes(n, 0); }

/// A key or class ID: 4 characters as a code (length 0), others with their length.
Bytes Id(const std::string &k) { return Cat({N32(k.size() == 4 ? 0 : uint32_t(k.size())), S(k)}); }
/// A Unicode string of ASCII text.
Bytes Text(const std::string &s)
{
    PsdBuilder b;
    b.U32(uint32_t(s.size()));
    for (const char ch : s)
        b.U16(uint8_t(ch));
    return b.Data();
}
Bytes Item(const std::string &key, const std::string &type, const Bytes &value) { return Cat({Id(key), S(type), value}); }
Bytes Body(const std::string &cls, const std::vector<Bytes> &items)
{
    Bytes out = Cat({Text(""), Id(cls), N32(uint32_t(items.size()))});
    for (const Bytes &i : items)
        out.insert(out.end(), i.begin(), i.end());
    return out;
}
Bytes V16(const Bytes &body) { return Cat({N32(16), body}); }

/// One item of every value type, a reference of every reference form among them.
Bytes EveryType()
{
    const Bytes inner = Body("null", {Item("Vrsn", "long", N32(1))});
    const Bytes reference = Cat({N32(7), S("prop"), Text(""), Id("Lyr "), Id("Bckg"), S("Clss"), Text(""), Id("Lyr "),
                                 S("Enmr"), Text(""), Id("Lyr "), Id("Ordn"), Id("Trgt"), S("rele"), Text(""),
                                 Id("Lyr "), N32(2), S("Idnt"), N32(5), S("indx"), N32(1), S("name"), Text(""),
                                 Id("Lyr "), Text("top")});
    return Body("every type", {
        Item("Opct", "UntF", Cat({S("#Prc"), Zeros(8)})), Item("Hrzn", "doub", Zeros(8)),
        Item("Pts ", "UnFl", Cat({S("#Pxl"), N32(2), Zeros(16)})), Item("Txt ", "TEXT", Text("hello")),
        Item("Ornt", "enum", Cat({Id("Ornt"), Id("Hrzn")})), Item("Cnt ", "long", N32(3)),
        Item("Big ", "comp", Zeros(8)), Item("enab", "bool", {1}), Item("Type", "type", Cat({Text("a"), Id("Clr ")})),
        Item("Glbc", "GlbC", Cat({Text(""), Id("Clr ")})), Item("Als ", "alis", Cat({N32(3), {1, 2, 3}})),
        Item("Raw ", "tdta", Cat({N32(2), {4, 5}})), Item("Path", "Pth ", Cat({N32(0)})),
        Item("null", "obj ", reference), Item("Objc", "Objc", inner), Item("GlbO", "GlbO", inner),
        Item("List", "VlLs", Cat({N32(2), S("long"), N32(1), S("Objc"), inner})),
        Item("ObAr", "ObAr", Cat({N32(1), inner})), Item("a key of its own length", "long", N32(4)),
    });
}

/// Objects (or lists) nested depth deep.
Bytes Nested(int depth, bool lists)
{
    Bytes v = lists ? N32(0) : Body("null", {});
    for (int i = 1; i < depth; ++i)
        v = lists ? Cat({N32(1), S("VlLs"), v}) : Body("null", {Item("Chld", "Objc", v)});
    return lists ? Body("null", {Item("List", "VlLs", v)}) : v;
}

Bytes Replace(Bytes b, const std::string &from, const std::string &to)
{
    const auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
    EXPECT_NE(at, b.end()) << from;
    if (at != b.end())
        std::copy(to.begin(), to.end(), at);
    return b;
}
Bytes Zeroed(Bytes b, std::size_t at, std::size_t n)
{
    std::fill_n(b.begin() + std::ptrdiff_t(at), n, uint8_t{0});
    return b;
}

/// A 26-byte path record.
Bytes Rec(uint16_t selector, uint16_t count = 0) { return Cat({N16(selector), N16(count), Zeros(22)}); }
Bytes Path(uint16_t knot = 1, uint16_t knots = 2)
{
    return Cat({Rec(6), Rec(8), Rec(0, knots), Rec(knot), Rec(2)});
}
Bytes Meta(const std::string &key, const Bytes &data) { return Cat({S("8BIM"), S(key), Zeros(4), N32(uint32_t(data.size())), data}); }
Bytes TypeTool(uint16_t textVersion)
{
    return Cat({N16(1), Zeros(48), N16(textVersion), V16(EveryType()), N16(1), V16(Body("warp", {})), Zeros(16)});
}
Bytes SolidFill(const std::string &blend) { return Cat({Zeros(4), S("8BIM"), S(blend), Zeros(10 + 2 + 10)}); }
Bytes Slices(const std::string &cls)
{
    const Bytes slice = Cat({Zeros(8), N32(0), Text("s"), Zeros(20), Text(""), Text(""), Text(""), Text(""), {0},
                             Text(""), Zeros(12)});
    return Cat({N32(6), Zeros(16), Text("slices"), N32(1), slice, V16(Body(cls, {Item("Cnt ", "long", N32(1))}))});
}

uint32_t Key(const char (&k)[5]) { return zelt::FourCC(k); }

TEST(BlockCheck, BuiltBlocksHoldAndTheirDamageDoesNot)
{
    enum Kind { D, T, R };
    struct Case {
        const char *name;
        Kind kind;
        uint32_t key;
        Bytes data;
        bool holds;
        bool everyCutFails = false; ///< the content ends exactly at its last byte
    } cases[] = {
        {"every value type", D, 0, EveryType(), true, true},
        {"a zeroed type code", D, 0, Replace(EveryType(), "UnFl", std::string(4, '\0')), false},
        {"a unit no reader knows", D, 0, Replace(EveryType(), "#Prc", "#Prx"), false},
        {"a ruler unit given as an enumeration", D, 0, Replace(EveryType(), "#Prc", "RrCm"), true},
        {"a zeroed sector in the middle", D, 0, Zeroed(EveryType(), EveryType().size() / 2, 64), false},
        {"a string past the end", D, 0, Body("null", {Item("Nm  ", "TEXT", Cat({N32(1000), N16('h')}))}), false},
        {"a key length past the end", D, 0, Body("null", {Cat({N32(900), S("Key "), S("long"), N32(1)})}), false},
        {"more items counted than there are", D, 0, Cat({Text(""), Id("null"), N32(3), Item("Cnt ", "long", N32(1))}),
         false},
        {"objects nested 20 deep", D, 0, Nested(20, false), true, true},
        {"objects nested 40 deep", D, 0, Nested(40, false), false},
        {"lists nested 40 deep", D, 0, Nested(40, true), false},
        {"object effects", T, Key("lfx2"), Cat({N32(0), V16(EveryType())}), true, true},
        {"object effects of descriptor version 15", T, Key("lfx2"), Cat({N32(0), N32(15), EveryType()}), false},
        {"solid colour with a zeroed sector", T, Key("SoCo"), Zeroed(V16(EveryType()), 40, 16), false},
        {"vector mask", T, Key("vmsk"), Cat({N32(3), N32(0), Path(), Zeros(10)}), true},
        {"vector mask of a bad path selector", T, Key("vmsk"), Cat({N32(3), N32(0), Path(), Rec(9)}), false},
        {"vector mask with a length record for a knot", T, Key("vsms"), Cat({N32(3), N32(0), Path(0)}), false},
        {"vector mask counting a knot too many", T, Key("vmsk"), Cat({N32(3), N32(0), Path(1, 3)}), false},
        {"section divider", T, Key("lsct"), Cat({N32(1), S("8BIMnorm"), N32(0)}), true},
        {"section divider of type 4", T, Key("lsct"), N32(4), false},
        {"section divider of a bad blend key", T, Key("lsdk"), Cat({N32(1), S("8BIMnrm ")}), false},
        {"metadata", T, Key("shmd"), Cat({N32(2), Meta("zzzz", {9, 9, 9}), Meta("cust", V16(EveryType()))}), true,
         true},
        {"metadata of a damaged descriptor", T, Key("shmd"), Cat({N32(1), Meta("cust", Zeroed(V16(EveryType()), 8, 4))}),
         false},
        {"smart object", T, Key("SoLd"), Cat({S("soLD"), N32(4), V16(EveryType())}), true, true},
        {"smart object of a bad type", T, Key("SoLE"), Cat({S("soLX"), N32(4), V16(EveryType())}), false},
        {"type tool", T, Key("TySh"), TypeTool(50), true, true},
        {"type tool of text version 49", T, Key("TySh"), TypeTool(49), false},
        {"unicode name", T, Key("luni"), Text("Layer 1"), true, true},
        {"colour label 8", T, Key("lclr"), Cat({N16(8), Zeros(6)}), false},
        {"effects", T, Key("lrFX"), Cat({N16(0), N16(2), S("8BIMcmnS"), N32(7), Zeros(7), S("8BIMsofi"), N32(34),
                                         SolidFill("norm")}), true, true},
        {"effects of a bad blend key", T, Key("lrFX"), Cat({N16(0), N16(1), S("8BIMsofi"), N32(34), SolidFill("nrm ")}),
         false},
        {"curves of one point", T, Key("curv"), Cat({{0}, N16(4), N32(1), N16(1), Zeros(4)}), false},
        {"an unknown key", T, Key("zzzz"), {0xFF, 0, 0xFF}, true},
        {"saved path", R, 2000, Path(), true},
        {"saved path of selector 30145", R, 2003, Cat({Path(), Rec(30145)}), false},
        {"work path with a zeroed knot", R, 1025, Zeroed(Path(), 3 * 26, 26), false},
        {"layer comps", R, 1065, V16(EveryType()), true, true},
        {"layer comps of a zeroed version", R, 1065, Zeroed(V16(EveryType()), 0, 4), false},
        {"slices with a descriptor", R, 1050, Slices("null"), true},
        {"slices whose descriptor has class ID zero", R, 1050, Slices(std::string(4, '\0')), true},
        {"slices of version 9", R, 1050, Cat({N32(9), V16(Body("null", {}))}), false},
        {"version info", R, 1057, Cat({N32(1), {1}, Text("w"), Text("r"), N32(1)}), true, true},
        {"print scale of style 3", R, 1062, Cat({N16(3), Zeros(12)}), false},
        {"a plug-in resource", R, 4000, {0xFF, 0xFF}, true},
    };
    const auto check = [](const Case &c, const uint8_t *p, std::size_t n) {
        std::size_t used = 0;
        switch (c.kind) {
        case D: return zelt::DescriptorHolds(p, n, used) && used == n;
        case T: return zelt::TaggedBlockHolds(c.key, p, n);
        default: return zelt::ResourceHolds(uint16_t(c.key), p, n);
        }
    };
    for (const Case &c : cases) {
        EXPECT_EQ(check(c, c.data.data(), c.data.size()), c.holds) << c.name;
        // Cut copies on the heap, so a read past the cut is caught by the sanitizers.
        for (std::size_t n = 0; c.everyCutFails && n < c.data.size(); ++n) {
            const Bytes cut(c.data.begin(), c.data.begin() + std::ptrdiff_t(n));
            if (check(c, cut.data(), cut.size()))
                ADD_FAILURE() << c.name << " holds cut to " << n << " bytes";
        }
    }
}

TEST(BlockCheck, ResourcesThatHoldAreKeptInOrder)
{
    const auto resource = [](uint16_t id, const std::string &name, const Bytes &data) {
        PsdBuilder b;
        b.Str("8BIM").U16(id).U8(uint8_t(name.size())).Str(name);
        if (name.size() % 2 == 0)
            b.U8(0);
        b.U32(uint32_t(data.size())).Append(data);
        if (data.size() % 2)
            b.U8(0);
        return b.Data();
    };
    const Bytes resolution = resource(1005, "", Zeros(16)), caption = resource(1008, "cap", Cat({{3}, S("abc")})),
                odd = resource(4000, "", {1, 2, 3}), path = resource(2000, "p", Path()),
                badPath = resource(2001, "p", Cat({Path(), Rec(30145)}));
    const auto holding = [](const Bytes &section) { return zelt::ResourcesThatHold(section.data(), section.size()); };
    const Bytes whole = Cat({resolution, odd, path, caption});
    EXPECT_EQ(holding(whole), whole) << "an intact section is copied unchanged";
    EXPECT_EQ(holding(Cat({resolution, badPath, caption})), Cat({resolution, caption})) << "a damaged path goes alone";
    Bytes broken = Cat({resolution, caption, path});
    broken[resolution.size() + caption.size()] = 0; // the path's signature is hit
    EXPECT_EQ(holding(broken), Cat({resolution, caption})) << "the chain ends where a signature is lost";
    Bytes cut(whole.begin(), whole.end() - 8);
    EXPECT_EQ(holding(cut), Cat({resolution, odd, path})) << "a resource cut off is not copied";
}

// --- The real files ---------------------------------------------------------

using Sink = std::function<void(bool resource, uint32_t key, const uint8_t *p, std::size_t n)>;

bool Number(const Bytes &d, uint64_t at, uint32_t width, uint64_t &v)
{
    if (at > d.size() || width > d.size() - at)
        return false;
    v = zelt::LoadBE(d.data() + at, width);
    return true;
}
bool Signature(const Bytes &d, uint64_t at)
{
    uint64_t s;
    return Number(d, at, 4, s) && (s == Key("8BIM") || s == Key("8B64"));
}

bool Records(const Bytes &d, uint64_t pos, uint64_t end, bool large, const Sink &sink);

/// Tagged blocks from pos to end, each length padded to 1, 2 or 4 bytes (the
/// next signature tells which); an Lr16 or Lr32 block holds layer records itself.
bool Blocks(const Bytes &d, uint64_t pos, uint64_t end, bool large, const Sink &sink)
{
    uint64_t key, length;
    while (pos + 12 <= end) {
        if (!Signature(d, pos) || !Number(d, pos + 4, 4, key))
            return false;
        const uint32_t w = zelt::Layout{large}.TaggedLengthBytes(uint32_t(key));
        const uint64_t at = pos + 8 + w;
        if (!Number(d, pos + 8, w, length) || length > end - at)
            return false;
        sink(false, uint32_t(key), d.data() + at, std::size_t(length));
        if ((key == Key("Lr16") || key == Key("Lr32")) && !Records(d, at, at + length, large, sink))
            return false;
        pos = at + length;
        for (const uint64_t pad : {uint64_t{0}, length & 1, (4 - length % 4) % 4})
            if (pos + pad == end || (pos + pad + 4 <= end && Signature(d, pos + pad))) {
                pos += pad;
                break;
            }
    }
    return true;
}

/// A layer info's count and records; the tagged blocks of each record's extra data.
bool Records(const Bytes &d, uint64_t pos, uint64_t end, bool large, const Sink &sink)
{
    uint64_t count, channels, extra, mask, ranges, name;
    if (!Number(d, pos, 2, count))
        return false;
    pos += 2;
    for (int i = std::abs(int16_t(count)); i > 0; --i) {
        if (!Number(d, pos + 16, 2, channels))
            return false;
        pos += 18 + channels * (large ? 10 : 6) + 12;
        if (!Number(d, pos, 4, extra) || pos + 4 + extra > end)
            return false;
        const uint64_t e = pos + 4 + extra;
        pos += 4;
        if (!Number(d, pos, 4, mask) || !Number(d, pos + 4 + mask, 4, ranges) ||
            !Number(d, pos + 8 + mask + ranges, 1, name))
            return false;
        if (!Blocks(d, pos + 8 + mask + ranges + (1 + name + 3) / 4 * 4, e, large, sink))
            return false;
        pos = e;
    }
    return true;
}

/// Header, colour mode data, image resources, the layer and mask information.
bool Walk(const Bytes &d, const Sink &sink)
{
    uint64_t version, n, id, name, length;
    if (!Number(d, 0, 4, n) || n != Key("8BPS") || !Number(d, 4, 2, version) || !Number(d, 26, 4, n))
        return false;
    const bool large = version == 2;
    uint64_t pos = 30 + n, end;
    if (!Number(d, pos, 4, n))
        return false;
    for (pos += 4, end = pos + n; pos + 12 <= end; pos += 4 + length + (length & 1)) {
        if (!Number(d, pos + 4, 2, id) || !Number(d, pos + 6, 1, name))
            return false;
        pos += 6 + (1 + name + 1) / 2 * 2;
        if (!Number(d, pos, 4, length) || pos + 4 + length > end)
            return false;
        sink(true, uint32_t(id), d.data() + pos + 4, std::size_t(length));
    }
    const uint32_t w = large ? 8 : 4;
    uint64_t section, info, global;
    if (!Number(d, end, w, section) || section == 0)
        return section == 0;
    if (!Number(d, end + w, w, info))
        return false;
    const uint64_t sectionEnd = end + w + section, infoAt = end + 2 * w;
    if (info > 0 && !Records(d, infoAt, infoAt + info, large, sink))
        return false;
    return Number(d, infoAt + info, 4, global) && Blocks(d, infoAt + info + 4 + global, sectionEnd, large, sink);
}

TEST(BlockCheck, EveryBlockOfTheRealFilesHolds)
{
    const char *env = std::getenv("VELMORA_CORPUS");
    const std::filesystem::path dir =
        env ? std::filesystem::path(env) : std::filesystem::path(__FILE__).parent_path() / "../../../shared/corpus";
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "no corpus of real files at " << dir;
    std::vector<std::filesystem::path> files;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".psd" || e.path().extension() == ".psb")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::size_t walked = 0, blocks = 0, resources = 0;
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        const Bytes d{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const bool read = Walk(d, [&](bool resource, uint32_t key, const uint8_t *p, std::size_t n) {
            const bool holds = resource ? zelt::ResourceHolds(uint16_t(key), p, n) : zelt::TaggedBlockHolds(key, p, n);
            ++(resource ? resources : blocks);
            if (!holds)
                ADD_FAILURE() << f.filename() << ": " << (resource ? "resource " + std::to_string(key)
                                                                  : "block " + std::string{char(key >> 24), char(key >> 16),
                                                                                           char(key >> 8), char(key)});
        });
        walked += read;
    }
    std::cout << walked << " of " << files.size() << " files walked: " << blocks << " tagged blocks, " << resources
              << " image resources\n";
    EXPECT_GT(walked, files.size() / 2);
}

} // namespace

// Salvage: a layer section whose records or lengths are damaged still gives
// back every layer whose pixels survive, checked by their own structure;
// without salvage the same files give what they always gave.
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

#include "EngineHarness.h"

using namespace test;

namespace {

constexpr uint32_t kSalvage = ZELT_RECOVER_HEURISTIC | ZELT_REPORT_COARSE | ZELT_RECOVER_SALVAGE;
constexpr uint32_t kHeight = 40, kWidth = 64;

struct Layer {
    uint32_t h, w;
    std::vector<Bytes> planes; ///< R, G, B, transparency
};

// Six layers of different sizes, transparency first as writers store it, each
// with a name block, and a run-length merged image.
struct Document {
    std::vector<Layer> layers;
    std::vector<Bytes> merged;
    Bytes bytes;
    std::vector<std::size_t> records; ///< where each record starts
    std::size_t section = 0, mergedAt = 0;

    Document()
    {
        std::vector<TestLayer> stored;
        for (uint32_t k = 0; k < 6; ++k) {
            Layer l{9 + 3 * k, 11 + 5 * k, {}};
            TestLayer t{int32_t(k), int32_t(2 * k), int32_t(k + l.h), int32_t(2 * k + l.w), {},
                        LayerExtra("L" + std::to_string(k), nullptr, UnicodeNameBlock("L" + std::to_string(k)))};
            for (int16_t c = -1; c < 3; ++c) {
                l.planes.push_back(Pattern(std::size_t(l.h) * l.w, 10 * k + uint32_t(c + 1)));
                t.channels.push_back({c, RleChannel(l.planes.back(), l.h, l.w)});
            }
            std::rotate(l.planes.begin(), l.planes.begin() + 1, l.planes.end()); // R, G, B, A
            layers.push_back(l);
            stored.push_back(t);
        }
        Bytes all;
        for (uint32_t c = 0; c < 3; ++c) {
            merged.push_back(Pattern(std::size_t(kHeight) * kWidth, 100 + c));
            all.insert(all.end(), merged.back().begin(), merged.back().end());
        }
        PsdBuilder b;
        b.Header(3, kHeight, kWidth, 8, 3).U32(0).U32(0);
        section = b.Size();
        b.Append(LayerSection(stored));
        mergedAt = b.Size();
        b.U16(1).Append(RleRows(all, 3 * kHeight, kWidth));
        bytes = b.Data();
        // Every record's blend signature stands 18 + 6 x 4 bytes in.
        const Bytes key{'8', 'B', 'I', 'M', 'n', 'o', 'r', 'm'};
        for (auto it = bytes.begin(); (it = std::search(it, bytes.end(), key.begin(), key.end())) != bytes.end(); ++it)
            records.push_back(std::size_t(it - bytes.begin()) - 18 - 24);
    }
};

struct Outcome {
    std::vector<std::string> written; ///< the layer and mask files
    std::vector<std::string> merged;  ///< numbered across runs
    std::vector<Event> messages;
};

Outcome Repair(const Bytes &bytes, uint32_t flags, const TempDir &dir)
{
    WriteFile(dir / "damaged.psd", bytes);
    const std::string out = MakeDir(dir / "out");
    CallbackRecorder rec;
    const RepairOptions o = MakeOptions(3, kHeight, kWidth, 8, 3, flags);
    Recover(dir / "damaged.psd", out, &rec, &o);
    Outcome got{{}, FilesWithPrefix(out, "damaged_"), rec.Messages()};
    for (const std::string &name : ListDir(out))
        if (name.rfind("damaged_", 0) != 0)
            got.written.push_back(name);
    return got;
}

bool Holds(const std::string &path, const Layer &l)
{
    const PsdImage img = ParseRecovered(path);
    return img.height == l.h && img.width == l.w && img.planes == l.planes;
}

void Put32(Bytes &b, std::size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (24 - 8 * i));
}

TEST(Salvage, EveryLayerWhosePixelsSurviveComesBack)
{
    const Document doc;
    ASSERT_EQ(doc.records.size(), 6u);
    const std::size_t r2 = doc.records[2];
    const std::size_t extra2 = r2 + 18 + 24 + 12; // record 2's extra-data length
    struct Case {
        const char *name;
        std::function<void(Bytes &)> damage;
        bool record2Lost; ///< layer 2 comes back from its data alone
    } cases[] = {
        {"bounds", [&](Bytes &b) { Put32(b, r2 + 8, 0x7FFFFFF0); }, true},
        {"channel table", [&](Bytes &b) { b[r2 + 16] = 0xFF; }, true},
        {"blend signature", [&](Bytes &b) { std::fill_n(b.begin() + long(r2 + 42), 4, 0); }, true},
        {"blend key", [&](Bytes &b) { std::copy_n("xxxx", 4, b.begin() + long(r2 + 46)); }, false},
        {"extra length", [&](Bytes &b) { Put32(b, extra2, 0xFFFFFF00); }, true},
        {"a sector over records 2 and 3", [&](Bytes &b) { std::fill_n(b.begin() + long(r2 + 4), doc.records[4] - r2 - 8, 0); }, true},
        {"a tagged block", [&](Bytes &b) { std::fill_n(b.begin() + long(doc.records[3] - 16), 8, 0); }, false},
        {"the section's lengths", [&](Bytes &b) { std::fill_n(b.begin() + long(doc.section), 10, 0); }, false},
        {"lengths and record 0", [&](Bytes &b) { std::fill_n(b.begin() + long(doc.section), doc.records[1] - doc.section, 0); }, true},
        {"the layer count lowered", [&](Bytes &b) { b[doc.section + 9] = 3; }, false},
    };
    for (const Case &c : cases) {
        TempDir dir;
        Bytes bytes = doc.bytes;
        c.damage(bytes);
        const Outcome got = Repair(bytes, kSalvage, dir);
        for (std::size_t k = 0; k < doc.layers.size(); ++k) {
            const std::string name = "Layer" + std::to_string(k) + ".psd";
            const bool there = std::count(got.written.begin(), got.written.end(), name) != 0;
            EXPECT_TRUE(there) << c.name << ": " << name;
            if (there)
                EXPECT_TRUE(Holds(dir / "out" / name, doc.layers[k])) << c.name << ": " << name;
        }
        const bool lostLine = std::any_of(got.messages.begin(), got.messages.end(), [](const Event &e) {
            return e.text.find("its record is lost: its name, position and blend are unknown") != std::string::npos;
        });
        EXPECT_EQ(lostLine, c.record2Lost) << c.name;
        // No layer file the document does not hold.
        EXPECT_EQ(std::count_if(got.written.begin(), got.written.end(),
                                [](const std::string &n) { return n.rfind("Layer", 0) == 0 && n.find("_mask") == std::string::npos; }),
                  6)
            << c.name;
    }
}

TEST(Salvage, WithoutItTheSectionIsWhatItWasAndIntactFilesAreTheSame)
{
    const Document doc;
    Bytes broken = doc.bytes;
    std::fill_n(broken.begin() + long(doc.records[2] + 42), 4, 0);
    TempDir plain, salvaged, brokenPlain;
    const Outcome a = Repair(doc.bytes, ZELT_RECOVER_HEURISTIC | ZELT_REPORT_COARSE, plain);
    const Outcome b = Repair(doc.bytes, kSalvage, salvaged);
    EXPECT_EQ(a.written, b.written);
    EXPECT_EQ(a.messages.size(), b.messages.size());
    for (const std::string &name : a.written)
        EXPECT_EQ(ReadFile(plain / "out" / name), ReadFile(salvaged / "out" / name)) << name;
    ASSERT_EQ(a.merged.size(), 1u);
    ASSERT_EQ(b.merged.size(), 1u);
    EXPECT_EQ(ReadFile(plain / "out" / a.merged[0]), ReadFile(salvaged / "out" / b.merged[0]));
    const Outcome c = Repair(broken, ZELT_RECOVER_HEURISTIC | ZELT_REPORT_COARSE, brokenPlain);
    EXPECT_FALSE(std::count(c.written.begin(), c.written.end(), "Layer0.psd")) << "one broken record drops the section";
}

TEST(Salvage, DamageThePlainReadingCopesWithGivesItsFiles)
{
    // A cut inside the layers' data (alone, and with other bytes after it
    // as on a disk), and one layer's own row table hit: the records and
    // their lengths hold, so the layers before the damage come back as a
    // plain reading gives them, not placed anew.
    const Document doc;
    const auto get32 = [&](std::size_t at) {
        return std::size_t(doc.bytes[at]) << 24 | std::size_t(doc.bytes[at + 1]) << 16 | std::size_t(doc.bytes[at + 2]) << 8 |
               doc.bytes[at + 3];
    };
    const std::size_t dataAt = doc.records.back() + 58 + get32(doc.records.back() + 54);
    std::size_t layer0 = 0; // its four channels' lengths
    for (std::size_t c = 0; c < 4; ++c)
        layer0 += get32(doc.records[0] + 18 + 6 * c + 2);
    const std::size_t cut = dataAt + layer0 + 30; // inside layer 1's first channel
    const Bytes head(doc.bytes.begin(), doc.bytes.begin() + long(cut));
    Bytes withNoise = head;
    const Bytes noise = Pattern(doc.bytes.size() - cut, 7);
    withNoise.insert(withNoise.end(), noise.begin(), noise.end());
    Bytes hit = doc.bytes;
    std::fill_n(hit.begin() + long(dataAt + 2), 8, 0xEE);
    for (const auto &[name, bytes] : std::vector<std::pair<std::string, Bytes>>{
             {"cut", head}, {"cut, other bytes after", withNoise}, {"a row table hit", hit}}) {
        TempDir plain, salvaged;
        const Outcome a = Repair(bytes, ZELT_RECOVER_HEURISTIC | ZELT_REPORT_COARSE, plain);
        const Outcome b = Repair(bytes, kSalvage, salvaged);
        EXPECT_GE(std::count(a.written.begin(), a.written.end(), "Layer0.psd"), 1) << name;
        EXPECT_EQ(a.written, b.written) << name;
        for (const std::string &file : a.written)
            EXPECT_EQ(ReadFile(plain / "out" / file), ReadFile(salvaged / "out" / file)) << name << ": " << file;
    }
}

TEST(Salvage, AMergedImageWhoseCompressionFieldIsHitIsReadByItsRowTable)
{
    const Document doc;
    for (uint16_t field : {uint16_t(0), uint16_t(0x4000)}) {
        Bytes bytes = doc.bytes;
        bytes[doc.mergedAt] = uint8_t(field >> 8);
        bytes[doc.mergedAt + 1] = uint8_t(field);
        TempDir dir;
        const Outcome got = Repair(bytes, kSalvage, dir);
        ASSERT_EQ(got.merged.size(), 1u) << field;
        EXPECT_EQ(ParseRecovered(dir / "out" / got.merged[0]).planes, doc.merged) << field;
    }
}

} // namespace

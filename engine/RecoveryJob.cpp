#include "RecoveryJob.h"

#include <cctype>
#include <emmintrin.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

#include "Errors.h"
#include "File64Ex.h"
#include "LayerSectionReader.h"
#include "Messages.h"
#include "PsdRecoverer.h"

namespace zelt {
namespace {

// The scan's percentage: (P + 1) * 100 / length in floating point, truncated.
// It is recomputed only where it changes; the next change is found by
// bisection of the same formula, so every report matches it exactly.
class ProgressMeter {
public:
    explicit ProgressMeter(uint64_t length) : m_length(length) {}

    uint8_t At(uint64_t p)
    {
        if (p >= m_next)
            Advance(p);
        return m_percent;
    }

    uint8_t Exact(uint64_t p) const
    {
        const double v = static_cast<double>(p + 1) * 100.0 / static_cast<double>(m_length);
        return static_cast<uint8_t>(static_cast<uint64_t>(v) & 0xFF);
    }

private:
    void Advance(uint64_t p)
    {
        m_percent = Exact(p);
        // The formula grows with p; find the first position past p where it
        // differs.
        uint64_t lo = p, hi = m_length; // Exact(lo) == m_percent; hi: beyond the scan
        while (hi - lo > 1) {
            const uint64_t mid = lo + (hi - lo) / 2;
            if (Exact(mid) == m_percent)
                lo = mid;
            else
                hi = mid;
        }
        m_next = hi;
    }

    uint64_t m_length;
    uint64_t m_next = 0;
    uint8_t m_percent = 0;
};

// The cheapest tests of every recogniser at once: false when no recogniser
// can accept the bytes at w (kScanWindow of them).
bool MayStartAnything(const uint8_t *w)
{
    constexpr uint32_t k8BIM = 0x3842494D;
    return PsdRecoverer::MayStartHeader(w) || PsdRecoverer::MayStartLayerSection(w) ||
           LoadBE32(w) == k8BIM || LoadBE32(w + 4) == k8BIM;
}

// Finds the positions whose scan step needs the recognisers, so that every
// other step is just its two callback calls. It reads the source ahead
// through the same reader, 64 KiB at a time, and tests each position with
// the recognisers' cheapest tests. Every position they could accept has the
// bytes "8BPS" where it starts or "8BIM" or "8B64" within its first
// kScanWindow bytes, so positions far from all three are passed over without
// being tested one by one.
class ScanAhead {
public:
    ScanAhead(CFile64Ex &source, const PsdRecoverer &recoverer)
        : m_source(source), m_recoverer(recoverer), m_buffer(kAhead + kWindow)
    {
    }

    /// The first position from q on that needs a full scan step: one whose
    /// bytes pass the cheapest tests, one too near the end of the source for
    /// a whole window, or q itself past the end. May also answer a later
    /// position where the read-ahead must be renewed; Next is then asked
    /// again there.
    uint64_t Next(uint64_t q)
    {
        // Every position from the last question up to its answer has the
        // same answer.
        if (q >= m_askedFrom && q < m_answer)
            return m_answer;
        m_askedFrom = q;
        m_answer = Search(q);
        return m_answer;
    }

    uint64_t Search(uint64_t q)
    {
        if (q < m_start || q - m_start + kWindow > m_length)
            Refill(q);
        const std::size_t first = static_cast<std::size_t>(q - m_start);
        if (m_length < kWindow || first > m_length - kWindow)
            return q;
        const std::size_t lastWhole = m_length - kWindow; // last offset with a whole window
        const uint8_t *data = m_buffer.data();
        std::size_t i = first, found = lastWhole + 1;
        while (i <= lastWhole) {
            const std::size_t o = FindSignature(i);
            if (o == kNone)
                break;
            const std::size_t reach = kWindow - 4; // farthest start of "8BIM" in a window
            const std::size_t from = o > i + reach ? o - reach : i;
            const std::size_t to = std::min(o, lastWhole);
            for (std::size_t j = from; j <= to && found > lastWhole; ++j)
                if (MayStartAnything(data + j))
                    found = j;
            if (found <= lastWhole)
                break;
            i = to + 1;
        }
        // Without a header, the run-length table of a merged image may be
        // all that is left to lead to it; with salvage, that of a layer's
        // channel whose record is lost.
        if (m_recoverer.HeuristicActive() || m_recoverer.SalvageActive()) {
            // The compression field 00 01, sixteen positions at a time.
            const std::size_t o = FindTailCandidate(first, found);
            if (o != kNone)
                found = o;
        }
        return m_start + found;
    }

    /// The read-ahead bytes at q (kWindow of them), or nullptr.
    const uint8_t *Window(uint64_t q) const
    {
        if (q < m_start || q - m_start + kWindow > m_length)
            return nullptr;
        return m_buffer.data() + (q - m_start);
    }

    /// True when q, a position Next answered, is at or past the end of the
    /// source as last read.
    bool PastEnd(uint64_t q) const { return q - m_start >= m_length; }

private:
    static constexpr std::size_t kWindow = PsdRecoverer::kScanWindow;
    static constexpr std::size_t kAhead = 64 * 1024;
    static constexpr std::size_t kNone = ~std::size_t{0};

    void Refill(uint64_t q)
    {
        m_askedFrom = m_answer = 0;
        m_source.SeekTo(q);
        m_start = q;
        m_length = m_source.Read(m_buffer.data(), static_cast<uint32_t>(m_buffer.size()));
    }

    // The first offset in [from, to) where the bytes 00 01 start a possible
    // run-length table (PsdRecoverer::MayStartTailImage), or kNone.
    std::size_t FindTailCandidate(std::size_t from, std::size_t to) const
    {
        const uint8_t *data = m_buffer.data();
        const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
        auto pairsAt = [&](std::size_t j) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + j));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + j + 1));
            return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, one))));
        };
        if (to <= from || !std::memchr(data + from + 1, 0x01, to - from))
            return kNone; // zeros, and much else, hold no 01 at all
        // Where the pair is everywhere (data of a few byte values), a table
        // would not stand out of it; such stretches are passed over, judged
        // by their first KiB and then as they go.
        const std::size_t mostPairs = (to - from) / 64 + 16;
        std::size_t pairs = 0, j = from;
        for (std::size_t k = from; k + 17 <= std::min(to, from + 1024) + 1; k += 16)
            pairs += static_cast<std::size_t>(__builtin_popcount(pairsAt(k)));
        if (pairs > 48)
            return kNone;
        pairs = 0;
        for (; j + 17 <= to + 1; j += 16) {
            unsigned mask = pairsAt(j);
            if (mask == 0)
                continue;
            if ((pairs += static_cast<std::size_t>(__builtin_popcount(mask))) > mostPairs)
                return kNone;
            for (; mask != 0; mask &= mask - 1) {
                const std::size_t o = j + static_cast<std::size_t>(__builtin_ctz(mask));
                if (o < to && PsdRecoverer::MayStartTailImage(data + o))
                    return o;
            }
        }
        for (; j < to; ++j)
            if (data[j] == 0 && data[j + 1] == 1 && PsdRecoverer::MayStartTailImage(data + j))
                return j;
        return kNone;
    }

    // The first offset from i on where "8BPS", "8BIM" or "8B64" lies whole
    // in the buffer.
    std::size_t FindSignature(std::size_t i) const
    {
        const uint8_t *data = m_buffer.data();
        while (i + 4 <= m_length) {
            const void *hit = std::memchr(data + i, '8', m_length - 3 - i);
            if (!hit)
                return kNone;
            const auto o = static_cast<std::size_t>(static_cast<const uint8_t *>(hit) - data);
            const uint32_t sig = LoadBE32(data + o);
            if (sig == 0x38425053 || sig == 0x3842494D || sig == 0x38423634)
                return o;
            i = o + 1;
        }
        return kNone;
    }

    CFile64Ex &m_source;
    const PsdRecoverer &m_recoverer;
    std::vector<uint8_t> m_buffer;
    uint64_t m_start = 0;
    std::size_t m_length = 0;
    uint64_t m_askedFrom = 0, m_answer = 0;
};

using OffsetSet = std::unordered_set<uint64_t>;

struct Scanner {
    RecoveryJob &job;
    PsdRecoverer &recoverer;
    CFile64Ex &source;
    const std::string &sourcePath;
    OffsetSet &offsets;
    uint64_t &recovered;
    ScanAhead ahead;
    bool previews = job.Flag(ZELT_RECOVER_PREVIEW);
    bool salvage = job.Flag(ZELT_RECOVER_SALVAGE);

    // A merged image at d, unless one was recovered there already. Gives
    // whether one was recovered now.
    bool MergedImageAt(uint64_t d, const Layout &layout, bool fromHeader = false)
    {
        if (offsets.count(d) != 0 || !recoverer.RecoverMergedImage(sourcePath, layout, fromHeader))
            return false;
        offsets.insert(d);
        ++recovered;
        return true;
    }

    // A file header at P, its colour mode data and the two sections that
    // follow, then the merged image behind them.
    void HeaderPath(uint64_t p)
    {
        source.SeekTo(p);
        uint32_t consumed, colorLength = 0;
        if (!recoverer.MatchFileHeader(consumed) ||
            !recoverer.ReadColorModeData(recoverer.Properties().mode, colorLength))
            return;
        source.SeekTo(p + consumed + 4 + colorLength);
        if (recoverer.SkipHeaderSections())
            MergedImageAt(source.GetPosition(), recoverer.CurrentLayout(), true);
    }

    // A layer section at P with its layers, then the merged image behind it.
    // The layer files are counted as each is written; the rebuilt document
    // takes the merged image, or the layers composited.
    void LayerPath(uint64_t p)
    {
        source.SeekTo(p);
        uint64_t sectionLength;
        uint32_t layerFiles;
        if (!recoverer.RecoverLayerSection(sectionLength, layerFiles))
            return;
        const Layout layout = recoverer.SectionLayout();
        const uint64_t d = p + sectionLength + layout.LengthBytes();
        source.SeekTo(d);
        const bool before = offsets.count(d) != 0;
        const bool now = MergedImageAt(d, layout);
        if (recoverer.DocumentOpen())
            recoverer.FinishDocument(d, now ? DocumentMerged::streamed
                                        : before ? DocumentMerged::recoveredBefore : DocumentMerged::none,
                                     layout);
    }

    // A tagged block of layers met on its own: its layers, and no merged
    // image (where its section ends is not known).
    void LayerBlockPath(uint64_t p)
    {
        source.SeekTo(p);
        uint32_t layerFiles;
        if (recoverer.RecoverLayerBlock(layerFiles) && recoverer.DocumentOpen())
            recoverer.FinishDocument(0, DocumentMerged::none, recoverer.SectionLayout());
    }

    // With the heuristic and no header seen: an image-resources section
    // recognised by its blocks leads to the merged image of a flat file.
    void ResourcesPath(uint64_t p)
    {
        source.SeekTo(p);
        uint64_t d;
        Layout layout;
        if (recoverer.MatchResourcesSection(d, layout))
            MergedImageAt(d, layout);
    }

    // With the heuristic and no header seen: a run-length merged image whose
    // rows reach exactly to the end of the source, found by its table alone.
    void TailImagePath(uint64_t p)
    {
        source.SeekTo(p);
        if (recoverer.MatchTailImage())
            MergedImageAt(p, kDocumentLayout);
    }

    // With salvage: a run of layer records whose section's front is lost,
    // met at a record's blend signature.
    void RecordRunPath(uint64_t p)
    {
        source.SeekTo(p);
        uint32_t layerFiles;
        if (recoverer.RecoverRecordRun(layerFiles) && recoverer.DocumentOpen())
            recoverer.FinishDocument(0, DocumentMerged::none, recoverer.SectionLayout());
    }

    // With salvage: the channel data of layers whose records are all lost.
    void ChannelRunPath(uint64_t p)
    {
        source.SeekTo(p);
        uint32_t layerFiles;
        if (recoverer.RecoverChannelRun(layerFiles) && recoverer.DocumentOpen())
            recoverer.FinishDocument(0, DocumentMerged::none, recoverer.SectionLayout());
    }

    void PreviewPath(uint64_t p)
    {
        source.SeekTo(p);
        recoverer.RecoverPreview();
    }

    /// The full scan step at P: every path whose cheapest tests the bytes
    /// pass. False when P is past the end of the source.
    bool Step(uint64_t p)
    {
        // The step's one-byte read: nothing there is the end.
        if (ahead.PastEnd(p))
            return false;
        const uint8_t *window = ahead.Window(p);
        if (!window || PsdRecoverer::MayStartHeader(window))
            HeaderPath(p);
        if (!window || PsdRecoverer::MayStartLayerSection(window))
            LayerPath(p);
        if (!window || PsdRecoverer::MayStartLayerBlock(window))
            LayerBlockPath(p);
        if (salvage && (!window || LayerSectionReader::MayBeBlendSignature(window)))
            RecordRunPath(p);
        if (recoverer.ResourcesWanted() && (!window || LoadBE32(window + 4) == 0x3842494D))
            ResourcesPath(p);
        if ((previews || recoverer.HeuristicActive()) && (!window || LoadBE32(window) == 0x3842494D))
            PreviewPath(p);
        const bool tail = !window || PsdRecoverer::MayStartTailImage(window);
        if (recoverer.HeuristicActive() && tail)
            TailImagePath(p);
        if (salvage && tail)
            ChannelRunPath(p);
        recoverer.EndStep();
        return true;
    }
};

// The scan: an abort poll and a progress report for every position, and the
// full step where ScanAhead finds one is needed. Made once for each case of
// callback and reports, so that the loop holds no test that cannot change.
// The position lives here rather than in the source, so that it stays in a
// register across the callback calls; the source is positioned only when
// something is read from it.
template <bool kCallback, bool kReports>
void ScanLoop(Scanner &scanner, EngineCallback cb, void *ud, uint64_t length)
{
    ProgressMeter progress(length);
    uint8_t percent = 0;
    uint64_t candidate = 0; // the next position whose step needs the recognisers
    for (uint64_t p = 0;; ++p) {
        if (kCallback && cb(MSG_QUERY_ABORT, nullptr, ud) != 0)
            break;
        if (p == candidate) {
            candidate = scanner.ahead.Next(p);
            if (p == candidate) {
                if (!scanner.Step(p))
                    break;
                candidate = p + 1;
            }
        }
        if (kReports) {
            percent = progress.At(p);
            if (kCallback)
                cb(MSG_PROGRESS, &percent, ud);
        }
    }
}

// The scan with coarse reports: the same steps at the same positions, an
// abort poll at least every 64 KiB of positions (the recognisers poll
// before every layer and merged image and inside long reads and writes),
// and a progress report only where the percentage changes. The positions
// between two candidates cost nothing.
void CoarseScanLoop(Scanner &scanner, EngineCallback cb, void *ud, uint64_t length)
{
    constexpr uint64_t kPollStride = 64 * 1024;
    ProgressMeter progress(length);
    uint8_t reported = 0; // the run's first report
    auto report = [&](uint64_t last) {
        if (length == 0)
            return;
        uint8_t percent = progress.At(last);
        if (percent != reported) {
            reported = percent;
            cb(MSG_PROGRESS, &percent, ud);
        }
    };
    uint64_t nextPoll = 0;
    for (uint64_t p = 0;;) {
        if (p >= nextPoll) {
            if (cb(MSG_QUERY_ABORT, nullptr, ud) != 0)
                break;
            nextPoll = p + kPollStride;
        }
        const uint64_t c = scanner.ahead.Next(p);
        if (c != p) {
            p = std::min(c, nextPoll);
            report(p - 1);
            continue;
        }
        if (!scanner.Step(p))
            break;
        report(p);
        ++p;
    }
}

} // namespace

void RecoveryJob::TakeOverOptions(const RepairOptions *options)
{
    if (!options)
        return;
    RepairOptions record;
    std::memcpy(&record, options, sizeof record);
    if (record.StructSize != ZELT_REPAIR_OPTIONS_SIZE)
        return;
    std::memcpy(&m_options.properties, reinterpret_cast<const uint8_t *>(&record) + 4,
                sizeof(ImageProperties));
    m_options.heuristic = (record.RecoveryFlags & ZELT_RECOVER_HEURISTIC) != 0;
    m_options.flags = record.RecoveryFlags;
}

void RecoveryJob::NotifyFormatted(int32_t code, int id, ...) const
{
    if (!m_callback)
        return;
    char text[8192];
    va_list args;
    va_start(args, id);
    std::vsnprintf(text, sizeof text, LoadMessage(id), args);
    va_end(args);
    Notify(code, text);
}

void RecoveryJob::PollNow()
{
    m_ticked = 0;
    if (m_callback && m_callback(MSG_QUERY_ABORT, nullptr, m_userData) != 0) {
        m_aborted = true;
        throw ScanAborted{};
    }
}

bool RecoveryJob::Run(const std::string &sourcePath, const RepairOptions *options, intptr_t reserved,
                      const std::string &outputDir)
{
    CFile64Ex source(4096);
    FileError openError;
    TakeOverOptions(options);
    m_coarse = Flag(ZELT_REPORT_COARSE) && m_callback != nullptr;
    m_aborted = false;
    uint64_t recovered = 0;

    const EngineCallback cb = m_callback;
    void *const ud = m_userData;
    uint8_t percent = 0;
    if (cb)
        cb(MSG_PROGRESS, &percent, ud);

    int dirfd = -1;
    try {
        Notify(MSG_SOURCE_FILE, sourcePath);
        if (!source.Open(sourcePath, modeRead | shareDenyWrite | typeBinary, &openError)) {
            Notify(MSG_ERROR, FormatErrorMessage(kMsgCannotOpenSource, openError));
        } else if (OpenOutputDirectory(outputDir, dirfd) == OutputDirectory::unsafe) {
            // Whoever else may change what the directory holds could plant
            // the names an output is written through.
            NotifyFormatted(MSG_ERROR, kMsgUnsafeOutputDir, outputDir.c_str());
        } else {
            PsdRecoverer recoverer(*this, source, outputDir, recovered);
            // Every output is made in the directory opened now, whatever its
            // name leads to later.
            if (dirfd >= 0)
                recoverer.Namer().UseDirectory(std::exchange(dirfd, -1), recoverer.OutputDir());
            recoverer.SetProperties(m_options.properties);
            struct stat st;
            const bool disk = ::fstat(source.Handle(), &st) == 0 && S_ISBLK(st.st_mode);
            if (disk || ::fstat(source.Handle(), &st) == 0)
                recoverer.Namer().Protect({st.st_dev, st.st_ino}, true);
            // The pictures found on a disk, in a disk image or in any file
            // that is no Photoshop file by its extension are named as
            // Photoshop files (sdb_1.psd, card_1.psd for card.img).
            std::string ext = PathExtension(sourcePath);
            for (char &c : ext)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const std::string naming = disk ? sourcePath + ".psd"
                                       : ext.empty() || ext == ".psd" || ext == ".pdd" || ext == ".psb"
                                           ? sourcePath
                                           : PathWithoutExtension(sourcePath) + ".psd";
            recoverer.SetSourcePath(naming);
            if (Flag(ZELT_PROTECT_SOURCES) && reserved != 0)
                for (auto list = reinterpret_cast<const char *const *>(reserved); *list; ++list)
                    recoverer.Namer().ProtectPath(*list, false);
            OffsetSet imageDataOffsets;
            recoverer.SetRecoveredImages(&imageDataOffsets);
            source.SeekTo(0);
            const uint64_t length = source.GetLength();
            Scanner scanner{*this, recoverer, source, naming, imageDataOffsets, recovered, ScanAhead(source, recoverer)};
            try {
                if (m_coarse)
                    CoarseScanLoop(scanner, cb, ud, length);
                else if (cb && length != 0)
                    ScanLoop<true, true>(scanner, cb, ud, length);
                else if (cb)
                    ScanLoop<true, false>(scanner, cb, ud, length);
                else
                    ScanLoop<false, false>(scanner, cb, ud, length);
            } catch (const ScanAborted &) {
                // the user's stop, seen inside a step
            }
            source.Close();
        }
    } catch (const EngineError &error) {
        Notify(MSG_ERROR, FormatErrorMessage(kMsgGeneralError, error));
    } catch (const std::bad_alloc &) {
        Notify(MSG_ERROR, FormatErrorMessage(kMsgGeneralError, OutOfMemoryError()));
    } catch (...) {
        Notify(MSG_ERROR, LoadMessage(kMsgUnknownError));
    }
    if (dirfd >= 0)
        ::close(dirfd);

    percent = 100;
    if (cb)
        cb(MSG_PROGRESS, &percent, ud);
    return recovered != 0;
}

} // namespace zelt

#include "BlockCheck.h"

#include "BigEndian.h"
#include "LayerSectionReader.h"
#include "Layout.h"

#include <algorithm>

namespace zelt {
namespace {

constexpr uint32_t k8BIM = FourCC("8BIM");
/// Descriptors nest objects in objects and lists; real files stay far below
/// this, and hostile input must not recurse without end.
constexpr int kMaxDepth = 32;

/// A read position within a block. A read past the end fails and marks the
/// cursor short, so a caller can tell data cut off from data that is wrong.
class Cursor {
public:
    Cursor(const uint8_t *p, std::size_t n) : m_p(p), m_left(n) {}

    std::size_t Left() const { return m_left; }
    const uint8_t *At() const { return m_p; }
    bool Short() const { return m_short; }

    /// Whether n more bytes are there.
    bool Has(uint64_t n)
    {
        if (n <= m_left)
            return true;
        m_short = true;
        return false;
    }
    bool Skip(uint64_t n)
    {
        if (!Has(n))
            return false;
        m_p += n;
        m_left -= static_cast<std::size_t>(n);
        return true;
    }
    /// The next n bytes as a cursor of their own.
    bool Sub(uint64_t n, Cursor &inner)
    {
        if (!Has(n))
            return false;
        inner = Cursor(m_p, static_cast<std::size_t>(n));
        return Skip(n);
    }
    /// A big-endian number as wide as v.
    template <typename T> bool Read(T &v)
    {
        constexpr uint32_t width = sizeof(T);
        v = 0;
        if (!Has(width))
            return false;
        v = static_cast<T>(LoadBE(m_p, width));
        return Skip(width);
    }
    /// The next 4 bytes are that number (and are not taken).
    bool Next32Is(uint32_t v) const { return m_left >= 4 && LoadBE32(m_p) == v; }

private:
    const uint8_t *m_p;
    std::size_t m_left;
    bool m_short = false;
};

bool ReadIs(Cursor &c, uint32_t want)
{
    uint32_t v;
    return c.Read(v) && v == want;
}

bool Read16Is(Cursor &c, uint16_t want)
{
    uint16_t v;
    return c.Read(v) && v == want;
}

// --- Descriptors -----------------------------------------------------------

struct Key {
    const uint8_t *p = nullptr;
    uint32_t n = 0;
};

/// A key or class ID: a 4-byte length, then that many bytes, or 4 when the
/// length is 0 (a code of the terminology).
bool ReadKey(Cursor &c, Key *key = nullptr)
{
    uint32_t n;
    if (!c.Read(n))
        return false;
    if (n == 0)
        n = 4;
    if (key)
        *key = {c.At(), n};
    return c.Skip(n);
}

/// A 4-byte count of UTF-16 units, then the units.
bool ReadUnicode(Cursor &c)
{
    uint32_t count;
    return c.Read(count) && c.Skip(uint64_t{count} * 2);
}

/// A Pascal string: a length byte, then the bytes (no padding).
bool ReadPascal(Cursor &c)
{
    uint8_t n;
    return c.Read(n) && c.Skip(n);
}

/// The enumeration codes readers know. Some writers give a unit float's unit
/// as one of these (a ruler unit such as "RrCm") rather than a unit code;
/// readers take a code they know and refuse any other. Sorted, 4 bytes each.
constexpr char kEnumCodes[] =
    "156516Bt2Bts32Bt44444Bts50005500650072CM72CS72Cl72GM72GS72Gr75009300A   AClrASCIAbApAbslActPAdBt"
    "AdCHAdCVAdHrAdLfAdRgAdTpAdVrAdd AdjOAdptAl  AmgaAnCrAnHiAnLoAnMdAnSmAnStAnglAnnoAny AplIAppRArbs"
    "ArnCArngAsk AskWB   BD1 BD16BD24BD32BD4 BD8 BackBanWBcbcBckCBckgBckwBhndBl  BlcBBlckBlk BlksBlnr"
    "Bls BlstBltnBnryBrDRBrSmBrSpBrbWBrnHBrnMBrnSBrsABrsDBrsLBrsNBrsOBrsRBrsSBrsWBrsdBrsfBrsvBst Btmp"
    "BtnMBttmCBrnCDdgCMSFCMYKCRGBChcLChcMChcNChcSChnOChnPClMtClNsClarClclClpPClpbClr ClrGClrmClsACmps"
    "CntrCnvCCnvGCnvLCnvRCrrLCrs CrsDCrtDCrtICscdCst CstSCstmCtrFCyn CynsDdgHDdgMDdgSDfnDDfrnDfsnDmnd"
    "DrftDrk DrkODrknDshLDslvDspCDstrDsttDthbDthfDtn Dts EBT ECMYEghBElmEElmOElpsEmbsExctFlBcFlFrFlIn"
    "FlSmFlSzFle FllDFnDtFrIdFrTrFrgCFrntFrstFrwrFtOnFxJPFxNoGFCFGFCIGFCTGFINGFMSGFNIGFPAGFPEGFPOGFPS"
    "GFRGGd  GnrPGr18Gr22Gr50GrCnGrFlGrSfGrSpGrSrGrStGrn GrnCGrnDGrnEGrnHGrnRGrnVGrnsGrp Gry GryXGryc"
    "GrysGsn GudGH   HDTVHSBlHSLCHdAlHdSlHgh HghlHighHlfFHlfSHrdLHrzOHrznHstOHstPHstgHstyHvy IBMPICC "
    "Icn IdVMIgnrImg ImgPIn  IndlInfPInfTInrBInsFInsdJPEGJstAJstFKProKybPLDBLLDBRLDBtLDLfLDRgLDTLLDTR"
    "LDTpLPBLLPBrLPBtLPLfLPRgLPTLLPTRLPTpLab LbCFLbClLeftLft LghDLghOLghSLghnLghtLgt LgtBLgtGLgtRLmns"
    "Ln  LngLLngSLnkdLnr Lns Low Lrg Lst LstFLvlBLw  Lwr LyrOLyrPMAdpMPerMSelMayaMcThMcnSMcntMdGrMdRG"
    "MddlMdimMdm MdmBMdmDMdmLMdmSMdtnMgntMlthMltpMmrPMntSMntnMoniMrg2MrgCMrgLMrgdMsk MskAMxm MxmmN   "
    "NCmMNCmSNCmpNTSCNkn Nkn1NoneNrmPNrmlNrstNsGrNtrlNvgPNwVwNxt OS2 Off On  OnBtOpAsOrngOtFrOtOfOtrB"
    "OtsdOut OutFOvrlP22BPGAdPGAvPGIAPGINPGNoPGPtPGSbPGUpPbkOPckCPckGPckHPckLPckOPckRPercPgPCPgStPgTL"
    "PhtkPlEbPlScPlcePlgPPlgSPlrRPnVsPnclPndRPntbPrBLPrc PrimPrnIPrnSPrp PrspPrvBPrvCPrvMPrvNPrvOPrvY"
    "PrvsPrvyPthPPtnDPtrnPxS1PxS2PxS3PxS4PyrmQcs0Qcs1Qcs2Qcs3Qcs4Qcs5Qcs6Qcs7QcsaQcsiQdtnQurAQurNQurl"
    "RGB RGBCRGBFRctPRd  RdCmRdl Rds RflcRghtRltvRnd RndmRpt RptERrCmRrInRrPiRrPrRrPtRrPxRtsPRtteRvlA"
    "RvlSRvrtSBMESBMNSBMOSBQHSBQLSBQMSClrSDHzSDLDSDRDSDVtSMPCSMPTSRGBSbtrScl ScrCScrDScrLScrnSeleSfBL"
    "SftLShStShdwShrLSkewSlcASlctSlmtSlsASlsNSlsRSlsdSlsfSlsvSml Smp3Smp5SmpPSnpsSpctSpn SpotSprSSprT"
    "Sqr SrcCSrcEStd StdAStdBStdCStdEStgrStr StrFStrtSvedSvfwSvnFSwtASwtRSwtSSwtpSysPTIFFTbl TgBPTgCM"
    "TgCPTgDcTgGrTgMPTgSlTgSnTgYPTglATglBTglCTglETglGTglHTglITglLTglMTglNTglOTglPTglRTglSTglTTglcTgld"
    "TglhTglsTgltTglwTglyThmbThrhTileTl  Top TrMpTrUpTrWpTrgpTrgtTrnGTrnsTrntTrspTrtnTxBlTxBrTxBuTxCa"
    "TxFrTxStTxTLUBtmUCMYUDtnUGryUIndULabUMltURGBUnd UnfmUnfrUntRUpr UsrSVMPrVlt VrtOVrtcWRGBWeb Wht "
    "WhtsWideWin WnThWnd WndSWrkPWrp WrpAWvSnWvSqWvTrXcluYllwYlw YlwsYs  Zm  ZmInZmOtZpEnamHiamLoamMd"
    "nullsp01sp02sp03sp04sp05sp06x444x565x888"
    ;

bool KnownEnumCode(uint32_t code)
{
    const auto at = [](std::size_t i) { return LoadBE32(reinterpret_cast<const uint8_t *>(kEnumCodes) + 4 * i); };
    std::size_t lo = 0, hi = (sizeof kEnumCodes - 1) / 4;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (at(mid) < code)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < (sizeof kEnumCodes - 1) / 4 && at(lo) == code;
}

bool ReadUnit(Cursor &c)
{
    uint32_t unit;
    if (!c.Read(unit))
        return false;
    switch (unit) {
    case FourCC("#Ang"): case FourCC("#Rsl"): case FourCC("#Rlt"): case FourCC("#Nne"):
    case FourCC("#Prc"): case FourCC("#Pxl"): case FourCC("#Mlm"): case FourCC("#Pnt"):
        return true;
    default:
        return KnownEnumCode(unit);
    }
}

bool ReadBody(Cursor &c, int depth, Key *classId = nullptr);
bool ReadList(Cursor &c, int depth);

/// One value of the given type. Readers take every type in every place (a
/// reference's items are read like a list's), so this does too.
bool ReadValue(Cursor &c, uint32_t type, int depth)
{
    uint32_t n;
    switch (type) {
    case FourCC("Objc"): case FourCC("GlbO"):
        return ReadBody(c, depth + 1);
    case FourCC("ObAr"): // an item count, then a descriptor's body
        return c.Skip(4) && ReadBody(c, depth + 1);
    case FourCC("VlLs"): case FourCC("obj "):
        return ReadList(c, depth + 1);
    case FourCC("doub"): case FourCC("comp"):
        return c.Skip(8);
    case FourCC("long"): case FourCC("Idnt"): case FourCC("indx"):
        return c.Skip(4);
    case FourCC("bool"):
        return c.Skip(1);
    case FourCC("UntF"):
        return ReadUnit(c) && c.Skip(8);
    case FourCC("UnFl"):
        return ReadUnit(c) && c.Read(n) && c.Skip(uint64_t{n} * 8);
    case FourCC("TEXT"):
        return ReadUnicode(c);
    case FourCC("enum"): // type ID, enum
        return ReadKey(c) && ReadKey(c);
    case FourCC("type"): case FourCC("GlbC"): case FourCC("Clss"): // name, class ID
        return ReadUnicode(c) && ReadKey(c);
    case FourCC("prop"): // name, class ID, key ID
        return ReadUnicode(c) && ReadKey(c) && ReadKey(c);
    case FourCC("Enmr"): // name, class ID, type ID, enum
        return ReadUnicode(c) && ReadKey(c) && ReadKey(c) && ReadKey(c);
    case FourCC("rele"): // name, class ID, offset
        return ReadUnicode(c) && ReadKey(c) && c.Skip(4);
    case FourCC("name"): // name, class ID, value
        return ReadUnicode(c) && ReadKey(c) && ReadUnicode(c);
    case FourCC("alis"): case FourCC("tdta"): case FourCC("Pth "):
        return c.Read(n) && c.Skip(n);
    default:
        return false;
    }
}

// Every item takes a byte at least, so a count beyond the bytes left is cut
// off data (or a damaged count) whichever way it is read.
bool ReadList(Cursor &c, int depth)
{
    uint32_t count, type;
    if (depth > kMaxDepth || !c.Read(count) || !c.Has(count))
        return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!c.Read(type) || !ReadValue(c, type, depth))
            return false;
    return true;
}

bool ReadBody(Cursor &c, int depth, Key *classId)
{
    uint32_t count, type;
    if (depth > kMaxDepth || !ReadUnicode(c) || !ReadKey(c, classId) || !c.Read(count) || !c.Has(count))
        return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!ReadKey(c) || !c.Read(type) || !ReadValue(c, type, depth))
            return false;
    return true;
}

/// A 4-byte version 16, then a descriptor (the layout of most blocks that
/// hold one).
bool ReadVersionedDescriptor(Cursor &c) { return ReadIs(c, 16) && ReadBody(c, 0); }

// --- Paths ------------------------------------------------------------------

/// Path records, 26 bytes each, a selector 0 to 8 first. A subpath's length
/// record (0 closed, 3 open) counts the knots (1, 2, 4, 5) that follow it.
/// Fewer than 26 bytes left at the end are not a record; readers leave them.
bool ReadPathRecords(Cursor &c)
{
    uint32_t knots = 0;
    while (knots > 0 || c.Left() >= 26) {
        uint16_t selector, count;
        if (!c.Read(selector) || !c.Read(count) || !c.Skip(22))
            return false;
        if (knots > 0) {
            if (selector != 1 && selector != 2 && selector != 4 && selector != 5)
                return false;
            --knots;
        } else if (selector > 8) {
            return false;
        } else if (selector == 0 || selector == 3) {
            knots = count;
        }
    }
    return true;
}

// --- Tagged blocks ------------------------------------------------------------

bool ReadColor(Cursor &c) { return c.Skip(2 + 8); }

/// "8BIM" and a blend mode key.
bool ReadBlend(Cursor &c)
{
    uint32_t key;
    return ReadIs(c, k8BIM) && c.Read(key) && KnownBlendKey(key);
}

/// Section divider: the type 0 to 3; then, when 8 bytes follow, "8BIM" and
/// the blend mode; a sub type after that is free.
bool SectionDivider(Cursor &c)
{
    uint32_t type;
    return c.Read(type) && type <= 3 && (c.Left() < 8 || ReadBlend(c));
}

/// Vector mask: version 3, flags, path records.
bool VectorMask(Cursor &c) { return ReadIs(c, 3) && c.Skip(4) && ReadPathRecords(c); }

/// Metadata: a count of items, each "8BIM", a key, a copy flag padded to 4,
/// a length and data. The data of some keys is a number or a descriptor.
bool Metadata(Cursor &c)
{
    uint32_t count, key, length;
    if (!c.Read(count) || !c.Has(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        Cursor data(nullptr, 0);
        if (!ReadIs(c, k8BIM) || !c.Read(key) || !c.Skip(4) || !c.Read(length) || !c.Sub(length, data))
            return false;
        switch (key) {
        case FourCC("mdyn"): case FourCC("sgrp"):
            if (!data.Skip(4))
                return false;
            break;
        case FourCC("cust"): case FourCC("cmls"): case FourCC("extn"): case FourCC("mlst"): case FourCC("tmln"):
            if (!ReadVersionedDescriptor(data))
                return false;
            break;
        default:
            break;
        }
    }
    return true;
}

/// Smart object data: "soLD", version 4 or 5, a versioned descriptor.
bool SmartObject(Cursor &c)
{
    uint32_t version;
    return ReadIs(c, FourCC("soLD")) && c.Read(version) && (version == 4 || version == 5) &&
           ReadVersionedDescriptor(c);
}

/// Placed layer: type, version 3, a Pascal UUID, page, pages, anti-alias,
/// layer type 0 to 3, 8 doubles of transform, then the warp (a version and a
/// versioned descriptor).
bool PlacedLayer(Cursor &c)
{
    uint32_t type;
    return c.Skip(4) && ReadIs(c, 3) && ReadPascal(c) && c.Skip(12) && c.Read(type) && type <= 3 &&
           c.Skip(8 * 8 + 4) && ReadVersionedDescriptor(c);
}

/// Type tool: version, 6 doubles, text version 50 and its descriptor, warp
/// version 1 and its descriptor, the text's rectangle.
bool TypeTool(Cursor &c)
{
    return c.Skip(2 + 6 * 8) && Read16Is(c, 50) && ReadVersionedDescriptor(c) && Read16Is(c, 1) &&
           ReadVersionedDescriptor(c) && c.Skip(4 * 4);
}

/// Pixel source data: items of an 8-byte length and data while 8 bytes are left.
bool PixelSource(Cursor &c)
{
    uint64_t length;
    while (c.Left() >= 8)
        if (!c.Read(length) || !c.Skip(length))
            return false;
    return true;
}

/// One of the effects of the older effects block, by its key.
bool Effect(uint32_t key, Cursor &c)
{
    uint32_t version;
    switch (key) {
    case FourCC("cmnS"):
        return c.Skip(7);
    case FourCC("dsdw"): case FourCC("isdw"):
        return c.Skip(20) && ReadColor(c) && ReadBlend(c) && c.Skip(3) && ReadColor(c);
    case FourCC("oglw"):
        return c.Read(version) && c.Skip(8) && ReadColor(c) && ReadBlend(c) && c.Skip(2) &&
               (version < 2 || ReadColor(c));
    case FourCC("iglw"):
        return c.Read(version) && c.Skip(8) && ReadColor(c) && ReadBlend(c) && c.Skip(2) &&
               (version < 2 || (c.Skip(1) && ReadColor(c)));
    case FourCC("bevl"):
        return c.Read(version) && c.Skip(12) && ReadBlend(c) && ReadBlend(c) && ReadColor(c) && ReadColor(c) &&
               c.Skip(6) && (version != 2 || (ReadColor(c) && ReadColor(c)));
    case FourCC("sofi"):
        return c.Skip(4) && ReadBlend(c) && ReadColor(c) && c.Skip(2) && ReadColor(c);
    default:
        return false;
    }
}

/// The older effects block: version, count, then "8BIM", key, length, data.
bool Effects(Cursor &c)
{
    uint16_t count;
    uint32_t key, length;
    if (!c.Skip(2) || !c.Read(count) || !c.Has(count))
        return false;
    for (uint16_t i = 0; i < count; ++i) {
        Cursor data(nullptr, 0);
        if (!ReadIs(c, k8BIM) || !c.Read(key) || !c.Read(length) || !c.Sub(length, data) || !Effect(key, data))
            return false;
    }
    return true;
}

/// After a version 1 curve, a marker "Crv " with its own version and curves.
/// Readers pass over one that is cut off or not there, but refuse a whole one
/// whose version is neither 3 nor 4.
bool CurvesExtraHolds(Cursor c, bool map)
{
    uint16_t version, points;
    uint32_t count;
    if (!ReadIs(c, FourCC("Crv ")) || !c.Read(version) || !c.Read(count))
        return true;
    for (uint32_t i = 0; i < count; ++i) {
        const bool read = map ? c.Skip(2 + 256) : (c.Skip(2) && c.Read(points) && c.Skip(uint64_t{points} * 4));
        if (!read)
            return true;
    }
    return version == 3 || version == 4;
}

/// Curves: a map flag, version 1 or 4, a channel mask (version 1) or count,
/// then per channel a 256-byte map or 2 to 19 points.
bool Curves(Cursor &c)
{
    uint8_t map;
    uint16_t version, points;
    uint32_t channels;
    if (!c.Read(map) || !c.Read(version) || !c.Read(channels) || (version != 1 && version != 4))
        return false;
    const uint32_t count = version == 1 ? uint32_t(__builtin_popcount(channels)) : channels;
    if (map) {
        if (!c.Skip(uint64_t{count} * 256))
            return false;
    } else {
        if (!c.Has(count))
            return false;
        for (uint32_t i = 0; i < count; ++i)
            if (!c.Read(points) || points < 2 || points > 19 || !c.Skip(uint64_t{points} * 4))
                return false;
    }
    return version != 1 || CurvesExtraHolds(c, map != 0);
}

/// Gradient map: version 1 or 3 (3 adds the method), flags, a name, colour
/// stops of 20 bytes, transparency stops of 10, expansion 2, interpolation,
/// length 32, mode, then 32 bytes of settings and colours.
bool GradientMap(Cursor &c)
{
    uint16_t version, stops, transparency;
    uint32_t method;
    if (!c.Read(version) || (version != 1 && version != 3) || !c.Skip(2))
        return false;
    if (version == 3 && !(c.Read(method) && (method == FourCC("Gcls") || method == FourCC("Lnr ") ||
                                             method == FourCC("Perc"))))
        return false;
    return ReadUnicode(c) && c.Read(stops) && c.Skip(uint64_t{stops} * 20) && c.Read(transparency) &&
           c.Skip(uint64_t{transparency} * 10) && Read16Is(c, 2) && c.Skip(2) && Read16Is(c, 32) && c.Skip(2 + 32);
}

/// Levels: version 2, 29 records of 10 bytes; when 6 bytes follow, "Lvls",
/// version 3 and a count of all records.
bool Levels(Cursor &c)
{
    uint16_t count;
    if (!Read16Is(c, 2) || !c.Skip(29 * 10))
        return false;
    if (c.Left() < 6)
        return true;
    return ReadIs(c, FourCC("Lvls")) && Read16Is(c, 3) && c.Read(count) && (count <= 29 || c.Skip((uint64_t{count} - 29) * 10));
}

/// Photo filter: version 3 (a colour as XYZ) or 2 (a colour space and
/// colour), then density and luminosity.
bool PhotoFilter(Cursor &c)
{
    uint16_t version;
    return c.Read(version) && (version == 2 || version == 3) && c.Skip(version == 3 ? 12 : 10) && c.Skip(5);
}

} // namespace

bool DescriptorHolds(const uint8_t *p, std::size_t n, std::size_t &used)
{
    Cursor c(p, n);
    const bool holds = ReadBody(c, 0);
    used = holds ? n - c.Left() : 0;
    return holds;
}

bool TaggedBlockHolds(uint32_t key, const uint8_t *data, std::size_t length)
{
    Cursor c(data, length);
    uint16_t v;
    switch (key) {
    case FourCC("anFX"): case FourCC("artb"): case FourCC("artd"): case FourCC("abdd"): case FourCC("cinf"):
    case FourCC("CgEd"): case FourCC("extd"): case FourCC("extn"): case FourCC("frgb"): case FourCC("PxSc"):
    case FourCC("pths"): case FourCC("vstk"): case FourCC("blwh"): case FourCC("GdFl"): case FourCC("PtFl"):
    case FourCC("SoCo"): case FourCC("vibA"):
        return ReadVersionedDescriptor(c);
    case FourCC("lfx2"): case FourCC("lmfx"): case FourCC("lfxs"): case FourCC("vogk"):
        return c.Skip(4) && ReadVersionedDescriptor(c); // a free version, then the descriptor's
    case FourCC("clrL"):
        return c.Skip(2) && ReadVersionedDescriptor(c);
    case FourCC("vscg"): // a fill key and a version, then a descriptor
        return c.Skip(8) && ReadBody(c, 0);
    case FourCC("SoLd"): case FourCC("SoLE"):
        return SmartObject(c);
    case FourCC("PlLd"): case FourCC("plLd"):
        return PlacedLayer(c);
    case FourCC("TySh"):
        return TypeTool(c);
    case FourCC("shmd"):
        return Metadata(c);
    case FourCC("vmsk"): case FourCC("vsms"):
        return VectorMask(c);
    case FourCC("lsct"): case FourCC("lsdk"):
        return SectionDivider(c);
    case FourCC("luni"):
        return ReadUnicode(c);
    case FourCC("lclr"): // a colour label 0 to 7, then 6 bytes
        return c.Read(v) && v <= 7 && c.Skip(6);
    case FourCC("PxSD"):
        return PixelSource(c);
    case FourCC("lrFX"):
        return Effects(c);
    case FourCC("curv"):
        return Curves(c);
    case FourCC("grdm"):
        return GradientMap(c);
    case FourCC("levl"):
        return Levels(c);
    case FourCC("phfl"):
        return PhotoFilter(c);
    case FourCC("hue2"): case FourCC("hue "): // version 2, then 6 + 6 + 6 x 14 bytes
        return Read16Is(c, 2) && c.Skip(2 + 96);
    case FourCC("selc"): // version 1, method, 10 plates of 4 values
        return Read16Is(c, 1) && c.Skip(2 + 80);
    case FourCC("mixr"): // version 1, monochrome, 5 values
        return Read16Is(c, 1) && c.Skip(2 + 10);
    case FourCC("blnc"): // 3 x 3 levels, preserve luminosity
        return c.Skip(19);
    case FourCC("brit"): // brightness, contrast, mean, Lab only
        return c.Skip(8);
    case FourCC("fxrp"): // a reference point of 2 doubles
        return c.Skip(16);
    case FourCC("expA"): // version, exposure, offset, gamma
        return c.Skip(14);
    case FourCC("LMsk"): // a colour, an opacity and a flag
        return c.Skip(14);
    case FourCC("FMsk"): // a colour and an opacity
        return c.Skip(12);
    case FourCC("lyid"): case FourCC("lyvr"): case FourCC("lspf"): case FourCC("sn2P"): case FourCC("vowv"):
        return c.Skip(4);
    case FourCC("post"): case FourCC("thrs"):
        return c.Skip(2);
    case FourCC("clbl"): case FourCC("infx"): case FourCC("knko"): case FourCC("iOpa"): case FourCC("tsly"):
    case FourCC("lmgm"): case FourCC("vmgm"):
        return c.Skip(1);
    default:
        return true;
    }
}

namespace {

/// One slice of a version 6 slices resource. A descriptor may follow it,
/// told from the next slice only by its version 16: readers take it when it
/// reads and its class ID is not zero, and else read the bytes as the next
/// slice, unless the descriptor ran out of data.
bool Slice(Cursor &c)
{
    uint32_t origin;
    if (!c.Skip(8) || !c.Read(origin) || (origin == 1 && !c.Skip(4)) || !ReadUnicode(c) || !c.Skip(4 + 16))
        return false;
    for (int i = 0; i < 4; ++i) // URL, target, message, alt tag
        if (!ReadUnicode(c))
            return false;
    if (!c.Skip(1) || !ReadUnicode(c) || !c.Skip(8 + 4))
        return false;
    if (!c.Next32Is(16))
        return true;
    Cursor d = c;
    Key classId;
    if (d.Skip(4) && ReadBody(d, 0, &classId) && !(classId.n == 4 && LoadBE32(classId.p) == 0))
        c = d;
    else if (d.Short())
        return false;
    return true;
}

/// Slices: version 6 (a rectangle, a name, slices) or 7 and 8 (a versioned
/// descriptor).
bool Slices(Cursor &c)
{
    uint32_t version, count;
    if (!c.Read(version))
        return false;
    if (version == 7 || version == 8)
        return ReadVersionedDescriptor(c);
    if (version != 6 || !c.Skip(16) || !ReadUnicode(c) || !c.Read(count) || !c.Has(count))
        return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!Slice(c))
            return false;
    return true;
}

/// Names to the end of the data, each as Pascal or as Unicode strings.
bool Names(Cursor &c, bool unicode)
{
    while (c.Left() > 0)
        if (!(unicode ? ReadUnicode(c) : ReadPascal(c)))
            return false;
    return true;
}

/// URL list: a count, then per URL a number, an ID and the URL.
bool UrlList(Cursor &c)
{
    uint32_t count;
    if (!c.Read(count) || !c.Has(count))
        return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!c.Skip(8) || !ReadUnicode(c))
            return false;
    return true;
}

} // namespace

bool ResourceHolds(uint16_t id, const uint8_t *data, std::size_t length)
{
    Cursor c(data, length);
    uint16_t v;
    uint32_t n;
    if (id == 1025 || (id >= 2000 && id <= 2997)) // the work path and saved paths
        return ReadPathRecords(c);
    switch (id) {
    case 1065: case 1074: case 1075: case 1076: case 1078: case 1080: case 1082: case 1083: case 1088: case 3000:
        return ReadVersionedDescriptor(c);
    case 1050:
        return Slices(c);
    case 1005: // resolution
        return c.Skip(16);
    case 1006:
        return Names(c, false);
    case 1045:
        return Names(c, true);
    case 1008: case 2999: // caption, clipping path name
        return ReadPascal(c);
    case 1010: // background colour
        return ReadColor(c);
    case 1011: // print flags
        return c.Skip(8);
    case 1024: case 1046: case 1047:
        return c.Skip(2);
    case 1032: // grid and guides: version, grid, count, then 5 bytes a guide
        return c.Skip(12) && c.Read(n) && c.Skip(uint64_t{n} * 5);
    case 1033: case 1036: // thumbnail header
        return c.Skip(28);
    case 1034: case 1040: case 1041: case 1042:
        return c.Skip(1);
    case 1037: case 1044: case 1049:
        return c.Skip(4);
    case 1051: case 1086: case 1087:
        return ReadUnicode(c);
    case 1054:
        return UrlList(c);
    case 1057: // version info: version, composite flag, writer, reader, file version
        return c.Skip(5) && ReadUnicode(c) && ReadUnicode(c) && c.Skip(4);
    case 1062: // print scale: style 0 to 2, x, y, scale
        return c.Read(v) && v <= 2 && c.Skip(12);
    case 1064: // pixel aspect ratio
        return c.Skip(12);
    case 1069: // layer selection IDs
        return c.Read(v) && c.Skip(uint64_t{v} * 4);
    case 10000: // print flags info
        return c.Skip(10);
    default:
        return true;
    }
}

std::vector<uint8_t> ResourcesThatHold(const uint8_t *p, std::size_t n)
{
    std::vector<uint8_t> kept;
    bool all = true;
    std::size_t pos = 0;
    while (pos < n) {
        // A signature, an id, a Pascal name padded to even, a length, the data padded to even.
        if (n - pos < 12)
            break;
        const uint32_t sig = LoadBE32(p + pos);
        if (sig != k8BIM && sig != FourCC("MeSa") && sig != FourCC("PHUT") && sig != FourCC("AgHg") &&
            sig != FourCC("DCSR"))
            break;
        const uint16_t id = LoadBE16(p + pos + 4);
        const std::size_t name = (1 + std::size_t{p[pos + 6]} + 1) / 2 * 2;
        if (n - pos < 6 + name + 4)
            break;
        const uint64_t length = LoadBE32(p + pos + 6 + name), data = pos + 6 + name + 4;
        if (length > n - data)
            break;
        const uint64_t end = std::min<uint64_t>(n, data + length + (length & 1));
        if (ResourceHolds(id, p + data, static_cast<std::size_t>(length)))
            kept.insert(kept.end(), p + pos, p + end);
        else
            all = false;
        pos = static_cast<std::size_t>(end);
    }
    if (all && pos == n)
        return std::vector<uint8_t>(p, p + n);
    return kept;
}

} // namespace zelt

#!/usr/bin/python3
"""Layers salvaged from damaged copies of files no one on this project wrote.

    salvage_acceptance.py DRIVER WORKDIR SOURCES_DIR...

Every Photoshop file under the SOURCES_DIRs (the shared corpus, the files the
generated acceptance set wrote) is damaged in several ways: zeroed and random
sectors one per 32 KiB, the first 4 KiB and the first 64 KiB zeroed, cut off
(alone and with other bytes after), the layer info's length damaged, bits
flipped. DRIVER (zelt_recover) runs each copy with salvage and the rebuilt
document, as velmora does. Per damage, the layers whose channel data bytes the
damage left untouched are counted, split by whether their record survived too,
with how many came back identical (a layer file holding exactly the layer's
pixels); layer files that are no layer of the original are false finds. Every
untouched layer with an untouched record must come back, at least 90 % of
those whose record was lost, and false finds stay under 1 % of the layer
files. Every rebuilt document opens in psd-tools (its groups and every layer
read), and in ImageMagick and GIMP where these read the intact original.
Where the header and every record are lost, nothing tells the colours a
layer's data holds: those layers are counted apart, and only reported.
SALVAGE_SEED picks other damage (21 by default), SALVAGE_KEEP keeps the
copies and their outputs, SALVAGE_VERBOSE names each miss. Exits 77
(skipped) when psd-tools or every source is missing.
"""
import collections
import glob
import logging
import os
import random
import shutil
import subprocess
import sys
import warnings

SKIP = 77
# velmora's engine flags: heuristic, rebuild, coarse reports, salvage.
FLAGS = 0x1 | 0x2 | 0x4 | 0x400
SECTOR = 512

try:
    import psd_model as model
    import psd_sources as sources
    from psd_tools import PSDImage
except ImportError as e:
    print(f"{e}: skipped")
    sys.exit(SKIP)

warnings.simplefilter("ignore")
logging.disable(logging.WARNING)


def be(data, pos, n):
    return int.from_bytes(data[pos:pos + n], "big")


def record_ranges(doc):
    """Where each layer record lies in the intact file: (start, end)."""
    data = doc.data
    h = doc.header
    n = 4 * h.version
    pos = 26
    pos += 4 + be(data, pos, 4)
    pos += 4 + be(data, pos, 4)
    section = pos
    records = section + 2 * n if be(data, section + n, n) else model.layer_block(data, section, h.version)
    count = abs(int.from_bytes(data[records:records + 2], "big", signed=True))
    pos = records + 2
    ranges = []
    for _ in range(count):
        start = pos
        channels = be(data, pos + 16, 2)
        pos += 18 + channels * (2 + n) + 12
        pos += 4 + be(data, pos, 4)
        ranges.append((start, pos))
    return ranges, records, section


def read_picture(path):
    """(height, width, channels, planes) of a file the engine wrote."""
    with open(path, "rb") as f:
        data = f.read()
    version = be(data, 4, 2)
    channels, height, width, depth = be(data, 12, 2), be(data, 14, 4), be(data, 18, 4), be(data, 22, 2)
    pos = 26
    pos += 4 + be(data, pos, 4)
    pos += 4 + be(data, pos, 4)
    n = 4 * version
    pos += n + be(data, pos, n)
    pos += 2
    size = model.row_bytes(width, depth) * height
    planes = [data[pos + k * size:pos + (k + 1) * size] for k in range(channels)]
    return height, width, channels, planes


def header_of(path):
    with open(path, "rb") as f:
        head = f.read(26)
    return be(head, 4, 2), max(be(head, 14, 4), be(head, 18, 4)), be(head, 24, 2)


def identify_refuses(paths):
    """The paths ImageMagick cannot read (it has no indexed colour and a
    limit on the sides): all in one call, each alone only when that fails."""
    paths = [p for p in paths if header_of(p)[2] != 2 and header_of(p)[1] <= 16384]
    def refused(batch):
        return subprocess.run(["identify", *batch], capture_output=True).returncode != 0
    if not paths or not shutil.which("identify") or not refused(paths):
        return set()
    return {p for p in paths if refused([p])}


def gimp_refuses(paths):
    """The paths GIMP cannot read (none of version 2), all in one process."""
    paths = [p for p in paths if header_of(p)[0] == 1]
    if not paths or not shutil.which("gimp"):
        return set()
    return set(paths) - sources.gimp_opens(paths)


def readers_refuse(documents):
    """Failures for rebuilt documents ImageMagick or GIMP refuse where they
    read the intact original. GIMP, slow to start a file, is asked about
    every fifth document."""
    failures = []
    with open(os.path.join(os.path.dirname(documents[0][1]), "index.txt"), "w") as f:
        f.writelines(f"{os.path.basename(d)} {label}\n" for _, d, label in documents)
    for reader, refuses, step in (("ImageMagick", identify_refuses, 1), ("GIMP", gimp_refuses, 5)):
        documents = documents[::step]
        refused = refuses([d for _, d, _ in documents])
        originals = refuses(sorted({o for o, d, _ in documents if d in refused}))
        opened = len(documents) - len(refused)
        print(f"rebuilt documents {reader} opens: {opened} of {len(documents)}")
        failures += [f"{label}: {reader} refuses the rebuilt document" for o, d, label in documents
                     if d in refused and o not in originals]
    return failures


def damages(doc, rng):
    """(name, damaged bytes) for each kind of damage."""
    data = doc.data
    blocks = range(0, len(data), 32 * 1024)
    def sectors(fill):
        out = bytearray(data)
        for b in blocks:
            s = b + rng.randrange(64) * SECTOR
            if s < len(out):
                out[s:s + SECTOR] = fill(min(SECTOR, len(out) - s))
        return bytes(out)
    copies = [("zeroed sectors", sectors(lambda k: bytes(k))),
              ("random sectors", sectors(lambda k: bytes(rng.randrange(256) for _ in range(k)))),
              ("first 4 KiB zeroed", bytes(min(4096, len(data))) + data[4096:]),
              ("first 64 KiB zeroed", bytes(min(65536, len(data))) + data[65536:])]
    # A copy cut off, alone and with other bytes behind it (on a disk).
    cut = len(data) * 3 // 5
    filler = random.Random(len(data))
    copies += [("cut", data[:cut]),
               ("cut, other bytes after", data[:cut] + bytes(filler.randrange(256) for _ in range(len(data) - cut)))]
    try:
        _, _, section = record_ranges(doc)
        n = 4 * doc.header.version
        if be(data, section + n, n):
            out = bytearray(data)
            out[section + n] ^= 0x40
            copies.append(("layer-info length damaged", bytes(out)))
    except Exception:
        pass
    flipped = bytearray(data)
    for _ in range(max(1, len(data) // 4096)):
        at = rng.randrange(len(data))
        flipped[at] ^= 1 << rng.randrange(8)
    copies.append(("bits flipped", bytes(flipped)))
    return copies


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    driver, work = sys.argv[1], sys.argv[2]
    sources = sorted(p for d in sys.argv[3:] if os.path.isdir(d)
                     for p in glob.glob(os.path.join(d, "*.ps[db]")) + glob.glob(os.path.join(d, "*.pdd")))
    if not sources:
        print("no sources: skipped")
        return SKIP
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "rebuilt"))
    documents = []  # (original, rebuilt document, label)
    rng = random.Random(int(os.environ.get("SALVAGE_SEED", "21")))
    # damage -> counters
    stats = collections.defaultdict(collections.Counter)
    failures = []
    for path in sources:
        try:
            doc = model.read_document(path)
            ranges, _, _ = record_ranges(doc)
        except Exception as e:
            print(f"  {os.path.basename(path)}: not read here ({type(e).__name__}); left out")
            continue
        if not doc.layers:
            continue
        intact = model.Damaged(doc, doc.data)
        pictures = []  # the layers with pixels: (index, planes)
        for layer, decoded in zip(doc.layers, model.decode_layers(intact)):
            if model.layer_written(layer, decoded) and all(c.reference is not None or not c.decoded or c.length <= 2
                                                           for c in layer.channels):
                pictures.append((layer, model.layer_file_planes(doc, layer, decoded)))
        if not pictures:
            continue
        stem = os.path.splitext(os.path.basename(path))[0]
        # The layers of documents embedded in it (smart objects) count as its
        # own: the intact file gives them too.
        whole = os.path.join(work, stem + "-intact")
        os.makedirs(whole)
        subprocess.run([driver, path, whole, "3", "600", "800", "8", "3", str(FLAGS)], capture_output=True)
        embedded = {(h, w, c) for h, w, c, _ in (read_picture(p) for p in glob.glob(os.path.join(whole, "Layer*.ps[db]"))
                                                 if "_mask" not in os.path.basename(p))}
        shutil.rmtree(whole)
        for name, data in damages(doc, rng):
            src = os.path.join(work, f"{stem}-{name.replace(' ', '-')}{os.path.splitext(path)[1]}")
            with open(src, "wb") as f:
                f.write(data)
            out = src + "-out"
            os.makedirs(out)
            run = subprocess.run([driver, src, out, "3", "600", "800", "8", "3", str(FLAGS)],
                                 capture_output=True, text=True, errors="replace")
            if run.returncode not in (0, 1):
                failures.append(f"{stem}/{name}: the engine ended with status {run.returncode}")
            for rebuilt in glob.glob(os.path.join(out, "*_rebuilt.ps[db]")):
                s = stats[name]
                s["rebuilt documents"] += 1
                kept = os.path.join(work, "rebuilt", f"{len(documents)}{os.path.splitext(rebuilt)[1]}")
                shutil.copyfile(rebuilt, kept)
                documents.append((path, kept, f"{stem}/{name}"))
                try:
                    for _ in PSDImage.open(rebuilt).descendants():
                        pass
                except Exception as e:
                    failures.append(f"{stem}/{name}: psd-tools refuses the rebuilt document: {type(e).__name__} {e}")
            damaged = model.Damaged(doc, data)
            # Whether anything tells the layers' colours: the header or a record.
            structure = damaged.intact(0, 26) or any(damaged.intact(a, b - a) for a, b in ranges)
            written = [read_picture(p) for p in sorted(glob.glob(os.path.join(out, "Layer*.ps[db]")))
                       if "_mask" not in os.path.basename(p)]
            got = collections.Counter((h, w, tuple(planes)) for h, w, _, planes in written)
            shapes = {(l.height, l.width, len(l.channels)) for l in doc.layers} | embedded
            s = stats[name]
            for h, w, c, _ in written:
                s["layer files"] += 1
                s["false finds"] += (h, w, c) not in shapes
                if (h, w, c) not in shapes and os.environ.get("SALVAGE_VERBOSE"):
                    print(f"  {stem}/{name}: a false find of {w} x {h}, {c} channels")
            for layer, planes in pictures:
                untouched = all(damaged.intact(c.offset, c.length) for c in layer.channels)
                if not untouched:
                    continue
                record = damaged.intact(ranges[layer.index][0], ranges[layer.index][1] - ranges[layer.index][0])
                kind = "record whole" if record else "record lost" if structure else "all lost"
                s[f"untouched, {kind}"] += 1
                key = (layer.height, layer.width, tuple(planes))
                if got[key] > 0:
                    s[f"untouched, {kind}, back identical"] += 1
                elif record:
                    failures.append(f"{stem}/{name}: layer {layer.index} ({layer.width} x {layer.height}), untouched "
                                    "with its record, did not come back identical")
                elif os.environ.get("SALVAGE_VERBOSE"):
                    what = "its record lost" if structure else "the header and every record lost"
                    print(f"  {stem}/{name}: layer {layer.index} ({layer.width} x {layer.height}), untouched, {what}, "
                          f"did not come back ({model.compression_of(doc, layer)})")
            if not os.environ.get("SALVAGE_KEEP"):
                shutil.rmtree(out)
                os.remove(src)
    failures += readers_refuse(documents) if documents else []
    for name, s in stats.items():
        whole, lost = s["untouched, record whole"], s["untouched, record lost"]
        back_whole, back_lost = s["untouched, record whole, back identical"], s["untouched, record lost, back identical"]
        alone, back_alone = s["untouched, all lost"], s["untouched, all lost, back identical"]
        print(f"{name}: untouched layers with their record {back_whole} of {whole} back identical; "
              f"whose record was lost {back_lost} of {lost}; with the header and every record lost "
              f"{back_alone} of {alone}; false finds {s['false finds']} of {s['layer files']} layer files; "
              f"{s['rebuilt documents']} rebuilt documents")
        if lost and back_lost < 0.9 * lost:
            failures.append(f"{name}: {back_lost} of {lost} layers whose record was lost came back (90 % wanted)")
        if s["layer files"] and s["false finds"] >= 0.01 * s["layer files"]:
            failures.append(f"{name}: {s['false finds']} false finds in {s['layer files']} layer files")
    for f in failures:
        print("FAIL", f)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Acceptance of the engine on Photoshop files that no one on this project wrote.

    psd_acceptance.py generated DRIVER WORKDIR   files written by ImageMagick, GIMP, ag-psd, psd-tools
    psd_acceptance.py corpus DRIVER WORKDIR CORPUS_DIR

DRIVER is zelt_recover. For every file and for damaged copies of it (header
zeroed with the true properties given, junk around it, cut inside the merged
image, cut inside the last layer, sectors overwritten inside the pixel data),
every layer file, mask file and merged image the engine writes must hold
exactly what psd-tools decodes from the intact file where the bytes survive,
and what the engine's reading rules make of the damaged bytes elsewhere;
files must be written exactly for the layers with pixels and for merged
images with data left. Every written file must open and decode in psd-tools
and in ImageMagick, as a large document (.psb) exactly when a side exceeds
30000 pixels. The rebuilt layered document of the intact file and of three
damaged copies must have the original's layers, groups, names, bounds, blend
modes, opacity, visibility and pixels, and open in psd-tools, GIMP and
ImageMagick.

Copies whose header is zeroed, whose first 4 KiB are zeroed or whose
colour-mode data's length is damaged are run with the true properties given
and with the default ones, the heuristic off and on. The files whose merged
image comes back identical to the original's are counted per damage: with
the heuristic on at least as many as with the true properties, and every one
that comes back with the heuristic off. Each properties line must name the
merged image written after it; the embedded preview must be saved as stored.
Exits 77 (skipped) when psd-tools or the corpus is missing.
"""
import collections
import hashlib
import io
import json
import logging
import os
import random
import re
import shutil
import subprocess
import sys
import time
import warnings
from dataclasses import dataclass

SKIP = 77
# The driver's default (heuristic) and the rebuilt document, run-length
# compressed as velmora writes it.
REBUILD_FLAGS = 0x1 | 0x2 | 0x800
# The properties given for a copy whose header is lost stand as given: the
# user knows the picture (channels, height, width, depth, mode).
KEEP_GIVEN = 0x20 | 0x40 | 0x80 | 0x100 | 0x200
SECTOR = 512
MAX_VERSION1_SIDE = 30000
# Debian's ImageMagick policy refuses pictures over 16384 pixels a side.
IMAGEMAGICK_MAX_SIDE = 16384

try:
    import numpy as np
    from PIL import Image
    from psd_tools import PSDImage
    from psd_tools.constants import Tag
    import psd_model as model
    import psd_sources as sources
except ImportError as e:
    print(f"{e}: skipped")
    sys.exit(SKIP)

warnings.simplefilter("ignore")
logging.disable(logging.WARNING)  # psd-tools' notes on blocks it does not know
failures = []
counts = collections.Counter()


def fail(message):
    failures.append(message)
    print("FAIL", message)


@dataclass
class Result:
    written: list
    errors: list
    status: list
    source: str
    log: list  # (kind, text) in the order heard

    def named(self, name):
        return next((p for p in self.written if os.path.basename(p) == name), None)


def recover(driver, src, out, props=None, flags=None):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    args = [driver, src, out, *[str(v) for v in props or ()], *([str(flags)] if flags is not None else [])]
    run = subprocess.run(args, capture_output=True, text=True, errors="replace")
    if run.returncode not in (0, 1):
        fail(f"{src}: the engine ended with status {run.returncode}: {run.stderr[-2000:]}")
    for report in ("runtime error:", "AddressSanitizer", "LeakSanitizer"):
        if report in run.stderr:
            fail(f"{src}: sanitizer report: {run.stderr[-2000:]}")
    lines = collections.defaultdict(list)
    log = []
    for line in run.stdout.splitlines():
        kind, _, text = line.partition(" ")
        lines[kind].append(text)
        log.append((kind, text))
    return Result(lines["written"], lines["error"], lines["status"], src, log)


# --- Reading what the engine wrote --------------------------------------------

def open_written(path, label):
    """A written file as psd-tools reads it: (PSDImage, merged planes), or
    None. A .psb file is a large document (version 2), a .psd one not."""
    try:
        psd = PSDImage.open(path)
        record = psd._record
        planes = record.image_data.get_data(record.header)
    except Exception as e:  # psd-tools raises whatever its parser meets
        fail(f"{label}: psd-tools cannot open {os.path.basename(path)}: {type(e).__name__}: {e}")
        return None
    large = path.endswith(".psb")
    counts["large documents opened in psd-tools" if large else "opened in psd-tools"] += 1
    if record.header.version != 1 + large:
        fail(f"{label}: {os.path.basename(path)} is a version {record.header.version} document")
    return psd, planes


def expect_header(label, name, psd, wanted):
    h = psd._record.header
    got = (h.channels, h.height, h.width, h.depth, int(h.color_mode))
    if got != tuple(wanted):
        fail(f"{label}: {name} has channels/height/width/depth/mode {got}, expected {tuple(wanted)}")
        return False
    return True


def compare_planes(label, what, got, expected):
    if len(got) != len(expected):
        fail(f"{label}: {what} has {len(got)} planes, expected {len(expected)}")
        return
    for k, (g, e) in enumerate(zip(got, expected)):
        counts["planes compared"] += 1
        if g == e:
            counts["planes identical"] += 1
            continue
        at = next((i for i in range(min(len(g), len(e))) if g[i] != e[i]), min(len(g), len(e)))
        fail(f"{label}: {what} plane {k} differs at byte {at} of {len(e)} "
             f"(got {g[at:at + 8].hex()}, expected {e[at:at + 8].hex()})")


def extension(height, width):
    """Pictures wider or higher than 30000 pixels are written as large documents."""
    return ".psb" if max(height, width) > MAX_VERSION1_SIDE else ".psd"


def merged_files(result):
    """The merged images written, in the order written: (number, path)."""
    stem = os.path.splitext(os.path.basename(result.source))[0]
    found = [(re.fullmatch(re.escape(stem) + r"_(\d+)(\.psd|\.psb)", os.path.basename(p)), p) for p in result.written]
    return [(int(m.group(1)), p) for m, p in found if m]


def header_of(path):
    """(version, height, width, mode) from a file's header."""
    with open(path, "rb") as f:
        head = f.read(26)
    return model.be(head, 4, 2), model.be(head, 14, 4), model.be(head, 18, 4), model.be(head, 24, 2)


def imagemagick_reads(path):
    """ImageMagick refuses by design indexed colour (its Photoshop reader has
    none) and sides over its policy's limit."""
    _, height, width, mode = header_of(path)
    return mode != 2 and max(height, width) <= IMAGEMAGICK_MAX_SIDE


def gimp_reads(path):
    """GIMP 2.10 reads no large-document (version 2) files."""
    return header_of(path)[0] == 1


def imagemagick_opens(label, paths):
    """Every path opens in ImageMagick."""
    paths = [p for p in paths if imagemagick_reads(p)]
    if not paths or not shutil.which("identify"):
        return
    refused = imagemagick_refuses(paths)
    for path in refused:
        fail(f"{label}: ImageMagick cannot open {os.path.basename(path)}")
    counts["opened in ImageMagick"] += len(paths) - len(refused)


def readers_open_rebuilt(documents):
    """Every rebuilt document, given as (original, document), opens in
    ImageMagick and in GIMP, unless the reader refuses the intact original
    too: a rebuilt document keeps the original's records as stored. Each
    reader is asked once about all documents (GIMP in one batch run), again
    only about the originals of those it refuses; documents with the same
    bytes are asked about once."""
    twin, first = {}, {}
    for _, path in documents:
        with open(path, "rb") as f:
            twin[path] = first.setdefault(hashlib.sha256(f.read()).digest(), path)
    readers = {}
    if shutil.which("identify"):
        readers["ImageMagick"] = (imagemagick_reads, lambda paths: set(paths) - set(imagemagick_refuses(paths)))
    if shutil.which("gimp"):
        readers["GIMP"] = (gimp_reads, sources.gimp_opens)
    for reader, (offered, opens) in readers.items():
        asked = sorted({twin[p] for _, p in documents if offered(p)})
        opened = opens(asked) if asked else set()
        doubtful = sorted({o for o, p in documents if twin[p] in asked and twin[p] not in opened})
        originals = opens(doubtful) if doubtful else set()
        for original in doubtful:
            if original not in originals:
                print(f"  {reader} refuses the intact {os.path.basename(original)} as well as its rebuilt documents")
        for original, path in documents:
            if twin[path] in opened:
                counts[f"rebuilt documents opened in {reader}"] += 1
            elif twin[path] in asked and original in originals:
                fail(f"{reader} cannot open {path}, though it opens {os.path.basename(original)}")


def imagemagick_refuses(paths):
    """The paths ImageMagick cannot read: all in one call, each by itself
    only when that call fails."""
    def refused(batch):
        return subprocess.run(["identify", *batch], capture_output=True).returncode != 0
    if not paths or not refused(paths):
        return []
    return [p for p in paths if refused([p])]


# --- The damaged copies ---------------------------------------------------------

@dataclass
class Copy:
    name: str
    data: bytes
    shift: int = 0
    props: bool = False   # the true image properties are given to the engine
    header: bool = True   # the file header survives

    def anchored(self, doc):
        """Whether the engine can find the merged image: after the header,
        after a layer section, or after the image resources it recognises by
        their blocks."""
        return self.header or bool(doc.layers) or doc.resources_found()


def pixel_start(doc, channel):
    """Where a channel's pixel bytes start (after its row lengths)."""
    start = channel.offset + 2
    if channel.compression(doc.data) == 1:
        start += channel.height * 2 * doc.header.version
    return start


def merged_pixels(doc):
    h = doc.header
    start = doc.merged_offset + 2
    if model.be(doc.data, doc.merged_offset, 2) == 1:
        start += h.channels * h.height * 2 * h.version
    return start


def compression_name(number):
    return {0: "raw", 1: "rle", 2: "zip", 3: "zip-pred"}.get(number, str(number))


def damaged_copies(doc):
    data = doc.data
    rng = random.Random(7)
    junk = bytes(rng.randrange(256) for _ in range(5000))
    copies = [Copy("header-zeroed", bytes(26) + data[26:], props=True, header=False),
              Copy("junk-around", junk + data + junk, shift=len(junk))]
    start = merged_pixels(doc)
    merged_kind = compression_name(model.be(data, doc.merged_offset, 2))
    if len(data) - start >= 2:
        copies.append(Copy(f"cut-in-merged-{merged_kind}", data[:start + (len(data) - start) // 2]))
    channels = [c for layer in doc.layers if layer.valid and not layer.empty
                for c in layer.channels if c.decoded and c.length > 2]
    if channels:
        last = channels[-1]
        begin, end = pixel_start(doc, last), last.offset + last.length
        if end - begin >= 2:
            kind = compression_name(last.compression(data))
            copies.append(Copy(f"cut-in-layers-{kind}", data[:begin + (end - begin) // 2]))
    # Sectors inside the merged image's pixels, and one inside the pixels of
    # the largest layer channel (a ZIP stream where there is one).
    sectors = list(range((start + SECTOR - 1) // SECTOR * SECTOR, len(data) - SECTOR + 1, 4 * SECTOR))
    zipped = [c for c in channels if c.compression(data) in (2, 3)]
    for c in sorted(zipped or channels, key=lambda c: -c.length)[:1]:
        first = (pixel_start(doc, c) + SECTOR - 1) // SECTOR * SECTOR
        if first + SECTOR <= c.offset + c.length:
            sectors.append(first)
            merged_kind += f"+layer-{compression_name(c.compression(data))}"
    if sectors:
        damaged = bytearray(data)
        for s in sectors:
            damaged[s:s + SECTOR] = b"\xaa" * SECTOR
        copies.append(Copy(f"sectors-overwritten-{merged_kind}", bytes(damaged)))
    return copies


def save(folder, doc, copy):
    path = os.path.join(folder, f"{doc.stem}-{copy.name}{os.path.splitext(doc.path)[1]}")
    with open(path, "wb") as f:
        f.write(copy.data)
    return path


# --- Layer files, mask files, merged images --------------------------------------

def check_recovery(label, doc, copy, result):
    """The engine's files from a copy against what its bytes hold."""
    d = model.Damaged(doc, copy.data, copy.shift)
    written = []
    if result.errors:
        fail(f"{label}: engine errors: {result.errors}")
    for layer, decoded in zip(doc.layers, model.decode_layers(d)):
        ext = extension(layer.height, layer.width)
        name = f"Layer{layer.index}{ext}"
        path, mask = result.named(name), result.named(f"Layer{layer.index}_mask{ext}")
        wanted = model.layer_written(layer, decoded)
        if bool(path) != wanted:
            fail(f"{label}: {name} {'missing' if wanted else 'written'} (layer {layer.width} x {layer.height})")
        alpha = next((k for k, c in enumerate(layer.channels) if c.id == -1), None)
        if bool(mask) != model.mask_written(layer, decoded):
            fail(f"{label}: Layer{layer.index}_mask{ext} {'written' if mask else 'missing'}")
        if path:
            counts["layers compared"] += 1
            counts["layers read in part"] += model.layer_damaged(layer, decoded)
            check_written(label, doc, copy, path, (len(layer.channels), layer.height, layer.width, doc.depth,
                                             doc.layer_mode(layer, not copy.header)),
                          model.layer_file_planes(doc, layer, decoded))
            written.append(path)
        if mask and path:
            single = doc.depth == 1
            check_written(label, doc, copy, mask, (1 if single else 3, layer.height, layer.width, doc.depth,
                                             0 if single else 3), [decoded[alpha].plane] * (1 if single else 3))
            written.append(mask)
    check_merged(label, doc, copy, d, result)
    return written


def check_written(label, doc, copy, path, header, planes):
    name = os.path.basename(path)
    opened = open_written(path, label)
    if not opened:
        return
    psd, got = opened
    if expect_header(label, name, psd, header):
        compare_planes(label, name, got, planes)
    check_colour_mode_data(label, name, psd, doc, copy, header[4])


def colour_mode_data(doc, copy, mode):
    """The palette or duotone data of the file's header; a white palette and
    no duotone data when the header is lost; nothing for other modes."""
    if mode not in (2, 8):
        return b""
    if copy.header or (mode == 2 and doc.resources_found()):
        # Without the header the palette is found before the image
        # resources, which the engine recognises by their blocks.
        return doc.psd._record.color_mode_data.value
    return b"\xff" * 768 if mode == 2 else b""


def check_colour_mode_data(label, name, psd, doc, copy, mode):
    wanted = colour_mode_data(doc, copy, mode)
    got = psd._record.color_mode_data.value
    if got != wanted:
        fail(f"{label}: {name} has {len(got)} bytes of colour-mode data, expected {len(wanted)}")


def check_merged(label, doc, copy, d, result):
    """The first merged image is the file's; merged images are numbered from
    1 on without gaps (the driver is a new process each time)."""
    stem = os.path.splitext(os.path.basename(result.source))[0]
    numbered = merged_files(result)
    numbers = [n for n, _ in numbered]
    if numbers != list(range(1, len(numbers) + 1)):
        fail(f"{label}: merged images numbered {numbers}")
    ext = extension(doc.header.height, doc.header.width)
    merged = [p for _, p in numbered if p.endswith(ext)]
    wanted = model.decode_merged(d) if copy.anchored(doc) else None
    if wanted is None:
        if merged:
            fail(f"{label}: a merged image was written ({os.path.basename(merged[0])}) with no data left")
        return
    if not merged:
        fail(f"{label}: no merged image {stem}_1{ext}")
        return
    counts["merged images compared"] += 1
    check_written(label, doc, copy, merged[0], doc.written_props(not copy.header), wanted)


def run_layers(driver, doc, folder, copies):
    """The intact file and its damaged copies; gives the files written."""
    written = []
    for copy, src in copies:
        result = recover(driver, src, os.path.join(folder, copy.name), doc.props() if copy.props else None,
                         1 | KEEP_GIVEN if copy.props else None)
        counts["engine runs"] += 1
        checked = check_recovery(f"{doc.stem}/{copy.name}", doc, copy, result)
        # Files of other sections (documents embedded in smart objects) must open too.
        written += checked + [p for p in result.written if p not in checked and open_written(p, doc.stem)]
    return written


# --- The rebuilt document --------------------------------------------------------

def tree(psd, numbers):
    """The nesting of a document's layers as psd-tools sees it: nested lists
    of layer numbers, numbers[k] for the k-th record."""
    records = psd._record._get_layer_info().layer_records
    number = {id(r): n for r, n in zip(records, numbers)}

    def walk(group):
        return [(number.get(id(layer._record)), walk(layer) if layer.is_group() else None) for layer in group]
    return walk(psd)


def section_type(record):
    block = record.tagged_blocks.get_data(Tag.SECTION_DIVIDER_SETTING) if record.tagged_blocks else None
    return int(block.kind) if block is not None else 0


def unicode_name(record):
    return record.tagged_blocks.get_data(Tag.UNICODE_LAYER_NAME) if record.tagged_blocks else None


def engine_name(record):
    """A layer's name as the engine reports it: the Unicode name, else the
    stored one (UTF-8 or Latin-1)."""
    name = unicode_name(record)
    if name is not None:  # psd-tools keeps UTF-16 surrogates apart
        return name.rstrip("\0").encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")
    raw = record.name.encode("macroman", "replace")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def check_rebuilt(label, doc, copy, result):
    """The rebuilt document of a copy against the intact original."""
    d = model.Damaged(doc, copy.data, copy.shift)
    stem = os.path.splitext(os.path.basename(result.source))[0]
    path = result.named(stem + "_rebuilt" + extension(doc.header.height, doc.header.width))
    decoded = model.decode_layers(d)
    expected = bool(doc.layers) and document_written(doc, copy, d, decoded)
    if not expected or not path:
        if bool(path) != expected:
            fail(f"{label}: {'a' if path else 'no'} rebuilt document, with {len(doc.layers)} layers")
        return path
    name = os.path.basename(path)
    try:
        rebuilt = model.read_document(path)
        counts["opened in psd-tools"] += 1
    except Exception as e:  # psd-tools raises whatever its parser meets
        fail(f"{label}: psd-tools cannot open {name}: {type(e).__name__}: {e}")
        return path
    for note in rebuilt.notes:
        fail(f"{label}: {name}: {note}")
    if not expect_header(label, name, rebuilt.psd, doc.written_props(not copy.header)):
        return path
    counts["rebuilt documents compared"] += 1
    check_colour_mode_data(label, name, rebuilt.psd, doc, copy, doc.written_mode(not copy.header))
    if rebuilt.resource_bytes() != (doc.resource_bytes() if copy.header else b""):
        fail(f"{label}: {name} has {len(rebuilt.resource_bytes())} bytes of image resources, "
             f"expected {len(doc.resource_bytes()) if copy.header else 0}")
    if (rebuilt.layer_count < 0) != (doc.layer_count < 0):
        fail(f"{label}: {name} stores the layer count {rebuilt.layer_count}, the original {doc.layer_count}")
    layers = [layer for layer in doc.layers if layer.valid]
    if len(rebuilt.layers) != len(layers):
        fail(f"{label}: {name} has {len(rebuilt.layers)} layer records, expected {len(layers)}")
        return path
    same_layout = rebuilt.header.version == doc.header.version
    for layer, got in zip(layers, rebuilt.layers):
        check_rebuilt_layer(f"{label}: rebuilt layer {layer.index}", layer, got, decoded[layer.index], same_layout)
    for layer in doc.layers:
        text = engine_name(layer.record)
        if not layer.valid:
            line = f'Layer {layer.index} "{text}" is left out of the rebuilt document: its bounds are not plausible.'
        elif model.layer_written(layer, decoded[layer.index]):
            read, white, damaged = model.rows_line_counts(layer, decoded[layer.index])
            line = (f'Layer {layer.index} "{text}" ({layer.width} x {layer.height}): {read} of {layer.height} '
                    f"rows read; {white} filled with white; {damaged} damaged.")
        else:
            continue
        if line not in result.status:
            fail(f"{label}: no status line {line!r}")
    nesting = tree(rebuilt.psd, [layer.index for layer in layers])
    original = prune(tree(doc.psd, range(len(doc.layers))), {layer.index for layer in layers})
    if nesting != original:
        fail(f"{label}: the rebuilt document's layers and groups nest as {nesting}, expected {original}")
    wanted = model.decode_merged(d) if copy.anchored(doc) else None
    if wanted is not None and rebuilt.merged_reference is not None:
        compare_planes(label, "the rebuilt document's merged image", rebuilt.merged_reference, wanted)
    return path


def document_written(doc, copy, d, decoded):
    """The rebuilt document is written when at least 1 % of its samples (its
    layers' and its merged image's) came from the file."""
    h = doc.header
    canvas = h.channels * model.row_bytes(h.width, h.depth) * h.height
    got = total = 0
    for layer, planes in zip(doc.layers, decoded):
        if layer.valid and not model.placed_empty(layer, planes):
            got += sum(p.from_file for p in planes)
            total += model.layer_bytes(layer, planes)
    merged = model.decode_merged(d) if copy.anchored(doc) else None
    return model.enough(got + (canvas if merged is not None else 0), total + canvas)


def prune(nodes, keep):
    """A layer tree without the layers the rebuilt document leaves out."""
    out = []
    for number, children in nodes:
        children = prune(children, keep) if children is not None else None
        if number in keep:
            out.append((number, children))
        else:
            out += children or []
    return out


def check_rebuilt_layer(label, layer, got, planes, same_layout):
    """A layer of the rebuilt document against the original's record, and its
    pixels against what survives of them."""
    want, have = layer.record, got.record
    damaged = model.layer_damaged(layer, planes)
    empty = model.placed_empty(layer, planes)
    counts["rebuilt layers named damaged"] += damaged
    counts["rebuilt layers placed without pixels"] += empty
    suffix = " (damaged)" if damaged else ""
    ids = [c.id for c in layer.channels]
    bounds = (want.top, want.left, want.top, want.left) if empty else (want.top, want.left, want.bottom, want.right)
    fields = [("bounds", (have.top, have.left, have.bottom, have.right), bounds),
              ("blend mode", have.blend_mode, want.blend_mode), ("opacity", have.opacity, want.opacity),
              ("clipping", have.clipping, want.clipping), ("flags", have.flags, want.flags),
              ("visible", have.flags.visible, want.flags.visible), ("group kind", section_type(have), section_type(want)),
              ("name", have.name, want.name + suffix), ("channels", [c.id for c in got.channels], ids),
              ("mask data", have.mask_data, None if empty else want.mask_data),
              ("tagged blocks", list(have.tagged_blocks or ()), list(want.tagged_blocks or ()))]
    if unicode_name(want) is not None:
        fields.append(("Unicode name", unicode_name(have), unicode_name(want).rstrip("\0") + suffix))
    if same_layout and not damaged:
        fields.append(("extra data", got.extra.hex(), layer.extra.hex()))
    for what, g, w in fields:
        if g != w:
            fail(f"{label}: {what} {g!r}, expected {w!r}")
    if [c.id for c in got.channels] != ids or layer.empty or empty:
        return
    chosen = [k for k, c in enumerate(layer.channels) if c.decoded]
    compare_planes(label, "channels", [got.channels[k].reference for k in chosen], [planes[k].plane for k in chosen])


def run_rebuilt(driver, doc, folder, copies):
    """The rebuilt document of the intact file and of three damaged copies."""
    documents = []
    for copy, src in copies:
        if copy.name.startswith(("intact", "header-zeroed", "junk-around", "cut-in-layers")):
            result = recover(driver, src, os.path.join(folder, copy.name + "-rebuilt"),
                             doc.props() if copy.props else None, REBUILD_FLAGS | (KEEP_GIVEN if copy.props else 0))
            counts["engine runs"] += 1
            documents.append(check_rebuilt(f"{doc.stem}/{copy.name}/rebuilt", doc, copy, result))
    return [d for d in documents if d]


# --- Properties found without a header --------------------------------------------

DEFAULT_PROPS = (3, 600, 800, 8, 3)  # channels, height, width, depth, mode
HEURISTIC, PREVIEW = 0x1, 0x8
# How each copy is run: with the heuristic off given the true properties or
# the defaults, and with it on given the defaults (the preview saved).
HEURISTIC_RUNS = (("true properties given", True, 0), ("heuristic off", False, 0),
                  ("heuristic on", False, HEURISTIC | PREVIEW))
MODES = {"Bitmap": 0, "Grayscale": 1, "Indexed": 2, "RGB": 3, "CMYK": 4, "Multichannel": 7, "Duotone": 8, "Lab": 9}
PROPERTIES_LINE = re.compile(r"Image properties found in the surviving data: (\d+) channels?, (\d+) x (\d+) "
                             r"pixels, (\d+) bits?, (\w+) \((.+)\)\.")
SIGNALS = {"layer records", "image resources", "merged image rows", "merged image length", "embedded preview"}
came_back = collections.defaultdict(set)  # (damage, run) -> files whose merged image came back identical
wrong_merged = collections.defaultdict(list)  # damage -> merged images of other properties, with the heuristic on


# Damage to the front of a file: its name, the damaged bytes, whether the
# header survives. The damaged length points past the end of any file here.
FRONT_DAMAGE = (("header-zeroed", lambda data: bytes(26) + data[26:], False),
                ("first-4KiB-zeroed", lambda data: bytes(min(4096, len(data))) + data[4096:], False),
                ("colour-mode-length-damaged",
                 lambda data: data[:26] + (model.be(data, 26, 4) ^ 0x40000000).to_bytes(4, "big") + data[30:], True))


def merged_identical(label, doc, copy, result, inferred):
    """Whether a merged image written holds the intact original's: its
    properties, colour-mode data and planes. A properties line must name
    the properties of the merged image read next (if it is written); with
    properties inferred (the heuristic on, the header lost), one must come
    before a merged image that is the original's."""
    wanted = doc.written_props(not copy.header)
    merged = {p for _, p in merged_files(result)}
    identical, announced = False, None
    for k, (kind, text) in enumerate(result.log):
        after = result.log[k + 1] if k + 1 < len(result.log) else (None, None)
        if text == "Read merged image data." and after[1] not in merged:
            announced = None  # this read wrote nothing
        line = PROPERTIES_LINE.fullmatch(text) if kind == "status" else None
        if line:
            c, w, h, depth, mode, signals = line.groups()
            announced = (int(c), int(h), int(w), int(depth), MODES.get(mode))
            if not set(re.split(", | and ", signals)) <= SIGNALS:
                fail(f"{label}: properties found in {signals!r}")
        elif kind == "status" and text.startswith("Image properties found"):
            fail(f"{label}: properties line {text!r}")
        if kind != "written" or text not in merged:
            continue
        opened = open_written(text, label)
        if not opened:
            continue
        psd, planes = opened
        h = psd._record.header
        got = (h.channels, h.height, h.width, h.depth, int(h.color_mode))
        if announced and announced != got:
            fail(f"{label}: properties line names {announced}, {os.path.basename(text)} has {got}")
        same = (got == wanted and planes == doc.merged_reference and
                psd._record.color_mode_data.value == colour_mode_data(doc, copy, got[4]))
        if same and inferred and not announced:
            fail(f"{label}: no properties line before {os.path.basename(text)}")
        identical |= same
        announced = None
    return identical


def check_preview(label, doc, copy, result):
    """The file's embedded preview, where its resource survives: the JPEG as
    stored, that of resource 1033 with red and blue exchanged."""
    d = model.Damaged(doc, copy.data)
    kept = [p for p in doc.previews() if d.intact(p[1], p[2] - p[1])]
    if not kept:
        return
    rid, _, _, jpeg = kept[0]
    name = os.path.splitext(os.path.basename(result.source))[0] + "_preview.jpg"
    path = result.named(name)
    if not path:
        fail(f"{label}: no {name} (resource {rid})")
        return
    counts["previews compared"] += 1
    with open(path, "rb") as f:
        got = f.read()
    if rid == 1036:
        if got != jpeg:
            fail(f"{label}: {name} is not the embedded JPEG ({len(got)} bytes, expected {len(jpeg)})")
        return
    want = np.asarray(Image.open(io.BytesIO(jpeg)).convert("RGB"))[..., ::-1].astype(int)
    have = np.asarray(Image.open(io.BytesIO(got)).convert("RGB")).astype(int)
    if have.shape != want.shape or np.abs(have - want).mean() > 2:
        fail(f"{label}: {name} is not the embedded BGR preview in RGB")


def merged_properties(path):
    """(channels, height, width, depth) of a written file."""
    with open(path, "rb") as f:
        head = f.read(26)
    return model.be(head, 12, 2), model.be(head, 14, 4), model.be(head, 18, 4), model.be(head, 22, 2)


def run_heuristic(driver, doc, folder):
    """Copies whose header is lost or whose colour-mode data's length is
    damaged, each run three ways; whether the merged image comes back
    identical is counted per damage and run. With the heuristic on it must
    come back wherever it does with the heuristic off, and no merged image
    of other properties than the original's may come (a document embedded
    in a layer, which the intact file gives too, may)."""
    intact = recover(driver, doc.path, os.path.join(folder, "intact-heuristic-on"), DEFAULT_PROPS, HEURISTIC)
    allowed = {merged_properties(p) for _, p in merged_files(intact)}
    # A header whose properties its own merged data do not fit (the intact
    # file gives no merged image of them) says nothing of the picture.
    checked = doc.props()[:4] in allowed
    if not checked:
        print(f"  {doc.stem}: the intact file's header does not fit its merged image; its properties are not checked")
    allowed.add(doc.props()[:4])
    for name, damage, header in FRONT_DAMAGE:
        copy = Copy(name, damage(doc.data), header=header)
        src = save(folder, doc, copy)
        identical = {}
        for run, given, flags in HEURISTIC_RUNS:
            label = f"{doc.stem}/{copy.name}/{run}"
            result = recover(driver, src, os.path.join(folder, f"{copy.name}-{run.replace(' ', '-')}"),
                             doc.props() if given else DEFAULT_PROPS, flags)
            counts["engine runs"] += 1
            identical[run] = merged_identical(label, doc, copy, result, bool(flags & HEURISTIC) and not copy.header)
            if identical[run]:
                came_back[copy.name, run].add(doc.stem)
            if flags & PREVIEW:
                check_preview(label, doc, copy, result)
            if flags & HEURISTIC and not header and checked:
                for _, path in merged_files(result):
                    got = merged_properties(path)
                    if got not in allowed:
                        wrong_merged[copy.name].append(f"{doc.stem}: {got}, the original {doc.props()[:4]}")
        if identical["heuristic off"] and not identical["heuristic on"]:
            fail(f"{doc.stem}/{copy.name}: the merged image comes back identical with the heuristic off, not on")


def report_heuristic(files):
    """The counts per damage; with the heuristic on at least as many as with
    the true properties given."""
    for damage, _, _ in FRONT_DAMAGE:
        given, off, on = (came_back[damage, run] for run, _, _ in HEURISTIC_RUNS)
        print(f"{damage}: the merged image comes back identical in {len(given)} of {files} files with the true "
              f"properties given, {len(off)} with the default properties and the heuristic off, {len(on)} with "
              f"the heuristic on")
        if len(on) < len(given):
            fail(f"{damage}: with the heuristic on {len(on)} merged images come back identical, with the true "
                 f"properties given {len(given)}; not with the heuristic: {sorted(given - on)}")
        wrong = wrong_merged[damage]
        print(f"{damage}: {len(wrong)} merged images of other properties than the original's with the heuristic on")
        for w in wrong:
            fail(f"{damage}: a merged image of other properties with the heuristic on: {w}")


# --- File sets -------------------------------------------------------------------

def run_set(driver, work, files):
    """Every file through both checks; ImageMagick opens the files written
    from each file, the readers all rebuilt documents at the end. What was
    written for a file that passed is removed, its documents once the readers
    have seen them."""
    rebuilt, tidy = [], []
    for writer, path in files:
        started = time.monotonic()
        doc = model.read_document(path)
        for note in doc.notes:
            print(f"  {doc.stem}: {note}; compared with the engine's rules applied here")
        counts["files"] += 1
        counts["layer records"] += len(doc.layers)
        before = len(failures)
        folder = os.path.join(work, doc.stem)
        os.makedirs(folder)
        copies = [(c, doc.path if c.name == "intact" else save(folder, doc, c))
                  for c in [Copy("intact", doc.data)] + damaged_copies(doc)]
        counts["damaged copies"] += len(copies) - 1
        counts["damaged copies with ZIP data cut or overwritten"] += sum(c.name.count("zip") for c, _ in copies)
        written = run_layers(driver, doc, folder, copies)
        documents = run_rebuilt(driver, doc, folder, copies)
        run_heuristic(driver, doc, folder)
        imagemagick_opens(doc.stem, written)
        rebuilt += [(path, d) for d in documents]
        passed = len(failures) == before
        tidy += documents if passed else []
        if passed:
            for top, _, names in os.walk(folder):
                for name in names:
                    if os.path.join(top, name) not in documents:
                        os.remove(os.path.join(top, name))
        print(f"{'ok' if passed else 'FAILED'} {writer}: {doc.stem} ({len(doc.layers)} layers, "
              f"{time.monotonic() - started:.1f} s)")
    report_heuristic(counts["files"])
    before = len(failures)
    readers_open_rebuilt(rebuilt)
    for path in tidy:
        if not any(path in f for f in failures[before:]):
            os.remove(path)


def generated(work):
    return sources.all_writers(os.path.join(work, "src"))


def corpus(corpus_dir):
    manifest = os.path.join(corpus_dir, "manifest.json")
    if not os.path.exists(manifest):
        return None
    with open(manifest) as f:
        return [("corpus", os.path.join(corpus_dir, e["name"])) for e in json.load(f)]


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in ("generated", "corpus"):
        print(__doc__)
        return 2
    mode, driver, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    files = generated(work) if mode == "generated" else corpus(sys.argv[4])
    if files is None:
        print(f"no corpus at {sys.argv[4]}: skipped")
        return SKIP
    run_set(driver, work, files)
    print(", ".join(f"{k}: {v}" for k, v in counts.items()))
    if failures:
        print(f"{len(failures)} failures")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

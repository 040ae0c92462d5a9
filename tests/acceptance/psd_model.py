"""What the engine must give back from a Photoshop file and from damaged copies
of it, worked out without the engine.

Where the bytes of a channel (or of a row of run-length data) are those of the
intact file, the expected samples are what psd-tools decodes from the intact
file. Where damage changed or cut them, they are decoded here by the engine's
rules: PackBits rows with 0xFF for missing literal bytes and 0 where the runs
do not reach, ZIP streams through zlib fed until the break, the prediction
undone here, and 0xFF wherever nothing came from the file.
"""
import os
import zlib
from dataclasses import dataclass, field

import numpy as np
from psd_tools import PSDImage
from psd_tools.compression import rle_impl

MAX_SIDE = 300000
# Tagged blocks whose length takes 8 bytes in a large document.
LARGE_KEYS = {b"LMsk", b"Lr16", b"Lr32", b"Layr", b"Mt16", b"Mt32", b"Mtrn", b"Alph", b"FMsk", b"lnk2", b"FEid",
              b"FXid", b"PxSD"}
THUMBNAILS = (1033, 1036)  # embedded previews; 1033 keeps its colours as BGR
# Colour channels a layer needs to keep the document's mode; 0: any number.
MODE_COLOURS = {0: 1, 1: 1, 2: 1, 8: 1, 3: 3, 9: 3, 4: 4, 7: 0}


def be(data, pos, n):
    return int.from_bytes(data[pos:pos + n], "big")


def row_bytes(width, depth):
    return (width + 7) // 8 if depth == 1 else width * max(1, depth // 8)


@dataclass
class Channel:
    id: int
    offset: int       # of its compression field in the intact file
    length: int       # stored, compression field included
    height: int       # the rectangle it is decoded at
    width: int
    decoded: bool     # False: a mask without a usable rectangle, never read
    reference: bytes = None  # psd-tools' decoding of the intact data

    def compression(self, data, shift=0):
        return be(data, self.offset + shift, 2)


@dataclass
class Mask:
    top: int
    left: int
    bottom: int
    right: int
    colour: int

    @property
    def usable(self):
        h, w = self.bottom - self.top, self.right - self.left
        return 0 < h <= MAX_SIDE and 0 < w <= MAX_SIDE


@dataclass
class Layer:
    index: int
    record: object    # psd-tools' layer record
    channels: list
    masks: dict       # channel id -> Mask, or None where the mask data has none
    extra: bytes      # the record's extra data as stored

    @property
    def height(self):
        return self.record.bottom - self.record.top

    @property
    def width(self):
        return self.record.right - self.record.left

    @property
    def valid(self):
        return 0 <= self.height <= MAX_SIDE and 0 <= self.width <= MAX_SIDE

    @property
    def empty(self):
        return self.height == 0 or self.width == 0


READ, DAMAGED, WHITE = 0, 1, 2  # how a row came back


@dataclass
class Decoded:
    """One plane as the engine must read it."""
    plane: bytes
    from_file: int    # samples' bytes that came from the channel's own stored data
    states: list      # each row's READ, DAMAGED or WHITE


def enough(from_file, total):
    """A picture is written when at least 1 % of its samples came from the file."""
    return from_file * 100 >= total


def row_states(rows, good, reached, rb):
    """Rows of a plane whose first `good` bytes are whole and `reached`
    bytes have data."""
    return [READ if (r + 1) * rb <= good else DAMAGED if r * rb < reached else WHITE for r in range(rows)]


@dataclass
class Document:
    """The structure of an intact file: where every channel's data lies,
    with psd-tools' decoding of it."""
    path: str
    data: bytes
    psd: object
    layers: list = field(default_factory=list)
    layer_count: int = 0  # as stored, negative when the first alpha channel is the transparency
    merged_offset: int = 0
    resources: tuple = (0, 0)
    merged_reference: list = None
    notes: list = field(default_factory=list)

    @property
    def header(self):
        return self.psd._record.header

    @property
    def stem(self):
        return os.path.splitext(os.path.basename(self.path))[0]

    @property
    def depth(self):
        return self.header.depth

    def resource_bytes(self):
        start, length = self.resources
        return self.data[start:start + length]

    def props(self):
        h = self.header
        return (h.channels, h.height, h.width, h.depth, int(h.color_mode))

    def written_mode(self, header_lost=False):
        """The mode the engine writes the document's pictures in: Duotone
        without its ink data (the header that held it is lost) is grey."""
        mode = int(self.header.color_mode)
        return 1 if mode == 8 and header_lost else mode

    def written_props(self, header_lost=False):
        return self.props()[:4] + (self.written_mode(header_lost),)

    def resource_blocks(self):
        """The image resources: (id, where the block starts, where it ends,
        its data)."""
        pos, end = self.resources[0], self.resources[0] + self.resources[1]
        blocks = []
        while pos + 12 <= end and self.data[pos:pos + 4] == b"8BIM":
            data = pos + 6 + (self.data[pos + 6] + 2) // 2 * 2
            size = be(self.data, data, 4)
            blocks.append((be(self.data, pos + 4, 2), pos, data + 4 + (size + 1) // 2 * 2,
                           self.data[data + 4:data + 4 + size]))
            pos = blocks[-1][2]
        return blocks

    def previews(self):
        """The embedded JPEG previews: (resource id, block start, block end, JPEG)."""
        return [(rid, start, end, data[28:28 + be(data, 20, 4)]) for rid, start, end, data in self.resource_blocks()
                if rid in THUMBNAILS and len(data) >= 28 and be(data, 0, 4) == 1]

    def resources_found(self):
        """Whether the engine finds the image resources by their blocks when
        the header is lost (it needs at least one whole block)."""
        return self.resources[1] >= 12

    def layer_mode(self, layer, header_lost=False):
        """The colour mode of the file the engine writes for a layer."""
        mode = self.written_mode(header_lost)
        colours = sum(1 for c in layer.channels if c.id >= 0)
        wanted = MODE_COLOURS.get(mode, 0)
        if wanted == 0 or colours == wanted:
            return mode
        if colours == 1:
            return 0 if self.depth == 1 else 1
        return 7


def read_document(path):
    with open(path, "rb") as f:
        data = f.read()
    psd = PSDImage.open(path)
    doc = Document(path, data, psd)
    header = psd._record.header
    n = 4 * header.version
    pos = 26
    pos += 4 + be(data, pos, 4)
    doc.resources = (pos + 4, be(data, pos, 4))
    pos += 4 + be(data, pos, 4)
    section = pos
    doc.merged_offset = section + n + be(data, section, n)
    doc.merged_reference = merged_by_reader(doc)
    info = psd._record._get_layer_info()
    if not info or not info.layer_records:
        return doc
    records = section + 2 * n if be(data, section + n, n) else layer_block(data, section, header.version)
    doc.layer_count = int.from_bytes(data[records:records + 2], "big", signed=True)
    count = abs(doc.layer_count)
    pos = records + 2
    stored = []
    for _ in range(count):
        channels = be(data, pos + 16, 2)
        pos += 18
        entries = []
        for _ in range(channels):
            entries.append((int.from_bytes(data[pos:pos + 2], "big", signed=True), be(data, pos + 2, n)))
            pos += 2 + n
        pos += 12
        extra = data[pos + 4:pos + 4 + be(data, pos, 4)]
        pos += 4 + len(extra)
        stored.append((entries, extra))
    for index, ((entries, extra), record, images) in enumerate(zip(stored, info.layer_records,
                                                                   info.channel_image_data)):
        layer = Layer(index, record, [], masks_of(record), extra)
        for (cid, length), image in zip(entries, images):
            mask = layer.masks.get(cid, False)
            if mask is False:
                h, w, decoded = layer.height, layer.width, True
            else:
                decoded = mask is not None and mask.usable
                h, w = (mask.bottom - mask.top, mask.right - mask.left) if decoded else (0, 0)
            channel = Channel(cid, pos, length, h, w, decoded)
            if layer.valid and decoded and length > 2:
                try:
                    channel.reference = image.get_data(w, h, header.depth, header.version)
                except (ValueError, AssertionError, zlib.error) as e:
                    doc.notes.append(f"psd-tools cannot decode layer {index} channel {cid}: {e}")
            layer.channels.append(channel)
            pos += length
        doc.layers.append(layer)
    return doc


def layer_block(data, section, version):
    """Where the records start in the Lr16/Lr32 block of a 16- or 32-bit file."""
    n = 4 * version
    pos = section + 2 * n
    pos += 4 + be(data, pos, 4)  # global layer mask info
    end = section + n + be(data, section, n)
    while pos + 12 <= end:
        key = data[pos + 4:pos + 8]
        w = 8 if version == 2 and key in LARGE_KEYS else 4
        length = be(data, pos + 8, w)
        if key in (b"Lr16", b"Lr32"):
            return pos + 8 + w
        pos += 8 + w + (length + 3) // 4 * 4
    raise ValueError("no layer records")


def masks_of(record):
    m = record.mask_data
    masks = {-2: None, -3: None}
    if m is not None:
        masks[-2] = Mask(m.top, m.left, m.bottom, m.right, m.background_color)
        if m.real_top is not None:
            masks[-3] = Mask(m.real_top, m.real_left, m.real_bottom, m.real_right, m.real_background_color)
    return masks


def merged_by_reader(doc):
    """psd-tools' planes of the intact merged image. Its run-length decoder
    counts a row of a 1-bit picture as width / 8 bytes, rounded down; such
    rows are decoded with its PackBits decoder at their true size."""
    rec = doc.psd._record
    h = rec.header
    try:
        planes = rec.image_data.get_data(h)
    except ValueError as e:
        if h.depth != 1 or int(rec.image_data.compression) != 1:
            doc.notes.append(f"psd-tools cannot decode the merged image: {e}")
            return None
        data, rb = rec.image_data.data, row_bytes(h.width, 1)
        rows = h.channels * h.height
        lengths = [be(data, 2 * r, 2) for r in range(rows)]
        pos, out = 2 * rows, []
        for length in lengths:
            out.append(rle_impl.decode(data[pos:pos + length], rb))
            pos += length
        size = rb * h.height
        joined = b"".join(out)
        planes = [joined[c * size:(c + 1) * size] for c in range(h.channels)]
    return planes


# --- Decoding by the engine's rules -------------------------------------------

def packbits_row(stored, size, expected_length):
    """One PackBits row: (row, bytes that came from the file, whether it is
    whole). Missing literal bytes and missing repeat values are 0xFF, bytes
    no run reaches are 0. A row is whole when all its stored bytes are there
    and decode, every one (no-op headers after the runs included), to
    exactly the row."""
    out = bytearray(size)
    if expected_length == 0:
        return bytes(out), size, False
    i = o = missing = 0
    n = len(stored)
    while i < n and o < size:
        h = stored[i]
        if h < 0x80:
            run = min(h + 1, size - o)
            have = stored[i + 1:i + 1 + run]
            out[o:o + len(have)] = have
            out[o + len(have):o + run] = b"\xff" * (run - len(have))
            missing += run - len(have)
            o += run
            i += run + 1
        elif h == 0x80:
            i += 1
        else:
            run = min(257 - h, size - o)
            value = stored[i + 1] if i + 1 < n else 0xFF
            missing += run if i + 1 >= n else 0
            out[o:o + run] = bytes([value]) * run
            o += run
            i += 2
    consumed = min(i, n)
    while consumed < n and stored[consumed] == 0x80:
        consumed += 1
    exact = n == expected_length and consumed == n and o == size and missing == 0
    return bytes(out), o - missing, exact


def inflate_until_break(stream):
    """Every byte zlib inflates from a stream before it ends or breaks: fed
    in pieces, and the piece where it breaks once more byte by byte."""
    z = zlib.decompressobj()
    out = bytearray()
    for at in range(0, len(stream), 4096):
        piece = stream[at:at + 4096]
        saved = z.copy()
        try:
            out += z.decompress(piece)
        except zlib.error:
            z = saved
            for k in range(len(piece)):
                try:
                    out += z.decompress(piece[k:k + 1])
                except zlib.error:
                    return bytes(out)
        if z.eof:
            break
    return bytes(out)


def undo_prediction(raw, width, depth):
    """The samples of inflated data with prediction, as far as they can be
    undone: every byte at depth 8, whole samples at 16, whole rows at 32."""
    rb = row_bytes(width, depth)
    if depth == 16:
        kept = len(raw) // 2 * 2
    elif depth == 32:
        kept = len(raw) // rb * rb if rb else 0
    else:
        kept = len(raw)
    out = bytearray()
    for at in range(0, kept, rb):
        row = np.frombuffer(raw[at:min(kept, at + rb)], np.uint8)
        if depth == 16:
            v = np.cumsum(row.view(">u2").astype(np.uint32)) & 0xFFFF
            out += v.astype(">u2").tobytes()
        elif depth == 32:
            b = (np.cumsum(row.astype(np.uint32)) & 0xFF).astype(np.uint8)
            out += b.reshape(4, width).T.tobytes()
        else:
            out += ((np.cumsum(row.astype(np.uint32)) & 0xFF).astype(np.uint8)).tobytes()
    return bytes(out)


class Damaged:
    """A damaged copy: its bytes, and where the intact file starts in it."""

    def __init__(self, doc, data, shift=0):
        self.doc, self.data, self.shift = doc, data, shift

    def intact(self, pos, n):
        """Whether the n bytes at intact-file position pos survive unchanged."""
        p = pos + self.shift
        return p + n <= len(self.data) and self.data[p:p + n] == self.doc.data[pos:pos + n]

    def read(self, pos, n):
        p = pos + self.shift
        return self.data[p:p + n] if p < len(self.data) else b""


def decode_rows(d, pos, lengths, rb, ref, ref_pos, own_end=None):
    """Run-length rows from intact-file position pos. ref_pos: where the rows
    start in the intact file, so that rows whose bytes survive take psd-tools'
    decoding. own_end: where the channel's stored data ends (rows past it
    are not its own). Gives the plane's rows, bytes from the file, the rows'
    states, and the position after the last row read."""
    rows, got, states = [], 0, []
    for r, length in enumerate(lengths):
        own = own_end is None or pos + length <= own_end
        if ref is not None and pos == ref_pos[r] and d.intact(pos, length):
            rows.append(ref[r * rb:(r + 1) * rb])
            got += rb if own else 0
            states.append(READ if own else DAMAGED)
        else:
            row, n, exact = packbits_row(d.read(pos, length), rb, length)
            rows.append(row)
            got += n if own else 0
            states.append(READ if exact and own else DAMAGED if n > 0 else WHITE)
            if len(d.read(pos, length)) < length:
                return rows, got, states + [WHITE] * (len(lengths) - r - 1), pos + length
        pos += length
    return rows, got, states, pos


def rle_row_starts(doc, pos, count):
    """Where each of count rows starts in the intact file, their lengths at pos."""
    w = 2 * doc.header.version
    starts, at = [], pos + count * w
    for r in range(count):
        starts.append(at)
        at += be(doc.data, pos + r * w, w)
    return starts


def decode_channel(d, layer, ch):
    """A layer channel of the damaged copy, by the engine's rules. Gives
    (Decoded, stopped): stopped when the file ends before the channel's
    compression field or row lengths."""
    depth, version = d.doc.depth, d.doc.header.version
    rb = row_bytes(ch.width, depth)
    size = rb * ch.height
    blank = Decoded(b"\xff" * size, 0, [WHITE] * ch.height)
    if not (layer.valid and ch.decoded and ch.length > 2):
        return blank, False
    if len(d.read(ch.offset, 2)) < 2:
        return blank, True
    if size == 0:
        return Decoded(b"", 0, [WHITE] * ch.height), False
    comp = ch.compression(d.data, d.shift)
    body = ch.offset + 2
    if comp == 0:
        got = d.read(body, size)
        own = min(len(got), ch.length - 2)
        return Decoded(got + b"\xff" * (size - len(got)), own, row_states(ch.height, own, len(got), rb)), False
    if comp == 1:
        w = 2 * version
        table = d.read(body, ch.height * w)
        if len(table) < ch.height * w:
            return blank, True
        lengths = [be(table, r * w, w) for r in range(ch.height)]
        starts = rle_row_starts(d.doc, body, ch.height) if d.intact(body, ch.height * w) else None
        rows, got, states, _ = decode_rows(d, body + ch.height * w, lengths, rb,
                                           ch.reference if starts else None, starts, ch.offset + ch.length)
        plane = b"".join(rows)
        return Decoded(plane + b"\xff" * (size - len(plane)), got, states), False
    if comp in (2, 3):
        stream_length = ch.length - 2
        if ch.reference is not None and d.intact(body, stream_length):
            return Decoded(ch.reference, size, [READ] * ch.height), False
        raw = inflate_until_break(d.read(body, stream_length))[:size]
        if comp == 3:
            raw = undo_prediction(raw, ch.width, depth)
        return Decoded(raw + b"\xff" * (size - len(raw)), len(raw), row_states(ch.height, len(raw), len(raw), rb)), False
    return blank, False


def decode_layers(d):
    """For every layer record: the Decoded of each channel (record order), in
    the order the engine reads them; after the file ends nothing more is read."""
    stopped, result = False, []
    for layer in d.doc.layers:
        planes = []
        for ch in layer.channels:
            if stopped and layer.valid:
                size = row_bytes(ch.width, d.doc.depth) * ch.height
                planes.append(Decoded(b"\xff" * size, 0, [WHITE] * ch.height))
                continue
            decoded, stop = decode_channel(d, layer, ch)
            stopped = stopped or stop
            planes.append(decoded)
        result.append(planes)
    return result


def decode_merged(d):
    """The merged image's planes from the damaged copy, or None when the engine
    must write no file for it."""
    doc = d.doc
    h = doc.header
    rb, rows = row_bytes(h.width, h.depth), h.height
    size = rb * rows
    pos = doc.merged_offset
    if len(d.read(pos, 2)) < 2:
        return None
    comp = be(d.read(pos, 2), 0, 2)
    pos += 2
    ref = doc.merged_reference
    planes, got = [], 0
    if comp == 0:
        for c in range(h.channels):
            part = d.read(pos + c * size, size)
            planes.append(part + b"\xff" * (size - len(part)))
            got += len(part)
    elif comp == 1:
        w = 2 * h.version
        count = h.channels * rows
        table = d.read(pos, count * w)
        if len(table) < count * w:
            return None
        lengths = [be(table, r * w, w) for r in range(count)]
        starts = rle_row_starts(doc, pos, count) if d.intact(pos, count * w) else None
        at = pos + count * w
        for c in range(h.channels):
            part = slice(c * rows, (c + 1) * rows)
            decoded, n, _, at = decode_rows(d, at, lengths[part], rb, ref[c] if ref and starts else None,
                                            starts[part] if starts else None)
            plane = b"".join(decoded)
            planes.append(plane + b"\xff" * (size - len(plane)))
            got += n
    elif comp in (2, 3):
        whole = ref is not None and d.intact(pos, len(doc.data) - pos)
        raw_planes = None if whole else inflate_until_break(d.read(pos, len(d.data)))
        for c in range(h.channels):
            if raw_planes is None:
                plane = ref[c]
            else:
                plane = raw_planes[c * size:(c + 1) * size]
                if comp == 3:
                    plane = undo_prediction(plane, h.width, h.depth)
            got += len(plane)
            planes.append(plane + b"\xff" * (size - len(plane)))
    else:
        return None
    return planes if got and enough(got, size * h.channels) else None


# --- The planes of the files the engine writes ---------------------------------

def fill_value(colour, depth, bps):
    """One sample of a mask's default colour: 1.0 in 32-bit files."""
    if depth == 32 and colour:
        return b"\x3f\x80\x00\x00"
    return bytes([0xFF if colour else 0]) * bps


def place_mask(layer, mask, plane, depth):
    """A mask plane at the layer's size: the mask where it lies relative to
    the layer, its default colour around it; 0xFF without a rectangle."""
    h, w = layer.height, layer.width
    rb = row_bytes(w, depth)
    if mask is None:
        return b"\xff" * (rb * h)
    bps = max(1, depth // 8)
    if depth == 1:
        out = np.full((h, w), 1 if mask.colour else 0, np.uint8)
    else:
        out = np.tile(np.frombuffer(fill_value(mask.colour, depth, bps), np.uint8), (h, w, 1))
    if mask.usable:
        mh, mw = mask.bottom - mask.top, mask.right - mask.left
        if depth == 1:
            src = np.unpackbits(np.frombuffer(plane, np.uint8).reshape(mh, -1), axis=1)[:, :mw]
        else:
            src = np.frombuffer(plane, np.uint8).reshape(mh, mw, bps)
        top, left = layer.record.top, layer.record.left
        y0, y1 = max(top, mask.top), min(top + h, mask.bottom)
        x0, x1 = max(left, mask.left), min(left + w, mask.right)
        if y0 < y1 and x0 < x1:
            out[y0 - top:y1 - top, x0 - left:x1 - left] = src[y0 - mask.top:y1 - mask.top, x0 - mask.left:x1 - mask.left]
    if depth == 1:
        return np.packbits(out, axis=1).tobytes()
    return out.tobytes()


def layer_file_planes(doc, layer, decoded):
    """The planes of a layer file: colour channels in record order, then the
    negative ones in record order, masks placed at the layer's size."""
    order = [k for k, c in enumerate(layer.channels) if c.id >= 0]
    order += [k for k, c in enumerate(layer.channels) if c.id < 0]
    planes = []
    for k in order:
        ch = layer.channels[k]
        if ch.id in (-2, -3):
            planes.append(place_mask(layer, layer.masks[ch.id], decoded[k].plane, doc.depth))
        else:
            planes.append(decoded[k].plane)
    return planes


def compression_of(doc, layer):
    """The compressions of a layer's channels, as named in the manifest."""
    names = {0: "raw", 1: "rle", 2: "zip", 3: "zip-pred"}
    return ",".join(sorted({names.get(c.compression(doc.data), "?") for c in layer.channels if c.length > 2}))


def layer_bytes(layer, decoded):
    return sum(len(p.plane) for p in decoded)


def layer_written(layer, decoded):
    """The engine writes a file for a valid layer with pixels of which at
    least 1 % of the samples came from the file."""
    got = sum(p.from_file for p in decoded)
    return layer.valid and not layer.empty and got > 0 and enough(got, layer_bytes(layer, decoded))


def mask_written(layer, decoded):
    """The mask file comes with the layer file when its transparency holds
    enough of the file too."""
    alpha = next((k for k, c in enumerate(layer.channels) if c.id == -1), None)
    return (layer_written(layer, decoded) and alpha is not None and
            enough(decoded[alpha].from_file, len(decoded[alpha].plane)))


def placed_empty(layer, decoded):
    """A layer the rebuilt document holds without its pixels: too little left."""
    got = sum(p.from_file for p in decoded)
    return layer.valid and not layer.empty and not enough(got, layer_bytes(layer, decoded))


def layer_rows(layer, decoded):
    """Each row of the layer as its worst colour or transparency channel's."""
    rows = [READ] * layer.height
    tracked = False
    for c, p in zip(layer.channels, decoded):
        if c.id >= -1 and len(p.states) == layer.height:
            tracked = True
            rows = [max(a, b) for a, b in zip(rows, p.states)]
    return rows if tracked else [WHITE] * layer.height


def layer_damaged(layer, decoded):
    """A layer whose data is not all in the file whole."""
    if not layer.valid:
        return False
    if placed_empty(layer, decoded) or any(s != READ for s in layer_rows(layer, decoded)):
        return True
    return any(c.decoded and any(s != READ for s in p.states) for c, p in zip(layer.channels, decoded) if c.id < -1)


def rows_line_counts(layer, decoded):
    """Rows read, filled with white, damaged."""
    rows = layer_rows(layer, decoded)
    return rows.count(READ), rows.count(WHITE), rows.count(DAMAGED)

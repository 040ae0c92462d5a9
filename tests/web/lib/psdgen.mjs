// Test and benchmark sources made on the fly: a large layered document
// (eight RGBA layers, odd ones run-length, and a raw merged image), damaged
// copies of any file, and a disk-image-like source of a given size with
// documents embedded at odd offsets.
import fs from "node:fs";

class Writer {
  constructor(path) {
    this.fd = fs.openSync(path, "w");
    this.size = 0;
  }
  put(bytes) {
    let done = 0;
    while (done < bytes.length) done += fs.writeSync(this.fd, bytes, done, bytes.length - done);
    this.size += bytes.length;
  }
  close() {
    fs.closeSync(this.fd);
    return this.size;
  }
}

function be(width, value) {
  const b = new Uint8Array(width);
  let v = BigInt(value);
  for (let i = width - 1; i >= 0; --i) {
    b[i] = Number(v & 0xffn);
    v >>= 8n;
  }
  return b;
}

function concat(parts) {
  const n = parts.reduce((s, p) => s + p.length, 0);
  const out = new Uint8Array(n);
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}

// One row of PackBits: literal runs of at most 128 bytes, repeats of 3 or more.
function packRow(row) {
  const out = [];
  let i = 0;
  while (i < row.length) {
    let run = 1;
    while (i + run < row.length && run < 128 && row[i + run] === row[i]) ++run;
    if (run >= 3) {
      out.push(257 - run, row[i]);
      i += run;
      continue;
    }
    let lit = 1;
    while (i + lit < row.length && lit < 128) {
      if (i + lit + 2 < row.length && row[i + lit] === row[i + lit + 1] && row[i + lit] === row[i + lit + 2]) break;
      ++lit;
    }
    out.push(lit - 1);
    for (let k = 0; k < lit; ++k) out.push(row[i + k]);
    i += lit;
  }
  return Uint8Array.from(out);
}

// A xorshift generator: the same bytes on every run.
function noise(seed) {
  let s = seed >>> 0 || 1;
  return () => {
    s ^= s << 13;
    s ^= s >>> 17;
    s ^= s << 5;
    return s >>> 0;
  };
}

function channelPlane(width, height, layer, channel, rng) {
  const plane = new Uint8Array(width * height);
  for (let y = 0, k = 0; y < height; ++y)
    for (let x = 0; x < width; ++x, ++k) plane[k] = ((x >> 3) + channel * 40 + layer * 3 + (rng() & 7)) & 0xff;
  return plane;
}

function channelData(plane, width, height, rle) {
  if (!rle) return concat([be(2, 0), plane]);
  const rows = [];
  const counts = new Uint8Array(2 * height);
  for (let y = 0; y < height; ++y) {
    const packed = packRow(plane.subarray(y * width, (y + 1) * width));
    counts[2 * y] = packed.length >> 8;
    counts[2 * y + 1] = packed.length & 0xff;
    rows.push(packed);
  }
  return concat([be(2, 1), counts, ...rows]);
}

/** A layered document of about `bytes` bytes: eight RGBA layers 2048 pixels
 * wide and a three-channel merged image. Gives the file's size. */
export function writeLayered(path, bytes, { layers = 8, width = 2048 } = {}) {
  const planes = layers * 4 + 3;
  const height = Math.max(1, Math.floor(bytes / planes / width));
  const rng = noise(7);
  const stored = [];
  for (let i = 0; i < layers; ++i) {
    const channels = [];
    for (let c = 0; c < 4; ++c) channels.push(channelData(channelPlane(width, height, i, c, rng), width, height, i % 2 === 1));
    stored.push(channels);
  }
  const records = [be(2, layers)];
  for (let i = 0; i < layers; ++i) {
    records.push(be(4, 0), be(4, 0), be(4, height), be(4, width), be(2, 4));
    [-1, 0, 1, 2].forEach((id, c) => records.push(be(2, id & 0xffff), be(4, stored[i][c].length)));
    const name = new TextEncoder().encode(`Layer ${i + 1}`);
    const padded = new Uint8Array(Math.ceil((name.length + 1) / 4) * 4);
    padded[0] = name.length;
    padded.set(name, 1);
    records.push(new TextEncoder().encode("8BIMnorm"), Uint8Array.of(255, 0, 0, 0), be(4, 8 + padded.length), be(4, 0), be(4, 0), padded);
  }
  const info = concat(records);
  let dataSize = 0;
  for (const l of stored) for (const c of l) dataSize += c.length;
  let infoLength = info.length + dataSize;
  const pad = infoLength % 2;
  infoLength += pad;
  const w = new Writer(path);
  w.put(concat([new TextEncoder().encode("8BPS"), be(2, 1), new Uint8Array(6), be(2, 3), be(4, height), be(4, width), be(2, 8), be(2, 3)]));
  w.put(concat([be(4, 0), be(4, 0), be(4, infoLength + 8), be(4, infoLength)]));
  w.put(info);
  for (const l of stored) for (const c of l) w.put(c);
  if (pad) w.put(new Uint8Array(1));
  w.put(concat([be(4, 0), be(2, 0)]));
  const merged = new Uint8Array(width * height);
  for (let c = 0; c < 3; ++c) {
    for (let k = 0; k < merged.length; ++k) merged[k] = (Math.floor(k / width) + c * 50) & 0xff;
    w.put(merged);
  }
  return w.close();
}

/** The damage patterns the browser tests repair. */
export const damages = {
  intact: (b) => b,
  "header-zeroed": (b) => {
    const c = Uint8Array.from(b);
    c.fill(0, 0, Math.min(26, c.length));
    return c;
  },
  cut: (b) => b.slice(0, Math.max(1, Math.floor(b.length * 0.6))),
  "sectors-zeroed": (b) => {
    const c = Uint8Array.from(b);
    for (let at = 512; at < c.length; at += 4096) c.fill(0, at, Math.min(c.length, at + 512));
    return c;
  },
  "odd-offset": (b) => {
    const rng = noise(b.length);
    const before = new Uint8Array(4099), after = new Uint8Array(1531);
    for (let i = 0; i < before.length; ++i) before[i] = rng() & 0xff;
    for (let i = 0; i < after.length; ++i) after[i] = rng() & 0xff;
    return concat([before, b, after]);
  },
};

/** A source of `bytes` bytes like a disk image: mostly empty, stretches of
 * random bytes, and the given documents at odd offsets. Written sparse where
 * it is empty, so that a gigabyte is made in about a second. */
export function writeDiskImage(path, bytes, documents) {
  const fd = fs.openSync(path, "w");
  const rng = noise(11);
  const block = new Uint8Array(1 << 20);
  const stride = Math.floor(bytes / (documents.length + 1));
  let at = 0;
  const put = (b, pos) => {
    let done = 0;
    while (done < b.length) done += fs.writeSync(fd, b, done, b.length - done, pos + done);
  };
  for (let i = 0; i <= documents.length; ++i) {
    // 8 MiB of random bytes every stride, then a document just after.
    for (let k = 0; k < 8 && at + block.length <= bytes; ++k) {
      for (let j = 0; j < block.length; j += 4) {
        const v = rng();
        block[j] = v;
        block[j + 1] = v >>> 8;
        block[j + 2] = v >>> 16;
        block[j + 3] = v >>> 24;
      }
      put(block, at);
      at += block.length;
    }
    if (i < documents.length && at + documents[i].length + 1 < bytes) {
      put(documents[i], at + 1 + (i % 7));
    }
    at = (i + 1) * stride + 3;
  }
  fs.ftruncateSync(fd, bytes);
  fs.closeSync(fd);
  return bytes;
}

/** A 4 x 4 RGB document whose only image resource is an old-format preview
 * (1033, its JPEG's red and blue swapped), holding `jpeg`: the engine
 * decodes that JPEG to swap them back, and gives up on one the decoder
 * refuses. */
export function flatWithOldPreview(jpeg) {
  const w = 4, h = 4;
  const thumb = concat([be(4, 1), be(4, w), be(4, h), be(4, w * 3), be(4, w * 3 * h), be(4, jpeg.length), be(2, 24), be(2, 1), jpeg]);
  const resource = concat([Uint8Array.from([0x38, 0x42, 0x49, 0x4d]), be(2, 1033), be(2, 0), be(4, thumb.length), thumb,
                           new Uint8Array(thumb.length % 2)]);
  const pixels = new Uint8Array(w * h * 3).map((_, i) => (i * 37) & 0xff);
  return concat([Uint8Array.from([0x38, 0x42, 0x50, 0x53]), be(2, 1), new Uint8Array(6), be(2, 3), be(4, h), be(4, w), be(2, 8), be(2, 3),
                 be(4, 0), be(4, resource.length), resource, be(4, 0), be(2, 0), pixels]);
}

/**
 * Thumbnails of the files a repair writes, as the window draws them: the
 * engine's Photoshop layout (every mode and depth it writes, version 1 and
 * 2, raw or run-length data) and the JPEG preview. A large picture is read
 * with a row and column stride, a few bytes at a time, so only the samples
 * the thumbnail shows are read from the file.
 *
 * renderThumbnail(data, maxSide) -> Promise<{ image: ImageData | null, width, height, cut }>
 * data: a Blob or a Uint8Array. image is null when the file is no picture of
 * that layout; cut tells a file that ends before its pixels do (what is
 * missing stays transparent).
 */

const kIndexed = 2, kRgb = 3, kCmyk = 4, kLab = 9;

// Reads at positions of the file; what lies past its end reads as missing.
class Source {
  constructor(data) {
    this.data = data;
    this.size = data instanceof Blob ? data.size : data.length;
  }
  /** The n bytes at pos, or null when the file ends before them. */
  async read(pos, n) {
    if (pos > this.size || n > this.size - pos) return null;
    if (!(this.data instanceof Blob)) return this.data.subarray(pos, pos + n);
    return new Uint8Array(await this.data.slice(pos, pos + n).arrayBuffer());
  }
}

const be16 = (b, o) => (b[o] << 8) | b[o + 1];
const be32 = (b, o) => ((b[o] << 24) >>> 0) + ((b[o + 1] << 16) | (b[o + 2] << 8) | b[o + 3]);
const be64 = (b, o) => be32(b, o) * 4294967296 + be32(b, o + 4);

// One sample as 0..255.
function sample8(b, o, depth) {
  if (depth === 8 || depth === 16) return b[o];
  if (depth === 32) {
    const f = new DataView(b.buffer, b.byteOffset + o, 4).getFloat32(0, false);
    if (!(f > 0)) return 0;
    if (f >= 1) return 255;
    // 32-bit samples are linear light: shown with the display's gamma.
    return Math.round(Math.pow(f, 1 / 2.2) * 255);
  }
  return 0;
}

function labToRgb(l8, a8, b8) {
  const L = (l8 * 100) / 255, a = a8 - 128, b = b8 - 128;
  const fy = (L + 16) / 116, fx = fy + a / 500, fz = fy - b / 200;
  const inv = (t) => (t > 6 / 29 ? t * t * t : 3 * (6 / 29) * (6 / 29) * (t - 4 / 29));
  // D65 white, sRGB primaries.
  const X = 0.95047 * inv(fx), Y = inv(fy), Z = 1.08883 * inv(fz);
  const lin = [3.2406 * X - 1.5372 * Y - 0.4986 * Z, -0.9689 * X + 1.8758 * Y + 0.0415 * Z, 0.0557 * X - 0.204 * Y + 1.057 * Z];
  return lin.map((v) => {
    const c = Math.min(1, Math.max(0, v));
    return Math.round((c <= 0.0031308 ? 12.92 * c : 1.055 * Math.pow(c, 1 / 2.4) - 0.055) * 255);
  });
}

// PackBits: the bytes of one row, up to `limit` of them.
function unpackRow(packed, limit) {
  const out = new Uint8Array(limit);
  let i = 0, o = 0;
  while (i < packed.length && o < limit) {
    const n = packed[i] > 127 ? packed[i] - 256 : packed[i];
    ++i;
    if (n >= 0) {
      const count = Math.min(n + 1, limit - o, packed.length - i);
      out.set(packed.subarray(i, i + count), o);
      i += n + 1;
      o += count;
    } else if (n !== -128) {
      if (i >= packed.length) break;
      out.fill(packed[i], o, Math.min(limit, o + 1 - n));
      o += 1 - n;
      ++i;
    }
  }
  return out;
}

async function renderJpeg(data, maxSide) {
  const blob = data instanceof Blob ? data : new Blob([data]);
  if (blob.size > 64 << 20 || typeof createImageBitmap !== "function") return { image: null, width: 0, height: 0, cut: false };
  try {
    const full = await createImageBitmap(blob);
    const scale = Math.min(1, maxSide / Math.max(full.width, full.height));
    const w = Math.max(1, Math.round(full.width * scale)), h = Math.max(1, Math.round(full.height * scale));
    const canvas = new OffscreenCanvas(w, h);
    const ctx = canvas.getContext("2d");
    ctx.drawImage(full, 0, 0, w, h);
    const t = { image: ctx.getImageData(0, 0, w, h), width: full.width, height: full.height, cut: false };
    full.close();
    return t;
  } catch {
    return { image: null, width: 0, height: 0, cut: false };
  }
}

/** The thumbnail of a recovered file; never throws. */
export async function renderThumbnail(data, maxSide = 128) {
  try {
    return await render(data, maxSide);
  } catch {
    return { image: null, width: 0, height: 0, cut: false };
  }
}

async function render(data, maxSide) {
  const none = { image: null, width: 0, height: 0, cut: false };
  const src = new Source(data);
  const h = await src.read(0, 26);
  if (!h || maxSide < 1) return none;
  if (!(h[0] === 0x38 && h[1] === 0x42 && h[2] === 0x50 && h[3] === 0x53)) {
    if (h[0] === 0xff && h[1] === 0xd8) return renderJpeg(data, maxSide);
    return none;
  }
  const version = be16(h, 4), channels = be16(h, 12), depth = be16(h, 22), mode = be16(h, 24);
  const height = be32(h, 14), width = be32(h, 18);
  const maxDim = version === 2 ? 300000 : 30000;
  if ((version !== 1 && version !== 2) || channels < 1 || channels > 56 || height < 1 || width < 1 ||
      height > maxDim || width > maxDim || ![1, 8, 16, 32].includes(depth))
    return none;
  const t = { image: null, width, height, cut: false };

  // Colour-mode data (the palette of an indexed picture), image resources,
  // the layer-and-mask section (8-byte length in version 2): skipped.
  let pos = 26;
  let len = await src.read(pos, 4);
  if (!len) return t;
  const colorLength = be32(len, 0);
  const palette = mode === kIndexed && colorLength >= 768 ? await src.read(pos + 4, 768) : null;
  pos += 4 + colorLength;
  if (!(len = await src.read(pos, 4))) return t;
  pos += 4 + be32(len, 0);
  const lengthSize = version === 2 ? 8 : 4;
  if (!(len = await src.read(pos, lengthSize))) return t;
  pos += lengthSize + (version === 2 ? be64(len, 0) : be32(len, 0));
  const compression = await src.read(pos, 2);
  if (!compression || (be16(compression, 0) !== 0 && be16(compression, 0) !== 1)) return t;
  const rle = be16(compression, 0) === 1;
  const planes = pos + 2;

  const bytesPerSample = depth === 1 ? 1 : depth / 8;
  const rowBytes = depth === 1 ? Math.ceil(width / 8) : width * bytesPerSample;
  const planeBytes = rowBytes * height;
  const step = Math.ceil(Math.max(width, height) / maxSide);
  const tw = Math.ceil(width / step), th = Math.ceil(height / step);

  let used = 1;
  if ((mode === kRgb || mode === kLab) && channels >= 3) used = 3;
  else if (mode === kCmyk) used = Math.min(channels, 4);

  // Run-length data: the table of every row's packed length, then the rows.
  let rowStart = null, rowLength = null;
  if (rle) {
    const countSize = version === 2 ? 4 : 2;
    const rows = height * channels;
    const table = await src.read(planes, rows * countSize);
    if (!table) return t;
    rowStart = new Float64Array(rows);
    rowLength = new Uint32Array(rows);
    let at = planes + rows * countSize;
    for (let r = 0; r < rows; ++r) {
      rowLength[r] = countSize === 4 ? be32(table, 4 * r) : be16(table, 2 * r);
      rowStart[r] = at;
      at += rowLength[r];
    }
  }

  const values = Array.from({ length: used }, () => new Uint8Array(tw * th));
  const present = new Uint8Array(tw * th); // per pixel: bit c + 1 for each channel c read
  // A whole row is read where the samples lie close together, single
  // samples where the stride leaves long gaps between them.
  const wholeRows = rle || rowBytes <= 1 << 16 || step * bytesPerSample <= 64;
  for (let c = 0; c < used; ++c) {
    for (let ty = 0; ty < th; ++ty) {
      const sy = ty * step;
      let row = null;
      const rowPos = planes + c * planeBytes + sy * rowBytes;
      if (rle) {
        const r = c * height + sy;
        const packed = await src.read(rowStart[r], rowLength[r]);
        if (packed) row = unpackRow(packed, rowBytes);
      } else if (wholeRows) {
        row = await src.read(rowPos, rowBytes);
      }
      for (let tx = 0; tx < tw; ++tx) {
        const sx = tx * step;
        const offset = depth === 1 ? Math.floor(sx / 8) : sx * bytesPerSample;
        let p = row, o = offset;
        if (!row) {
          if (rle) continue;
          // A cut row: what is there of it still counts.
          p = await src.read(rowPos + offset, bytesPerSample);
          o = 0;
          if (!p) continue;
        }
        values[c][ty * tw + tx] = depth === 1 ? ((p[o] >> (7 - (sx % 8))) & 1 ? 0 : 255) : sample8(p, o, depth);
        present[ty * tw + tx] |= 2 << c;
      }
    }
  }
  // A cut file shows what it holds: a pixel whose first channel was read is
  // shown, the channels missing behind it stand back (grey from the first
  // channel, no ink for CMYK).
  const all = ((2 << used) - 1) & ~1;
  for (let i = 0; i < present.length; ++i) {
    const got = present[i] & all;
    if (got !== all) t.cut = true;
    present[i] = got & 2;
    for (let c = 1; c < used; ++c) if (present[i] && !(got & (2 << c))) values[c][i] = mode === kCmyk ? 255 : values[0][i];
  }

  const image = new ImageData(tw, th);
  const px = image.data;
  for (let i = 0; i < present.length; ++i) {
    if (!present[i]) continue; // transparent
    const v0 = values[0][i];
    let rgb;
    if (mode === kIndexed && palette) rgb = [palette[v0], palette[256 + v0], palette[512 + v0]];
    else if (mode === kRgb && used === 3) rgb = [v0, values[1][i], values[2][i]];
    else if (mode === kLab && used === 3) rgb = labToRgb(v0, values[1][i], values[2][i]);
    else if (mode === kCmyk) {
      // Stored inverted: 255 is no ink.
      const k = used >= 4 ? values[3][i] : 255;
      const m = used >= 2 ? values[1][i] : 255, y = used >= 3 ? values[2][i] : 255;
      rgb = [Math.floor((v0 * k) / 255), Math.floor((m * k) / 255), Math.floor((y * k) / 255)];
    } else rgb = [v0, v0, v0];
    px[4 * i] = rgb[0];
    px[4 * i + 1] = rgb[1];
    px[4 * i + 2] = rgb[2];
    px[4 * i + 3] = 255;
  }
  t.image = image;
  return t;
}

/** The window's names: a rebuilt document, a layer's file and its number. */
export const rebuiltFile = /_rebuilt(?:_\d+)?\.ps[db]$/;
export const layerFile = /^Layer(\d+)(?:_\d+)?\.ps[db]$/;
// Layer %u "%s" (%u x %u): %u of %u rows read; %u filled with white[; %u damaged].
// A layer whose record was lost has a name of the engine's own.
export const layerLine = /^Layer (\d+) (?:".*"|.+?) \(\d+ x \d+\): \d+ of \d+ rows read; (\d+) filled with white(?:; (\d+) damaged)?\.$/;
/** The number of the layer a line of the log says was not read whole
 * (rows filled with white, or damaged), else null. */
export function layerNotReadWhole(line) {
  const m = layerLine.exec(line);
  return m && (Number(m[2]) > 0 || Number(m[3] || 0) > 0) ? Number(m[1]) : null;
}

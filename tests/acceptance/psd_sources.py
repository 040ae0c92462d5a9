"""Photoshop files written by independent writers: ImageMagick, GIMP, ag-psd
and psd-tools. Each writer whose program is missing is left out with a note."""
import base64
import io
import json
import os
import shutil
import subprocess

import attr
import numpy as np
from PIL import Image
from psd_tools import PSDImage
from psd_tools.compression import compress
from psd_tools.constants import Compression

HERE = os.path.dirname(os.path.abspath(__file__))
WRITERS = os.path.join(HERE, "writers")


def imagemagick(out):
    def im(*args):
        subprocess.run(["convert", *args], check=True, cwd=out)

    im("-size", "64x48", "gradient:red-blue", "comp.png")
    im("-size", "30x20", "plasma:fractal", "-alpha", "set", "-channel", "A", "-fx", "i/w", "+channel", "l1.png")
    im("-size", "16x40", "gradient:yellow-black", "l2.png")
    im("-size", "41x9", "xc:orange", "l3.png")
    layers = ["comp.png", "-page", "+5+7", "l1.png", "-page", "+40+3", "l2.png", "-page", "+2+30", "l3.png"]
    files = {
        "im-rgb8-rle": ["-depth", "8", "-compress", "RLE"],
        "im-rgb8-raw": ["-depth", "8", "-compress", "None"],
        "im-rgb16-rle": ["-depth", "16", "-compress", "RLE"],
        "im-rgb16-raw": ["-depth", "16", "-compress", "None"],
        "im-gray8-rle": ["-colorspace", "Gray", "-depth", "8", "-compress", "RLE"],
        "im-cmyk8-raw": ["-colorspace", "CMYK", "-depth", "8", "-compress", "None"],
    }
    for name, args in files.items():
        im(*layers, *args, name + ".psd")
    return [os.path.join(out, name + ".psd") for name in files]


def gimp(out):
    """One GIMP batch run writes all its files."""
    program = open(os.path.join(WRITERS, "gimp_layers.scm")).read()
    program += f'(velmora-write-files "{out}/")\n(gimp-quit 0)\n'
    run_gimp(program)
    names = ["gimp-rgb8-rle.psd", "gimp-gray8-rle.psd", "gimp-indexed8-rle.psd"]
    missing = [n for n in names if not os.path.exists(os.path.join(out, n))]
    if missing:
        raise RuntimeError(f"GIMP did not write {missing}")
    return [os.path.join(out, n) for n in names]


def run_gimp(program):
    """Runs a Script-Fu program in one GIMP batch process; gives its output."""
    run = subprocess.run(["gimp", "-i", "-b", "-"], input=program, capture_output=True, text=True,
                         errors="replace", timeout=600)
    return run.stdout + run.stderr


def gimp_opens(paths):
    """The paths GIMP's Photoshop reader opens, all asked in one process."""
    program = open(os.path.join(WRITERS, "gimp_layers.scm")).read()
    program += "".join(f'(velmora-open "{p}")\n' for p in paths) + "(gimp-quit 0)\n"
    opened = set()
    for line in run_gimp(program).splitlines():
        _, marker, rest = line.partition("opened ")
        if marker:
            opened.add(rest.rsplit(" ", 1)[0])
    return opened


def agpsd(out):
    node = shutil.which("node")
    if not node or not os.path.isdir(os.path.join(WRITERS, "node_modules", "ag-psd")):
        print("ag-psd is not installed (scripts/install-deps): its files are left out")
        return []
    paths = []
    for name, args in (("agpsd-rgb8-rle", []), ("agpsd-rgb8-zip", ["zip"])):
        path = os.path.join(out, name + ".psd")
        subprocess.run([node, os.path.join(WRITERS, "agpsd_layers.js"), path, *args], check=True)
        paths.append(path)
    return paths + agpsd_documents(node, out)


def pattern(h, w, seed, alpha=True, block=1, noise=64):
    """An RGBA picture of gradients, runs and noise, so that every
    compression has work (in blocks of block x block pixels); alpha opaque
    unless asked."""
    y, x = np.mgrid[0:h, 0:w] // block
    noise = np.random.default_rng(seed).integers(0, noise, (h, w))
    planes = [(x * 3 + seed * 40) % 256, (y * 7 + noise) % 256, np.where(x % 16 < 8, seed * 30 % 256, noise * 4)]
    planes.append(96 + (x + y) % 160 if alpha else np.full((h, w), 255))
    return np.stack(planes, -1).astype(np.uint8)


def deep(picture, seed):
    """16-bit planes from an 8-bit picture, with low bytes of their own."""
    low = np.random.default_rng(seed).integers(0, 256, picture.shape[:2])
    return [(picture[..., c].astype(">u2") * 256 + low).astype(">u2") for c in range(picture.shape[-1])]


def b64(data):
    return base64.b64encode(bytes(data)).decode()


def picture_layer(name, top, left, rgba, **more):
    """A layer that ag-psd compresses itself."""
    h, w = rgba.shape[:2]
    return {"name": name, "top": top, "left": left, "width": w, "height": h, "rgba": b64(rgba.tobytes()), **more}


def ready_layer(name, top, left, planes, compression, depth):
    """A layer of ready channel bytes (R, G, B, alpha planes) in the
    large-document layout, transparency first."""
    h, w = planes[0].shape
    return {"name": name, "top": top, "left": left, "bottom": top + h, "right": left + w,
            "channels": [{"id": cid, "compression": int(compression),
                          "data": b64(compress(planes[k].tobytes(), compression, w, h, depth, 2))}
                         for cid, k in ((-1, 3), (0, 0), (1, 1), (2, 2))]}


def agpsd_documents(node, out):
    """Documents ag-psd writes from pictures and channel bytes made here:
    large documents (version 2) with run-length, ZIP and raw channels at 8
    and 16 bits, one wider than 30000 pixels, and an 800 x 600 RGB file (the
    size of the engine's default properties) with an embedded preview and
    enough image resources that its layers lie past the first 4 KiB; its
    preview is renumbered as an old one, whose colours are read as BGR.
    ag-psd writes 8-bit documents with a run-length composite only: the raw
    and 16-bit ones get their merged image and the header's depth put in here
    after ag-psd has written them, their layers from ready channel bytes."""
    def planes(rgba):
        return list(np.moveaxis(rgba, -1, 0))

    shapes = (("back", 0, 0, 40, 64, 1), ("spot", 5, 7, 16, 20, 2), ("edge", 30, 50, 14, 22, 3))
    small = [picture_layer(n, top, left, pattern(h, w, seed, seed > 1), opacity=1 - seed / 10)
             for n, top, left, h, w, seed in shapes]
    raw8 = [ready_layer(n, top, left, planes(pattern(h, w, seed)), Compression.RAW, 8)
            for n, top, left, h, w, seed in shapes[:2]]

    def deep_layers(*compressions):
        return [ready_layer(n, top, left, deep(pattern(h, w, seed), seed), c, 16)
                for (n, top, left, h, w, seed), c in zip(shapes, compressions)]
    wide = pattern(6, 30008, 7)
    composite = pattern(600, 800, 8, False, block=25, noise=1)
    preview = io.BytesIO()
    Image.fromarray(composite[..., :3]).resize((240, 180)).save(preview, "JPEG", quality=95)
    raw, rle, zip_pred = Compression.RAW, Compression.RLE, Compression.ZIP_WITH_PREDICTION
    documents = (  # name, what ag-psd is given, the merged image's depth and compression put in
        ("agpsd-psb-rgb8-rle", {"layers": small}, None),
        ("agpsd-psb-rgb8-zip", {"layers": small, "compress": True}, None),
        ("agpsd-psb-rgb8-raw", {"layers": raw8}, (8, raw)),
        ("agpsd-psb-rgb16-raw", {"layers": deep_layers(raw, raw, raw)}, (16, raw)),
        ("agpsd-psb-rgb16-rle", {"layers": deep_layers(rle, zip_pred, rle)}, (16, rle)),
        ("agpsd-psb-wide-rle", {"width": 30008, "height": 6, "composite": wide,
                                "layers": [picture_layer("band", 0, 0, wide),
                                           picture_layer("dot", 1, 29990, pattern(4, 9, 9))]}, None),
        ("agpsd-rgb8-800x600-bgr-preview",
         {"width": 800, "height": 600, "psb": False, "composite": composite,
          "thumbnail": {"width": 240, "height": 180, "jpeg": b64(preview.getvalue())},
          "layers": [picture_layer("back", 0, 0, composite), picture_layer("sun", 40, 600, pattern(90, 120, 10))]},
         None),
    )
    paths = []
    for name, plan, merged in documents:
        plan = {"width": 64, "height": 40, "psb": True, "composite": pattern(40, 64, 1, False), **plan}
        rgb = plan["composite"][..., :3]
        plan["composite"] = b64(np.dstack([rgb, np.full(rgb.shape[:2], 255, np.uint8)]).tobytes())
        path = os.path.join(out, name + (".psb" if plan["psb"] else ".psd"))
        with open(path + ".json", "w") as f:
            json.dump(plan, f)
        subprocess.run([node, os.path.join(WRITERS, "agpsd_document.js"), path + ".json", path], check=True)
        os.remove(path + ".json")
        with open(path, "rb") as f:
            data = f.read()
        if merged:
            depth, compression = merged
            data = with_merged(data, depth, compression, deep(rgb, 11) if depth == 16 else planes(rgb))
        if "thumbnail" in plan:
            data = data.replace(b"8BIM\x04\x0c", b"8BIM\x04\x09", 1)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    return paths


def with_merged(data, depth, compression, planes):
    """A large document with the given depth in its header and the given
    planes as its merged image."""
    def length(pos, n):
        return int.from_bytes(data[pos:pos + n], "big")
    pos = 26
    pos += 4 + length(pos, 4)  # colour-mode data
    pos += 4 + length(pos, 4)  # image resources
    pos += 8 + length(pos, 8)  # layer and mask information
    h, w = planes[0].shape
    body = compress(b"".join(p.tobytes() for p in planes), compression, w, h * len(planes), depth, 2)
    return data[:22] + depth.to_bytes(2, "big") + data[24:pos] + int(compression).to_bytes(2, "big") + body


def psdtools(out):
    """Flat files, the merged image in each compression, 8 and 16 bits. The
    16-bit ones get psd-tools' 16-bit encoding of the same picture."""
    h, w = 120, 160
    y, x = np.mgrid[0:h, 0:w]
    noise = np.random.default_rng(12).integers(0, 40, (h, w))
    rgb = np.stack([(x * 255 // w + noise) % 256, (y * 2 + noise // 2) % 256, ((x ^ y) + noise) % 256], -1)
    picture = Image.fromarray(rgb.astype(np.uint8), "RGB")
    planes16 = [(rgb[..., c].astype(">u2") * 257 + noise.astype(">u2")).tobytes() for c in range(3)]
    paths = []
    for depth in (8, 16):
        for name, compression in (("raw", Compression.RAW), ("rle", Compression.RLE), ("zip", Compression.ZIP),
                                  ("zip-pred", Compression.ZIP_WITH_PREDICTION)):
            psd = PSDImage.frompil(picture, compression=compression)
            if depth == 16:
                record = psd._record
                record.header = attr.evolve(record.header, depth=16)
                record.image_data.set_data(planes16, record.header)
            path = os.path.join(out, f"psdtools-rgb{depth}-{name}.psd")
            psd.save(path)
            paths.append(path)
    return paths


def all_writers(out):
    """Every generated file, with the writer's name."""
    os.makedirs(out, exist_ok=True)
    files = []
    for writer, make, program in (("ImageMagick", imagemagick, "convert"), ("GIMP", gimp, "gimp"),
                                  ("ag-psd", agpsd, None), ("psd-tools", psdtools, None)):
        if program and not shutil.which(program):
            print(f"{writer} is not installed: its files are left out")
            continue
        files += [(writer, p) for p in make(out)]
    return files

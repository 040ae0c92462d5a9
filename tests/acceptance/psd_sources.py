"""Photoshop files written by independent writers: ImageMagick, GIMP, ag-psd
and psd-tools. Each writer whose program is missing is left out with a note."""
import os
import shutil
import subprocess

import attr
import numpy as np
from PIL import Image
from psd_tools import PSDImage
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
    return paths


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

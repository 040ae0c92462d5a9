#!/usr/bin/python3
"""Acceptance of the engine on Photoshop files that no one on this project wrote.

    psd_acceptance.py generated DRIVER WORKDIR   files made by ImageMagick and ag-psd
    psd_acceptance.py corpus DRIVER WORKDIR CORPUS_DIR

DRIVER is zelt_recover. Every recovered layer's channel planes must equal what
psd-tools decodes from the intact file, and every recovered file must open in
psd-tools and in ImageMagick. Damaged copies (header zeroed, cut inside the
layer data or the merged image, junk around the file, sectors overwritten)
must still give back what their damage left. Exits 77 (skipped) when a tool
or the corpus is missing.
"""
import json
import os
import random
import shutil
import struct
import subprocess
import sys

SKIP = 77

try:
    from psd_tools import PSDImage
except ImportError:
    print("psd-tools is not installed: skipped")
    sys.exit(SKIP)

HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def fail(message):
    failures.append(message)
    print("FAIL", message)


def recover(driver, src, out, props=None):
    """Runs the engine; returns (written paths, error texts)."""
    os.makedirs(out, exist_ok=True)
    args = [driver, src, out]
    if props:
        args += [str(v) for v in props]
    run = subprocess.run(args, capture_output=True, text=True, errors="replace")
    if run.returncode not in (0, 1):
        fail(f"{src}: the engine ended with status {run.returncode}: {run.stderr[-2000:]}")
    for report in ("runtime error:", "AddressSanitizer", "LeakSanitizer"):
        if report in run.stderr:
            fail(f"{src}: sanitizer report: {run.stderr[-2000:]}")
    written, errors = [], []
    for line in run.stdout.splitlines():
        kind, _, text = line.partition(" ")
        if kind == "written":
            written.append(text)
        elif kind == "error":
            errors.append(text)
    return written, errors


def recovered_planes(path):
    """The channel planes of a recovered file, read by psd-tools."""
    psd = PSDImage.open(path)
    header = psd._record.header
    return header, psd._record.image_data.get_data(header, split=True)


def expected_layers(path):
    """For each layer record: (index, valid, [plane or None]) in the order the
    engine writes the planes (colour channels, then the negative ones). None
    marks a plane the engine is not meant to reproduce: zip data, a layer mask
    of another size than its layer, a run-length row under 8 bytes (read raw)."""
    psd = PSDImage.open(path)
    header = psd._record.header
    bps = max(1, header.depth // 8)
    info = psd._record.layer_and_mask_information.layer_info
    if info is None or not info.layer_records:
        return []
    layers = []
    for index, (rec, channels) in enumerate(zip(info.layer_records, info.channel_image_data)):
        h, w = rec.bottom - rec.top, rec.right - rec.left
        valid = 0 <= h <= 300000 and 0 <= w <= 300000
        ordered = [(ci, cd) for ci, cd in zip(rec.channel_info, channels) if int(ci.id) >= 0]
        ordered += [(ci, cd) for ci, cd in zip(rec.channel_info, channels) if int(ci.id) < 0]
        planes = []
        for ci, cd in ordered:
            comparable = int(cd.compression) in (0, 1) and ci.length > 2 * h
            if int(ci.id) <= -2:
                m = rec.mask_data
                comparable = comparable and m is not None and (m.bottom - m.top, m.right - m.left) == (h, w)
            if int(cd.compression) == 1 and 0 < w * bps < 8:
                comparable = False
            plane = None
            if comparable and valid:
                try:
                    plane = cd.get_data(w, h, header.depth, header.version)
                except ValueError as e:  # psd-tools itself cannot decode it
                    print(f"  psd-tools cannot decode layer {index} channel {int(ci.id)} of {path}: {e}")
            planes.append(plane)
        layers.append((index, valid, planes))
    return layers


def sections(path):
    """Offsets in an intact file: the start of the layer records' channel data
    is not needed, only where the layer info ends and where the image data
    starts."""
    with open(path, "rb") as f:
        data = f.read()
    pos = 26
    (cmd,) = struct.unpack(">I", data[pos:pos + 4])
    pos += 4 + cmd
    (res,) = struct.unpack(">I", data[pos:pos + 4])
    pos += 4 + res
    (lmi,) = struct.unpack(">I", data[pos:pos + 4])
    layer_info_end = pos + 8 + struct.unpack(">I", data[pos + 4:pos + 8])[0] if lmi else pos
    image_data = pos + 4 + lmi
    return data, layer_info_end, image_data


# Channels a mode needs before ImageMagick reads a file of it. A layer that
# its writer stored with fewer colour channels than its mode has (ImageMagick
# itself stores a grey layer of an RGB file as one channel) is recovered as
# stored, and such a file is not offered to ImageMagick.
MODE_CHANNELS = {3: 3, 4: 4, 9: 3}


def imagemagick_reads(header):
    """Whether this ImageMagick reads a file with this header at all. Its PSD
    reader refuses every indexed-colour file (Photoshop's own included) and
    sizes above 30000, the limit of version-1 files it enforces."""
    mode = int(header.color_mode)
    return (mode != 2 and header.width <= 30000 and header.height <= 30000
            and header.channels >= MODE_CHANNELS.get(mode, 1))


def opens_everywhere(path):
    header, planes = recovered_planes(path)
    if imagemagick_reads(header):
        run = subprocess.run(["identify", path], capture_output=True, text=True)
        if run.returncode != 0:
            fail(f"ImageMagick cannot open {path}: {run.stderr.strip()[:300]}")


def layer_path(out, index):
    return os.path.join(out, f"Layer{index}.psd")


def check_layers(label, expected, out, only=None):
    """Compares each valid layer's recovered planes with the expected ones."""
    compared = 0
    for index, valid, planes in expected:
        if only is not None and index not in only:
            continue
        path = layer_path(out, index)
        if not valid:
            continue
        if not os.path.exists(path):
            fail(f"{label}: layer {index} was not recovered")
            continue
        if empty_picture(path):
            continue
        header, got = recovered_planes(path)
        if len(got) != len(planes):
            fail(f"{label}: layer {index} has {len(got)} planes, expected {len(planes)}")
            continue
        for k, (g, e) in enumerate(zip(got, planes)):
            if e is None:
                continue
            compared += 1
            if g != e:
                diff = next(i for i in range(min(len(g), len(e))) if g[i] != e[i]) if len(g) == len(e) else -1
                fail(f"{label}: layer {index} plane {k} differs (first at {diff}, sizes {len(g)} {len(e)})")
    return compared


def empty_picture(path):
    """True for a recovered file of height or width 0 (an empty layer), which
    readers refuse by design."""
    with open(path, "rb") as f:
        head = f.read(26)
    height, width = struct.unpack(">II", head[14:22])
    return height == 0 or width == 0


def check_all_open(label, written):
    for path in written:
        if empty_picture(path):
            continue
        try:
            opens_everywhere(path)
        except Exception as e:  # psd-tools raises on files it cannot read
            fail(f"{label}: psd-tools cannot open {path}: {e}")


def header_props(path):
    h = PSDImage.open(path)._record.header
    return (h.channels, h.height, h.width, h.depth, int(h.color_mode))


def damaged_copies(src, work):
    """The damaged copies of an intact file: (name, path, layers that must
    come back whole, whether a merged image must come back)."""
    data, info_end, image_data = sections(src)
    expected = expected_layers(src)
    everything = {i for i, _, _ in expected}
    copies = []

    def save(name, content):
        path = os.path.join(work, name + ".psd")
        with open(path, "wb") as f:
            f.write(content)
        return path

    copies.append(("header-zeroed", save("header-zeroed", bytes(26) + data[26:]), everything, True))
    rng = random.Random(7)
    junk = bytes(rng.randrange(256) for _ in range(5000))
    copies.append(("junk-around", save("junk-around", junk + data + junk), everything, True))
    copies.append(("cut-in-merged", save("cut-in-merged", data[:len(data) - 50]), everything, True))
    if expected:
        # The cut falls inside the last layer's channel data: every earlier
        # layer comes back whole, the last one at full size.
        cut = info_end - 12
        copies.append(("cut-in-layers", save("cut-in-layers", data[:cut]), everything - {expected[-1][0]}, False))
    sectors = bytearray(data)
    first = (image_data + 4 + 511) // 512 * 512
    for s in range(first, len(data) - 512, 2048):
        sectors[s:s + 512] = b"\xaa" * 512
    copies.append(("sectors-overwritten", save("sectors-overwritten", bytes(sectors)), everything, True))
    return copies


def run_file(driver, src, work, label, damage=True):
    """The intact file and its damaged copies."""
    expected = expected_layers(src)
    props = header_props(src)
    stem = os.path.splitext(os.path.basename(src))[0]
    out = os.path.join(work, label + "-out")
    written, errors = recover(driver, src, out)
    if errors:
        fail(f"{label}: engine errors: {errors}")
    n = check_layers(label, expected, out)
    if not any(os.path.basename(p).startswith(stem + "_") for p in written):
        fail(f"{label}: no merged image")
    check_all_open(label, written)
    print(f"ok {label}: {len(written)} files, {n} planes identical")
    if not damage:
        return
    for name, path, whole, merged in damaged_copies(src, work):
        out = os.path.join(work, f"{label}-{name}-out")
        written, errors = recover(driver, path, out, props)
        n = check_layers(f"{label}/{name}", expected, out, only=whole)
        for index, valid, _ in expected:
            if valid and not os.path.exists(layer_path(out, index)):
                fail(f"{label}/{name}: layer {index} missing")
        if merged and not any(os.path.basename(p).startswith(name + "_") for p in written):
            fail(f"{label}/{name}: no merged image")
        check_all_open(f"{label}/{name}", written)
        print(f"ok {label}/{name}: {len(written)} files, {n} planes identical")


def generated(driver, work):
    if not shutil.which("convert"):
        print("ImageMagick is not installed: skipped")
        return SKIP
    src = os.path.join(work, "src")
    os.makedirs(src, exist_ok=True)

    def im(*args):
        subprocess.run(["convert", *args], check=True, cwd=src)

    im("-size", "64x48", "gradient:red-blue", "comp.png")
    im("-size", "30x20", "plasma:fractal", "-alpha", "set", "-channel", "A", "-fx", "i/w", "+channel", "l1.png")
    im("-size", "16x40", "gradient:yellow-black", "l2.png")
    im("-size", "41x9", "xc:orange", "l3.png")
    layers = ["comp.png", "-page", "+5+7", "l1.png", "-page", "+40+3", "l2.png", "-page", "+2+30", "l3.png"]
    files = {
        "im-rgb8-rle": [*layers, "-depth", "8", "-compress", "RLE"],
        "im-rgb8-raw": [*layers, "-depth", "8", "-compress", "None"],
        "im-rgb16-rle": [*layers, "-depth", "16", "-compress", "RLE"],
        "im-rgb16-raw": [*layers, "-depth", "16", "-compress", "None"],
        "im-gray8-rle": [*layers, "-colorspace", "Gray", "-depth", "8", "-compress", "RLE"],
        "im-cmyk8-raw": [*layers, "-colorspace", "CMYK", "-depth", "8", "-compress", "None"],
    }
    paths = []
    for name, args in files.items():
        im(*args, name + ".psd")
        paths.append(os.path.join(src, name + ".psd"))
    node = shutil.which("node")
    writer = os.path.join(HERE, "writers")
    if node and os.path.isdir(os.path.join(writer, "node_modules", "ag-psd")):
        out = os.path.join(src, "agpsd-rgb8-masks.psd")
        subprocess.run([node, os.path.join(writer, "agpsd_layers.js"), out], check=True)
        paths.append(out)
    else:
        print("ag-psd is not installed (scripts/install-deps): its files are left out")
    for path in paths:
        label = os.path.splitext(os.path.basename(path))[0]
        run_file(driver, path, work, label)
    return 0


def corpus(driver, work, corpus_dir):
    manifest = os.path.join(corpus_dir, "manifest.json")
    if not os.path.exists(manifest):
        print(f"no corpus at {corpus_dir}: skipped")
        return SKIP
    with open(manifest) as f:
        entries = json.load(f)
    for entry in entries:
        src = os.path.join(corpus_dir, entry["name"])
        label = os.path.splitext(entry["name"])[0]
        comparable = (entry["depth"] == 8 and entry["layer_info_in"] == "main"
                      and set(entry["layer_compression"]) <= {"raw", "rle"})
        out = os.path.join(work, label)
        written, errors = recover(driver, src, out)
        if errors:
            fail(f"{label}: engine errors: {errors}")
        check_all_open(label, written)
        n = check_layers(label, expected_layers(src), out) if comparable else 0
        print(f"ok {label}: {len(written)} files" + (f", {n} planes identical" if comparable else ""))
        shutil.rmtree(out, ignore_errors=True)
    return 0


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    mode, driver, work = sys.argv[1], sys.argv[2], sys.argv[3]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    status = generated(driver, work) if mode == "generated" else corpus(driver, work, sys.argv[4])
    if failures:
        print(f"{len(failures)} failures")
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())

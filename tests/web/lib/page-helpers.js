// Helpers the tests put into a page before it loads: digests of what a
// repair left in the origin's private folder (where the tests' "picked"
// folders live) and of the entries of a .zip saved there.
(() => {
  const hex = (buffer) => [...new Uint8Array(buffer)].map((b) => b.toString(16).padStart(2, "0")).join("");
  const digest = async (blob) => hex(await crypto.subtle.digest("SHA-256", await blob.arrayBuffer()));

  // The files of velmora's folder inside the private folder `name`.
  window.folderDigests = async (name) => {
    const dir = await (await navigator.storage.getDirectory()).getDirectoryHandle(name);
    const out = [];
    for await (const [, inner] of dir.entries()) {
      if (inner.kind !== "directory") continue;
      for await (const [file, handle] of inner.entries())
        if (handle.kind === "file") out.push({ name: file, sha256: await digest(await handle.getFile()) });
    }
    return out;
  };

  window.clearFolder = async (name) => {
    const root = await navigator.storage.getDirectory();
    await root.removeEntry(name, { recursive: true }).catch(() => {});
    return root.getDirectoryHandle(name, { create: true });
  };

  // The entries of the .zip in the private folder, from its central
  // directory (zip64 sizes and offsets where they are given).
  window.zipDigests = async () => {
    const root = await navigator.storage.getDirectory();
    let file = null;
    for await (const [name, handle] of root.entries()) if (name.endsWith(".zip")) file = await handle.getFile();
    const tail = new DataView(await file.slice(Math.max(0, file.size - 65558)).arrayBuffer());
    let eocd = -1;
    for (let i = tail.byteLength - 22; i >= 0; --i) if (tail.getUint32(i, true) === 0x06054b50) { eocd = i; break; }
    let count = tail.getUint16(eocd + 10, true), cdSize = tail.getUint32(eocd + 12, true), cdOffset = tail.getUint32(eocd + 16, true);
    if (cdOffset === 0xffffffff || count === 0xffff) {
      const locator = eocd - 20;
      const z64 = Number(tail.getBigUint64(locator + 8, true));
      const rec = new DataView(await file.slice(z64, z64 + 56).arrayBuffer());
      count = Number(rec.getBigUint64(32, true));
      cdSize = Number(rec.getBigUint64(40, true));
      cdOffset = Number(rec.getBigUint64(48, true));
    }
    const cd = new DataView(await file.slice(cdOffset, cdOffset + cdSize).arrayBuffer());
    const out = [];
    for (let at = 0, k = 0; k < count; ++k) {
      let size = cd.getUint32(at + 20, true), offset = cd.getUint32(at + 42, true);
      const nameLength = cd.getUint16(at + 28, true), extraLength = cd.getUint16(at + 30, true), commentLength = cd.getUint16(at + 32, true);
      const name = new TextDecoder().decode(new Uint8Array(cd.buffer, at + 46, nameLength));
      // zip64: the sizes and the offset that did not fit, in that order.
      for (let e = at + 46 + nameLength; e < at + 46 + nameLength + extraLength; ) {
        const id = cd.getUint16(e, true), len = cd.getUint16(e + 2, true);
        if (id === 1) {
          let p = e + 4;
          if (cd.getUint32(at + 24, true) === 0xffffffff) p += 8;
          if (size === 0xffffffff) { size = Number(cd.getBigUint64(p, true)); p += 8; }
          if (offset === 0xffffffff) offset = Number(cd.getBigUint64(p, true));
        }
        e += 4 + len;
      }
      const local = new DataView(await file.slice(offset, offset + 30).arrayBuffer());
      const data = offset + 30 + local.getUint16(26, true) + local.getUint16(28, true);
      out.push({ name, sha256: await digest(file.slice(data, data + size)) });
      at += 46 + nameLength + extraLength + commentLength;
    }
    return out;
  };
})();

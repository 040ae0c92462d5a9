/**
 * velmora.mjs: Velmora's repair in the browser, the same engine and the same
 * program as the command-line velmora, compiled to WebAssembly. The file is
 * read in a worker, in slices, and never leaves the computer.
 *
 *   import { repair } from "./velmora.mjs";
 *   const result = await repair(file, { width: 4000, height: 3000 }, (event) => { ... });
 *
 * repair(source, options?, onEvent?) -> Promise<{ status, exitStatus, log, files, folder, messages, memory }>
 *
 * source: a Blob (a File from a file input or a drop keeps its name; a Blob
 *   takes options.name, else "damaged.psd").
 * options, as velmora's (an option left out is velmora's default):
 *   heuristic: false       --no-heuristic: the given or default properties for all
 *   rebuild: false         --no-rebuild: no rebuilt layered document
 *   preview: false         --no-preview: the embedded preview is not saved
 *   channels, height, width, depth, mode
 *                          --channels ... --mode: the properties of a file
 *                          whose header is lost; one given stands (mode: a
 *                          name such as "cmyk" or its number)
 *   arguments: [...]       further velmora options, as on its command line
 *   signal: AbortSignal    stops the repair as Ctrl-C stops velmora: after the
 *                          current step; the files written so far are kept,
 *                          the unfinished one is dropped (status "stopped")
 *   stopNow: AbortSignal   ends it at once, as a second Ctrl-C does
 *   store: "bytes"         each file's data as a Uint8Array (the default);
 *          "blob"          as a Blob, which the browser may keep on disk;
 *          "auto"          as a Uint8Array while the files of the repair
 *                          take less than memoryLimits().bytesKept, then as
 *                          Blobs (what the page uses: handing pieces to the
 *                          browser's Blob store as they come takes a core of
 *                          its own, which slowed the repair by a quarter)
 *   bytesKept: what the store "auto" keeps as bytes, in place of
 *          memoryLimits().bytesKept
 *   directory: FileSystemDirectoryHandle
 *                          the files are written into velmora's output folder
 *                          inside it as they come, and kept as File objects
 *   name: a file name for a source that is a Blob without one
 *   memoryBudget: the most memory, in bytes, the engine gives one layer or
 *          picture (velmora's ZELT_MEMORY_BUDGET), for a page that must
 *          leave memory to others; by default half of what it can have
 * onEvent(event), while the repair runs:
 *   { type: "progress", percent }   the scan's progress, 0 to 100
 *   { type: "log", line }           a line of velmora's repair log
 *   { type: "file", file }          a file written whole (an entry of files)
 *   { type: "message", text }       a line velmora printed on standard error
 *   { type: "stopping" }            the stop was seen; the current step ends
 * The result:
 *   status: "repaired", "nothing-recovered", "file-error", "cut-short",
 *           "stopped" or "crashed"; exitStatus: velmora's exit status
 *           (0, 1, 3, 4, 130; null after a crash)
 *   log: velmora's repair log, line by line
 *   files: [{ name, path, size, data | blob | file }] in the order written
 *          (with directory, a file the folder did not take has error instead);
 *          name is the file's name in velmora's output folder, which is
 *          folder (for photo.psd "photo_recovered"); byte for byte the files
 *          velmora writes for the same file and options
 *   messages: what velmora printed on standard error
 *   memory: { engineBytes }: the worker's engine memory at the end (its peak)
 *   unreadable: why the file could no longer be read, when it could not
 *   stats: the worker's reads of the file and writes of the files, with
 *          their times in milliseconds, and the engine's time
 * Bad options (a width of 0, an unknown mode) reject with velmora's message.
 */

const here = new URL(".", import.meta.url);

/** velmora's command-line options for the options of repair(): the one
 * place where the page's options become velmora's. */
export function velmoraArguments(options = {}) {
  const args = [];
  if (options.heuristic === false) args.push("--no-heuristic");
  if (options.rebuild === false) args.push("--no-rebuild");
  if (options.preview === false) args.push("--no-preview");
  for (const key of ["channels", "height", "width", "depth", "mode"]) {
    const value = options[key];
    if (value !== undefined && value !== null && value !== "") args.push(`--${key}`, String(value));
  }
  if (options.arguments) args.push(...options.arguments.map(String));
  return args;
}

/** The name velmora is given for the source: the file's own, made safe to
 * be one name in a folder. */
export function sourceName(source, options = {}) {
  let name = options.name || source.name || "damaged.psd";
  name = String(name).replace(/[/\0]/g, "_");
  return name === "" || name === "." || name === ".." ? "damaged.psd" : name;
}

// velmora's folder for a file: the name without its extension, then
// "_recovered" (wenk::DefaultOutputDir).
function defaultFolder(name) {
  const dot = name.lastIndexOf(".");
  return (dot >= 0 ? name.slice(0, dot) : name) + "_recovered";
}

const statuses = { 0: "repaired", 1: "nothing-recovered", 3: "file-error", 4: "cut-short", 130: "stopped" };

// How much of the picked file the worker keeps in memory between reads:
// 40 MiB for each GB the browser says the device has (it says 8 at most),
// from 64 MiB to 320 MiB; a document of 256 MiB is read from the browser
// once.
function cacheBytes() {
  const gb = (typeof navigator !== "undefined" && navigator.deviceMemory) || 4;
  return Math.min(320, Math.max(64, gb * 40)) * 1024 * 1024;
}

const GiB = 1024 * 1024 * 1024;

/** What the page can take: engine, the most memory the engine's worker can
 * have (WebAssembly's 4 GiB); picture, the largest layer or merged image it
 * reads (velmora's budget: half of that, or the memoryBudget given);
 * keptFiles, about what the browser holds of recovered files kept in memory
 * (half of what it says the device has); bytesKept, how much of them the
 * store "auto" keeps as bytes (an eighth of the device, at most 1 GiB). */
export function memoryLimits(memoryBudget) {
  const gb = (typeof navigator !== "undefined" && navigator.deviceMemory) || 4;
  const picture = memoryBudget ? Math.min(2 * GiB, memoryBudget) : 2 * GiB;
  return { engine: 4 * GiB, picture, keptFiles: (gb / 2) * GiB, bytesKept: Math.min(GiB, (gb / 8) * GiB) };
}

let loading = null;

/** The browsers whose WebAssembly runs the engine. */
export const browsersNeeded = "Chrome or Edge 95, Firefox 100, Safari 16.4 or later";

/** Fetches and compiles the engine. The page calls it once at load, so that
 * no request is made after; repair() waits for it. */
export function preload() {
  if (!loading) {
    loading = (async () => {
      const fetchOk = async (name) => {
        const response = await fetch(new URL(name, here));
        if (!response.ok) throw new Error(`${name}: ${response.status} ${response.statusText}`);
        return response;
      };
      const compile = async () => {
        const response = await fetchOk("velmora-engine.wasm");
        if (WebAssembly.compileStreaming && (response.headers.get("content-type") || "").startsWith("application/wasm"))
          return WebAssembly.compileStreaming(response);
        return WebAssembly.compile(await response.arrayBuffer());
      };
      // A browser without WebAssembly's SIMD or exceptions refuses the
      // engine as it compiles it.
      const compiled = compile().catch((error) => {
        if (!(error instanceof WebAssembly.CompileError)) throw error;
        throw new Error(`this browser cannot run it (it needs WebAssembly with SIMD and exceptions: ${browsersNeeded}): ${error.message}`);
      });
      const [engine, worker, module] = await Promise.all([
        fetchOk("velmora-engine.js").then((r) => r.text()),
        fetchOk("velmora-worker.js").then((r) => r.text()),
        compiled,
      ]);
      const workerUrl = URL.createObjectURL(new Blob([engine, "\n", worker], { type: "text/javascript" }));
      return { workerUrl, module };
    })();
    loading.catch(() => {
      loading = null;
    });
  }
  return loading;
}

// A file kept as a Uint8Array: its pieces, joined when it is whole. Once a
// write goes back over written bytes (a length filled in afterwards), the
// file is one buffer that grows by doubling, so that the writes after it
// are not each a copy of everything before.
class BytesSink {
  constructor() {
    this.chunks = [];
    this.size = 0;
    this.whole = null; // the buffer, once a write went back over written bytes
  }
  write(position, bytes) {
    const end = position + bytes.length;
    if (!this.whole && position === this.size) this.chunks.push(bytes);
    else {
      this.reserve(end);
      this.whole.set(bytes, position);
    }
    this.size = Math.max(this.size, end);
  }
  truncate(size) {
    this.reserve(size);
    // Bytes past the new end are zeros again should the file grow back.
    if (size < this.size) this.whole.fill(0, size, this.size);
    this.size = size;
  }
  // One buffer of at least `size` bytes holding what was written.
  reserve(size) {
    if (this.whole && this.whole.length >= size) return;
    const capacity = this.whole ? Math.max(size, Math.min(2 * this.whole.length, this.whole.length + (256 << 20))) : Math.max(size, this.size);
    const whole = new Uint8Array(capacity);
    if (this.whole) whole.set(this.whole.subarray(0, this.size));
    else {
      let at = 0;
      for (const c of this.chunks) {
        whole.set(c, at);
        at += c.length;
      }
    }
    this.whole = whole;
    this.chunks = [];
  }
  // What was written, as one Uint8Array: a view of the buffer, which a
  // copy would only trim.
  contents() {
    if (!this.whole && this.chunks.length === 1 && this.chunks[0].length === this.size) return this.chunks[0];
    this.reserve(this.size);
    return this.whole.length === this.size ? this.whole : this.whole.subarray(0, this.size);
  }
  close() {
    this.done = Promise.resolve({ data: this.contents() });
  }
  remove() {
    this.chunks = [];
    this.whole = null;
  }
}

// A file kept as a Blob, which the browser may keep on disk: its pieces go
// into it a few MiB at a time as they come, so that the page holds little
// of them itself.
class BlobSink {
  constructor() {
    this.parts = [];
    this.pending = [];
    this.pendingBytes = 0;
    this.size = 0;
  }
  flush() {
    if (this.pending.length) this.parts = [new Blob([...this.parts, ...this.pending])];
    this.pending = [];
    this.pendingBytes = 0;
  }
  write(position, bytes) {
    if (position === this.size) {
      this.pending.push(bytes);
      this.pendingBytes += bytes.length;
      if (this.pendingBytes >= 8 << 20) this.flush();
    } else {
      // Over written bytes or past the end: the Blob made again of slices.
      this.flush();
      const blob = new Blob(this.parts);
      const gap = position > this.size ? [new Uint8Array(position - this.size)] : [];
      this.parts = [new Blob([blob.slice(0, position), ...gap, bytes, blob.slice(position + bytes.length)])];
    }
    this.size = Math.max(this.size, position + bytes.length);
  }
  truncate(size) {
    this.flush();
    const blob = new Blob(this.parts);
    this.parts = [size <= this.size ? blob.slice(0, size) : new Blob([blob, new Uint8Array(size - this.size)])];
    this.size = size;
  }
  close() {
    this.flush();
    this.done = Promise.resolve({ blob: new Blob(this.parts) });
    this.parts = [];
  }
  remove() {
    this.parts = [];
    this.pending = [];
  }
}

// A file kept as bytes while the repair's files kept as bytes (pool.held)
// stay within pool.limit, and as a Blob from the write that would pass it.
class AutoSink {
  constructor(pool) {
    this.pool = pool;
    this.inner = pool.held < pool.limit ? new BytesSink() : new BlobSink();
    this.held = 0;
  }
  // Counts bytes the file holds from now on; false when they do not fit.
  hold(size) {
    if (!(this.inner instanceof BytesSink)) return true;
    const more = Math.max(0, size - this.held);
    if (this.pool.held + more > this.pool.limit) return false;
    this.pool.held += more;
    this.held += more;
    return true;
  }
  toBlob() {
    const blob = new BlobSink();
    if (this.inner.size) blob.write(0, this.inner.contents());
    this.release();
    this.inner = blob;
  }
  release() {
    this.pool.held -= this.held;
    this.held = 0;
  }
  write(position, bytes) {
    if (!this.hold(Math.max(this.inner.size, position + bytes.length))) this.toBlob();
    this.inner.write(position, bytes);
  }
  truncate(size) {
    if (!this.hold(size)) this.toBlob();
    this.inner.truncate(size);
  }
  close() {
    this.inner.close();
    this.done = this.inner.done;
  }
  remove() {
    this.inner.remove();
    this.release();
  }
}

// A file of the output folder as its pieces come, into the sink the
// caller's store asks for.
class OutputFile {
  constructor(path, store, directory, pool) {
    this.path = path;
    this.name = path.slice(path.indexOf("/") + 1);
    this.size = 0;
    this.closed = false;
    this.removed = false;
    this.sink = directory ? new DirectorySink(directory, path)
      : store === "blob" ? new BlobSink() : store === "auto" ? new AutoSink(pool) : new BytesSink();
  }
  write(position, bytes) {
    this.sink.write(position, bytes);
    this.size = Math.max(this.size, position + bytes.length);
  }
  truncate(size) {
    this.sink.truncate(size);
    this.size = size;
  }
  // The entry of the result, once the file is whole. A file a folder would
  // not take (no room, no permission) is named with the reason, and the
  // others are kept.
  entry() {
    if (!this.entryPromise) {
      if (!this.sink.done) this.sink.close();
      this.entryPromise = this.sink.done.then(
        (kept) => ({ name: this.name, path: this.path, size: this.size, ...kept }),
        (error) => ({ name: this.name, path: this.path, size: this.size, error: String(error && error.message || error) }));
    }
    return this.entryPromise;
  }
}

// A file written into a folder the user picked, piece by piece as it comes.
class DirectorySink {
  constructor(root, path) {
    const parts = path.split("/");
    const name = parts.pop();
    this.chain = (async () => {
      let dir = root;
      for (const p of parts) dir = await dir.getDirectoryHandle(p, { create: true });
      this.dir = dir;
      this.handle = await dir.getFileHandle(name, { create: true });
      this.writable = await this.handle.createWritable();
    })().catch((e) => {
      this.failed = e;
    });
    this.name = name;
    this.failed = null;
  }
  // The folder's calls one after the other; after a failure, none.
  step(call) {
    this.chain = this.chain.then(() => (this.failed ? undefined : call())).catch((e) => {
      this.failed = this.failed || e;
    });
  }
  write(position, data) {
    this.step(() => this.writable.write({ type: "write", position, data }));
  }
  truncate(size) {
    this.step(() => this.writable.truncate(size));
  }
  close() {
    this.step(() => this.writable.close());
    this.done = this.chain.then(async () => {
      if (this.failed) throw this.failed;
      return { file: await this.handle.getFile() };
    });
    this.done.catch(() => {});
  }
  remove() {
    this.chain = this.chain.then(async () => {
      await this.writable?.abort();
      await this.dir?.removeEntry(this.name);
    }).catch(() => {});
    this.done = this.chain;
  }
}

/** Repairs the file; see the top of this file. */
export async function repair(source, options = {}, onEvent = () => {}) {
  if (!(source instanceof Blob)) throw new TypeError("repair: the source must be a Blob or a File");
  options.signal?.throwIfAborted();
  const { workerUrl, module } = await preload();
  options.signal?.throwIfAborted();
  const name = sourceName(source, options);
  const args = [...velmoraArguments(options), "--", name];
  const store = options.store || "bytes";
  const pool = { held: 0, limit: options.bytesKept ?? memoryLimits().bytesKept }; // the store "auto"'s bytes
  const directory = options.directory || null;
  const stopUrl = URL.createObjectURL(new Blob(["go"]));

  return new Promise((resolve, reject) => {
    const worker = new Worker(workerUrl);
    const log = [];
    const messages = [];
    const outputs = new Map(); // id -> OutputFile
    const closed = []; // closed and not yet announced, oldest first
    const announced = [];
    let unreadable = null;
    let stats = null;
    let finished = false;

    const emit = (event) => {
      try {
        onEvent(event);
      } catch (error) {
        console.error(error);
      }
    };
    const stop = () => URL.revokeObjectURL(stopUrl);
    const stopNow = () => finish(130, null, true);
    options.signal?.addEventListener("abort", stop, { once: true });
    options.stopNow?.addEventListener("abort", stopNow, { once: true });

    async function finish(exitStatus, memory, killed, crash) {
      if (finished) return;
      finished = true;
      worker.terminate();
      stop();
      options.signal?.removeEventListener("abort", stop);
      options.stopNow?.removeEventListener("abort", stopNow);
      if (exitStatus === 2) {
        reject(new Error(messages.join("\n") || "velmora did not accept the options"));
        return;
      }
      // Files left open by a stop at once are not whole: they are dropped.
      const kept = [...announced];
      for (const f of outputs.values()) {
        if (f.removed || kept.includes(f)) continue;
        if (!f.closed || killed || crash) {
          f.sink.remove();
          continue;
        }
        kept.push(f); // closed but never reported: velmora leaves it in the folder too
      }
      try {
        const files = [];
        for (const f of kept) files.push(await f.entry());
        // Files being removed from a folder are gone before the result.
        for (const f of outputs.values()) if (f.sink.done) await f.sink.done.catch(() => {});
        const folder = kept.length ? kept[0].path.split("/")[0] : defaultFolder(name);
        resolve({
          status: crash ? "crashed" : statuses[exitStatus] || `exit ${exitStatus}`,
          exitStatus: crash ? null : exitStatus,
          log,
          files,
          folder,
          messages,
          memory: { engineBytes: memory },
          unreadable,
          crash: crash || null,
          stats,
        });
      } catch (error) {
        reject(error);
      }
    }

    worker.onmessage = (event) => {
      const m = event.data;
      switch (m.type) {
        case "line": {
          log.push(m.text);
          emit({ type: "log", line: m.text });
          // "Written: <path>" follows the close of the file it names.
          if (m.text.startsWith("Written: ") && closed.length) {
            const f = closed.shift();
            announced.push(f);
            f.entry().then((file) => emit({ type: "file", file }));
          }
          break;
        }
        case "create":
          outputs.set(m.id, new OutputFile(m.path, store, directory, pool));
          break;
        case "write":
          outputs.get(m.id)?.write(m.position, m.bytes);
          break;
        case "truncate":
          outputs.get(m.id)?.truncate(m.size);
          break;
        case "close": {
          const f = outputs.get(m.id);
          if (f && !f.closed) {
            f.closed = true;
            closed.push(f);
          }
          break;
        }
        case "unlink": {
          const f = outputs.get(m.id);
          if (f) {
            f.removed = true;
            f.sink.remove();
            const at = closed.indexOf(f);
            if (at >= 0) closed.splice(at, 1);
          }
          break;
        }
        case "progress":
          emit({ type: "progress", percent: m.percent });
          break;
        case "message":
          messages.push(m.text);
          emit({ type: "message", text: m.text });
          break;
        case "stopping":
          emit({ type: "stopping" });
          break;
        case "unreadable":
          unreadable = m.reason;
          break;
        case "exit":
          stats = { ...m.stats, engineMs: m.engineMs };
          finish(m.status, m.memory, false);
          break;
        case "crash":
          messages.push(m.message);
          finish(null, m.memory || null, false, m.message);
          break;
      }
    };
    worker.onerror = (event) => {
      event.preventDefault();
      finish(null, null, false, event.message || "the worker failed");
    };
    const environment = options.memoryBudget ? { ZELT_MEMORY_BUDGET: String(Math.floor(options.memoryBudget)) } : {};
    worker.postMessage({ module, source, name, args, stopUrl, cacheBytes: cacheBytes(), environment });
  });
}

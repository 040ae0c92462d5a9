// The page and velmora.mjs in a real browser: Debian's Chromium driven by
// puppeteer-core, against a static server on the loopback interface and the
// velmora built beside the page.
//
//   VELMORA_SITE     the built page (build/web)
//   VELMORA_CLI      velmora (build/cli/velmora)
//   VELMORA_CORPUS   the corpus of real files (../shared/corpus); its test
//                    is skipped where it is absent
//   VELMORA_WORK     a folder for the files made on the way
//
// Exits 77 (skipped), saying why, where the page was not built or the
// browser cannot start.
import { test, after } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { serve } from "./lib/server.mjs";
import { launch } from "./lib/browser.mjs";
import { runVelmora, runVelmoraStopped, comparableLog, sha256 } from "./lib/native.mjs";
import { damages, writeLayered, writeDiskImage, flatWithOldPreview } from "./lib/psdgen.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const top = path.resolve(here, "../..");
const site = process.env.VELMORA_SITE || path.join(top, "build/web");
const velmora = process.env.VELMORA_CLI || path.join(top, "build/cli/velmora");
const corpus = process.env.VELMORA_CORPUS || path.join(top, "../shared/corpus");
const work = process.env.VELMORA_WORK || path.join(top, "build/tests/web/work");

function skip(why) {
  console.log(`skipped: ${why}`);
  process.exit(77);
}
if (!fs.existsSync(path.join(site, "index.html")))
  skip(`the web page is not built: ${process.env.VELMORA_WEB_REASON || `nothing at ${site}`}`);
if (!fs.existsSync(velmora)) skip(`velmora is not built (${velmora})`);
const { velmoraArguments } = await import(pathToFileURL(path.join(site, "velmora.mjs")).href);

fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(path.join(work, "sources"), { recursive: true });
const chromium = await launch();
if (chromium.skip) skip(chromium.skip);
const server = await serve(site, here);
const { browser } = chromium;
after(async () => {
  await chromium.close();
  await server.close();
  // The large files made on the way and velmora's folders go; the small
  // sources stay for a look after a failure.
  for (const f of fs.readdirSync(work)) if (f.startsWith("native-") || f.startsWith("downloads-")) fs.rmSync(path.join(work, f), { recursive: true, force: true });
  for (const f of fs.readdirSync(path.join(work, "sources")))
    if (fs.statSync(path.join(work, "sources", f)).size > 16 << 20) fs.rmSync(path.join(work, "sources", f), { force: true });
});

const helpers = fs.readFileSync(path.join(here, "lib/page-helpers.js"), "utf8");

// A page of the tests (harness.html: velmora.mjs as an embedding page uses
// it) or the page itself, with the engine loaded.
async function open(url, setup) {
  const page = await browser.newPage();
  page.on("pageerror", (e) => console.log(`page error: ${e.message}`));
  page.on("console", (m) => m.type() === "error" && console.log(`page console: ${m.text()}`));
  await page.evaluateOnNewDocument(helpers);
  if (setup) await setup(page);
  await page.goto(server.url + url);
  if (url.startsWith("/__test__/")) await page.waitForFunction(() => window.ready, { timeout: 60000 });
  else await page.waitForFunction(() => document.documentElement.dataset.ready === "true", { timeout: 60000 });
  return page;
}

async function upload(page, selector, files) {
  const input = await page.$(selector);
  await input.uploadFile(...files);
}

// A 4 x 4 baseline JPEG (a gradient, from ImageMagick).
function oldPreviewJpeg() {
  const hex =
    "ffd8ffe000104a46494600010100000100010000ffdb0043000d090a0b0a080d0b0a0b0e0e0d0f13201513121213271c" +
    "1e17202e2931302e292d2c333a4a3e333646372c2d405741464c4e525352323e5a615a50604a51524fffdb0043010e0e" +
    "0e131113261515264f352d354f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f4f" +
    "4f4f4f4f4f4f4f4f4f4f4f4f4f4fffc00011080004000403011100021101031101ffc400140001000000000000000000" +
    "00000000000006ffc40017100003010000000000000000000000000000031452ffc40015010101000000000000000000" +
    "00000000000406ffc40017110003010000000000000000000000000000041552ffda000c03010002110311003f001363" +
    "b458414b226d39a3ffd9";
  return Uint8Array.from(hex.match(/../g), (b) => parseInt(b, 16));
}

function source(name, bytes) {
  const file = path.join(work, "sources", name);
  fs.writeFileSync(file, bytes);
  return file;
}

// What the module gave against what velmora wrote; the differences, in words.
function differences(native, web) {
  const out = [];
  if (native.status !== web.exitStatus) out.push(`exit status ${web.exitStatus}, velmora's ${native.status}`);
  const a = comparableLog(native.log), b = comparableLog(web.log);
  if (a.join("\n") !== b.join("\n")) {
    const i = a.findIndex((l, k) => l !== b[k]);
    out.push(`log line ${i + 1}: "${b[i]}", velmora's "${a[i]}"`);
  }
  const mine = new Map(web.files.map((f) => [f.name, f]));
  for (const f of native.files) {
    const m = mine.get(f.name);
    if (!m) out.push(`${f.name} missing`);
    else if (m.sha256 !== f.sha256) out.push(`${f.name} differs (${m.size} bytes, velmora's ${f.size})`);
    mine.delete(f.name);
  }
  for (const name of mine.keys()) out.push(`${name} is not velmora's`);
  if (native.folder && web.files.length && web.folder !== native.folder) out.push(`folder ${web.folder}, velmora's ${native.folder}`);
  return out;
}

test("every file the module gives back is velmora's own for the same file and options, the corpus and its damaged copies", async (t) => {
  if (!fs.existsSync(path.join(corpus, "manifest.json"))) {
    t.skip(`no corpus at ${corpus}`);
    return;
  }
  const manifest = JSON.parse(fs.readFileSync(path.join(corpus, "manifest.json"), "utf8"));
  const cases = [];
  manifest.forEach((entry, k) => {
    const bytes = new Uint8Array(fs.readFileSync(path.join(corpus, entry.name)));
    for (const [damage, make] of Object.entries(damages)) {
      // A file at an odd offset in another is repaired as a disk image.
      const name = `${entry.name.replace(/\.psd$/, "")}-${damage}${damage === "odd-offset" ? ".img" : ".psd"}`;
      const file = source(name, make(bytes));
      cases.push({ file, options: {} });
      if (damage === "header-zeroed") {
        const known = { channels: entry.channels, width: entry.width, height: entry.height, depth: entry.depth, mode: entry.mode_num };
        cases.push({ file, options: known });
        cases.push({ file, options: { heuristic: false } });
      }
      if (damage === "intact" && k % 8 === 0) cases.push({ file, options: { rebuild: false, preview: false } });
    }
  });
  // A name that is not ASCII, with spaces, and one that starts like an option.
  const layeredEntry = manifest.find((e) => e.layer_records > 1);
  const layeredBytes = fs.readFileSync(path.join(corpus, layeredEntry.name));
  cases.push({ file: source("Фото – слои 1.psd", layeredBytes), options: {} });
  cases.push({ file: source("--no-rebuild.psd", layeredBytes), options: {} });
  // Old previews: one the JPEG decoder decodes, and one it refuses (a
  // precision of 12 bits; its error leaves the decoder by a long jump
  // through the engine's frames).
  const jpeg = oldPreviewJpeg(), refused = jpeg.slice();
  for (let i = 0; i + 4 < refused.length; ++i)
    if (refused[i] === 0xff && refused[i + 1] === 0xc0) refused[i + 4] = 12;
  cases.push({ file: source("preview-decoded.psd", flatWithOldPreview(jpeg)), options: {} });
  cases.push({ file: source("preview-refused.psd", flatWithOldPreview(refused)), options: {} });
  // The page's store: files kept as bytes up to a limit, as Blobs past it
  // (a file that passes it midway goes on as a Blob).
  cases.push({ file: source("kept-then-blobs.psd", layeredBytes), options: { store: "auto", bytesKept: 200000 }, kinds: "blob bytes" });
  cases.push({ file: source("blobs.psd", layeredBytes), options: { store: "blob" }, kinds: "blob" });
  const page = await open("/__test__/harness.html");
  const files = [...new Set(cases.map((c) => c.file))];
  await upload(page, "#sources", files);
  const failures = [];
  let compared = 0;
  for (const c of cases) {
    const name = path.basename(c.file);
    const args = velmoraArguments(c.options);
    const native = runVelmora(velmora, c.file, name, args, work);
    const web = await page.evaluate((i, o) => window.runRepair(i, o), files.indexOf(c.file), c.options);
    const d = differences(native, web);
    const kinds = [...new Set(web.files.map((f) => f.kind))].sort().join(" ");
    if (c.kinds && kinds !== c.kinds) d.push(`files kept as ${kinds}, not ${c.kinds}`);
    if (d.length) failures.push(`${name} [${args.join(" ")}]: ${d.join("; ")}`);
    compared += native.files.length;
    fs.rmSync(native.dir, { recursive: true, force: true });
  }
  await page.close();
  t.diagnostic(`${cases.length} repairs of ${files.length} files, ${compared} recovered files compared`);
  assert.deepEqual(failures, [], `the module and velmora differ:\n${failures.join("\n")}`);
});

test("options velmora refuses are refused with velmora's words", async () => {
  const page = await open("/__test__/harness.html");
  const file = source("refused.psd", new Uint8Array(64));
  await upload(page, "#sources", [file]);
  for (const options of [{ width: 0 }, { mode: "sepia" }, { depth: 12 }]) {
    const message = await page.evaluate((o) => window.runRepair(0, o).then(() => "accepted", (e) => e.message), options);
    const flag = Object.keys(options)[0];
    assert.match(message, new RegExp(`--${flag}`), `${JSON.stringify(options)}: ${message}`);
  }
  await page.close();
});

// Large layered documents: one for the 1 GiB source, and one whose layers
// take long enough to read that a stop lands among them.
const layered = path.join(work, "sources", "layered-96.psd");
writeLayered(layered, 96 << 20);
const stoppable = path.join(work, "sources", "layered-256.psd");
writeLayered(stoppable, 256 << 20);

test("Stop ends a repair as Ctrl-C ends velmora, and only whole files are kept", async () => {
  const name = path.basename(stoppable);
  const whole = runVelmora(velmora, stoppable, name, [], work);
  const wholeFiles = new Map(whole.files.map((f) => [f.name, f.sha256]));
  const page = await open("/__test__/harness.html");
  await upload(page, "#sources", [stoppable]);
  const checkKept = (web, how) => {
    assert.equal(web.status, "stopped", how);
    assert.equal(web.exitStatus, 130, how);
    assert.ok(web.files.length >= 1 && web.files.length < whole.files.length, `${how}: ${web.files.length} files kept`);
    for (const f of web.files) assert.equal(f.sha256, wholeFiles.get(f.name), `${how}: ${f.name} is not whole`);
  };

  // Stopped after the first file: velmora's own ending of a stopped repair.
  const stopped = await page.evaluate(() => window.runRepair(0, {}, { stopAfterFiles: 1 }));
  checkKept(stopped, "a stop");
  const native = await runVelmoraStopped(velmora, stoppable, name, [], work, (out) => out.includes("Written: "));
  assert.equal(native.status, 130);
  const tail = (log) => comparableLog(log).slice(-4);
  assert.deepEqual(tail(stopped.log), tail(native.log));
  assert.equal(stopped.log.at(-1), "User aborts the repair process");

  // Stopped at once (a second Stop): the file being written is dropped.
  const atOnce = await page.evaluate(() => window.runRepair(0, {}, { stopNowAfterFiles: 2 }));
  checkKept(atOnce, "a stop at once");

  // Into a folder: what is left there is what was kept, whole.
  const folder = await page.evaluate(() => window.runRepair(0, { directory: "opfs" }, { stopAfterFiles: 2 }));
  checkKept(folder, "a stop into a folder");
  const left = await page.evaluate(() => window.folderDigests("opfs"));
  assert.deepEqual(left.map((f) => f.name).sort(), folder.files.map((f) => f.name).sort());
  for (const f of left) assert.equal(f.sha256, wholeFiles.get(f.name), `${f.name} in the folder is not whole`);
  await page.close();
});

// The page's own answers: its words for what came back, its marks, its
// options, a file downloaded.
test("the page tells what came back, marks layers not read whole, passes its options as velmora's and hands over velmora's files", async () => {
  const outcomeOf = async (page, file) => {
    await upload(page, "#file", [file]);
    await page.click("#start");
    await page.waitForFunction(() => !document.getElementById("outcome").hidden && document.getElementById("stop").disabled, { timeout: 120000 });
    return page.$eval("#outcome", (e) => e.textContent);
  };
  const page = await open("/");

  // Nothing recoverable.
  const noise = new Uint8Array(2 << 20);
  for (let i = 0; i < noise.length; ++i) noise[i] = (i * 2654435761) >>> 24;
  assert.match(await outcomeOf(page, source("noise.bin", noise)), /^Nothing could be recovered from noise\.bin/);

  // A cut document: the rebuilt document first, the layers cut short marked,
  // one for each line of the log that says rows were filled with white.
  const full = path.join(work, "sources", "eight-layers.psd");
  writeLayered(full, 24 << 20);
  const cut = source("eight-layers-cut.psd", damages.cut(new Uint8Array(fs.readFileSync(full))));
  assert.match(await outcomeOf(page, cut), /files recovered from eight-layers-cut\.psd\. .*A red corner marks a layer/);
  const names = await page.$$eval("#files li a", (as) => as.map((a) => a.textContent));
  assert.match(names[0], /_rebuilt\.psd$/);
  // Every file gets its thumbnail, the rebuilt document (run-length where
  // velmora compresses it) too.
  await page.waitForFunction(() => [...document.querySelectorAll("#files li")].every((li) => / pixels$/m.test(li.innerText)), { timeout: 30000 });
  const marked = await page.$$eval("#files li", (lis) => lis.filter((li) => li.title.startsWith("Not read whole")).map((li) => li.querySelector("a").textContent));
  const native = runVelmora(velmora, cut, "eight-layers-cut.psd", [], work);
  const cutLayers = native.log.map((l) => /^Layer (\d+) .*: \d+ of \d+ rows read; (\d+) filled with white(?:; (\d+) damaged)?\.$/.exec(l))
    .filter((m) => m && (m[2] !== "0" || (m[3] || "0") !== "0")).map((m) => `Layer${m[1]}.psd`)
    .filter((name) => native.files.some((f) => f.name === name)); // a layer with no pixels left has no file to mark
  assert.ok(cutLayers.length > 0);
  assert.deepEqual(marked.sort(), cutLayers.sort());

  // A file downloaded from the grid is velmora's.
  const downloads = fs.mkdtempSync(path.join(work, "downloads-"));
  const cdp = await page.createCDPSession();
  await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.click("#files li a");
  const wanted = path.join(downloads, names[0]);
  for (let i = 0; i < 100 && !fs.existsSync(wanted); ++i) await new Promise((r) => setTimeout(r, 100));
  assert.equal(sha256(wanted), native.files.find((f) => f.name === names[0]).sha256);
  await cdp.detach();

  // Stop, clicked once the first file is in the grid: the files shown are
  // whole, and the page says what the stop kept.
  const stopFiles = new Map(runVelmora(velmora, stoppable, path.basename(stoppable), [], work).files.map((f) => [f.name, f.sha256]));
  await upload(page, "#file", [stoppable]);
  await page.click("#start");
  await page.waitForSelector("#files li");
  await page.click("#stop");
  await page.waitForFunction(() => document.getElementById("stop").disabled, { timeout: 120000 });
  assert.match(await page.$eval("#outcome", (e) => e.textContent), /^Stopped\. The \d+ files recovered before the stop are below/);
  const keptAfterStop = await page.evaluate(async () => {
    const out = [];
    for (const a of document.querySelectorAll("#files li a")) out.push(a.textContent);
    return out;
  });
  assert.ok(keptAfterStop.length >= 1 && keptAfterStop.length < stopFiles.size);
  for (const name of keptAfterStop) assert.ok(stopFiles.has(name), name);

  // The options typed in are velmora's options: the same log as velmora's
  // with the same command line.
  const lost = source("lost-header.psd", damages["header-zeroed"](new Uint8Array(fs.readFileSync(full))));
  await page.evaluate(() => {
    document.getElementById("options").open = true;
  });
  const typed = { channels: "4", width: "2048", height: "91", depth: "8", mode: "rgb" };
  for (const [id, value] of Object.entries(typed)) {
    if (id === "depth" || id === "mode") await page.select(`#${id}`, value);
    else await page.type(`#${id}`, value);
  }
  await page.click("#rebuild");
  await outcomeOf(page, lost);
  const shown = (await page.$eval("#log", (e) => e.textContent)).split("\n").filter((l) => l !== "");
  const args = velmoraArguments({ ...typed, rebuild: false });
  assert.deepEqual(args, ["--no-rebuild", "--channels", "4", "--height", "91", "--width", "2048", "--depth", "8", "--mode", "rgb"]);
  const typedNative = runVelmora(velmora, lost, "lost-header.psd", args, work);
  assert.deepEqual(comparableLog(shown), comparableLog(typedNative.log));
  await page.close();

  // Too little memory for the layers: the page says so, and how much it can
  // take; the files are velmora's with the same budget.
  const small = await open("/?budget=262144");
  const oneLayer = path.join(work, "sources", "one-layer.psd");
  writeLayered(oneLayer, 8 << 20, { layers: 1 });
  assert.match(await outcomeOf(small, oneLayer), /^one-layer\.psd needs more memory than this browser gives the page\. .* a layer or picture of up to 262 KB\./);
  await small.close();
  const harness = await open("/__test__/harness.html");
  await upload(harness, "#sources", [oneLayer]);
  const web = await harness.evaluate(() => window.runRepair(0, { memoryBudget: 262144 }));
  const budgeted = runVelmora(velmora, oneLayer, "one-layer.psd", [], work, { ZELT_MEMORY_BUDGET: "262144" });
  assert.deepEqual(differences(budgeted, web), []);
  await harness.close();

  // A browser whose WebAssembly lacks what the engine uses says so.
  const older = await browser.newPage();
  await older.evaluateOnNewDocument(() => {
    const refuse = () => Promise.reject(new WebAssembly.CompileError("invalid opcode"));
    WebAssembly.compile = refuse;
    WebAssembly.compileStreaming = refuse;
  });
  await older.goto(server.url + "/");
  await older.waitForFunction(() => document.documentElement.dataset.ready === "failed", { timeout: 60000 });
  assert.match(await older.$eval("#status", (e) => e.textContent), /could not be loaded: this browser cannot run it .*Safari 16\.4 or later\): invalid opcode/);
  await older.close();
});

test("a source of 1 GiB is repaired in the page, which paints throughout, with the worker's memory bounded; no request after load", async (t) => {
  const docs = [new Uint8Array(fs.readFileSync(layered))];
  if (fs.existsSync(corpus))
    for (const f of fs.readdirSync(corpus).filter((f) => f.endsWith(".psd")).slice(0, 12))
      docs.push(new Uint8Array(fs.readFileSync(path.join(corpus, f))));
  const image = path.join(work, "sources", "card-1g.img");
  writeDiskImage(image, 1 << 30, docs);
  const native = runVelmora(velmora, image, "card-1g.img", [], work);
  fs.rmSync(native.dir, { recursive: true, force: true });

  // Every request from the page and its workers, once it has loaded.
  let loaded = false;
  const requests = [];
  const page = await open("/", async (p) => {
    p.on("request", (r) => loaded && requests.push(r.url()));
    p.on("workercreated", async (w) => {
      const session = w.client;
      session.on("Network.requestWillBeSent", (e) => requests.push(e.request.url));
      await session.send("Network.enable").catch(() => {});
    });
    // The folder the page is told to save into: the origin's private one.
    await p.evaluateOnNewDocument(() => {
      window.showDirectoryPicker = async () => {
        const root = await navigator.storage.getDirectory();
        return root.getDirectoryHandle("picked", { create: true });
      };
      window.showSaveFilePicker = async ({ suggestedName }) => (await navigator.storage.getDirectory()).getFileHandle(suggestedName, { create: true });
    });
  });
  loaded = true;
  const servedAtLoad = server.served.length;
  await upload(page, "#file", [image]);
  // Frames and the longest gap between two while the repair runs.
  await page.evaluate(() => {
    window.frames = { count: 0, longest: 0, last: performance.now(), on: true };
    const tick = (now) => {
      const f = window.frames;
      f.longest = Math.max(f.longest, now - f.last);
      f.last = now;
      f.count++;
      if (f.on) requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
  });
  const cdp = await page.createCDPSession();
  let peakWorkerHeap = 0;
  const workers = () => page.workers();
  const sampler = setInterval(async () => {
    for (const w of workers()) {
      const heap = await w.client.send("Runtime.getHeapUsage").catch(() => null);
      // The JavaScript heap and the buffers behind it: the slices of the
      // file kept, the pieces being sent, the engine's own memory.
      if (heap) peakWorkerHeap = Math.max(peakWorkerHeap, heap.usedSize + (heap.embedderHeapUsedSize || 0) + (heap.backingStorageSize || 0));
    }
  }, 100);
  const started = Date.now();
  await page.click("#start");
  await page.waitForFunction(() => !document.getElementById("outcome").hidden && document.getElementById("stop").disabled, { timeout: 600000, polling: 200 });
  clearInterval(sampler);
  const seconds = (Date.now() - started) / 1000;
  const frames = await page.evaluate(() => {
    window.frames.on = false;
    return window.frames;
  });
  const outcome = await page.$eval("#outcome", (e) => e.textContent);
  const shown = await page.$$eval("#files li a", (as) => as.map((a) => a.textContent));
  const engineBytes = Number(await page.$eval("#results", (e) => e.dataset.engineBytes || 0));
  assert.match(outcome, /files recovered from card-1g\.img/);
  assert.deepEqual([...shown].sort(), native.files.map((f) => f.name).sort());
  const fps = frames.count / seconds;
  t.diagnostic(`1 GiB in ${seconds.toFixed(1)} s: ${frames.count} frames (${fps.toFixed(0)} a second), the longest gap ${frames.longest.toFixed(0)} ms; ` +
    `the worker's peak memory: ${(peakWorkerHeap / 1048576).toFixed(0)} MiB, of which the engine's ${(engineBytes / 1048576).toFixed(0)} MiB`);
  assert.ok(frames.longest < 1000, `the page stopped painting for ${frames.longest} ms`);
  assert.ok(fps >= 10, `${fps} frames a second`);
  // Bounded: the slices of the file kept (a file larger than the cache
  // keeps 128 MiB of them), the engine's own memory, the pieces on their way.
  assert.ok(peakWorkerHeap > 0 && peakWorkerHeap < 400 << 20, `the worker used ${peakWorkerHeap} bytes`);

  // The .zip and the files saved into a folder are velmora's files.
  await page.click("#zip");
  await page.waitForFunction(async () => {
    const root = await navigator.storage.getDirectory();
    for await (const [name] of root.entries()) if (name.endsWith(".zip")) return (await (await root.getFileHandle(name)).getFile()).size > 0;
    return false;
  }, { timeout: 120000, polling: 500 });
  await page.click("#save-all");
  await page.waitForFunction(() => /recovered files are in/.test(document.getElementById("outcome").textContent), { timeout: 120000 });
  const saved = await page.evaluate(() => window.folderDigests("picked"));
  assert.deepEqual(saved.map((f) => [f.name, f.sha256]).sort(), native.files.map((f) => [f.name, f.sha256]).sort());
  const zipped = await page.evaluate(() => window.zipDigests());
  assert.deepEqual(zipped.map((f) => [f.name, f.sha256]).sort(), native.files.map((f) => [`card-1g_recovered/${f.name}`, f.sha256]).sort());

  const leaving = requests.filter((u) => !/^(blob|data):/.test(u));
  assert.deepEqual(leaving, [], "requests after load");
  assert.deepEqual(server.served.slice(servedAtLoad), [], "requests the server had after load");
  await cdp.detach();
  await page.close();
  fs.rmSync(image, { force: true });
});

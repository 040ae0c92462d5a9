// The web page's repair against velmora's, on the same file, in one run.
//
//   node bench/web_bench.mjs [BUILD_DIR] [MiB]     (build, 256)
//
// Makes a layered document of MiB MiB (eight RGBA layers, odd ones
// run-length, and the merged image, as bench/LayeredBench.cpp does), and a
// copy whose header a crash overwrote; repairs each with velmora (its files
// written beside the source, as by default) and in Chromium through
// velmora.mjs as the page calls it (its files kept as the page keeps them:
// as bytes up to memoryLimits().bytesKept, as Blobs past it; STORE=blob or
// STORE=bytes keeps them all one way), five times each, turn about, and prints the best
// times and their ratio: velmora's
// time over the page's, the page's speed as a share of velmora's (the
// target: 0.5 or more). Needs the page built (BUILD_DIR/web) and the
// browser tests' packages (tests/web/node_modules).
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { spawnSync } from "node:child_process";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const top = path.resolve(here, "..");
const lib = path.join(top, "tests/web/lib");
const { serve } = await import(path.join(lib, "server.mjs"));
const { launch } = await import(path.join(lib, "browser.mjs"));
const { writeLayered, damages } = await import(path.join(lib, "psdgen.mjs"));

const build = path.resolve(process.argv[2] || path.join(top, "build"));
const mib = Number(process.argv[3] || 256);
const site = path.join(build, "web");
const velmora = path.join(build, "cli/velmora");
for (const need of [path.join(site, "index.html"), velmora])
  if (!fs.existsSync(need)) {
    console.error(`web_bench: ${need} is missing: build the project (with Emscripten installed) first`);
    process.exit(2);
  }

const dir = fs.mkdtempSync(path.join(os.tmpdir(), "velmora-web-bench-"));
const intact = path.join(dir, "layered.psd");
const size = writeLayered(intact, mib << 20);
const lost = path.join(dir, "layered-header-lost.psd");
fs.writeFileSync(lost, damages["header-zeroed"](new Uint8Array(fs.readFileSync(intact))));

const chromium = await launch();
if (chromium.skip) {
  console.error(`web_bench: ${chromium.skip}`);
  process.exit(2);
}
const server = await serve(site, path.join(top, "tests/web"));
const page = await chromium.browser.newPage();
await page.goto(`${server.url}/__test__/harness.html`);
await page.waitForFunction(() => window.ready, { timeout: 60000 });
await (await page.$("#sources")).uploadFile(intact, lost);

function native(file) {
  const out = path.join(dir, "out");
  fs.rmSync(out, { recursive: true, force: true });
  const started = process.hrtime.bigint();
  const run = spawnSync(velmora, ["-q", "-o", out, file], { stdio: "ignore" });
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  if (run.status !== 0) throw new Error(`velmora ended with ${run.status}`);
  fs.rmSync(out, { recursive: true, force: true });
  return seconds;
}

const runs = 5;
console.log(`${(size / 1048576).toFixed(0)} MiB layered document; ${os.cpus().length} cores, load ${os.loadavg()[0].toFixed(1)}; the best of ${runs} runs each\n`);
console.log(`${"file".padEnd(26)} ${"velmora".padStart(9)} ${"page".padStart(9)} ${"ratio".padStart(7)}   page: file read (MB/s), engine, worker memory`);
const ratios = [];
for (const [index, file] of [intact, lost].entries()) {
  let best = { native: Infinity, page: Infinity, result: null };
  for (let run = 0; run < runs; ++run) {
    best.native = Math.min(best.native, native(file));
    const r = await page.evaluate((i, s) => window.runRepair(i, { store: s }, { noDigest: true }), index, process.env.STORE || "auto");
    if (r.exitStatus !== 0) throw new Error(`the page's repair ended with ${r.status}`);
    if (r.seconds < best.page) best = { ...best, page: r.seconds, result: r };
  }
  const s = best.result.stats;
  const ratio = best.native / best.page;
  ratios.push(ratio);
  console.log(`${path.basename(file).padEnd(26)} ${best.native.toFixed(2).padStart(8)}s ${best.page.toFixed(2).padStart(8)}s ${ratio.toFixed(2).padStart(7)}` +
    `   ${(s.readBytes / 1048576).toFixed(0)} MiB in ${(s.readMs / 1000).toFixed(2)} s (${(s.readBytes / 1e3 / s.readMs).toFixed(0)}),` +
    ` ${(s.writeBytes / 1048576).toFixed(0)} MiB written in ${(s.writeMs / 1000).toFixed(2)} s,` +
    ` ${(s.engineMs / 1000).toFixed(2)} s, ${(best.result.memory.engineBytes / 1048576).toFixed(0)} MiB engine`);
}
console.log(`\nratio (velmora's time over the page's; target 0.5 or more): ${ratios.map((r) => r.toFixed(2)).join(", ")}`);

await page.close();
await chromium.close();
await server.close();
fs.rmSync(dir, { recursive: true, force: true });

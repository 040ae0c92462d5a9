// The README's picture of the page, taken again after a real repair of the
// damaged sample (scripts/make-sample), in Chromium:
//
//   node tests/web/screenshot.mjs [BUILD_DIR]    -> docs/screenshots/web-page.png
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { serve } from "./lib/server.mjs";
import { launch } from "./lib/browser.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const top = path.resolve(here, "../..");
const build = path.resolve(process.argv[2] || path.join(top, "build"));
const sample = execFileSync(path.join(top, "scripts/make-sample"), [path.join(build, "sample")]).toString().trim();
const chromium = await launch();
if (chromium.skip) throw new Error(chromium.skip);
const server = await serve(path.join(build, "web"), here);
const page = await chromium.browser.newPage();
await page.setViewport({ width: 1000, height: 1200, deviceScaleFactor: 1 });
await page.goto(`${server.url}/`);
await page.waitForFunction(() => document.documentElement.dataset.ready === "true", { timeout: 60000 });
await (await page.$("#file")).uploadFile(sample);
await page.click("#start");
await page.waitForFunction(() => !document.getElementById("outcome").hidden && document.getElementById("stop").disabled, { timeout: 60000 });
// The thumbnails drawn, the log open at its end.
await page.waitForFunction(() => [...document.querySelectorAll("#files li")].every((li) => /pixels/.test(li.textContent)));
await page.evaluate(() => {
  document.getElementById("log-box").open = true;
  const pre = document.getElementById("log");
  pre.scrollTop = pre.scrollHeight;
});
const out = path.join(top, "docs/screenshots/web-page.png");
fs.mkdirSync(path.dirname(out), { recursive: true });
await page.screenshot({ path: out, fullPage: true });
await chromium.close();
await server.close();
console.log(out);

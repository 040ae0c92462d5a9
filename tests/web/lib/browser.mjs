// Debian's Chromium, driven by puppeteer-core: nothing is downloaded, and a
// browser that cannot start makes the tests skip, saying why.
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

export const chromiumPath = process.env.VELMORA_CHROMIUM || "/usr/bin/chromium";

export async function launch() {
  let puppeteer;
  try {
    puppeteer = (await import("puppeteer-core")).default;
  } catch (error) {
    return { skip: `puppeteer-core is not installed (tests/web/node_modules; scripts/install-deps installs it): ${error.message}` };
  }
  if (!fs.existsSync(chromiumPath)) return { skip: `no browser at ${chromiumPath} (Debian's chromium; scripts/install-deps installs it)` };
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "velmora-chromium-"));
  try {
    const browser = await puppeteer.launch({
      executablePath: chromiumPath,
      headless: true,
      protocolTimeout: 600000,
      args: [
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-dev-shm-usage",
        `--user-data-dir=${profile}`,
        ...(process.env.VELMORA_CHROMIUM_ARGS ? process.env.VELMORA_CHROMIUM_ARGS.split(" ") : []),
      ],
    });
    const close = async () => {
      await browser.close().catch(() => {});
      fs.rmSync(profile, { recursive: true, force: true });
    };
    return { browser, close };
  } catch (error) {
    fs.rmSync(profile, { recursive: true, force: true });
    return { skip: `the browser at ${chromiumPath} could not start: ${error.message.split("\n")[0]}` };
  }
}

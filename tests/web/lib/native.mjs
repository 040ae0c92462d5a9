// velmora itself, run as a user runs it: in the folder of the file, given
// its name, with the command line the page builds (velmoraArguments).
import { spawn, spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";

export function sha256(file) {
  return crypto.createHash("sha256").update(fs.readFileSync(file)).digest("hex");
}

// The log's lines with the one that differs from run to run left out.
export function comparableLog(lines) {
  return lines.filter((l) => !l.startsWith("Consumed time: "));
}

function collect(dir, name, stdout, status) {
  const files = [];
  const folder = fs.readdirSync(dir).find((f) => f !== name && fs.statSync(path.join(dir, f)).isDirectory());
  if (folder)
    for (const f of fs.readdirSync(path.join(dir, folder)).sort())
      files.push({ name: f, size: fs.statSync(path.join(dir, folder, f)).size, sha256: sha256(path.join(dir, folder, f)) });
  const log = stdout.toString("utf8").split("\n");
  if (log.at(-1) === "") log.pop();
  return { status, log, files, folder: folder || null, dir };
}

/** Repairs `source` (a path) as velmora: a copy named `name` in a folder of
 * its own under `workDir`. */
export function runVelmora(velmora, source, name, args, workDir, env = {}) {
  const dir = fs.mkdtempSync(path.join(workDir, "native-"));
  fs.copyFileSync(source, path.join(dir, name));
  const run = spawnSync(velmora, [...args, "--", name], {
    cwd: dir,
    env: { ...process.env, LC_ALL: "C", ...env },
    maxBuffer: 256 << 20,
  });
  return collect(dir, name, run.stdout, run.status);
}

/** velmora stopped with Ctrl-C once `lines` lines of its log have come. */
export function runVelmoraStopped(velmora, source, name, args, workDir, shouldStop) {
  const dir = fs.mkdtempSync(path.join(workDir, "native-"));
  fs.copyFileSync(source, path.join(dir, name));
  return new Promise((resolve) => {
    const child = spawn(velmora, [...args, "--", name], { cwd: dir, env: { ...process.env, LC_ALL: "C" } });
    const out = [];
    let sent = false;
    child.stdout.on("data", (b) => {
      out.push(b);
      if (!sent && shouldStop(Buffer.concat(out).toString("utf8"))) {
        sent = true;
        child.kill("SIGINT");
      }
    });
    child.on("close", (status) => resolve(collect(dir, name, Buffer.concat(out), status)));
  });
}

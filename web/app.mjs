// The page: pick or drop a file, repair it with velmora.mjs, show the log
// and the recovered files, and hand them over one by one, as one .zip, or
// straight into a folder.
import { repair, preload, memoryLimits } from "./velmora.mjs";
import { renderThumbnail, rebuiltFile, layerFile, layerNotReadWhole } from "./thumbnails.mjs";
import { downloadZip } from "./client-zip.js";

const $ = (id) => document.getElementById(id);
const canPickFolders = typeof window.showDirectoryPicker === "function";
const canSaveAs = typeof window.showSaveFilePicker === "function";
const kThumb = 128;

let source = null; // the picked File
let directory = null; // the folder picked to save into
let running = null; // { stop, stopNow, stopping }
let result = null;
// ?budget=BYTES: the engine's memory budget, to see how the page does on a
// machine with little memory.
const budget = Number(new URLSearchParams(location.search).get("budget")) || undefined;

function formatBytes(n) {
  if (n < 1024) return `${n} bytes`;
  const units = ["KB", "MB", "GB", "TB"];
  let v = n / 1000, u = 0;
  while (v >= 1000 && u < units.length - 1) {
    v /= 1000;
    ++u;
  }
  return `${v.toFixed(v < 10 ? 1 : 0)} ${units[u]}`;
}

function outcome(text, kind) {
  const box = $("outcome");
  box.hidden = !text;
  box.className = `outcome ${kind || ""}`;
  box.textContent = text || "";
}

// ---- picking the file

function pick(file) {
  if (!file || running) return;
  source = file;
  const picked = $("picked");
  picked.hidden = false;
  picked.textContent = `${file.name} (${formatBytes(file.size)})`;
  $("start").disabled = !ready;
  outcome(memoryWarning(file), "warn");
}

// A file whose recovered files may not fit in the page's memory: they are
// kept there until they are saved, unless they go straight into a folder.
function memoryWarning(file) {
  const holds = memoryLimits().keptFiles;
  if (directory || file.size <= holds) return "";
  const more = canPickFolders
    ? "Tick “Save straight into a folder” before you repair it: the recovered files then go to disk as they come."
    : "This browser cannot save straight into a folder: repair the file in Chrome or Edge, which can, or with velmora on a computer.";
  return `${file.name} is ${formatBytes(file.size)}. Its recovered files are kept in this browser's memory until you save them, ` +
    `and it may not hold more than about ${formatBytes(holds)}. ${more}`;
}

$("file").addEventListener("change", (e) => pick(e.target.files[0]));
const drop = $("pick");
drop.addEventListener("dragover", (e) => {
  e.preventDefault();
  drop.classList.add("over");
});
drop.addEventListener("dragleave", () => drop.classList.remove("over"));
drop.addEventListener("drop", (e) => {
  e.preventDefault();
  drop.classList.remove("over");
  pick(e.dataTransfer.files[0]);
});
// A file dropped beside the box is not opened by the browser instead.
window.addEventListener("dragover", (e) => e.preventDefault());
window.addEventListener("drop", (e) => e.preventDefault());

if (canPickFolders) {
  $("folder-choice").hidden = false;
  $("to-folder").addEventListener("change", async (e) => {
    if (!e.target.checked) {
      directory = null;
      $("folder-name").textContent = "";
    } else {
      try {
        directory = await window.showDirectoryPicker({ mode: "readwrite" });
        $("folder-name").textContent = `into ${directory.name}/`;
      } catch {
        e.target.checked = false;
        directory = null;
      }
    }
    if (source && !running) outcome(memoryWarning(source), "warn");
  });
}

// ---- the options

function options() {
  const o = {};
  for (const key of ["channels", "width", "height", "depth", "mode"]) {
    const v = $(key).value.trim();
    if (v !== "") o[key] = key === "mode" ? v : Number(v);
  }
  if (!$("heuristic").checked) o.heuristic = false;
  if (!$("rebuild").checked) o.rebuild = false;
  if (!$("preview").checked) o.preview = false;
  return o;
}

// ---- the log and the progress, drawn once a frame

const pendingLines = [];
let progress = null;
let drawScheduled = false;
function scheduleDraw() {
  if (drawScheduled) return;
  drawScheduled = true;
  requestAnimationFrame(() => {
    drawScheduled = false;
    if (pendingLines.length) {
      const pre = $("log");
      const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
      pre.append(pendingLines.join("\n") + "\n");
      pendingLines.length = 0;
      if (atEnd) pre.scrollTop = pre.scrollHeight;
    }
    if (progress) {
      $("progress").value = progress.percent;
      $("progress-text").textContent = progress.text;
    }
  });
}

function progressText(percent, started) {
  if (running?.stopping) return "Stopping after the current step…";
  const seconds = (performance.now() - started) / 1000;
  const done = (source.size * percent) / 100;
  const rate = seconds > 0 ? done / seconds : 0;
  let left = "";
  if (rate > 0 && percent < 100) {
    const s = Math.round((source.size - done) / rate);
    left = `, ${Math.floor(s / 60)}:${String(s % 60).padStart(2, "0")} left`;
  }
  return `${percent}%  ${(rate / 1e6).toFixed(1)} MB/s${left}`;
}

// ---- the recovered files

const items = new Map(); // path -> { li, canvas, entry, damaged, thumbnail }
let layerItems = new Map(); // layer number -> its latest item
let rebuiltCount = 0;
const thumbQueue = [];
let thumbRunning = false;

function dataOf(entry) {
  return entry.blob || entry.file || new Blob(entry.data ? [entry.data] : []);
}

function drawItem(item) {
  const ctx = item.canvas.getContext("2d");
  ctx.clearRect(0, 0, kThumb, kThumb);
  const t = item.thumbnail;
  if (t?.image) {
    const x = Math.floor((kThumb - t.image.width) / 2), y = Math.floor((kThumb - t.image.height) / 2);
    // A checkerboard shows through where a cut file has nothing.
    for (let cy = 0; cy < t.image.height; cy += 8)
      for (let cx = 0; cx < t.image.width; cx += 8) {
        ctx.fillStyle = ((cx + cy) / 8) % 2 ? "#ccc" : "#fff";
        ctx.fillRect(x + cx, y + cy, Math.min(8, t.image.width - cx), Math.min(8, t.image.height - cy));
      }
    const tile = new OffscreenCanvas(t.image.width, t.image.height);
    tile.getContext("2d").putImageData(t.image, 0, 0);
    ctx.drawImage(tile, x, y);
    ctx.strokeStyle = "#a0a0a0";
    ctx.strokeRect(x + 0.5, y + 0.5, t.image.width - 1, t.image.height - 1);
  }
  if (item.damaged) {
    ctx.fillStyle = "#d02020";
    ctx.beginPath();
    ctx.moveTo(kThumb - 44, 0);
    ctx.lineTo(kThumb, 0);
    ctx.lineTo(kThumb, 44);
    ctx.closePath();
    ctx.fill();
    ctx.fillStyle = "#fff";
    ctx.font = "bold 20px sans-serif";
    ctx.textAlign = "center";
    ctx.fillText("!", kThumb - 11, 20);
  }
}

async function runThumbnails() {
  if (thumbRunning) return;
  thumbRunning = true;
  while (thumbQueue.length) {
    const item = thumbQueue.shift();
    if (!item.li.isConnected) continue;
    item.thumbnail = await renderThumbnail(item.entry.data || dataOf(item.entry), kThumb);
    if (item.thumbnail.width) item.pixels.textContent = `${item.thumbnail.width} × ${item.thumbnail.height} pixels`;
    drawItem(item);
  }
  thumbRunning = false;
}

function addFile(entry) {
  const li = document.createElement("li");
  const canvas = document.createElement("canvas");
  canvas.width = canvas.height = kThumb;
  const link = document.createElement("a");
  link.href = "#";
  link.textContent = entry.name;
  link.title = `Download ${entry.name}`;
  link.addEventListener("click", (e) => {
    e.preventDefault();
    download(dataOf(entry), entry.name);
  });
  const pixels = document.createElement("div");
  pixels.className = "size";
  const size = document.createElement("div");
  size.className = "size";
  size.textContent = formatBytes(entry.size);
  li.append(canvas, link, pixels, size);
  const item = { li, canvas, entry, pixels, damaged: false, thumbnail: null };
  const list = $("files");
  // The rebuilt documents first, as in the window.
  if (rebuiltFile.test(entry.name)) list.insertBefore(li, list.children[rebuiltCount++] || null);
  else list.append(li);
  items.set(entry.path, item);
  const m = layerFile.exec(entry.name);
  if (m) layerItems.set(Number(m[1]), item);
  drawItem(item);
  $("results").hidden = false;
  thumbQueue.push(item);
  runThumbnails();
}

// A layer's line of the log marks its file when rows of it were filled with
// white or damaged.
function layerStatus(line) {
  const layer = layerNotReadWhole(line);
  if (layer === null) return;
  const item = layerItems.get(layer);
  if (!item) return;
  item.damaged = true;
  item.li.title = `Not read whole: ${line}`;
  drawItem(item);
}

function download(blob, name) {
  const url = URL.createObjectURL(blob);
  const a = document.createElement("a");
  a.href = url;
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

function zipEntries() {
  return result.files.map((f) => ({ name: `${result.folder}/${f.name}`, input: dataOf(f), lastModified: new Date() }));
}

$("zip").addEventListener("click", async () => {
  if (!result) return;
  const name = `${result.folder}.zip`;
  try {
    if (canSaveAs) {
      // Written as it is made: a large .zip never sits in memory whole.
      let handle;
      try {
        handle = await window.showSaveFilePicker({ suggestedName: name, types: [{ description: "Zip archive", accept: { "application/zip": [".zip"] } }] });
      } catch {
        return;
      }
      await downloadZip(zipEntries()).body.pipeTo(await handle.createWritable());
    } else {
      download(await downloadZip(zipEntries()).blob(), name);
    }
  } catch (error) {
    outcome(`The .zip could not be made: ${error.message}`, "bad");
  }
});

if (canPickFolders) {
  $("save-all").addEventListener("click", async () => {
    if (!result) return;
    let dir;
    try {
      dir = await window.showDirectoryPicker({ mode: "readwrite" });
    } catch {
      return;
    }
    try {
      const into = await dir.getDirectoryHandle(result.folder, { create: true });
      for (const f of result.files) {
        const w = await (await into.getFileHandle(f.name, { create: true })).createWritable();
        await w.write(dataOf(f));
        await w.close();
      }
      outcome(`The ${result.files.length} recovered files are in ${dir.name}/${result.folder}/.`, "good");
    } catch (error) {
      outcome(`The files could not be saved there: ${error.message}`, "bad");
    }
  });
}

// ---- the repair

function needsMoreMemory(r) {
  const said = r.log.some((l) => / Out of memory\.$|does not fit in the memory available/.test(l)) ||
    /memory/i.test(r.crash || "");
  return said;
}

function describe(r, name) {
  const n = r.files.length;
  const where = directory ? ` They are in ${directory.name}/${r.folder}/.` : " Download them one by one, or all as one .zip.";
  const damaged = r.log.some((l) => layerNotReadWhole(l) !== null)
    ? " A red corner marks a layer that was not read whole: what is missing of it is white." : "";
  if (needsMoreMemory(r)) {
    const limits = memoryLimits(budget);
    return [`${name} needs more memory than this browser gives the page. The repair had ${formatBytes(r.memory.engineBytes || 0)} ` +
      `when it ran out; here it can take at most ${formatBytes(limits.engine)} in all, and a layer or picture of up to ` +
      `${formatBytes(limits.picture)}. ${n ? `The ${n} files recovered are below. ` : ""}` +
      "Repair the file with velmora on a computer, which can use all of its memory.", "bad"];
  }
  if (r.unreadable)
    return [`${name} could no longer be read (${r.unreadable}): it was changed, moved or deleted while it was being repaired. ` +
      "Pick it again and repair it once more.", "bad"];
  const refused = r.files.filter((f) => f.error);
  if (refused.length)
    return [`${refused.length} of the ${n} recovered files could not be written into ${directory ? directory.name : "the folder"}: ` +
      `${refused[0].name}: ${refused[0].error}.`, "bad"];
  switch (r.status) {
    case "repaired":
      return [`${n} file${n === 1 ? "" : "s"} recovered from ${name}.${where}${damaged}`, "good"];
    case "nothing-recovered":
      if (n) return [`Only the embedded preview of ${name} could be recovered.${where}`, "warn"];
      return [`Nothing could be recovered from ${name}: no Photoshop header, layer section or picture data was found in it. ` +
        "If its header is lost and you know the picture's size, give it under “Options for a file whose header is lost” and repair it again.", "bad"];
    case "file-error":
      return [`${name} could not be read: ${r.log.find((l) => l.startsWith("Error ")) || r.messages.join(" ")}`, "bad"];
    case "cut-short":
      return [`An error ended the repair early: ${r.log.find((l) => l.startsWith("Error ")) || ""} The ${n} files recovered before it are below.`, "warn"];
    case "stopped":
      return [`Stopped. The ${n} files recovered before the stop are below; the one being written was left out.`, "warn"];
    default:
      return [`The repair ended with an error: ${r.crash || r.status}. The ${n} files recovered before it are below.`, "bad"];
  }
}

async function run() {
  if (!source || running) return;
  const stop = new AbortController(), stopNow = new AbortController();
  running = { stop, stopNow, stopping: false };
  result = null;
  items.clear();
  layerItems = new Map();
  rebuiltCount = 0;
  thumbQueue.length = 0;
  $("files").replaceChildren();
  $("results").hidden = true;
  $("log").textContent = "";
  outcome("");
  $("start").disabled = true;
  $("stop").disabled = false;
  $("stop").textContent = "Stop";
  $("file").disabled = true;
  $("progress-box").hidden = false;
  progress = { percent: 0, text: "Starting…" };
  scheduleDraw();
  const started = performance.now();
  const name = source.name;
  try {
    const r = await repair(source, { ...options(), signal: stop.signal, stopNow: stopNow.signal, store: "auto", directory, memoryBudget: budget }, (e) => {
      if (e.type === "progress") {
        progress = { percent: e.percent, text: progressText(e.percent, started) };
        scheduleDraw();
      } else if (e.type === "log") {
        pendingLines.push(e.line);
        layerStatus(e.line);
        scheduleDraw();
      } else if (e.type === "message") {
        pendingLines.push(e.text);
        scheduleDraw();
      } else if (e.type === "file") {
        addFile(e.file);
      } else if (e.type === "stopping") {
        running.stopping = true;
        progress = { percent: progress.percent, text: progressText(progress.percent, started) };
        scheduleDraw();
      }
    });
    result = r;
    $("results").dataset.engineBytes = String(r.memory.engineBytes || 0);
    // Files that came without their "Written:" line (left by an error) are shown too.
    for (const f of r.files) if (!items.has(f.path)) addFile(f);
    const [text, kind] = describe(r, name);
    outcome(text, kind);
    progress = { percent: r.status === "stopped" ? progress.percent : 100, text: r.status === "stopped" ? "Stopped" : "Done" };
    $("save-all").hidden = !canPickFolders || directory !== null || r.files.length === 0;
    $("zip").disabled = r.files.length === 0;
  } catch (error) {
    outcome(error.name === "AbortError" ? "Stopped before the repair began." : `The repair could not start: ${error.message}`, "bad");
    progress = { percent: 0, text: "" };
  } finally {
    scheduleDraw();
    running = null;
    $("start").disabled = false;
    $("stop").disabled = true;
    $("file").disabled = false;
  }
}

$("start").addEventListener("click", run);
$("stop").addEventListener("click", () => {
  if (!running) return;
  if (!running.stop.signal.aborted) {
    running.stop.abort();
    // A second click ends it at once, as a second Ctrl-C ends velmora.
    $("stop").textContent = "Stop now";
  } else {
    running.stopNow.abort();
  }
});

// ---- loading: everything the page needs is fetched now, none of it later

let ready = false;
preload().then(
  () => {
    ready = true;
    $("start").disabled = !source;
    $("status").textContent = "Ready. Everything the page needs has loaded: from here on it works without a network.";
    document.documentElement.dataset.ready = "true";
  },
  (error) => {
    $("status").textContent = `The repair engine could not be loaded: ${error.message}`;
    document.documentElement.dataset.ready = "failed";
  });

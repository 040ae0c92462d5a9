// A static server on the loopback interface for the browser tests: the built
// page at /, and the tests' own pages at /__test__/.
import http from "node:http";
import fs from "node:fs";
import path from "node:path";

const types = {
  ".html": "text/html; charset=utf-8",
  ".mjs": "text/javascript",
  ".js": "text/javascript",
  ".wasm": "application/wasm",
  ".css": "text/css",
  ".svg": "image/svg+xml",
  ".png": "image/png",
  ".json": "application/json",
};

export function serve(siteDir, testDir) {
  const served = [];
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, "http://localhost");
    served.push(url.pathname);
    let file;
    if (url.pathname.startsWith("/__test__/")) file = path.join(testDir, url.pathname.slice("/__test__/".length));
    else file = path.join(siteDir, url.pathname === "/" ? "index.html" : url.pathname);
    const root = url.pathname.startsWith("/__test__/") ? testDir : siteDir;
    if (!path.resolve(file).startsWith(path.resolve(root)) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404);
      response.end();
      return;
    }
    response.writeHead(200, { "content-type": types[path.extname(file)] || "application/octet-stream", "cache-control": "no-store" });
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => {
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      resolve({ url: `http://127.0.0.1:${port}`, served, close: () => new Promise((r) => server.close(r)) });
    });
  });
}

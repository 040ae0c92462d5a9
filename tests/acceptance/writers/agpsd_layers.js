// Writes a layered 8-bit RGB file with ag-psd (an independent writer) for the
// acceptance tests: transparency, layer masks (one lying partly outside its
// layer), a noisy layer, a group with a hidden layer, blend modes, opacity and
// clipping.
//   node agpsd_layers.js OUT.psd [zip]
// With "zip" every channel is ZIP-compressed, else run-length.
const { writePsdBuffer } = require('ag-psd');
const fs = require('fs');

function image(w, h, colour) {
  const data = new Uint8ClampedArray(w * h * 4);
  for (let y = 0; y < h; y++)
    for (let x = 0; x < w; x++) data.set(colour(x, y), (y * w + x) * 4);
  return { width: w, height: h, data };
}

// Pixels that no compression shrinks much, so that the channels span disk sectors.
function noise(x, y) {
  let h = Math.imul(x * 7919 + y * 104729 + 1, 2654435761) >>> 0;
  h ^= h >>> 13;
  h = Math.imul(h, 1274126177) >>> 0;
  return [h & 255, (h >>> 8) & 255, (h >>> 16) & 255, 128 + ((h >>> 24) & 127)];
}

const psd = {
  width: 60, height: 44,
  imageData: image(60, 44, (x, y) => [x * 4, y * 5, 90, 255]),
  children: [
    { name: 'sky', top: 2, left: 3, opacity: 0.7, imageData: image(24, 12, (x, y) => [x * 10, 7, y * 20, 100 + x]) },
    { name: 'hill', top: 10, left: 12, blendMode: 'multiply', imageData: image(33, 27, (x, y) => [200, x * 7, y * 9, 255]),
      mask: { top: 4, left: 20, bottom: 30, right: 50, defaultColor: 255,
              imageData: image(30, 26, (x, y) => [(x * 8 + y) & 255, 0, 0, 255]) } },
    { name: 'noise', top: 5, left: 8, imageData: image(48, 32, (x, y) => noise(x, y)) },
    { name: 'trees', opened: true, children: [
      { name: 'dot', top: 30, left: 40, imageData: image(9, 9, (x, y) => [(x * y) & 255, 255 - x, y, 255]) },
      { name: 'shade', top: 31, left: 41, clipping: true, blendMode: 'screen', imageData: image(7, 5, (x, y) => [x * 30, y * 40, 99, 128]) },
      { name: 'ghost', top: 0, left: 0, hidden: true, imageData: image(60, 3, (x) => [x, x, x, 255]) },
    ] },
  ],
};
fs.writeFileSync(process.argv[2], writePsdBuffer(psd, { compress: process.argv[3] === 'zip' }));

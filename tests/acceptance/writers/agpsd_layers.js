// Writes a layered 8-bit RGB file with transparency and a layer mask, with
// ag-psd (an independent writer), for the acceptance tests.
//   node agpsd_layers.js OUT.psd
const { writePsdBuffer } = require('ag-psd');
const fs = require('fs');

function image(w, h, colour) {
  const data = new Uint8ClampedArray(w * h * 4);
  for (let y = 0; y < h; y++)
    for (let x = 0; x < w; x++) data.set(colour(x, y), (y * w + x) * 4);
  return { width: w, height: h, data };
}

const psd = {
  width: 60, height: 44,
  imageData: image(60, 44, (x, y) => [x * 4, y * 5, 90, 255]),
  children: [
    { name: 'sky', top: 2, left: 3, imageData: image(24, 12, (x, y) => [x * 10, 7, y * 20, 100 + x]) },
    { name: 'hill', top: 10, left: 12, imageData: image(33, 27, (x, y) => [200, x * 7, y * 9, 255]),
      mask: { top: 10, left: 12, bottom: 37, right: 45, imageData: image(33, 27, (x) => [x * 7, x * 7, x * 7, 255]) } },
    { name: 'dot', top: 30, left: 40, imageData: image(9, 9, (x, y) => [(x * y) & 255, 255 - x, y, 255]) },
  ],
};
fs.writeFileSync(process.argv[2], writePsdBuffer(psd));

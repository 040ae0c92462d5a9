// Writes a layered 8-bit RGB document with ag-psd (an independent writer)
// from a description the acceptance tests make: pictures (RGBA, base64) that
// ag-psd compresses itself, or layers given as ready channel bytes (raw,
// run-length or ZIP, base64), which it stores as given.
//   node agpsd_document.js PLAN.json OUT
// PLAN: {width, height, psb, compress, composite, thumbnail: {width, height,
// jpeg}, layers: [{name, top, left, width, height, rgba, hidden, opacity} or
// {name, top, left, bottom, right, channels: [{id, compression, data}],
// mask: {top, left, bottom, right, defaultColor}}]}
const { writePsdBuffer } = require('ag-psd');
const fs = require('fs');

const plan = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const bytes = (b64) => new Uint8Array(Buffer.from(b64, 'base64'));
const picture = (width, height, rgba) => ({ width, height, data: new Uint8ClampedArray(bytes(rgba)) });

function layer(l) {
  const { name, top, left, hidden, opacity } = l;
  if (!l.channels)
    return { name, top, left, hidden, opacity, imageData: picture(l.width, l.height, l.rgba) };
  return {
    name, top, left, bottom: l.bottom, right: l.right, hidden, opacity, mask: l.mask,
    rawData: { colorMode: 3, bitsPerChannel: 8, large: !!plan.psb,
               channels: l.channels.map((c) => ({ id: c.id, compression: c.compression, data: bytes(c.data) })) },
  };
}

const psd = {
  width: plan.width, height: plan.height,
  imageData: picture(plan.width, plan.height, plan.composite),
  children: plan.layers.map(layer),
};
if (plan.thumbnail)
  psd.imageResources = { thumbnailRaw: { width: plan.thumbnail.width, height: plan.thumbnail.height,
                                         data: bytes(plan.thumbnail.jpeg) } };
fs.writeFileSync(process.argv[3], writePsdBuffer(psd, { psb: !!plan.psb, compress: !!plan.compress }));

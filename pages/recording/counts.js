// Event counts of the page's PNG images, decoded on demand: green holds ON and red
// OFF, per pixel. Full-rate frames keep a small cache, since playing reads each
// frame again for the decay of the frames after it.
const ZCounts = (() => {
  "use strict";
  const CACHE_MAX = 40;
  function create(doc, blocks) {
    const scratch = document.createElement("canvas");
    // counts (ON, OFF per pixel) of a w × h image; a missing or broken image shows no events
    async function decode(b64, w, h) {
      const bytes = ZBase64.bytes(b64);
      let bmp;
      try {
        bmp = await createImageBitmap(new Blob([bytes], { type: "image/png" }),
          { colorSpaceConversion: "none", premultiplyAlpha: "none" });
      } catch (e) { return new Uint8Array(w * h * 2); }
      scratch.width = w;
      scratch.height = h;
      const ctx = scratch.getContext("2d", { willReadFrequently: true });
      ctx.clearRect(0, 0, w, h);
      ctx.drawImage(bmp, 0, 0);
      bmp.close();
      const px = ctx.getImageData(0, 0, w, h).data;
      const out = new Uint8Array(w * h * 2);
      for (let i = 0, j = 0; j < out.length; i += 4, j += 2) { out[j] = px[i + 1]; out[j + 1] = px[i]; }
      return out;
    }
    const cache = new Map();
    // frame k of segment si, at the sensor's size; `raw`: the frame before the filters
    async function frame(si, k, raw) {
      const key = (raw ? "r" : "") + si + ":" + k;
      let v = cache.get(key);
      if (v) { cache.delete(key); cache.set(key, v); return v; }
      v = await decode(await blocks.imageOf((raw ? doc.rawSegments : doc.segments)[si].images, k), doc.W, doc.H);
      cache.set(key, v);
      if (cache.size > CACHE_MAX) cache.delete(cache.keys().next().value);
      return v;
    }
    return { decode, frame };
  }
  return { create };
})();

// The recording document (docs/recording-document.md), read defensively: a
// malformed key must not stop the page. create() reads the document once and
// gives its parts as plain values; the readers serve the parts' own keys.
const ZDocument = (() => {
  "use strict";
  const num = (v, d) => (typeof v === "number" && Number.isFinite(v) ? v : d);
  const int = (v, d) => Math.trunc(num(v, d));
  const obj = (v) => (v !== null && typeof v === "object" && !Array.isArray(v) ? v : null);
  const arr = (v) => (Array.isArray(v) ? v : []);
  const strings = (a) => arr(a).filter((s) => typeof s === "string");
  // a list's length: its images, or the count of those still to arrive in blocks
  const MAX_IMAGES = 1e7;
  const countOf = (holder, images) => Math.max(images.length, clamp(int(holder.count, 0), 0, MAX_IMAGES));

  function parseJson(id) {
    try { return JSON.parse(byId(id).textContent); } catch (e) { return null; }
  }
  // The document stands in a comment: the HTML parser passes a comment many times
  // faster than script text, and the JSON holds no raw ">" that could end it.
  function readText() {
    const holder = byId("doc");
    if (!holder) return null;
    let text = "";
    for (let c = holder.firstChild; c; c = c.nextSibling) if (c.nodeType === 8 || c.nodeType === 3) text += c.data;
    holder.remove();  // the text can be freed once parsed
    try { return JSON.parse(text); } catch (e) { return null; }
  }

  function create() {
    const doc = obj(readText()) || {};
    const source = obj(doc.source) || {};
    const sensor = arr(source.sensor_size);
    const tFirst = int(source.t_first, 0);
    const framesDoc = obj(doc.frames) || {};
    const ov = obj(doc.overview);
    const ovImages = ov ? strings(ov.images) : [];
    return {
      raw: doc,
      palettes: obj(parseJson("palettes")) || {},
      source,
      W: Math.max(0, int(sensor[0], 0)),
      H: Math.max(0, int(sensor[1], 0)),
      tFirst,
      tLast: Math.max(tFirst, int(source.t_last, tFirst)),
      win: obj(doc.window),
      period: Math.max(1, int(framesDoc.period_us, 20000)),
      decay: Math.max(1, num(framesDoc.decay_us, 30000)),
      segments: arr(framesDoc.segments).map(obj).filter(Boolean).map((s) => {
        const images = strings(s.images);
        return { start: int(s.start, 0), lead: Math.max(0, int(s.lead, 0)), images: images, count: countOf(s, images) };
      }),
      // the frames before the filters, of each segment from its first frame (filtered pages)
      rawSegments: arr((obj(doc.raw_frames) || {}).segments).map((s) => {
        const images = strings((obj(s) || {}).images);
        return { images: images, count: countOf(obj(s) || {}, images) };
      }),
      // the overview frames, where the page holds no full-rate ones
      ov,
      ovImages,
      ovCount: ov ? countOf(ov, ovImages) : 0,
      ovPeriod: ov ? Math.max(1, int(ov.period_us, 1000000)) : 1,
      ovStart: ov ? int(ov.start, 0) : 0,
      ovScale: ov ? Math.max(1, int(ov.scale, 1)) : 1,
      budget: obj(doc.budget) || {},
      view: obj(doc.view) || {},
    };
  }
  return { create, num, int, obj, arr, strings };
})();

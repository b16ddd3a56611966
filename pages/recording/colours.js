// Frame colours: the palette table shared with the video writer, the reader's
// settings (palette, background, gain, decay) and the tone curve that turns
// event surfaces into pixels.
const ZColours = (() => {
  "use strict";
  const { num, obj } = ZDocument;
  const cssRgb = (c) => "rgb(" + c.join(",") + ")";
  function create(doc) {
    const PALETTES = doc.palettes;
    const names = Object.keys(PALETTES).filter((k) => obj(PALETTES[k]));
    const settings = {
      palette: names.includes(doc.view.palette) ? doc.view.palette : (names[0] || ""),
      background: doc.view.background === "light" ? "light" : "dark",
      gain: Math.max(0.05, num(doc.view.gain, 1)),
      decay: doc.decay,
    };
    function current() {
      const p = obj(PALETTES[settings.palette]);
      const c = p && obj(p[settings.background]);
      const rgb = (v, d) => (Array.isArray(v) && v.length === 3 ? v.map((x) => clamp(num(x, 0), 0, 255)) : d);
      return { bg: rgb(c && c.background, [12, 14, 20]), on: rgb(c && c.on, [80, 170, 255]), off: rgb(c && c.off, [255, 84, 64]) };
    }
    // surface (ON, OFF interleaved) to RGBA, by the tone curve and the palette blend
    function paint(surface, rgba, gain) {
      const c = current();
      const [br, bg, bb] = c.bg;
      const dr0 = c.on[0] - br, dg0 = c.on[1] - bg, db0 = c.on[2] - bb;
      const dr1 = c.off[0] - br, dg1 = c.off[1] - bg, db1 = c.off[2] - bb;
      const n = rgba.length >> 2;
      for (let i = 0; i < n; i++) {
        const son = surface[2 * i], soff = surface[2 * i + 1];
        const o = 4 * i;
        if (son === 0 && soff === 0) {
          rgba[o] = br; rgba[o + 1] = bg; rgba[o + 2] = bb; rgba[o + 3] = 255;
          continue;
        }
        const lon = 1 - Math.exp(-son / gain), loff = 1 - Math.exp(-soff / gain);
        rgba[o] = Math.floor(clamp(br + lon * dr0 + loff * dr1, 0, 255) + 0.5);
        rgba[o + 1] = Math.floor(clamp(bg + lon * dg0 + loff * dg1, 0, 255) + 0.5);
        rgba[o + 2] = Math.floor(clamp(bb + lon * db0 + loff * db1, 0, 255) + 0.5);
        rgba[o + 3] = 255;
      }
    }
    return { names, settings, current, paint, cssRgb };
  }
  return { create };
})();

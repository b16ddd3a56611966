// Where things are: a grid of the boxes for picking under the pointer, the
// drawing's bounds and each edge's bounding box; edge labels are placed from here (edge-labels.js).
const ZSpatial = (() => {
  "use strict";

  function create(theme, scene) {
    const CELL = 256;
    let grid = new Map(), bounds = { x0: 0, y0: 0, x1: 1, y1: 1 }, edgeBox = null;
    function buildIndex() {
      grid = new Map();
      let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
      scene.items.forEach((it, i) => {
        const a = it.x - it.w / 2, b = it.y - it.h / 2, c = it.x + it.w / 2, d = it.y + it.h / 2;
        x0 = Math.min(x0, a); y0 = Math.min(y0, b); x1 = Math.max(x1, c); y1 = Math.max(y1, d);
        for (let gx = Math.floor(a / CELL); gx <= Math.floor(c / CELL); gx++)
          for (let gy = Math.floor(b / CELL); gy <= Math.floor(d / CELL); gy++) {
            const k = gx * 1048576 + gy;
            let l = grid.get(k);
            if (!l) grid.set(k, (l = []));
            l.push(i);
          }
      });
      for (const f of scene.frames) { x0 = Math.min(x0, f.x0); y0 = Math.min(y0, f.y0); x1 = Math.max(x1, f.x1); y1 = Math.max(y1, f.y1); }
      if (!scene.items.length) { x0 = y0 = 0; x1 = y1 = 1; }
      bounds = { x0, y0, x1, y1 };
      const m = scene.vedges.length;
      edgeBox = new Float64Array(4 * m);
      for (let i = 0; i < m; i++) {
        let a = Infinity, b = Infinity, c = -Infinity, d = -Infinity;
        for (let p = scene.layout.ptsOff[i]; p < scene.layout.ptsOff[i + 1]; p++) {
          const px = scene.layout.pts[2 * p], py = scene.layout.pts[2 * p + 1];
          a = Math.min(a, px); b = Math.min(b, py); c = Math.max(c, px); d = Math.max(d, py);
        }
        edgeBox[4 * i] = a; edgeBox[4 * i + 1] = b; edgeBox[4 * i + 2] = c; edgeBox[4 * i + 3] = d;
      }
      ZEdgeLabels.place(theme, scene);
    }
    function pick(wx, wy) {
      const l = grid.get(Math.floor(wx / CELL) * 1048576 + Math.floor(wy / CELL));
      if (l) for (let j = l.length - 1; j >= 0; j--) {
        const it = scene.items[l[j]];
        if (Math.abs(wx - it.x) <= it.w / 2 && Math.abs(wy - it.y) <= it.h / 2) return { type: "item", index: l[j], it };
      }
      for (let j = scene.frames.length - 1; j >= 0; j--) {
        const f = scene.frames[j];
        if (wx >= f.x0 && wx <= f.x1 && wy >= f.y0 && wy <= f.y0 + 18) return { type: "frame", gi: f.gi };
      }
      return null;
    }

    return { build: buildIndex, pick, bounds: () => bounds, edgeBox: () => edgeBox };
  }
  return { create };
})();

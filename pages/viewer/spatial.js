// Where things are: a grid of the boxes for picking under the pointer, the
// drawing's bounds, each edge's bounding box, and the places of edge labels.
const ZSpatial = (() => {
  "use strict";

  function create(theme, scene) {
    const { textWidth } = theme;
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
      // One shape label per source, on its shortest out-edge: all its out-edges carry the same tensor.
      const best = new Map();
      for (let i = 0; i < m; i++) {
        scene.vedges[i].showLabel = false;
        if (!scene.vedges[i].label) continue;
        const j = best.get(scene.vedges[i].a), len = scene.layout.ptsOff[i + 1] - scene.layout.ptsOff[i];
        if (j === undefined || len < scene.layout.ptsOff[j + 1] - scene.layout.ptsOff[j]) best.set(scene.vedges[i].a, i);
      }
      // Each label takes the first free spot along its edge, from the middle outwards;
      // where edges fan in or out and no spot is free, the label is left out.
      const taken = new Map(), LC = 64, FONT_L = "10px " + (theme.palette.font || "sans-serif");
      const cells = (b, f) => {
        for (let gx = Math.floor(b[0] / LC); gx <= Math.floor(b[2] / LC); gx++)
          for (let gy = Math.floor(b[1] / LC); gy <= Math.floor(b[3] / LC); gy++) if (f(gx * 1048576 + gy)) return true;
        return false;
      };
      const hits = (b) => cells(b, (k) => (taken.get(k) || []).some((o) => o[0] < b[2] && b[0] < o[2] && o[1] < b[3] && b[1] < o[3]));
      const take = (b) => cells(b, (k) => { if (!taken.has(k)) taken.set(k, []); taken.get(k).push(b); return false; });
      if (m < 20000) {
        for (const it of scene.items) take([it.x - it.w / 2 - 2, it.y - it.h / 2 - 2, it.x + it.w / 2 + 2, it.y + it.h / 2 + 2]);
        for (const fr of scene.frames) take([fr.x0, fr.y0, fr.x0 + 16 + textWidth(fr.label, "650 11px " + (theme.palette.font || "sans-serif")), fr.y0 + 18]);
      }
      for (const i of [...best.values()].sort((p, q) => p - q)) {
        const e = scene.vedges[i], a = scene.layout.ptsOff[i], n = scene.layout.ptsOff[i + 1] - a, P = scene.layout.pts;
        const lw = textWidth(e.label, FONT_L);
        const spots = [];
        for (let s = 0; s < n - 1; s++) for (const t of [0.5, 0.3, 0.7]) spots.push([Math.abs(s + t - (n - 1) / 2), s, t]);
        spots.sort((p, q) => p[0] - q[0]);
        for (const [, s0, t] of spots.slice(0, 12)) {
          const x = P[2 * (a + s0)] + (P[2 * (a + s0) + 2] - P[2 * (a + s0)]) * t, y = P[2 * (a + s0) + 1] + (P[2 * (a + s0) + 3] - P[2 * (a + s0) + 1]) * t;
          // Beside a vertical edge, above a horizontal one.
          const lr = scene.orient === "LR", b = lr ? [x - lw / 2 - 1, y - 15, x + lw / 2 + 1, y - 3] : [x + 4, y - 8, x + 6 + lw, y + 5];
          if (m >= 20000 || !hits(b)) { e.showLabel = true; e.lx = lr ? x - lw / 2 : x + 5; e.ly = lr ? y - 5 : y + 3; take(b); break; }
        }
      }
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

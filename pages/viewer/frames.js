// Group frames: the dashed boxes of expanded groups around their members, with
// room made between layers for their borders and heads, and edges routed past
// the frames that hold neither of their ends.
const ZFrames = (() => {
  "use strict";
  const { clip } = ZDom;

  function create(model, theme, scene, visible) {
    const { groups, forkJoin, MODULE_COLOR, isModule, groupTitle, containerOf } = model;
    const { safeColor } = theme;
    const { nodeItem } = visible;
    // Room between layers for the borders and heads of the frames that end or begin there:
    // later layers move along the flow, and so do the edge points on them.
    function makeRoom(inF, PAD, HEAD) {
      const lr = scene.orient === "LR", rk = scene.layout.ranks, am = lr ? 0 : 1;
      if (!rk || !scene.items.length) return;
      let nL = 0;
      for (let i = 0; i < scene.items.length; i++) nL = Math.max(nL, rk[i] + 1);
      const first = new Map(), last = new Map();
      for (const [gi, set] of inF) for (const idx of set) {
        const r = rk[idx];
        if (!first.has(gi) || r < first.get(gi)) first.set(gi, r);
        if (!last.has(gi) || r > last.get(gi)) last.set(gi, r);
      }
      const ends = new Int32Array(scene.items.length), starts = new Int32Array(scene.items.length);
      for (const [gi, set] of inF) for (const idx of set) { if (last.get(gi) === rk[idx]) ends[idx]++; if (first.get(gi) === rk[idx]) starts[idx]++; }
      const endN = new Int32Array(nL), startN = new Int32Array(nL), top = new Float64Array(nL).fill(Infinity), bot = new Float64Array(nL).fill(-Infinity);
      scene.items.forEach((it, idx) => {
        const r = rk[idx], c = lr ? it.x : it.y, half = (lr ? it.w : it.h) / 2;
        endN[r] = Math.max(endN[r], ends[idx]); startN[r] = Math.max(startN[r], starts[idx]);
        top[r] = Math.min(top[r], c - half); bot[r] = Math.max(bot[r], c + half);
      });
      const sh = new Float64Array(nL), tops = [];
      let shift = 0, prev = -1;
      for (let l = 0; l < nL; l++) {
        if (top[l] === Infinity) { sh[l] = shift; continue; }
        if (prev >= 0) shift += Math.max(0, endN[prev] * PAD + startN[l] * (PAD + HEAD) + 24 - (top[l] - bot[prev]));
        sh[l] = shift; tops.push([top[l], l]); prev = l;
      }
      if (!shift) return;
      scene.items.forEach((it, idx) => { if (lr) it.x += sh[rk[idx]]; else it.y += sh[rk[idx]]; });
      const P = scene.layout.pts;
      for (let p = am; p < P.length; p += 2) {
        let lo = 0, hi = tops.length - 1, at = -1;
        while (lo <= hi) { const mid = (lo + hi) >> 1; if (tops[mid][0] - 0.5 <= P[p]) { at = mid; lo = mid + 1; } else hi = mid - 1; }
        if (at >= 0) P[p] += sh[tops[at][1]];
      }
    }
    function compute() {
      const lr = scene.orient === "LR", PAD = 12, HEAD = 16;
      const inF = new Map();  // gi -> Set of the items it holds
      const boxOf = (it) => [it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2];
      const grow = (box, gi, b) => {
        const a = box.get(gi);
        if (!a) box.set(gi, b.slice());
        else { a[0] = Math.min(a[0], b[0]); a[1] = Math.min(a[1], b[1]); a[2] = Math.max(a[2], b[2]); a[3] = Math.max(a[3], b[3]); }
      };
      scene.items.forEach((it, idx) => {
        for (let g = containerOf(it), guard = 0; g >= 0 && guard++ < 64; g = groups[g].parent) {
          if (groups[g].collapsed) continue;
          if (!inF.has(g)) inF.set(g, new Set());
          inF.get(g).add(idx);
        }
      });
      const order = [...inF.keys()].sort((p, q) => groups[q].depth - groups[p].depth);
      const coreSet = new Map();
      for (const gi of order) coreSet.set(gi, new Set(inF.get(gi)));
      // Joins, then forks, join the frame of their pattern when they sit beside it.
      const adoptedIn = new Map();
      for (const k of [1, 0]) for (const [gi, fj] of forkJoin) {
        if (!inF.has(gi) || fj[k] < 0) continue;
        const idx = nodeItem[fj[k]];
        if (adoptedIn.has(idx) || containerOf(scene.items[idx]) !== groups[gi].parent) continue;
        adoptedIn.set(idx, gi); inF.get(gi).add(idx);
      }
      makeRoom(inF, PAD, HEAD);
      const core = new Map();
      for (const gi of order) for (const idx of coreSet.get(gi)) grow(core, gi, boxOf(scene.items[idx]));
      const padded = (b) => [b[0] - PAD, b[1] - PAD - HEAD, b[2] + PAD, b[3] + PAD];
      for (const gi of order) { const b = padded(core.get(gi)); core.set(gi, b); const p = groups[gi].parent; if (p >= 0 && core.has(p)) grow(core, p, b); }
      // Edges keep out of the frames that hold neither of their ends: their bends move
      // sideways past the frame, all to one side (a skip's own edge passes beside the box it bypasses).
      const P = scene.layout.pts, off = scene.layout.ptsOff, ax = lr ? 1 : 0, FC = 256;
      const fgrid = new Map();
      for (const gi of order) {
        const b = core.get(gi);
        for (let gx = Math.floor(b[0] / FC); gx <= Math.floor(b[2] / FC); gx++)
          for (let gy = Math.floor(b[1] / FC); gy <= Math.floor(b[3] / FC); gy++) {
            const k = gx * 1048576 + gy;
            if (!fgrid.has(k)) fgrid.set(k, []);
            fgrid.get(k).push(gi);
          }
      }
      for (let i = 0; i < scene.vedges.length; i++) {
        const a = scene.vedges[i].a, b = scene.vedges[i].b;
        if (off[i + 1] - off[i] < 3) continue;
        const side = new Map();
        for (let pass = 0; pass < 2; pass++) for (let p = off[i] + 1; p < off[i + 1] - 1; p++) {
          const cand = fgrid.get(Math.floor(P[2 * p] / FC) * 1048576 + Math.floor(P[2 * p + 1] / FC));
          if (!cand) continue;
          for (const gi of cand) {
            const cb = core.get(gi), x = P[2 * p], y = P[2 * p + 1];
            if (x <= cb[0] || x >= cb[2] || y <= cb[1] || y >= cb[3]) continue;
            const cs = coreSet.get(gi);
            if (cs.has(a) || cs.has(b)) continue;
            const v = P[2 * p + ax], lo = cb[ax], hi = cb[ax + 2];
            if (!side.has(gi)) side.set(gi, v - lo < hi - v ? -1 : 1);
            P[2 * p + ax] = side.get(gi) < 0 ? lo - 10 : hi + 10;
          }
        }
      }
      // Final frames: their items, adopted forks and joins, and the bends of edges inside them
      // (on the deepest frame that holds both ends; outer frames grow from inner ones).
      const box = new Map();
      for (const gi of order) for (const idx of inF.get(gi)) grow(box, gi, boxOf(scene.items[idx]));
      const holders = (idx) => {
        const l = [];
        for (let g = containerOf(scene.items[idx]), guard = 0; g >= 0 && guard++ < 64; g = groups[g].parent) if (inF.has(g)) l.push(g);
        if (adoptedIn.has(idx)) l.unshift(adoptedIn.get(idx));
        return l;
      };
      for (let i = 0; i < scene.vedges.length; i++) {
        if (off[i + 1] - off[i] < 3) continue;
        const ha = holders(scene.vedges[i].a), hb = new Set(holders(scene.vedges[i].b));
        const gi = ha.find((g) => hb.has(g));
        if (gi === undefined) continue;
        for (let p = off[i] + 1; p < off[i + 1] - 1; p++) grow(box, gi, [P[2 * p] - 4, P[2 * p + 1], P[2 * p] + 4, P[2 * p + 1]]);
      }
      scene.frames = [];
      for (const gi of order) {
        const b = padded(box.get(gi));
        const p = groups[gi].parent;
        if (p >= 0 && box.has(p)) grow(box, p, b);
        const G = groups[gi];
        scene.frames.push({ gi, x0: b[0], y0: b[1], x1: b[2], y1: b[3], color: isModule(G) ? MODULE_COLOR : safeColor(G.rec.color, "#7a6ff0"),
          label: clip("\u25be " + groupTitle(G), 60) });
      }
      scene.frames.reverse();  // outer frames first
    }

    return { compute };
  }
  return { create };
})();

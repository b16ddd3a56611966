// Layout and scene: which boxes are visible, their layered layout (in a worker
// when the browser allows one), group frames, the SVG or canvas drawing, the
// view transform, the minimap, the pointer, and expanding and collapsing groups.
// Everything the other parts read is a property of the returned scene object.
const ZScene = (() => {
  "use strict";
  const { $, el, sv, isObj, own, clip, compact, fmtShape, fmtShort, fmtCount, plural } = ZDom;
  const SVG_LIMIT = 3500;  // drawn elements beyond which the scene is a canvas

  // `app` supplies select, clearSelection, showGroup and buildLegend, which the
  // pointer and the group toggles call.
  function create(model, theme, colouring, app) {
    const { records, nodeIds, nodeIndex, nodeCount, edges, groups, primary, moduleGroups, liveGroups, stackOf, forkJoin,
      MODULE_COLOR, typeOf, isModule, groupTitle, groupLine2, stackText, repGroup, groupRep, containerOf } = model;
    const { ink, safeColor, shapeKind, shapeSize, shapePath, path2d, textWidth } = theme;
    const fillAlpha = (c) => colouring.alpha() || theme.fillAlpha(c);
    const scene = {
      items: [], itemByKey: new Map(), vedges: [], frames: [],
      layout: null,  // {x, y, pts, ptsOff, reversed, ranks, ms}
      view: { k: 1, tx: 0, ty: 0 }, mode: "svg", forcedMode: null, orient: "TB",
      selected: null,  // {kind: "n"|"g", ref}
      hitKey: null, drawnCount: 0, layoutChain: Promise.resolve(),
      tint: null,  // (node indices) => colour or null: a view's own colouring, below a chosen colour mode
    };
    // ---------------------------------------------------------------- visible graph
    const lastX = new Float64Array(nodeCount).fill(NaN), lastY = new Float64Array(nodeCount).fill(NaN);
    let fromX = null, fromY = null;  // where each node was drawn before the latest layout
    const nodeItem = new Int32Array(nodeCount);

    function nodeLine2(n) {
      let s = typeOf(n);
      const dp = Array.isArray(n.display_params) ? n.display_params : [];
      const parts = [];
      for (const p of dp) {
        if (typeof p !== "string" || parts.length >= 2) continue;
        if (isObj(n.config) && own(n.config, p)) parts.push(p + "=" + compact(n.config[p]));
        else if (isObj(n.params) && own(n.params, p) && isObj(n.params[p])) parts.push(p + " " + compact(n.params[p].shape));
      }
      if (parts.length) s += " \u00b7 " + parts.join(" ");
      return clip(s, 46);
    }
    function makeItem(kind, ref) {
      let line1, line2, color, shape, badge = 0;
      if (kind === "n") {
        const n = records[ref];
        line1 = clip(nodeIds[ref], 38); line2 = nodeLine2(n);
        color = colouring.colour([ref]) || (scene.tint && scene.tint([ref])) || safeColor(n.color, "#8a94a6"); shape = shapeKind(n.shape);
      } else {
        const G = groups[ref], g = G.rec;
        line1 = isModule(G) && G.module.length > 40 ? "\u2026" + G.module.slice(-39) : clip(groupTitle(G), 40);
        line2 = clip(groupLine2(G), 46);
        color = colouring.colour(G.members) || (scene.tint && scene.tint(G.members)) || (isModule(G) ? MODULE_COLOR : safeColor(g.color, "#7a6ff0"));
        shape = isModule(G) ? "roundrect" : shapeKind(g.shape); badge = 20;
      }
      const tw = Math.max(textWidth(line1, theme.font1), textWidth(line2, theme.font2));
      let w = Math.max(96, Math.min(320, Math.ceil(tw) + 28 + badge)), h = kind === "n" ? 44 : 50;
      [w, h] = shapeSize(shape, w, h);
      return { kind, ref, key: (kind === "n" ? "n:" : "g:") + (kind === "n" ? nodeIds[ref] : groups[ref].id),
        line1, line2, color, shape, w: Math.round(w), h: Math.round(h), x: 0, y: 0,
        stack: kind === "n" && stackOf[ref] ? stackText(stackOf[ref]) : null, module: kind === "g" && isModule(groups[ref]) };
    }
    function computeVisible() {
      scene.items = []; scene.itemByKey = new Map();
      for (let i = 0; i < nodeCount; i++) {
        const gr = repGroup(i);
        const key = gr >= 0 ? "g:" + groups[gr].id : "n:" + nodeIds[i];
        let idx = scene.itemByKey.get(key);
        if (idx === undefined) { idx = scene.items.length; scene.items.push(makeItem(gr >= 0 ? "g" : "n", gr >= 0 ? gr : i)); scene.itemByKey.set(key, idx); }
        nodeItem[i] = idx;
      }
      const seen = new Map();
      scene.vedges = [];
      for (const e of edges) {
        const s = nodeIndex.get(String(e.source)), t = nodeIndex.get(String(e.target));
        if (s === undefined || t === undefined) continue;
        const a = nodeItem[s], b = nodeItem[t];
        if (a === b) continue;
        const k = a * 4294967296 + b;
        const prev = seen.get(k);
        if (prev !== undefined) { scene.vedges[prev].count++; continue; }
        seen.set(k, scene.vedges.length);
        const os = records[s].output_shape;
        scene.vedges.push({ a, b, count: 1, label: os != null && (Array.isArray(os) || typeof os !== "object") ? fmtShape(os) : "" });
      }
    }
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
    function computeFrames() {
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

    // ---------------------------------------------------------------- layout (worker)
    let worker = null, seq = 0;
    const pending = new Map();
    try {
      const src = "\"use strict\";\nconst zelqLayout = " + zelqLayout.toString() + ";\n" +
        "onmessage = (e) => { const r = zelqLayout(e.data); r.seq = e.data.seq;" +
        " postMessage(r, [r.x.buffer, r.y.buffer, r.pts.buffer, r.ptsOff.buffer, r.reversed.buffer, r.ranks.buffer]); };";
      const url = URL.createObjectURL(new Blob([src], { type: "text/javascript" }));
      worker = new Worker(url);
      worker.onmessage = (e) => { const p = pending.get(e.data.seq); if (p) { pending.delete(e.data.seq); p(e.data); } };
      worker.onerror = (e) => {
        if (e && e.preventDefault) e.preventDefault();
        worker = null;
        for (const [s, p] of pending) { pending.delete(s); p(null); }
      };
    } catch (e) { worker = null; }
    let drawnKeys = new Set();
    function runLayout(input) {
      return new Promise((resolve) => {
        const local = () => resolve(zelqLayout(input));
        if (!worker) { local(); return; }
        const s = ++seq;
        input.seq = s;
        pending.set(s, (r) => (r ? resolve(r) : local()));
        // Copied, not transferred: if the worker dies the page lays out the same input itself.
        worker.postMessage(input);
      });
    }
    let lastOrient = "TB";
    try { if (localStorage.getItem("zelq-viewer-orient") === "LR") scene.orient = "LR"; } catch (e) { /* storage off in sandboxed frames */ }
    function relayout(warm) {
      const job = scene.layoutChain.then(async () => {
        computeVisible();
        const n = scene.items.length, m = scene.vedges.length;
        const w = new Float64Array(n), h = new Float64Array(n), es = new Int32Array(m), et = new Int32Array(m);
        // Left to right is the top-to-bottom layout of the transposed boxes, transposed back.
        const lr = scene.orient === "LR";
        scene.items.forEach((it, i) => { w[i] = lr ? it.h : it.w; h[i] = lr ? it.w : it.h; });
        scene.vedges.forEach((e, i) => { es[i] = e.a; et[i] = e.b; });
        let prevX = null, fresh = null;
        if (warm && lastOrient === scene.orient) {
          fresh = new Uint8Array(n);
          for (let i = 0; i < n; i++) fresh[i] = drawnKeys.has(scene.items[i].key) ? 0 : 1;
          prevX = new Float64Array(n);
          const sum = new Float64Array(n), cnt = new Float64Array(n);
          const across = lr ? lastY : lastX;
          for (let i = 0; i < nodeCount; i++) if (across[i] === across[i]) { sum[nodeItem[i]] += across[i]; cnt[nodeItem[i]]++; }
          for (let i = 0; i < n; i++) prevX[i] = cnt[i] ? sum[i] / cnt[i] : NaN;
        }
        const t0 = performance.now();
        const r = await runLayout({ n, w, h, es, et, prevX, fresh, sweeps: warm ? 3 : 6, rankGap: lr ? 90 : 60 });
        if (lr) {
          const t = r.x; r.x = r.y; r.y = t;
          for (let p = 0; p < r.pts.length; p += 2) { const a = r.pts[p]; r.pts[p] = r.pts[p + 1]; r.pts[p + 1] = a; }
        }
        drawnKeys = new Set(scene.itemByKey.keys());
        lastOrient = scene.orient;
        scene.layout = r;
        scene.layout.wallMs = performance.now() - t0;
        for (let i = 0; i < n; i++) { scene.items[i].x = r.x[i]; scene.items[i].y = r.y[i]; }
        fromX = lastX.slice(); fromY = lastY.slice();
        computeFrames();
        for (let i = 0; i < nodeCount; i++) { lastX[i] = scene.items[nodeItem[i]].x; lastY[i] = scene.items[nodeItem[i]].y; }
        buildIndex();
      });
      scene.layoutChain = job.catch((e) => { console.error(e); });
      return job;
    }

    // ---------------------------------------------------------------- spatial index
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

    // ---------------------------------------------------------------- view
    const stage = $("stage");
    let svgRoot = null, svgViewport = null, canvas = null, ctx = null;
    const stageSize = () => {
      const r = stage.getBoundingClientRect();
      return { w: r.width || PAGE_SIZE.width || 1200, h: r.height || PAGE_SIZE.height || 800 };
    };
    function curvePath(i, f) {
      const a = scene.layout.ptsOff[i], b = scene.layout.ptsOff[i + 1], P = scene.layout.pts;
      let d = "M" + f(P[2 * a]) + "," + f(P[2 * a + 1]);
      const lr = scene.orient === "LR";
      for (let p = a + 1; p < b; p++) {
        const x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1], dy = lr ? 0 : (y1 - y0) / 2, dx = lr ? (x1 - x0) / 2 : 0;
        d += "C" + f(x0 + dx) + "," + f(y0 + dy) + " " + f(x1 - dx) + "," + f(y1 - dy) + " " + f(x1) + "," + f(y1);
      }
      return d;
    }

    // Builds the scene as SVG elements into g. `clipRect` limits it to a world rectangle (export).
    // Start position of each box for the expand/collapse animation: where its nodes were.
    function origins() {
      if (!fromX || scene.items.length > 1500 || (window.matchMedia && matchMedia("(prefers-reduced-motion: reduce)").matches)) return null;
      const sx = new Float64Array(scene.items.length), sy = new Float64Array(scene.items.length), c = new Float64Array(scene.items.length);
      for (let i = 0; i < nodeCount; i++) if (fromX[i] === fromX[i]) { const k = nodeItem[i]; sx[k] += fromX[i]; sy[k] += fromY[i]; c[k]++; }
      let moved = false;
      const o = scene.items.map((it, k) => {
        if (!c[k]) return null;
        const x = sx[k] / c[k], y = sy[k] / c[k];
        if (Math.abs(x - it.x) > 0.5 || Math.abs(y - it.y) > 0.5) moved = true;
        return [x, y];
      });
      return moved ? o : null;
    }
    function buildSvgScene(g, clipRect, inlineStyle, from) {
      const f = (v) => Math.round(v * 10) / 10;
      const inRect = (x0, y0, x1, y1) => !clipRect || (x1 >= clipRect[0] && x0 <= clipRect[2] && y1 >= clipRect[1] && y0 <= clipRect[3]);
      const font = theme.palette.font || "sans-serif";
      const gf = sv("g", { class: "frames" }), ge = sv("g", { class: "edges" }), gl = sv("g", { class: "edge-labels" }), gn = sv("g", { class: "nodes" });
      for (const fr of scene.frames) {
        if (!inRect(fr.x0, fr.y0, fr.x1, fr.y1)) continue;
        gf.appendChild(sv("rect", { class: "frame", x: f(fr.x0), y: f(fr.y0), width: f(fr.x1 - fr.x0), height: f(fr.y1 - fr.y0), rx: 12,
          fill: fr.color, "fill-opacity": 0.06, stroke: ink(fr.color), "stroke-dasharray": "6 4", "stroke-width": 1.4 }));
        const head = sv("g", { class: "frame-head", "data-key": "f:" + groups[fr.gi].id });
        head.appendChild(sv("rect", { x: f(fr.x0), y: f(fr.y0), width: f(fr.x1 - fr.x0), height: 18, fill: "transparent" }));
        head.appendChild(sv("text", { x: f(fr.x0 + 10), y: f(fr.y0 + 14), fill: ink(fr.color), "font-size": 11, "font-weight": 650, "font-family": font }, fr.label));
        gf.appendChild(head);
      }
      const showLabels = !clipRect || scene.view.k >= 0.5;
      for (let i = 0; i < scene.vedges.length; i++) {
        if (!inRect(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
        const e = scene.vedges[i];
        const attrs = { class: scene.layout.reversed[i] ? "edge back" : "edge", d: curvePath(i, f), "marker-end": "url(#zarrow)" };
        if (inlineStyle) Object.assign(attrs, { fill: "none", stroke: theme.palette.edge, "stroke-width": 1.3 });
        if (e.count > 1) attrs["stroke-width"] = Math.min(1.3 + e.count * 0.4, 4);
        ge.appendChild(sv("path", attrs));
        if (e.showLabel && showLabels) {
          const t = sv("text", { class: "edge-label", x: f(e.lx), y: f(e.ly) }, e.label);
          if (inlineStyle) { t.setAttribute("fill", theme.palette.edgeLabel); t.setAttribute("font-size", 10); t.setAttribute("font-family", font); }
          gl.appendChild(t);
        }
      }
      for (const it of scene.items) {
        if (!inRect(it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2)) continue;
        const gi = sv("g", { class: it.kind === "n" ? "node" : "group", "data-key": it.key, transform: `translate(${f(it.x)},${f(it.y)})` });
        const o = from && from[it.index];
        if (o) { gi.style.transform = `translate(${f(o[0])}px,${f(o[1])}px)`; gi.dataset.to = `translate(${f(it.x)}px,${f(it.y)}px)`; }
        const d = shapePath(it.shape, it.w, it.h);
        if (it.kind === "g") gi.appendChild(sv("path", { d, transform: "translate(4,4)", fill: theme.palette.stage, stroke: ink(it.color), "stroke-width": 1.2, "stroke-opacity": 0.6 }));
        gi.appendChild(sv("path", { class: "shape", d, fill: theme.palette.stage }));
        gi.appendChild(sv("path", { class: "shape", d, fill: it.color, "fill-opacity": fillAlpha(it.color), stroke: ink(it.color), "stroke-width": it.kind === "g" ? 2 : 1.6 }));
        const dx = it.kind === "g" ? -8 : 0;
        gi.appendChild(sv("text", { class: "t1", x: dx, y: -2, "text-anchor": "middle", fill: theme.palette.fg, "font-size": 12, "font-weight": 650, "font-family": font }, it.line1));
        gi.appendChild(sv("text", { class: "t2", x: dx, y: 13, "text-anchor": "middle", fill: theme.palette.muted, "font-size": 11, "font-family": font }, it.line2));
        if (it.stack) {
          const sw = Math.ceil(textWidth(it.stack, "10px " + font)) + 10, sx = -it.w / 2 + 8, sy = -it.h / 2 - 7;
          const mark = sv("g", { class: "stack-mark" });
          mark.appendChild(sv("rect", { x: f(sx), y: f(sy), width: sw, height: 14, rx: 7, fill: theme.palette.stage, stroke: ink(it.color), "stroke-width": 1 }));
          mark.appendChild(sv("text", { x: f(sx + 5), y: f(sy + 10.5), fill: theme.palette.fg, "font-size": 10, "font-family": font }, it.stack));
          gi.appendChild(mark);
        }
        if (it.kind === "g") {
          const bx = it.w / 2 - 14, by = 0;
          gi.appendChild(sv("circle", { cx: f(bx), cy: by, r: 8, fill: ink(it.color) }));
          gi.appendChild(sv("path", { d: `M${f(bx - 4)},${by}H${f(bx + 4)}M${f(bx)},${by - 4}V${by + 4}`, stroke: theme.palette.stage, "stroke-width": 2 }));
        }
        gn.appendChild(gi);
      }
      g.appendChild(gf); g.appendChild(ge); g.appendChild(gl); g.appendChild(gn);
    }
    function svgDefs() {
      const defs = sv("defs");
      const mk = sv("marker", { id: "zarrow", viewBox: "0 0 10 10", refX: 9, refY: 5, markerWidth: 7, markerHeight: 7, orient: "auto-start-reverse", markerUnits: "userSpaceOnUse" });
      mk.appendChild(sv("path", { d: "M0,1L10,5L0,9Z", fill: theme.palette.edge }));
      defs.appendChild(mk);
      return defs;
    }

    function drawCanvasScene(c2, W, H, dpr, v) {
      const k = v.k;
      c2.setTransform(dpr, 0, 0, dpr, 0, 0);
      c2.fillStyle = theme.palette.stage; c2.fillRect(0, 0, W, H);
      c2.setTransform(dpr * k, 0, 0, dpr * k, dpr * v.tx, dpr * v.ty);
      const vx0 = -v.tx / k, vy0 = -v.ty / k, vx1 = (W - v.tx) / k, vy1 = (H - v.ty) / k;
      const vis = (a, b, c, d) => c >= vx0 && a <= vx1 && d >= vy0 && b <= vy1;
      const font = theme.palette.font || "sans-serif";
      let drawn = 0;
      for (const fr of scene.frames) {
        if (!vis(fr.x0, fr.y0, fr.x1, fr.y1)) continue;
        c2.globalAlpha = 0.05; c2.fillStyle = fr.color; c2.fillRect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0);
        c2.globalAlpha = 1; c2.strokeStyle = ink(fr.color); c2.lineWidth = 1.4 / Math.max(k, 0.3); c2.setLineDash([6, 4]);
        c2.strokeRect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0); c2.setLineDash([]);
        if (k > 0.3) { c2.fillStyle = ink(fr.color); c2.font = "650 11px " + font; c2.textAlign = "left"; c2.fillText(fr.label, fr.x0 + 10, fr.y0 + 14); }
      }
      // Edges in one path, arrowheads in another.
      c2.strokeStyle = theme.palette.edge; c2.lineWidth = Math.max(1.2, 0.8 / k); c2.beginPath();
      const arrows = k > 0.25;
      const heads = [];
      const P = scene.layout.pts;
      const lr = scene.orient === "LR";
      for (let i = 0; i < scene.vedges.length; i++) {
        if (!vis(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
        const a = scene.layout.ptsOff[i], b = scene.layout.ptsOff[i + 1];
        c2.moveTo(P[2 * a], P[2 * a + 1]);
        for (let p = a + 1; p < b; p++) {
          const x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1], dy = lr ? 0 : (y1 - y0) / 2, dx = lr ? (x1 - x0) / 2 : 0;
          if (k < 0.15) c2.lineTo(x1, y1); else c2.bezierCurveTo(x0 + dx, y0 + dy, x1 - dx, y1 - dy, x1, y1);
        }
        if (arrows) heads.push(P[2 * b - 2], P[2 * b - 1], lr ? (P[2 * b - 2] >= P[2 * b - 4] ? 1 : -1) : P[2 * b - 1] >= P[2 * b - 3] ? 1 : -1);
      }
      c2.stroke();
      if (arrows) {
        c2.fillStyle = theme.palette.edge; c2.beginPath();
        for (let j = 0; j < heads.length; j += 3) {
          const x = heads[j], y = heads[j + 1], s = heads[j + 2];
          c2.moveTo(x, y);
          if (lr) { c2.lineTo(x - 7 * s, y - 3.5); c2.lineTo(x - 7 * s, y + 3.5); } else { c2.lineTo(x - 3.5, y - 7 * s); c2.lineTo(x + 3.5, y - 7 * s); }
          c2.closePath();
        }
        c2.fill();
      }
      if (k >= 0.7) {
        c2.fillStyle = theme.palette.edgeLabel; c2.font = "10px " + font; c2.textAlign = "left";
        for (let i = 0; i < scene.vedges.length; i++) {
          if (!scene.vedges[i].showLabel || !vis(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
          c2.fillText(scene.vedges[i].label, scene.vedges[i].lx, scene.vedges[i].ly);
        }
      }
      // Nodes: plain rectangles when tiny, shaped and labelled when readable.
      const visible = [];
      for (let i = 0; i < scene.items.length; i++) {
        const it = scene.items[i];
        if (vis(it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2)) visible.push(i);
      }
      drawn = visible.length;
      if (k < 0.22) {
        const byColor = new Map();
        for (const i of visible) { const c = scene.items[i].color; if (!byColor.has(c)) byColor.set(c, []); byColor.get(c).push(i); }
        for (const [c, l] of byColor) {
          c2.fillStyle = c; c2.beginPath();
          for (const i of l) { const it = scene.items[i]; c2.rect(it.x - it.w / 2, it.y - it.h / 2, it.w, it.h); }
          c2.fill();
        }
      } else {
        const text = k >= 0.4;
        for (const i of visible) {
          const it = scene.items[i];
          c2.save(); c2.translate(it.x, it.y);
          const p = path2d(it.shape, it.w, it.h);
          if (it.kind === "g") { c2.save(); c2.translate(4, 4); c2.fillStyle = theme.palette.stage; c2.fill(p); c2.strokeStyle = ink(it.color); c2.lineWidth = 1.2; c2.stroke(p); c2.restore(); }
          c2.fillStyle = theme.palette.stage; c2.fill(p);
          c2.globalAlpha = fillAlpha(it.color); c2.fillStyle = it.color; c2.fill(p); c2.globalAlpha = 1;
          const isSel = scene.selected && it.key === selectedKey();
          c2.strokeStyle = it.key === scene.hitKey ? theme.palette.hit : isSel ? theme.palette.accent : ink(it.color);
          c2.lineWidth = isSel || it.key === scene.hitKey ? 3 : it.kind === "g" ? 2 : 1.6;
          c2.stroke(p);
          if (text) {
            const dx = it.kind === "g" ? -8 : 0;
            c2.textAlign = "center"; c2.fillStyle = theme.palette.fg; c2.font = theme.font1; c2.fillText(it.line1, dx, -2);
            c2.fillStyle = theme.palette.muted; c2.font = theme.font2; c2.fillText(it.line2, dx, 13);
          }
          if (text && it.stack) {
            c2.font = "10px " + font;
            const sw = Math.ceil(c2.measureText(it.stack).width) + 10, sx = -it.w / 2 + 8, sy = -it.h / 2 - 7;
            c2.fillStyle = theme.palette.stage; c2.strokeStyle = ink(it.color); c2.lineWidth = 1;
            c2.beginPath(); c2.roundRect ? c2.roundRect(sx, sy, sw, 14, 7) : c2.rect(sx, sy, sw, 14); c2.fill(); c2.stroke();
            c2.fillStyle = theme.palette.fg; c2.textAlign = "left"; c2.fillText(it.stack, sx + 5, sy + 10.5);
          }
          if (it.kind === "g") {
            const bx = it.w / 2 - 14;
            c2.fillStyle = ink(it.color); c2.beginPath(); c2.arc(bx, 0, 8, 0, 2 * Math.PI); c2.fill();
            c2.strokeStyle = theme.palette.stage; c2.lineWidth = 2; c2.beginPath(); c2.moveTo(bx - 4, 0); c2.lineTo(bx + 4, 0); c2.moveTo(bx, -4); c2.lineTo(bx, 4); c2.stroke();
          }
          c2.restore();
        }
      }
      return drawn;
    }

    let rafPending = false;
    function selectedKey() { return scene.selected ? (scene.selected.kind === "n" ? "n:" + nodeIds[scene.selected.ref] : "g:" + groups[scene.selected.ref].id) : null; }
    function buildScene() {
      const total = scene.items.length + scene.vedges.length;
      const want = scene.forcedMode || (total > SVG_LIMIT ? "canvas" : "svg");
      if (svgRoot) { svgRoot.remove(); svgRoot = null; }
      if (canvas) { canvas.remove(); canvas = null; ctx = null; }
      scene.mode = want;
      const before = $("legend");
      if (scene.mode === "svg") {
        svgRoot = sv("svg", { id: "graph", role: "img" });
        svgRoot.appendChild(svgDefs());
        svgViewport = sv("g", { id: "viewport" });
        const from = origins();
        fromX = null;
        if (from) scene.items.forEach((it, k) => { it.index = k; });
        buildSvgScene(svgViewport, null, false, from);
        svgRoot.appendChild(svgViewport);
        const halo = sv("rect", { class: "halo", id: "halo", rx: 10 });
        svgViewport.appendChild(halo);
        stage.insertBefore(svgRoot, before);
        scene.drawnCount = scene.items.length;
        if (from) {
          // Boxes glide from where their nodes were; edges and frames fade in after them.
          svgRoot.classList.add("anim");
          void svgRoot.getBoundingClientRect();
          for (const e of svgRoot.querySelectorAll("[data-to]")) e.style.transform = e.dataset.to;
          setTimeout(() => { if (svgRoot) { svgRoot.classList.remove("anim"); for (const e of svgRoot.querySelectorAll("[data-to]")) { e.style.transform = ""; e.removeAttribute("data-to"); } } }, 400);
        }
      } else {
        canvas = document.createElement("canvas");
        canvas.className = "scene";
        stage.insertBefore(canvas, before);
        ctx = canvas.getContext("2d");
      }
      markSelection();
      applyView();
      drawMinimapBase();
    }
    function applyView() {
      if (scene.mode === "svg" && svgViewport) {
        svgViewport.setAttribute("transform", `translate(${scene.view.tx},${scene.view.ty}) scale(${scene.view.k})`);
        svgRoot.classList.toggle("lod-low", scene.view.k < 0.45);
      } else if (!rafPending) {
        rafPending = true;
        requestAnimationFrame(() => { rafPending = false; drawCanvas(); });
      }
      drawMinimap();
    }
    function drawCanvas() {
      if (!canvas) return;
      const { w, h } = stageSize(), dpr = window.devicePixelRatio || 1;
      if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(h * dpr)) { canvas.width = Math.round(w * dpr); canvas.height = Math.round(h * dpr); }
      scene.drawnCount = drawCanvasScene(ctx, w, h, dpr, scene.view);
    }
    function redrawAll() { if (scene.layout) buildScene(); }
    function recolour() { for (const it of scene.items) it.color = makeItem(it.kind, it.ref).color; redrawAll(); app.buildLegend(); }
    function markSelection() {
      if (scene.mode !== "svg" || !svgRoot) { applyView(); return; }
      for (const e of svgRoot.querySelectorAll(".selected, .hit")) e.classList.remove("selected", "hit");
      const sk = selectedKey();
      for (const e of svgRoot.querySelectorAll(".node, .group")) {
        const k = e.getAttribute("data-key");
        if (k === sk) e.classList.add("selected");
        if (k === scene.hitKey) e.classList.add("hit");
      }
    }

    function clampK(k) {
      const { w, h } = stageSize();
      const fitK = Math.min(w / Math.max(1, bounds.x1 - bounds.x0), h / Math.max(1, bounds.y1 - bounds.y0));
      return Math.max(Math.min(0.05, fitK * 0.5), Math.min(4, k));
    }
    // Fit and the first view never go below the scale at which the 11 px second lines
    // still read at 9 px: a larger drawing starts at its beginning, and panning and the
    // minimap reach the rest.
    const MIN_READABLE_K = 0.82;
    function fit() {
      const { w, h } = stageSize();
      const bw = bounds.x1 - bounds.x0 + 80, bh = bounds.y1 - bounds.y0 + 80;
      const k = Math.min(1.4, w / bw, h / bh);
      scene.view.k = Math.max(k, MIN_READABLE_K);
      // Too large: start where the graph starts, its first box in the middle across the flow.
      let first = null;
      for (const it of scene.items) if (!first || (scene.orient === "LR" ? it.x < first.x : it.y < first.y)) first = it;
      const cx = (w - (bounds.x0 + bounds.x1) * scene.view.k) / 2, cy = (h - (bounds.y0 + bounds.y1) * scene.view.k) / 2;
      scene.view.tx = bw * scene.view.k <= w ? cx : scene.orient === "LR" || !first ? 40 - bounds.x0 * scene.view.k : w / 2 - first.x * scene.view.k;
      scene.view.ty = bh * scene.view.k <= h ? cy : scene.orient === "LR" && first ? h / 2 - first.y * scene.view.k : 40 - bounds.y0 * scene.view.k;
      applyView();
    }
    // The whole drawing at whatever scale it takes (Shift+F): an overview, not for reading.
    function overview() {
      const { w, h } = stageSize();
      scene.view.k = Math.min(1.4, w / (bounds.x1 - bounds.x0 + 80), h / (bounds.y1 - bounds.y0 + 80));
      scene.view.tx = (w - (bounds.x0 + bounds.x1) * scene.view.k) / 2;
      scene.view.ty = (h - (bounds.y0 + bounds.y1) * scene.view.k) / 2;
      applyView();
    }
    function zoomAt(factor, sx, sy) {
      const k = clampK(scene.view.k * factor);
      const f = k / scene.view.k;
      scene.view.tx = sx - (sx - scene.view.tx) * f; scene.view.ty = sy - (sy - scene.view.ty) * f; scene.view.k = k;
      applyView();
    }
    function centerOn(x, y, k) {
      const { w, h } = stageSize();
      if (k) scene.view.k = clampK(k);
      scene.view.tx = w / 2 - x * scene.view.k; scene.view.ty = h / 2 - y * scene.view.k;
      applyView();
    }

    function pulse(it) {
      // The search highlight fades; the selection outline stays.
      setTimeout(() => { if (scene.hitKey === it.key) { scene.hitKey = null; markSelection(); } }, 2500);
      if (scene.mode !== "svg") return;
      const halo = $("halo");
      if (!halo) return;
      halo.setAttribute("x", it.x - it.w / 2 - 6); halo.setAttribute("y", it.y - it.h / 2 - 6);
      halo.setAttribute("width", it.w + 12); halo.setAttribute("height", it.h + 12);
      halo.classList.remove("on"); void halo.getBoundingClientRect(); halo.classList.add("on");
      svgViewport.appendChild(halo);
    }
    // Where the box `key` ("n:ID" or "g:ID") is on the screen, or null when it is not drawn.
    function itemBox(key) {
      const i = scene.itemByKey.get(key);
      if (i === undefined) return null;
      const it = scene.items[i], r = stage.getBoundingClientRect(), v = scene.view;
      return { x: r.left + it.x * v.k + v.tx, y: r.top + it.y * v.k + v.ty, w: it.w * v.k, h: it.h * v.k };
    }

    // ---------------------------------------------------------------- minimap
    const mini = $("minimap"), mctx = mini.getContext("2d");
    let miniBase = null, miniScale = 1, miniOff = [0, 0];
    function drawMinimapBase() {
      const W = mini.width, H = mini.height;
      const bw = bounds.x1 - bounds.x0 || 1, bh = bounds.y1 - bounds.y0 || 1;
      miniScale = Math.min((W - 12) / bw, (H - 12) / bh);
      miniOff = [(W - bw * miniScale) / 2 - bounds.x0 * miniScale, (H - bh * miniScale) / 2 - bounds.y0 * miniScale];
      const off = document.createElement("canvas");
      off.width = W; off.height = H;
      const c = off.getContext("2d");
      c.fillStyle = theme.palette.panel; c.fillRect(0, 0, W, H);
      for (const it of scene.items) {
        c.fillStyle = it.color;
        c.fillRect(miniOff[0] + (it.x - it.w / 2) * miniScale, miniOff[1] + (it.y - it.h / 2) * miniScale, Math.max(1, it.w * miniScale), Math.max(1, it.h * miniScale));
      }
      miniBase = off;
      drawMinimap();
    }
    function drawMinimap() {
      if (!miniBase) return;
      mctx.clearRect(0, 0, mini.width, mini.height);
      mctx.drawImage(miniBase, 0, 0);
      const { w, h } = stageSize();
      const x = miniOff[0] + (-scene.view.tx / scene.view.k) * miniScale, y = miniOff[1] + (-scene.view.ty / scene.view.k) * miniScale;
      mctx.strokeStyle = theme.palette.accent; mctx.lineWidth = 1.5;
      mctx.fillStyle = "rgba(127,127,127,.12)";
      mctx.fillRect(x, y, (w / scene.view.k) * miniScale, (h / scene.view.k) * miniScale);
      mctx.strokeRect(x, y, (w / scene.view.k) * miniScale, (h / scene.view.k) * miniScale);
    }
    function miniPan(e) {
      const r = mini.getBoundingClientRect();
      const mx = (e.clientX - r.left) * (mini.width / r.width), my = (e.clientY - r.top) * (mini.height / r.height);
      centerOn((mx - miniOff[0]) / miniScale, (my - miniOff[1]) / miniScale);
    }
    let miniDrag = false;
    mini.addEventListener("pointerdown", (e) => { e.stopPropagation(); miniDrag = true; mini.setPointerCapture(e.pointerId); miniPan(e); });
    mini.addEventListener("pointermove", (e) => { if (miniDrag) miniPan(e); });
    mini.addEventListener("pointerup", () => { miniDrag = false; });

    // ---------------------------------------------------------------- pointer
    let drag = null;
    const toWorld = (e) => {
      const r = stage.getBoundingClientRect();
      return [(e.clientX - r.left - scene.view.tx) / scene.view.k, (e.clientY - r.top - scene.view.ty) / scene.view.k];
    };
    stage.addEventListener("pointerdown", (e) => {
      if (e.button !== 0 || e.target.closest("#legend, #zoombar, #minimap")) return;
      drag = { x: e.clientX, y: e.clientY, tx: scene.view.tx, ty: scene.view.ty, moved: false };
      stage.setPointerCapture(e.pointerId);
    });
    // Hover card: what is under the pointer, also when the drawing is too small for labels.
    const tip = el("div");
    tip.id = "tip";
    stage.appendChild(tip);
    let tipFrame = 0;
    function hover(e) {
      if (drag || !scene.layout || e.target.closest("#legend, #zoombar, #minimap")) { tip.classList.remove("on"); return; }
      const [wx, wy] = toWorld(e);
      const hit = pick(wx, wy);
      if (!hit || hit.type !== "item") { tip.classList.remove("on"); stage.style.cursor = ""; return; }
      const it = hit.it;
      stage.style.cursor = "pointer";
      let a, b;
      if (it.kind === "n") {
        const n = records[it.ref];
        a = nodeIds[it.ref];
        b = typeOf(n) + " \u00b7 out " + fmtShape(n.output_shape) + (n.param_count ? " \u00b7 " + fmtShort(n.param_count) + " params" : "") +
          (stackOf[it.ref] ? " \u00b7 " + stackText(stackOf[it.ref]) : "");
      } else {
        a = groupTitle(groups[it.ref]);
        b = plural(groups[it.ref].members.size, "node") + " \u00b7 double-click to expand";
      }
      tip.replaceChildren(el("b", null, a), el("span", null, b));
      const r = stage.getBoundingClientRect();
      tip.style.left = Math.min(e.clientX - r.left + 14, r.width - 260) + "px";
      tip.style.top = (e.clientY - r.top + 16) + "px";
      tip.classList.add("on");
    }
    stage.addEventListener("pointerleave", () => tip.classList.remove("on"));
    stage.addEventListener("pointermove", (e) => {
      if (!drag) {
        if (!tipFrame) tipFrame = requestAnimationFrame(() => { tipFrame = 0; hover(e); });
        return;
      }
      tip.classList.remove("on");
      const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
      if (!drag.moved && Math.abs(dx) + Math.abs(dy) < 4) return;
      drag.moved = true; stage.classList.add("dragging");
      scene.view.tx = drag.tx + dx; scene.view.ty = drag.ty + dy;
      applyView();
    });
    stage.addEventListener("pointerup", (e) => {
      if (!drag) return;
      const wasClick = !drag.moved;
      drag = null; stage.classList.remove("dragging");
      if (!wasClick || !scene.layout) return;
      const [wx, wy] = toWorld(e);
      const hit = pick(wx, wy);
      if (!hit) { if (scene.selected) app.clearSelection(); return; }
      if (hit.type === "frame") { toggleGroup(hit.gi); return; }
      const it = hit.it;
      if (it.kind === "g" && wx > it.x + it.w / 2 - 26) { toggleGroup(it.ref); return; }
      app.select(it.kind, it.ref, { center: false });
    });
    stage.addEventListener("dblclick", (e) => {
      if (!scene.layout) return;
      const [wx, wy] = toWorld(e);
      const hit = pick(wx, wy);
      if (hit && hit.type === "item" && hit.it.kind === "g") toggleGroup(hit.it.ref);
    });
    stage.addEventListener("wheel", (e) => {
      e.preventDefault();
      const r = stage.getBoundingClientRect();
      const d = e.deltaMode === 1 ? e.deltaY * 16 : e.deltaY;
      zoomAt(Math.exp(-d * (e.ctrlKey ? 0.01 : 0.0015)), e.clientX - r.left, e.clientY - r.top);
    }, { passive: false });
    window.addEventListener("resize", () => { if (scene.mode === "canvas") applyView(); else drawMinimap(); });

    // ---------------------------------------------------------------- groups
    async function toggleGroup(gi, expand) {
      const G = groups[gi];
      const want = expand === undefined ? !G.collapsed : !expand;
      if (G.collapsed === want) return;
      const oldKey = G.collapsed ? "g:" + G.id : null;
      let anchor = null;
      if (oldKey && scene.itemByKey.has(oldKey)) { const it = scene.items[scene.itemByKey.get(oldKey)]; anchor = [it.x, it.y - it.h / 2]; }
      else {
        const f = scene.frames.find((fr) => fr.gi === gi);
        if (f) anchor = [(f.x0 + f.x1) / 2, f.y0 + 16];
      }
      const screen = anchor ? [anchor[0] * scene.view.k + scene.view.tx, anchor[1] * scene.view.k + scene.view.ty] : null;
      G.collapsed = want;
      if (!want) for (let g = G.parent, guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) groups[g].collapsed = false;
      await relayout(true);
      if (screen) {
        let na;
        if (G.collapsed && scene.itemByKey.has("g:" + G.id)) { const it = scene.items[scene.itemByKey.get("g:" + G.id)]; na = [it.x, it.y - it.h / 2]; }
        else { const f = scene.frames.find((fr) => fr.gi === gi); if (f) na = [(f.x0 + f.x1) / 2, f.y0 + 16]; }
        if (na) { scene.view.tx = screen[0] - na[0] * scene.view.k; scene.view.ty = screen[1] - na[1] * scene.view.k; }
      }
      buildScene();
      setStatus();
      if (scene.selected && scene.selected.kind === "g" && scene.selected.ref === gi) app.showGroup(gi);
    }
    async function setAll(collapsed) {
      for (const G of groups) G.collapsed = collapsed;
      if (collapsed) autoOpen();
      await relayout(true);
      buildScene(); fit(); setStatus();
    }

    // The first view of a model with a module tree: open the module that holds most of the
    // graph (the model itself) while its children still make a short list.
    function autoOpen() {
      for (let guard = 0; guard < 8 && moduleGroups.length; guard++) {
        computeVisible();
        let best = null;
        for (const it of scene.items) if (it.kind === "g" && isModule(groups[it.ref]) && groups[it.ref].members.size * 2 >= nodeCount) best = groups[it.ref];
        if (!best) return;
        best.collapsed = false;
        computeVisible();
        if (scene.items.length > 40) { best.collapsed = true; return; }
      }
    }
    async function setOrient(o) {
      scene.orient = o === "LR" ? "LR" : "TB";
      try { localStorage.setItem("zelq-viewer-orient", scene.orient); } catch (e) { /* storage off in sandboxed frames */ }
      orientButton();
      await relayout(false);
      buildScene(); fit(); setStatus();
    }
    function orientButton() {
      const b = $("btn-orient");
      b.textContent = scene.orient === "LR" ? "\u2192 Left to right" : "\u2193 Top to bottom";
      b.setAttribute("aria-pressed", scene.orient === "LR" ? "true" : "false");
    }

    $("legend").querySelector("h3").addEventListener("click", () => $("legend").classList.toggle("closed"));
    function setStatus() {
      const vis = scene.items.length;
      $("status").textContent = `${plural(nodeCount, "node")} \u00b7 ${plural(edges.length, "edge")} \u00b7 ${plural(liveGroups.length, "group")} \u00b7 ${fmtCount(vis)} shown (${scene.mode})` +
        (scene.layout ? ` \u00b7 scene.layout ${Math.round(scene.layout.ms)} ms` : "");
    }

    return Object.assign(scene, {
      relayout, buildScene, applyView, redrawAll, recolour, markSelection, selectedKey, setStatus,
      fit, overview, zoomAt, centerOn, stageSize, toggleGroup, setAll, autoOpen, setOrient, orientButton,
      computeVisible, buildSvgScene, svgDefs, drawCanvasScene, pulse, itemBox,
    });
  }
  return { create };
})();

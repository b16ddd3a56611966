// Where the shape labels of edges go: one per source, on its shortest out-edge,
// at the first spot along the drawn curve that no box, frame head, other label
// or edge crosses; where edges fan in or out so densely that no spot is clear,
// the label is left out (the node's panel gives every shape). Each label stands
// on a plate of the stage's colour painted above the edges, which also keeps
// readable the labels of graphs too large to check (they go where they fall).
// Each placed edge gets lx, ly (the text's start and baseline) and plate
// [x0, y0, x1, y1], the rectangle the page paints behind the text.
const ZEdgeLabels = (() => {
  "use strict";
  const BIG = 20000;          // edges beyond which labels go where they fall, unchecked
  const MAX_CELLS = 1 << 22;  // the grid's cells grow past 64 units to stay within this
  const SPOTS = [0.5, 0.3, 0.7], MAX_SPOTS = 9;

  // A point of the piece from (x0, y0) to (x1, y1) as the page draws it: a cubic
  // whose control points sit halfway along the flow (draw.js, curvePath). Along the
  // flow it moves by u(t), across it by the smoothstep s(t); both are monotonic.
  const flowAt = (t) => 1.5 * t * (1 - t) + t * t * t;
  const crossAt = (t) => t * t * (3 - 2 * t);
  // t where the flow has gone fraction g of the piece (bisection; 1/16384 of a piece).
  function tOf(g) {
    if (!(g > 0)) return 0;
    if (g >= 1) return 1;
    let a = 0, b = 1;
    for (let k = 0; k < 14; k++) { const t = (a + b) / 2; if (flowAt(t) < g) a = t; else b = t; }
    return (a + b) / 2;
  }
  // The least and greatest cross-flow coordinate of a piece where its flow coordinate
  // lies in [lo, hi], into span[0], span[1] (exact, both coordinates being monotonic).
  const span = new Float64Array(2);
  function across(f0, f1, c0, c1, lo, hi) {
    const d = f1 - f0 || 1;
    const a = c0 + (c1 - c0) * crossAt(tOf((lo - f0) / d)), b = c0 + (c1 - c0) * crossAt(tOf((hi - f0) / d));
    span[0] = Math.min(a, b); span[1] = Math.max(a, b);
  }

  // Cells over the drawing, `side` units a side (more where that would make too many).
  function makeGrid(P, items, side) {
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (let i = 0; i < P.length; i += 2) { x0 = Math.min(x0, P[i]); x1 = Math.max(x1, P[i]); y0 = Math.min(y0, P[i + 1]); y1 = Math.max(y1, P[i + 1]); }
    for (const it of items) { x0 = Math.min(x0, it.x - it.w / 2); x1 = Math.max(x1, it.x + it.w / 2); y0 = Math.min(y0, it.y - it.h / 2); y1 = Math.max(y1, it.y + it.h / 2); }
    if (!(x1 >= x0)) { x0 = y0 = 0; x1 = y1 = 1; }
    let C = side, cols, rows;
    for (;; C *= 2) { cols = Math.floor((x1 - x0) / C) + 1; rows = Math.floor((y1 - y0) / C) + 1; if (cols * rows <= MAX_CELLS) break; }
    const gx = (v) => Math.max(0, Math.min(cols - 1, Math.floor((v - x0) / C)));
    const gy = (v) => Math.max(0, Math.min(rows - 1, Math.floor((v - y0) / C)));
    return { cells: cols * rows, cols, gx, gy, C };
  }
  // Items in the cells their boxes meet, in typed arrays (start/items per cell): boxes(i, f)
  // calls f(x0, y0, x1, y1) for each box of item i (an item may have several).
  function index(G, count, boxes) {
    const start = new Int32Array(G.cells + 1);
    let items = null, fill = null, i = 0;
    const add = (b0, b1, b2, b3) => {
      for (let y = G.gy(b1), y1 = G.gy(b3); y <= y1; y++)
        for (let x = G.gx(b0), x1 = G.gx(b2); x <= x1; x++) { const c = y * G.cols + x; if (items) items[fill[c]++] = i; else start[c + 1]++; }
    };
    for (i = 0; i < count; i++) boxes(i, add);
    for (let c = 0; c < G.cells; c++) start[c + 1] += start[c];
    items = new Int32Array(start[G.cells]); fill = start.slice(0, G.cells);
    for (i = 0; i < count; i++) boxes(i, add);
    return { start, items };
  }
  const cellsOf = (G, b0, b1, b2, b3, f) => {
    for (let y = G.gy(b1), y1 = G.gy(b3); y <= y1; y++)
      for (let x = G.gx(b0), x1 = G.gx(b2); x <= x1; x++) if (f(y * G.cols + x)) return true;
    return false;
  };
  const meets = (R, i, b0, b1, b2, b3) => R[4 * i] < b2 && b0 < R[4 * i + 2] && R[4 * i + 1] < b3 && b1 < R[4 * i + 3];

  function place(theme, scene) {
    const m = scene.vedges.length, lr = scene.orient === "LR";
    const P = scene.layout.pts, off = scene.layout.ptsOff;
    const font = theme.palette.font || "sans-serif", FONT_L = "10px " + font;
    const best = new Map();
    for (let i = 0; i < m; i++) {
      const e = scene.vedges[i];
      e.showLabel = false;
      if (!e.label) continue;
      const j = best.get(e.a), len = off[i + 1] - off[i];
      if (j === undefined || len < off[j + 1] - off[j]) best.set(e.a, i);
    }
    if (!best.size) return;
    const checked = m < BIG;
    const order = [...best.values()].sort((p, r) => p - r);

    let G = null, F = null, boxes = null, pieces = null, B = null, SB = null, SP = null;
    let head = null, next = null, L = null, placed = 0;
    if (checked) {
      G = makeGrid(P, scene.items, 64);
      F = makeGrid(P, scene.items, 256);
      // Boxes (2 units of room) and frame heads.
      B = new Float64Array(4 * (scene.items.length + scene.frames.length));
      let r = 0;
      for (const it of scene.items) {
        B[r++] = it.x - it.w / 2 - 2; B[r++] = it.y - it.h / 2 - 2; B[r++] = it.x + it.w / 2 + 2; B[r++] = it.y + it.h / 2 + 2;
      }
      for (const fr of scene.frames) {
        B[r++] = fr.x0; B[r++] = fr.y0; B[r++] = fr.x0 + 16 + theme.textWidth(fr.label, "650 11px " + font); B[r++] = fr.y0 + 18;
      }
      boxes = index(G, r / 4, (i, add) => add(B[4 * i], B[4 * i + 1], B[4 * i + 2], B[4 * i + 3]));
      // The drawn pieces as stretches short across the flow (a piece crossing the
      // drawing sits only in the cells it passes): stretch j of piece SP[j] (the index
      // of its end point in pts) has the box SB[4j..4j+3].
      const K = (p) => Math.min(64, Math.max(1, Math.ceil(Math.abs(lr ? P[2 * p + 1] - P[2 * p - 1] : P[2 * p] - P[2 * p - 2]) / F.C)));
      let count = 0;
      for (let i = 0; i < m; i++) for (let p = off[i] + 1; p < off[i + 1]; p++) count += K(p);
      // Edges criss-crossing the whole drawing (layers wired at random) would cost more
      // than the rest of the page: their labels are placed by the boxes alone, on plates.
      if (count > Math.max(50000, 3 * (off[m] - m))) count = 0;
      SB = new Float64Array(4 * count); SP = new Int32Array(count);
      let j = 0;
      if (count) for (let i = 0; i < m; i++) for (let p = off[i] + 1; p < off[i + 1]; p++) {
        const x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1], k1 = K(p);
        let ax = x0, ay = y0;
        for (let k = 1; k <= k1; k++, j++) {
          const t = k / k1, bx = x0 + (x1 - x0) * (lr ? flowAt(t) : crossAt(t)), by = y0 + (y1 - y0) * (lr ? crossAt(t) : flowAt(t));
          SB[4 * j] = Math.min(ax, bx); SB[4 * j + 1] = Math.min(ay, by); SB[4 * j + 2] = Math.max(ax, bx); SB[4 * j + 3] = Math.max(ay, by);
          SP[j] = p; ax = bx; ay = by;
        }
      }
      pieces = index(F, count, (i, add) => add(SB[4 * i], SB[4 * i + 1], SB[4 * i + 2], SB[4 * i + 3]));
      // Placed plates, listed per cell as they come.
      head = new Int32Array(G.cells).fill(-1);
      L = new Float64Array(4 * order.length);
      next = [];
    }
    // Is the plate b0..b3 on a box, a frame head or a placed label?
    const taken = (b0, b1, b2, b3) => cellsOf(G, b0, b1, b2, b3, (c) => {
      for (let k = boxes.start[c]; k < boxes.start[c + 1]; k++) if (meets(B, boxes.items[k], b0, b1, b2, b3)) return true;
      for (let k = head[c]; k >= 0; k = next[k][1]) if (meets(L, next[k][0], b0, b1, b2, b3)) return true;
      return false;
    });
    // Does a drawn piece pass through b0..b3? Over the box's stretch of the flow a
    // piece spans exactly [span[0], span[1]] across it.
    const crossed = (b0, b1, b2, b3) => cellsOf(F, b0, b1, b2, b3, (c) => {
      for (let k = pieces.start[c]; k < pieces.start[c + 1]; k++) {
        const j = pieces.items[k];
        if (!meets(SB, j, b0, b1, b2, b3)) continue;
        const p = SP[j], x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1];
        if (lr) { across(x0, x1, y0, y1, b0, b2); if (span[1] >= b1 && span[0] <= b3) return true; }
        else { across(y0, y1, x0, x1, b1, b3); if (span[1] >= b0 && span[0] <= b2) return true; }
      }
      return false;
    });
    const take = (b0, b1, b2, b3) => {
      const j = placed++;
      L[4 * j] = b0; L[4 * j + 1] = b1; L[4 * j + 2] = b2; L[4 * j + 3] = b3;
      cellsOf(G, b0, b1, b2, b3, (c) => { next.push([j, head[c]]); head[c] = next.length - 1; return false; });
    };

    for (const i of order) {
      const e = scene.vedges[i], a = off[i], n = off[i + 1] - a;
      const lw = theme.textWidth(e.label, FONT_L);
      // Spots from the middle of the edge outwards.
      const spots = [];
      for (let s = 0; s < n - 1; s++) for (const t of SPOTS) spots.push(s + t);
      const mid = (n - 1) / 2;
      spots.sort((p, r) => Math.abs(p - mid) - Math.abs(r - mid));
      let done = false;
      for (let k = 0; k < Math.min(MAX_SPOTS, spots.length) && !done; k++) {
        const s0 = Math.floor(spots[k]), t = spots[k] - s0, p = a + s0;
        const x0 = P[2 * p], y0 = P[2 * p + 1], x1 = P[2 * p + 2], y1 = P[2 * p + 3];
        const x = x0 + (x1 - x0) * (lr ? flowAt(t) : crossAt(t)), y = y0 + (y1 - y0) * (lr ? crossAt(t) : flowAt(t));
        // Beside a vertical edge (right, then left), above a horizontal one (then below),
        // clear of the edge's own curve along the label's length.
        if (lr) across(x0, x1, y0, y1, x - lw / 2 - 4, x + lw / 2 + 4); else across(y0, y1, x0, x1, y - 9, y + 8);
        const c0 = span[0], c1 = span[1];
        for (let side = 1; side >= -1 && !done; side -= 2) {
          const lx = lr ? x - lw / 2 : side > 0 ? c1 + 6 : c0 - 6 - lw, ly = lr ? (side > 0 ? c0 - 6 : c1 + 14) : y + 3;
          const b0 = lx - 2, b1 = ly - 10, b2 = lx + lw + 2, b3 = ly + 3;
          // An edge's stroke is up to 4 units wide: pieces are kept that far from the plate.
          if (checked && (taken(b0, b1, b2, b3) || crossed(b0 - 2, b1 - 2, b2 + 2, b3 + 2))) continue;
          e.showLabel = true; e.lx = lx; e.ly = ly; e.plate = [b0, b1, b2, b3];
          if (checked) take(b0, b1, b2, b3);
          done = true;
        }
        if (!checked) break;
      }
    }
  }
  return { place };
})();

// Layered top-to-bottom layout. The whole algorithm lives in one function so
// that its source text can start a Web Worker from a Blob, and the page can
// still call it directly when workers are unavailable.
//
// Input  {n, w, h: Float64Array(n), es, et: Int32Array(m), prevX: Float64Array|null,
//         fresh: Uint8Array(n)|null (boxes not drawn before), sweeps, rankGap, nodeGap}
// Output {x, y: Float64Array(n) centres, pts: Float64Array, ptsOff: Int32Array(m+1),
//         reversed: Uint8Array(m), ranks: Int32Array(n), dummies, layers, reordered, ms}
// With prevX (the x of each box in the previous drawing, NaN for new boxes) the old
// order is the starting point and only layers near new boxes are re-ordered.
function zelqLayout(inp) {
  "use strict";
  const t0 = Date.now();
  const n = inp.n | 0, W = inp.w, H = inp.h, es = inp.es, et = inp.et, m = es.length;
  const prevX = inp.prevX || null;
  const RANK_GAP = inp.rankGap || 60, NODE_GAP = inp.nodeGap || 26, DUMMY_W = 12;
  const sweeps = inp.sweeps == null ? 6 : inp.sweeps;

  function buildCsr(count, from, to, len) {
    const off = new Int32Array(count + 1);
    for (let i = 0; i < len; i++) off[from[i] + 1]++;
    for (let i = 0; i < count; i++) off[i + 1] += off[i];
    const adj = new Int32Array(len), eid = new Int32Array(len), pos = off.slice(0, count);
    for (let i = 0; i < len; i++) { const p = pos[from[i]]++; adj[p] = to[i]; eid[p] = i; }
    return { off, adj, eid };
  }

  // 1. Break cycles: edges that close a cycle in a depth-first walk are reversed.
  const out0 = buildCsr(n, es, et, m);
  const indeg0 = new Int32Array(n);
  for (let i = 0; i < m; i++) indeg0[et[i]]++;
  const reversed = new Uint8Array(m);
  {
    const state = new Uint8Array(n), stackV = new Int32Array(n), stackP = new Int32Array(n);
    const visit = (root) => {
      let sp = 0; stackV[0] = root; stackP[0] = out0.off[root]; state[root] = 1;
      while (sp >= 0) {
        const v = stackV[sp];
        if (stackP[sp] < out0.off[v + 1]) {
          const p = stackP[sp]++, w = out0.adj[p];
          if (state[w] === 1) reversed[out0.eid[p]] = 1;
          else if (state[w] === 0) { state[w] = 1; sp++; stackV[sp] = w; stackP[sp] = out0.off[w]; }
        } else { state[v] = 2; sp--; }
      }
    };
    for (let v = 0; v < n; v++) if (indeg0[v] === 0 && state[v] === 0) visit(v);
    for (let v = 0; v < n; v++) if (state[v] === 0) visit(v);
  }
  const src = new Int32Array(m), dst = new Int32Array(m);
  for (let i = 0; i < m; i++) {
    if (reversed[i]) { src[i] = et[i]; dst[i] = es[i]; } else { src[i] = es[i]; dst[i] = et[i]; }
  }

  // 2. Longest-path ranks, then pull sources down next to their first consumer.
  const out = buildCsr(n, src, dst, m), inn = buildCsr(n, dst, src, m);
  const rank = new Int32Array(n), topo = new Int32Array(n), indeg = new Int32Array(n);
  for (let i = 0; i < m; i++) indeg[dst[i]]++;
  let qh = 0, qt = 0;
  for (let v = 0; v < n; v++) if (indeg[v] === 0) topo[qt++] = v;
  while (qh < qt) {
    const u = topo[qh++];
    for (let p = out.off[u]; p < out.off[u + 1]; p++) {
      const v = out.adj[p];
      if (rank[u] + 1 > rank[v]) rank[v] = rank[u] + 1;
      if (--indeg[v] === 0) topo[qt++] = v;
    }
  }
  for (let k = n - 1; k >= 0; k--) {
    const u = topo[k];
    if (inn.off[u] !== inn.off[u + 1] || out.off[u] === out.off[u + 1]) continue;
    let r = 1 << 30;
    for (let p = out.off[u]; p < out.off[u + 1]; p++) r = Math.min(r, rank[out.adj[p]]);
    rank[u] = r - 1;
  }
  let nL = 0;
  for (let v = 0; v < n; v++) if (rank[v] + 1 > nL) nL = rank[v] + 1;

  // 3. Dummy nodes along long edges, so that ordering sees them (capped for huge fans).
  let dummyTotal = 0;
  const cap = 4 * n + 2000;
  const split = new Uint8Array(m);
  for (let i = 0; i < m; i++) {
    const span = rank[dst[i]] - rank[src[i]];
    if (span > 1 && dummyTotal + span - 1 <= cap) { split[i] = 1; dummyTotal += span - 1; }
  }
  const N = n + dummyTotal;
  const layer = new Int32Array(N), width = new Float64Array(N), weight = new Float64Array(N);
  for (let v = 0; v < n; v++) { layer[v] = rank[v]; width[v] = W[v]; weight[v] = 1; }
  const chainOff = new Int32Array(m + 1), chain = new Int32Array(m * 2 + dummyTotal);
  const segA = [], segB = [];
  {
    let d = n, c = 0;
    for (let i = 0; i < m; i++) {
      chainOff[i] = c;
      chain[c++] = src[i];
      const span = rank[dst[i]] - rank[src[i]];
      if (split[i]) {
        let prev = src[i];
        for (let r = rank[src[i]] + 1; r < rank[dst[i]]; r++) {
          layer[d] = r; width[d] = DUMMY_W; weight[d] = 0.001;
          segA.push(prev); segB.push(d); chain[c++] = d; prev = d++;
        }
        segA.push(prev); segB.push(dst[i]);
      } else if (span === 1) { segA.push(src[i]); segB.push(dst[i]); }
      chain[c++] = dst[i];
    }
    chainOff[m] = c;
  }
  const S = segA.length;
  const sA = Int32Array.from(segA), sB = Int32Array.from(segB);
  const down = buildCsr(N, sA, sB, S), up = buildCsr(N, sB, sA, S);

  // 4. Initial order: depth-first discovery (keeps chains and components together),
  // or the previous x positions when re-laying out after an expand or collapse.
  const key = new Float64Array(N), disc = new Int32Array(N).fill(-1);
  // Layers whose order the sweeps may change: all of them on a first layout; after an
  // expand or collapse only those holding new boxes and their neighbours.
  const dirty = new Uint8Array(nL).fill(1);
  {
    let counter = 0;
    const stack = [];
    const roots = [];
    for (let v = 0; v < n; v++) if (inn.off[v] === inn.off[v + 1]) roots.push(v);
    for (let v = 0; v < n; v++) roots.push(v);
    for (let ri = roots.length - 1; ri >= 0; ri--) stack.push(roots[ri]);
    while (stack.length) {
      const v = stack.pop();
      if (disc[v] >= 0) continue;
      disc[v] = counter++;
      for (let p = down.off[v + 1] - 1; p >= down.off[v]; p--) if (disc[down.adj[p]] < 0) stack.push(down.adj[p]);
    }
    for (let v = 0; v < N; v++) if (disc[v] < 0) disc[v] = counter++;
    for (let v = 0; v < N; v++) key[v] = disc[v];
    if (prevX) {
      // Known nodes keep their old x; new ones and dummies take the mean of placed neighbours.
      const known = new Uint8Array(N);
      for (let v = 0; v < n; v++) if (prevX[v] === prevX[v]) { key[v] = prevX[v]; known[v] = 1; }
      for (let pass = 0; pass < 2; pass++) {
        const adjs = pass === 0 ? [down, up] : [up, down];
        for (const A of adjs) {
          for (let v = 0; v < N; v++) {
            if (known[v]) continue;
            let s = 0, c = 0;
            for (let p = A.off[v]; p < A.off[v + 1]; p++) if (known[A.adj[p]]) { s += key[A.adj[p]]; c++; }
            if (c) { key[v] = s / c; known[v] = 2; }
          }
        }
      }
      // Unplaced ones keep discovery order, pushed to the right.
      let maxKey = -Infinity;
      for (let v = 0; v < N; v++) if (known[v] && key[v] > maxKey) maxKey = key[v];
      if (maxKey === -Infinity) maxKey = 0;
      for (let v = 0; v < N; v++) if (!known[v]) key[v] = maxKey + 100 + disc[v];
      dirty.fill(0);
      for (let v = 0; v < n; v++) {
        if (prevX[v] === prevX[v] && !(inp.fresh && inp.fresh[v])) continue;
        for (let l = Math.max(0, layer[v] - 1); l <= Math.min(nL - 1, layer[v] + 1); l++) dirty[l] = 1;
      }
    }
  }
  const layers = [];
  for (let l = 0; l < nL; l++) layers.push([]);
  for (let v = 0; v < N; v++) layers[layer[v]].push(v);
  const pos = new Float64Array(N);
  for (let l = 0; l < nL; l++) {
    layers[l].sort((a, b) => key[a] - key[b] || disc[a] - disc[b]);
    layers[l].forEach((v, i) => { pos[v] = i; });
  }

  // 5. Barycenter sweeps, a bounded number, alternating down and up.
  const bary = new Float64Array(N);
  const sweepLayer = (L, A) => {
    for (const v of L) {
      const a = A.off[v], b = A.off[v + 1];
      if (a === b) { bary[v] = pos[v]; continue; }
      let s = 0;
      for (let p = a; p < b; p++) s += pos[A.adj[p]];
      bary[v] = s / (b - a);
    }
    L.sort((x, y) => bary[x] - bary[y] || pos[x] - pos[y]);
    for (let i = 0; i < L.length; i++) pos[L[i]] = i;
  };
  let reordered = 0;
  for (let l = 0; l < nL; l++) reordered += dirty[l];
  for (let s = 0; s < sweeps; s++) {
    if (s % 2 === 0) { for (let l = 1; l < nL; l++) if (dirty[l]) sweepLayer(layers[l], up); }
    else for (let l = nL - 2; l >= 0; l--) if (dirty[l]) sweepLayer(layers[l], down);
  }

  // 6. Coordinates: each pass moves every node towards the mean x of its neighbours,
  // under the order and spacing constraints, exactly (weighted isotonic regression).
  const X = new Float64Array(N);
  for (let l = 0; l < nL; l++) {
    const L = layers[l];
    let x = 0;
    for (let i = 0; i < L.length; i++) { const v = L[i]; if (i) x += (width[L[i - 1]] + width[v]) / 2 + NODE_GAP; X[v] = x; }
    for (const v of L) X[v] -= x / 2;
  }
  const bw = [], bs = [], bc = [];
  const place = (L, desired, wts) => {
    const k = L.length;
    if (!k) return;
    bw.length = 0; bs.length = 0; bc.length = 0;
    let off = 0;
    const offs = new Float64Array(k);
    for (let i = 0; i < k; i++) {
      if (i) off += (width[L[i - 1]] + width[L[i]]) / 2 + NODE_GAP;
      offs[i] = off;
      const t = desired[i] - off, w = wts[i];
      bw.push(w); bs.push(w * t); bc.push(1);
      while (bw.length > 1) {
        const j = bw.length - 1;
        if (bs[j - 1] / bw[j - 1] <= bs[j] / bw[j]) break;
        bw[j - 1] += bw[j]; bs[j - 1] += bs[j]; bc[j - 1] += bc[j];
        bw.pop(); bs.pop(); bc.pop();
      }
    }
    let i = 0;
    for (let b = 0; b < bw.length; b++) {
      const y = bs[b] / bw[b];
      for (let c = 0; c < bc[b]; c++, i++) X[L[i]] = y + offs[i];
    }
  };
  const passes = 8;
  for (let it = 0; it < passes; it++) {
    const dirDown = it % 2 === 0, both = it === passes - 1;
    const order = [];
    if (dirDown) for (let l = 0; l < nL; l++) order.push(l); else for (let l = nL - 1; l >= 0; l--) order.push(l);
    for (const l of order) {
      const L = layers[l];
      const desired = new Float64Array(L.length), wts = new Float64Array(L.length);
      for (let i = 0; i < L.length; i++) {
        const v = L[i];
        // A real node follows the real ends of its edges, not the bends of long
        // edges next to it: otherwise every skip edge nudges a chain sideways and
        // a deep network drifts across the page. Bends follow their neighbours.
        let s = 0, c = 0;
        const U = v < n ? inn : up, D = v < n ? out : down;
        if (dirDown || both) for (let p = U.off[v]; p < U.off[v + 1]; p++) { s += X[U.adj[p]]; c++; }
        if (!dirDown || both) for (let p = D.off[v]; p < D.off[v + 1]; p++) { s += X[D.adj[p]]; c++; }
        if (c) { desired[i] = s / c; wts[i] = weight[v]; } else { desired[i] = X[v]; wts[i] = 0.05; }
      }
      place(L, desired, wts);
    }
  }

  // 7. y from layer heights; then the edge polylines.
  const layerY = new Float64Array(nL), layerH = new Float64Array(nL);
  for (let v = 0; v < n; v++) if (H[v] > layerH[layer[v]]) layerH[layer[v]] = H[v];
  let y = 0;
  for (let l = 0; l < nL; l++) { layerY[l] = y + layerH[l] / 2; y += layerH[l] + RANK_GAP; }
  let minX = Infinity;
  for (let v = 0; v < n; v++) minX = Math.min(minX, X[v] - W[v] / 2);
  if (!isFinite(minX)) minX = 0;
  const x = new Float64Array(n), yy = new Float64Array(n);
  for (let v = 0; v < n; v++) { x[v] = X[v] - minX; yy[v] = layerY[layer[v]]; }
  const ptsOff = new Int32Array(m + 1);
  const pts = new Float64Array(2 * chainOff[m]);
  for (let i = 0; i < m; i++) {
    const a = chainOff[i], b = chainOff[i + 1];
    ptsOff[i] = a;
    for (let c = a; c < b; c++) {
      const v = chain[c];
      let px = X[v] - minX, py = layerY[layer[v]];
      if (c === a) py += H[v] / 2; else if (c === b - 1) py -= H[v] / 2;
      pts[2 * c] = px; pts[2 * c + 1] = py;
    }
    if (reversed[i]) {
      // Drawn from the original source to the original target.
      for (let lo = a, hi = b - 1; lo < hi; lo++, hi--) {
        const tx = pts[2 * lo], ty = pts[2 * lo + 1];
        pts[2 * lo] = pts[2 * hi]; pts[2 * lo + 1] = pts[2 * hi + 1];
        pts[2 * hi] = tx; pts[2 * hi + 1] = ty;
      }
    }
  }
  ptsOff[m] = chainOff[m];
  return { x, y: yy, pts, ptsOff, reversed, ranks: rank, dummies: dummyTotal, layers: nL, reordered, ms: Date.now() - t0 };
}

// The scene: the boxes and edges in view, laid out in layers (in a worker when the
// browser allows one), drawn as SVG or on a canvas, and the view onto them. Its
// parts are files of their own: the visible graph (visible.js), group frames
// (frames.js), picking (spatial.js), edge label places (edge-labels.js), drawing (draw.js), the
// minimap and the pointer. Callers change what is shown (groups, orientation,
// colours, renderer) and call refresh(); everything they read is a property of
// the returned scene object.
const ZScene = (() => {
  "use strict";
  const { $, sv, fmtCount, plural } = ZDom;
  const SVG_LIMIT = 3500;  // drawn elements beyond which the scene is a canvas

  // `app` supplies select, clearSelection, showGroup and buildLegend, which the
  // pointer and the group toggles call.
  function create(model, theme, colouring, app) {
    const { nodeIds, nodeCount, edges, groups, liveGroups } = model;
    const scene = {
      items: [], itemByKey: new Map(), vedges: [], frames: [],
      layout: null,  // {x, y, pts, ptsOff, reversed, ranks, ms}
      view: { k: 1, tx: 0, ty: 0 }, mode: "svg", forcedMode: null, orient: "TB",
      selected: null,  // {kind: "n"|"g", ref}
      hitKey: null, drawnCount: 0, layoutChain: Promise.resolve(),
      tint: null,  // (node indices) => colour or null: a view's own colouring, below a chosen colour mode
    };
    scene.selectedKey = selectedKey;
    const visible = ZVisible.create(model, theme, colouring, scene);
    const frames = ZFrames.create(model, theme, scene, visible);
    const spatial = ZSpatial.create(theme, scene);
    const draw = ZDraw.create(model, theme, colouring, scene, spatial);
    const { nodeItem } = visible;
    const lastX = new Float64Array(nodeCount).fill(NaN), lastY = new Float64Array(nodeCount).fill(NaN);
    let fromX = null, fromY = null;  // where each node was drawn before the latest layout

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
    if (ZStore.get("zelq-viewer-orient") === "LR") scene.orient = "LR";
    function relayout(warm) {
      const job = scene.layoutChain.then(async () => {
        visible.compute();
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
        frames.compute();
        for (let i = 0; i < nodeCount; i++) { lastX[i] = scene.items[nodeItem[i]].x; lastY[i] = scene.items[nodeItem[i]].y; }
        spatial.build();
      });
      scene.layoutChain = job.catch((e) => { console.error(e); });
      return job;
    }

    // ---------------------------------------------------------------- view
    const stage = $("stage");
    let svgRoot = null, svgViewport = null, canvas = null, ctx = null;
    const stageSize = () => {
      const r = stage.getBoundingClientRect();
      return { w: r.width || PAGE_SIZE.width || 1200, h: r.height || PAGE_SIZE.height || 800 };
    };
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
        svgRoot.appendChild(draw.defs());
        svgViewport = sv("g", { id: "viewport" });
        const from = origins();
        fromX = null;
        if (from) scene.items.forEach((it, k) => { it.index = k; });
        draw.svg(svgViewport, null, false, from);
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
      minimap.drawBase();
    }
    function applyView() {
      if (scene.mode === "svg" && svgViewport) {
        svgViewport.setAttribute("transform", `translate(${scene.view.tx},${scene.view.ty}) scale(${scene.view.k})`);
        svgRoot.classList.toggle("lod-low", scene.view.k < 0.45);
      } else if (!rafPending) {
        rafPending = true;
        requestAnimationFrame(() => { rafPending = false; drawCanvas(); });
      }
      minimap.draw();
    }
    function drawCanvas() {
      if (!canvas) return;
      const { w, h } = stageSize(), dpr = window.devicePixelRatio || 1;
      if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(h * dpr)) { canvas.width = Math.round(w * dpr); canvas.height = Math.round(h * dpr); }
      scene.drawnCount = draw.canvas(ctx, w, h, dpr, scene.view);
    }
    function recolour() { for (const it of scene.items) it.color = visible.makeItem(it.kind, it.ref).color; refresh(); app.buildLegend(); }
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
      const { w, h } = stageSize(), bounds = spatial.bounds();
      const fitK = Math.min(w / Math.max(1, bounds.x1 - bounds.x0), h / Math.max(1, bounds.y1 - bounds.y0));
      return Math.max(Math.min(0.05, fitK * 0.5), Math.min(4, k));
    }
    // Fit and the first view never go below the scale at which the 11 px second lines
    // still read at 9 px: a larger drawing starts at its beginning, and panning and the
    // minimap reach the rest.
    const MIN_READABLE_K = 0.82, WHOLE_K = 0.75;
    // The status line's room at the stage's foot, which a fitted view leaves free.
    const STATUS_ROOM = 30;
    function fit() {
      const { w } = stageSize(), h = stageSize().h - STATUS_ROOM, bounds = spatial.bounds();
      const bw = bounds.x1 - bounds.x0 + 80, bh = bounds.y1 - bounds.y0 + 80;
      // A graph that fits at a little below the readable scale is shown whole rather than cut.
      const k = Math.min(1.4, w / bw, h / bh);
      scene.view.k = k >= WHOLE_K ? k : MIN_READABLE_K;
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
      const { w, h } = stageSize(), bounds = spatial.bounds();
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
    function pan(dx, dy) { scene.view.tx += dx; scene.view.ty += dy; applyView(); }

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


    const viewer = { stageSize, centerOn, applyView, zoomAt };
    const minimap = ZMinimap.create(theme, scene, spatial, viewer);
    ZPointer.create(model, scene, spatial, app, viewer, toggleGroup);
    // The stage changes size with the window and with the strips beside it (the activity scrubber).
    const resized = () => { if (scene.mode === "canvas") applyView(); else minimap.draw(); };
    if (typeof ResizeObserver === "function") new ResizeObserver(resized).observe(stage);
    else window.addEventListener("resize", resized);

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
      // the group's head stays where it was on the screen
      const moved = () => {
        if (!screen) return;
        let na;
        if (G.collapsed && scene.itemByKey.has("g:" + G.id)) { const it = scene.items[scene.itemByKey.get("g:" + G.id)]; na = [it.x, it.y - it.h / 2]; }
        else { const f = scene.frames.find((fr) => fr.gi === gi); if (f) na = [(f.x0 + f.x1) / 2, f.y0 + 16]; }
        if (na) { scene.view.tx = screen[0] - na[0] * scene.view.k; scene.view.ty = screen[1] - na[1] * scene.view.k; }
      };
      await refresh({ layout: "warm", moved });
      if (scene.selected && scene.selected.kind === "g" && scene.selected.ref === gi) app.showGroup(gi);
    }
    async function setAll(collapsed) {
      for (const G of groups) G.collapsed = collapsed;
      if (collapsed) visible.autoOpen();
      await refresh({ layout: "warm", fit: true });
    }

    async function setOrient(o) {
      scene.orient = o === "LR" ? "LR" : "TB";
      ZStore.set("zelq-viewer-orient", scene.orient);
      orientButton();
      await refresh({ layout: "cold", fit: true });
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
        (scene.layout ? ` \u00b7 layout ${Math.round(scene.layout.ms)} ms` : "");
    }

    // Brings the drawing up to date after a change to the groups, the orientation, the
    // colours or the renderer: lays the graph out again first when `opts.layout` is
    // "warm" (boxes stay near where they were) or "cold", lets `opts.moved()` adjust
    // the view to the new layout, draws it as SVG or on a canvas, fits it to the stage
    // when `opts.fit`, and updates the status line. Nothing is drawn before the first layout.
    function refresh(opts) {
      opts = opts || {};
      const show = () => {
        if (!scene.layout) return;
        if (opts.moved) opts.moved();
        buildScene();
        if (opts.fit) fit();
        setStatus();
      };
      if (!opts.layout) { show(); return Promise.resolve(); }
      return relayout(opts.layout === "warm").then(show);
    }
    // The first view: the orientation button, the module tree opened, laid out and fitted.
    function start() {
      orientButton();
      visible.autoOpen();
      return refresh({ layout: "cold", fit: true });
    }

    return Object.assign(scene, {
      start, refresh, recolour, markSelection, pulse, itemBox, draw,
      fit, overview, zoomAt, centerOn, pan, stageSize, toggleGroup, setAll, setOrient,
    });
  }
  return { create };
})();

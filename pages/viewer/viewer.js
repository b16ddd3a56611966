// Graph viewer. Document strings reach the page only through textContent and
// setAttribute: nothing here writes markup from data.
(() => {
  "use strict";
  const $ = (id) => document.getElementById(id);
  const SVGNS = "http://www.w3.org/2000/svg";
  const SVG_LIMIT = 3500;          // drawn elements beyond which the scene is a canvas
  const MAX_AUTO_DECODE = 4e6;     // elements decoded without asking

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = String(text);
    return e;
  }
  function sv(tag, attrs, text) {
    const e = document.createElementNS(SVGNS, tag);
    if (attrs) for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text != null) e.textContent = String(text);
    return e;
  }
  const typeOf = (r) => (r.type == null ? "?" : String(r.type));
  // The title of a group adds the icon to its name.
  const groupTitle = (G) => (G.rec.icon != null ? String(G.rec.icon) + " " : "") + groupName(G);
  const isObj = (v) => v !== null && typeof v === "object" && !Array.isArray(v);
  const own = (o, k) => Object.prototype.hasOwnProperty.call(o, k);
  const clip = (s, n) => (s.length > n ? s.slice(0, n - 1) + "\u2026" : s);

  // ---------------------------------------------------------------- formatting
  function fmtNum(v) {
    if (typeof v !== "number") return String(v);
    if (v !== v) return "NaN";
    if (!isFinite(v)) return v > 0 ? "Infinity" : "-Infinity";
    if (Number.isInteger(v) && Math.abs(v) < 1e15) return String(v);
    const a = Math.abs(v);
    if (a !== 0 && (a < 1e-4 || a >= 1e7)) return v.toExponential(4);
    return String(+v.toPrecision(6));
  }
  function fmtCount(v) {
    if (typeof v !== "number" || !isFinite(v)) return String(v);
    const r = Math.round(v);
    // Grouped by hand below 1e15: the locale formatter costs a millisecond per hundred labels.
    return Math.abs(r) < 1e15 ? String(r).replace(/\B(?=(\d{3})+(?!\d))/g, ",") : r.toLocaleString("en-US");
  }
  function fmtShort(v) {
    if (typeof v !== "number" || !isFinite(v)) return String(v);
    const a = Math.abs(v);
    if (a >= 1e9) return (v / 1e9).toFixed(2) + "B";
    if (a >= 1e6) return (v / 1e6).toFixed(2) + "M";
    if (a >= 1e4) return (v / 1e3).toFixed(1) + "K";
    return fmtCount(v);
  }
  function fmtShape(s) {
    if (Array.isArray(s)) return "[" + s.map((d) => (Array.isArray(d) ? fmtShape(d) : String(d))).join(", ") + "]";
    if (s == null) return "\u2014";
    if (isObj(s)) return JSON.stringify(s);
    return String(s);
  }
  function fmtBytes(b) {
    if (b < 1024) return b + " B";
    if (b < 1048576) return (b / 1024).toFixed(1) + " KB";
    if (b < 1073741824) return (b / 1048576).toFixed(1) + " MB";
    return (b / 1073741824).toFixed(2) + " GB";
  }
  const isEncoded = (v) => isObj(v) && typeof v.dtype === "string" && typeof v.data === "string" && Array.isArray(v.shape);
  function fmtValue(v) {
    if (v === null) return "None";
    if (typeof v === "number") return fmtNum(v);
    if (typeof v === "string") return v;
    if (typeof v === "boolean") return v ? "True" : "False";
    if (isEncoded(v)) return "array " + v.dtype + " " + fmtShape(v.shape);
    try { return clip(JSON.stringify(v, (k, x) => (typeof x === "number" && !isFinite(x) ? fmtNum(x) : x)), 400); }
    catch (e) { return String(v); }
  }
  function compact(v) {
    if (Array.isArray(v) && v.length <= 4 && v.every((x) => typeof x === "number")) return v.join("\u00d7");
    return clip(fmtValue(v), 16);
  }

  // ---------------------------------------------------------------- document model
  const doc = ZLoad.read();
  if (!doc) return;  // the page already says why there is no graph
  const nodes = (Array.isArray(doc.nodes) ? doc.nodes : []).filter(isObj);
  const nodeIndex = new Map();
  const nodeIds = [];
  nodes.forEach((n) => {
    const id = String(n.id);
    if (nodeIndex.has(id)) return;
    nodeIndex.set(id, nodeIds.length);
    nodeIds.push(id);
  });
  const NR = new Array(nodeIds.length).fill(null);  // first record of each id
  for (const n of nodes) { const i = nodeIndex.get(String(n.id)); if (NR[i] === null) NR[i] = n; }
  const NN = nodeIds.length;
  const ACT = ZActivity.create(nodeIds, () => recolour());
  const edgesIn = (Array.isArray(doc.edges) ? doc.edges : []).filter(isObj);
  const summary = isObj(doc.summary) ? doc.summary : {};
  const n2g = isObj(doc.node_to_group) ? doc.node_to_group : {};

  const groups = [];
  const groupIndex = new Map();
  (Array.isArray(doc.groups) ? doc.groups : []).forEach((g) => {
    if (!isObj(g)) return;
    const id = String(g.id);
    if (groupIndex.has(id)) return;
    groupIndex.set(id, groups.length);
    groups.push({ id, rec: g, members: new Set(), parent: -1, depth: 0, collapsed: true, idx: groups.length });
  });
  for (const G of groups) {
    if (Array.isArray(G.rec.nodes)) for (const m of G.rec.nodes) { const i = nodeIndex.get(String(m)); if (i !== undefined) G.members.add(i); }
  }
  const primary = new Int32Array(NN).fill(-1);
  for (let i = 0; i < NN; i++) {
    const n = NR[i];
    let gid = own(n, "group") ? n.group : own(n2g, nodeIds[i]) ? n2g[nodeIds[i]] : undefined;
    if (gid === undefined || gid === null) continue;
    const gi = groupIndex.get(String(gid));
    if (gi === undefined) continue;
    groups[gi].members.add(i);
    primary[i] = gi;
  }
  {
    // Nesting: a group's parent is the smallest other group holding all its members.
    const holders = new Map();
    for (const G of groups) for (const m of G.members) { if (!holders.has(m)) holders.set(m, []); holders.get(m).push(G.idx); }
    for (const G of groups) {
      if (!G.members.size) continue;
      const first = G.members.values().next().value;
      let best = -1;
      for (const ci of holders.get(first)) {
        const C = groups[ci];
        if (ci === G.idx) continue;
        if (C.members.size < G.members.size || (C.members.size === G.members.size && ci > G.idx)) continue;
        let all = true;
        for (const m of G.members) if (!C.members.has(m)) { all = false; break; }
        if (all && (best < 0 || C.members.size < groups[best].members.size)) best = ci;
      }
      G.parent = best;
    }
    for (const G of groups) { let d = 0, p = G.parent; while (p >= 0 && d < 64) { d++; p = groups[p].parent; } G.depth = d; }
    for (let i = 0; i < NN; i++) {
      if (primary[i] >= 0) continue;
      const hs = holders.get(i);
      if (!hs) continue;
      let best = -1;
      for (const gi of hs) if (best < 0 || groups[gi].members.size < groups[best].members.size) best = gi;
      primary[i] = best;
    }
  }

  // ---------------------------------------------------------------- module tree
  // Identifiers such as "model.2.cv1.conv" or "layer1/0/conv1" name the modules that hold
  // a node. They become collapsible groups of the page, as training frameworks show them;
  // the document has no records for them. A module with a single child is left out, so a
  // chain of one-child modules shows as one box named by its full path.
  const MODULE_COLOR = "#64748b", MAX_PATH_DEPTH = 24;
  const moduleGroups = [];
  {
    const mods = new Map();  // path -> {path, parent path or null, depth, nodes, pats, kids}
    const modOf = (path) => {
      let M = mods.get(path);
      if (M) return M;
      const cut = Math.max(path.lastIndexOf("."), path.lastIndexOf("/"));
      const parent = cut > 0 ? modOf(path.slice(0, cut)) : null;
      M = { path, parent, depth: parent ? parent.depth + 1 : 0, nodes: [], pats: [], kids: [], content: 0, g: -1 };
      if (parent) parent.kids.push(M);
      mods.set(path, M);
      return M;
    };
    const homeOf = new Array(NN).fill(null);
    // A path is names joined by "." or "/"; any other identifier stands alone.
    const PATH = /^[\p{L}\p{N}_:-]+(?:[./][\p{L}\p{N}_:-]+)+$/u;
    for (let i = 0; i < NN; i++) {
      const id = nodeIds[i];
      if (id.length > 400 || !PATH.test(id)) continue;
      let cut = -1, seps = 0;
      for (let c = 0; c < id.length; c++) if (id[c] === "." || id[c] === "/") { if (++seps > MAX_PATH_DEPTH) break; if (c > 0) cut = c; }
      if (cut > 0) homeOf[i] = modOf(id.slice(0, cut));
    }
    if (mods.size) {
      const common = (a, b) => {
        if (!a || !b) return null;
        while (a.depth > b.depth) a = a.parent;
        while (b.depth > a.depth) b = b.parent;
        while (a !== b) { a = a.parent; b = b.parent; }
        return a;
      };
      for (let i = 0; i < NN; i++) if (primary[i] < 0 && homeOf[i]) homeOf[i].nodes.push(i);
      // A pattern that spans modules sits in their deepest common module.
      for (const G of groups) {
        if (G.parent >= 0 || !G.members.size) continue;
        let h, first = true;
        for (const m of G.members) { h = first ? homeOf[m] : common(h, homeOf[m]); first = false; if (!h) break; }
        if (h) h.pats.push(G.idx);
      }
      const byDepth = [...mods.values()].sort((a, b) => b.depth - a.depth);
      for (const M of byDepth) {
        M.content = M.nodes.length + M.pats.length + M.kids.filter((K) => K.content > 0).length;
      }
      // The module that stands for M: M itself when it has two children or more, else its nearest such ancestor.
      const kept = (M) => M.content >= 2;
      const eff = (M) => { while (M && !kept(M)) M = M.parent; return M; };
      for (const M of [...byDepth].reverse()) {
        if (!kept(M)) continue;
        const gi = groups.length;
        const rec = { id: M.path, type: "Module", label: M.path };
        const id = groupIndex.has(M.path) ? M.path + " (module)" : M.path;
        groupIndex.set(id, gi);
        const P = eff(M.parent);
        const G = { id, rec, members: new Set(), parent: P ? P.g : -1, depth: 0, collapsed: true, idx: gi, module: M.path, params: 0 };
        groups.push(G); moduleGroups.push(G);
        M.g = gi;
      }
      for (const M of mods.values()) {
        const E = eff(M);
        if (!E) continue;
        for (const i of M.nodes) primary[i] = E.g;
        for (const gi of M.pats) groups[gi].parent = E.g;
      }
      for (let i = 0; i < NN; i++) {
        const pc = typeof NR[i].param_count === "number" ? NR[i].param_count : 0;
        for (let g = primary[i], guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) {
          if (groups[g].module == null) continue;
          groups[g].members.add(i); groups[g].params += pc;
        }
      }
      for (const G of groups) { let d = 0, p = G.parent; while (p >= 0 && d < 64) { d++; p = groups[p].parent; } G.depth = d; }
    }
  }
  const isModule = (G) => G.module != null;
  const liveGroups = groups.filter((G) => G.members.size > 0 && !isModule(G));

  // ---------------------------------------------------------------- words
  const plural = (n, one, many) => fmtCount(n) + " " + (n === 1 ? one : many || one + "s");
  function kernelText(k) {
    if (Array.isArray(k) && k.length >= 2 && k.every((v) => typeof v === "number")) return k[0] + "\u00d7" + k[1];
    if (typeof k === "number") return k + "\u00d7" + k;
    return "";
  }
  // A node's kernel: its kernel_size setting, else the last two axes of a 4-D weight.
  function nodeKernel(i) {
    const n = NR[i];
    if (isObj(n.config) && own(n.config, "kernel_size")) { const t = kernelText(n.config.kernel_size); if (t) return t; }
    const w = isObj(n.params) && isObj(n.params.weight) ? n.params.weight.shape : null;
    if (Array.isArray(w) && w.length === 4) return kernelText(w.slice(2));
    if (Array.isArray(w) && w.length === 3 && typeof w[2] === "number") return w[2] + "";
    return "";
  }
  const mdOf = (G) => (isObj(G.rec.metadata) ? G.rec.metadata : {});
  const startsWith = (v, p) => typeof v === "string" && v.startsWith(p);
  // Titles of pattern groups in plain words ("1 branch", "depth 3"); a label of another form stays.
  function groupName(G) {
    if (isModule(G)) return G.module;
    const g = G.rec, md = mdOf(G);
    if (g.type === "RepConv" && Array.isArray(md.branches) && startsWith(g.label, "RepConv ("))
      return "RepConv (" + plural(md.branches.length, "branch", "branches") + ")";
    if (g.type === "SPP" && typeof md.num_scales === "number" && startsWith(g.label, "SPP ("))
      return "SPP (" + plural(md.num_scales, "scale") + ")";
    if (g.type === "SkipConnection" && typeof md.processing_depth === "number" && startsWith(g.label, "Skip ("))
      return "Skip (depth " + fmtCount(md.processing_depth) + ")";
    return String(g.label != null ? g.label : g.type != null ? g.type : G.id);
  }
  const memberKernels = (G) => [...G.members].map(nodeKernel).filter((t) => t);
  function groupSubtitle(G) {
    if (isModule(G)) return plural(G.members.size, "node") + " \u00b7 " + fmtShort(G.params) + " params";
    const g = G.rec, md = mdOf(G), sub = g.subtitle == null ? "" : String(g.subtitle);
    if (g.type === "RepConv" && Array.isArray(md.branches)) {
      return md.branches.map((b) => {
        if (!isObj(b)) return "?";
        const ids = Array.isArray(b.nodes) ? b.nodes : [];
        if (!ids.length || b.type === "Identity") return "identity";
        let k = kernelText(b.kernel_size);
        if (!k) { const i = nodeIndex.get(String(ids[0])); if (i !== undefined) k = nodeKernel(i); }
        return (k ? k + " " : "") + String(b.type);
      }).join(", ");
    }
    if ((g.type === "SPP" || g.type === "SPPF") && (sub.includes("?") || /: $/.test(sub))) {
      const ks = memberKernels(G);
      if (ks.length) return (g.type === "SPP" ? "parallel: " + [...new Set(ks)].join(", ") : "sequential: " + ks[0]);
    }
    if (/^\d+ nodes$/.test(sub)) return "";  // the member count follows anyway
    return sub;
  }
  function groupLine2(G) {
    const s = groupSubtitle(G);
    if (isModule(G)) return s;
    return (s ? s + " \u00b7 " : "") + plural(G.members.size, "node");
  }
  // Where a group is: the module that holds it, else its first node.
  function groupPlace(G) {
    for (let p = G.parent, guard = 0; p >= 0 && guard < 64; p = groups[p].parent, guard++) if (isModule(groups[p])) return groups[p].module;
    const first = Array.isArray(G.rec.nodes) && G.rec.nodes.length ? String(G.rec.nodes[0]) : G.members.size ? nodeIds[G.members.values().next().value] : G.id;
    return first;
  }

  // A join that stacks its inputs: a Concat node, or a node fed by several inputs whose
  // channel counts add up to its own input's (a summing join sees equal channel counts).
  const stackOf = new Array(NN).fill(null);
  {
    const srcs = new Map();
    for (const e of edgesIn) {
      const s = nodeIndex.get(String(e.source)), t = nodeIndex.get(String(e.target));
      if (s === undefined || t === undefined || s === t) continue;
      if (!srcs.has(t)) srcs.set(t, new Set());
      srcs.get(t).add(s);
    }
    const chan = (sh) => (Array.isArray(sh) && sh.length && typeof sh[0] === "number" ? sh[0] : NaN);
    for (const [t, ss] of srcs) {
      if (ss.size < 2) continue;
      const n = NR[t];
      if (typeOf(n) === "Concat") {
        const ax = isObj(n.config) && typeof n.config.axis === "number" ? n.config.axis : 0;
        stackOf[t] = { k: ss.size, axis: ax };
        continue;
      }
      const want = chan(n.input_shape);
      let sum = 0;
      for (const s of ss) sum += chan(NR[s].output_shape);
      if (want === want && sum === want) stackOf[t] = { k: ss.size, axis: 0 };
    }
  }
  const stackText = (s) => "stacks " + s.k + " on axis " + s.axis;

  // Which group box stands for node i: the outermost collapsed group on its chain.
  function repGroup(i) {
    let g = primary[i], rep = -1, guard = 0;
    while (g >= 0 && guard++ < 64) { if (groups[g].collapsed) rep = g; g = groups[g].parent; }
    return rep;
  }
  function groupRep(gi) {
    let g = groups[gi].parent, rep = -1, guard = 0;
    while (g >= 0 && guard++ < 64) { if (groups[g].collapsed) rep = g; g = groups[g].parent; }
    return rep;
  }

  // ---------------------------------------------------------------- theme and palette
  const root = document.documentElement;
  // A theme set on <html> by whoever embeds the page wins over the stored and the system choice.
  const presetTheme = root.getAttribute("data-theme");
  let storedTheme = presetTheme === "dark" || presetTheme === "light" ? presetTheme : null;
  // Sandboxed frames (notebooks) throw on storage: the choice then lives in memory only.
  if (!storedTheme) try { storedTheme = localStorage.getItem("zelq-viewer-theme"); } catch (e) { storedTheme = null; }
  const media = window.matchMedia ? window.matchMedia("(prefers-color-scheme: dark)") : null;
  function applyTheme(t) { root.setAttribute("data-theme", t); readPalette(); }
  let PAL = {};
  function readPalette() {
    const cs = getComputedStyle(root);
    const g = (k) => cs.getPropertyValue(k).trim();
    PAL = { stage: g("--stage"), fg: g("--fg"), muted: g("--muted"), edge: g("--edge"), edgeLabel: g("--edge-label"),
      accent: g("--accent"), hit: g("--hit"), alpha: parseFloat(g("--node-fill-alpha")) || 0.15, line: g("--line"),
      panel: g("--panel"), font: g("--sans") || "sans-serif" };
  }
  applyTheme(storedTheme === "dark" || storedTheme === "light" ? storedTheme : media && media.matches ? "dark" : "light");
  if (media && media.addEventListener) media.addEventListener("change", (e) => {
    if (!storedTheme) { applyTheme(e.matches ? "dark" : "light"); redrawAll(); }
  });

  // Stroke and text colour of a style colour: pale colours are darkened on the
  // light theme and dark ones lightened on the dark theme, so outlines and labels stay legible.
  const inkCache = new Map();
  function rgbOf(c) {
    measureCtx.fillStyle = "#000"; measureCtx.fillStyle = c;
    const v = measureCtx.fillStyle;
    if (v[0] === "#") return [parseInt(v.slice(1, 3), 16), parseInt(v.slice(3, 5), 16), parseInt(v.slice(5, 7), 16)];
    const m = /rgba?\(([\d.]+),\s*([\d.]+),\s*([\d.]+)/.exec(v);
    return m ? [+m[1], +m[2], +m[3]] : [128, 128, 128];
  }
  const lum = ([r, g, b]) => (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
  function ink(c) {
    const key = (root.getAttribute("data-theme") || "") + c;
    let v = inkCache.get(key);
    if (v) return v;
    const rgb = rgbOf(c), L = lum(rgb), dark = root.getAttribute("data-theme") === "dark";
    let mix = null;
    if (!dark && L > 0.55) mix = [0, Math.min(0.7, (L - 0.35) * 1.1)];
    else if (dark && L < 0.3) mix = [255, Math.min(0.6, (0.45 - L) * 1.3)];
    v = mix ? "rgb(" + rgb.map((x) => Math.round(x + (mix[0] - x) * mix[1])).join(",") + ")" : c;
    inkCache.set(key, v);
    return v;
  }
  const fillAlpha = (c) => ACT.alpha() || (root.getAttribute("data-theme") !== "dark" && lum(rgbOf(c)) > 0.7 ? 0.6 : PAL.alpha);
  const colorOk = new Map();
  function safeColor(c, fallback) {
    if (typeof c !== "string" || !c) return fallback;
    if (!colorOk.has(c)) colorOk.set(c, !!(window.CSS && CSS.supports && CSS.supports("color", c)));
    return colorOk.get(c) ? c : fallback;
  }

  // ---------------------------------------------------------------- shapes
  const SHAPE_ALIAS = {
    rect: "rect", rectangle: "rect", box: "rect", square: "rect", record: "rect", plain: "rect",
    roundrect: "roundrect", roundedrect: "roundrect", roundrectangle: "roundrect", roundedrectangle: "roundrect",
    rounded: "roundrect", roundbox: "roundrect", mrecord: "roundrect",
    stadium: "stadium", pill: "stadium", capsule: "stadium", roundedpill: "stadium",
    ellipse: "ellipse", oval: "ellipse", circle: "ellipse", doublecircle: "ellipse", point: "ellipse",
    diamond: "diamond", rhombus: "diamond", rhomb: "diamond",
    hexagon: "hexagon", hex: "hexagon", octagon: "octagon", doubleoctagon: "octagon", tripleoctagon: "octagon",
    parallelogram: "parallelogram", rhomboid: "parallelogram", trapezoid: "trapezoid", trapezium: "trapezoid",
    invtrapezoid: "invtrapezoid", invtrapezium: "invtrapezoid", triangle: "triangle", invtriangle: "invtriangle",
    house: "house", pentagon: "house", invhouse: "invhouse", cylinder: "cylinder", database: "cylinder",
    barrel: "cylinder", note: "note", folder: "note", tab: "note", tag: "tag", cutrectangle: "octagon",
  };
  function shapeKind(s) { return SHAPE_ALIAS[String(s == null ? "" : s).toLowerCase().replace(/[^a-z]/g, "")] || "roundrect"; }
  function shapeSize(kind, w, h) {
    switch (kind) {
      case "ellipse": return [w * 1.22, h + 10];
      case "diamond": return [w * 1.6, h * 1.45];
      case "hexagon": case "octagon": case "parallelogram": case "trapezoid": case "invtrapezoid": case "tag": return [w + 30, h];
      case "triangle": case "invtriangle": return [w * 1.9, h * 1.5];
      case "house": case "invhouse": case "cylinder": return [w + 6, h + 12];
      default: return [w, h];
    }
  }
  function shapePath(kind, w, h) {
    const a = w / 2, b = h / 2, f = (v) => Math.round(v * 10) / 10;
    const P = (pts) => "M" + pts.map((p) => f(p[0]) + "," + f(p[1])).join("L") + "Z";
    const rr = (r) => `M${f(-a + r)},${f(-b)}H${f(a - r)}A${r},${r} 0 0 1 ${f(a)},${f(-b + r)}V${f(b - r)}A${r},${r} 0 0 1 ${f(a - r)},${f(b)}H${f(-a + r)}A${r},${r} 0 0 1 ${f(-a)},${f(b - r)}V${f(-b + r)}A${r},${r} 0 0 1 ${f(-a + r)},${f(-b)}Z`;
    switch (kind) {
      case "rect": return P([[-a, -b], [a, -b], [a, b], [-a, b]]);
      case "stadium": return rr(Math.min(a, b));
      case "ellipse": return `M${f(-a)},0A${f(a)},${f(b)} 0 1 0 ${f(a)},0A${f(a)},${f(b)} 0 1 0 ${f(-a)},0Z`;
      case "diamond": return P([[0, -b], [a, 0], [0, b], [-a, 0]]);
      case "hexagon": { const c = Math.min(b, a / 2); return P([[-a, 0], [-a + c, -b], [a - c, -b], [a, 0], [a - c, b], [-a + c, b]]); }
      case "octagon": { const c = Math.min(a, b) * 0.55; return P([[-a + c, -b], [a - c, -b], [a, -b + c], [a, b - c], [a - c, b], [-a + c, b], [-a, b - c], [-a, -b + c]]); }
      case "parallelogram": { const s = Math.min(16, a / 3); return P([[-a + s, -b], [a, -b], [a - s, b], [-a, b]]); }
      case "trapezoid": { const s = Math.min(16, a / 3); return P([[-a + s, -b], [a - s, -b], [a, b], [-a, b]]); }
      case "invtrapezoid": { const s = Math.min(16, a / 3); return P([[-a, -b], [a, -b], [a - s, b], [-a + s, b]]); }
      case "triangle": return P([[0, -b], [a, b], [-a, b]]);
      case "invtriangle": return P([[-a, -b], [a, -b], [0, b]]);
      case "house": { const c = Math.min(b * 0.6, 14); return P([[0, -b], [a, -b + c], [a, b], [-a, b], [-a, -b + c]]); }
      case "invhouse": { const c = Math.min(b * 0.6, 14); return P([[-a, -b], [a, -b], [a, b - c], [0, b], [-a, b - c]]); }
      case "tag": { const c = Math.min(b, 14); return P([[-a, -b], [a - c, -b], [a, 0], [a - c, b], [-a, b]]); }
      case "note": { const c = 10; return P([[-a, -b], [a - c, -b], [a, -b + c], [a, b], [-a, b]]); }
      case "cylinder": { const e = 6; return `M${f(-a)},${f(-b + e)}A${f(a)},${e} 0 0 1 ${f(a)},${f(-b + e)}V${f(b - e)}A${f(a)},${e} 0 0 1 ${f(-a)},${f(b - e)}ZM${f(-a)},${f(-b + e)}A${f(a)},${e} 0 0 0 ${f(a)},${f(-b + e)}`; }
      default: return rr(Math.min(8, b));
    }
  }
  const path2dCache = new Map();
  function path2d(kind, w, h) {
    const k = kind + "|" + w + "|" + h;
    let p = path2dCache.get(k);
    if (!p) { p = new Path2D(shapePath(kind, w, h)); path2dCache.set(k, p); }
    return p;
  }

  // ---------------------------------------------------------------- text metrics
  const measureCtx = document.createElement("canvas").getContext("2d");
  const FONT1 = "650 12px " + (PAL.font || "sans-serif"), FONT2 = "11px " + (PAL.font || "sans-serif");
  // Sum of per-character advances: close enough for box sizes, and cheap for 20,000 labels.
  const charWidths = new Map();
  function textWidth(s, font) {
    let tab = charWidths.get(font);
    if (!tab) charWidths.set(font, (tab = new Map()));
    let w = 0;
    for (let i = 0; i < s.length; i++) {
      const c = s.charCodeAt(i);
      let cw = tab.get(c);
      if (cw === undefined) { measureCtx.font = font; cw = measureCtx.measureText(s[i]).width; tab.set(c, cw); }
      w += cw;
    }
    return w;
  }

  // ---------------------------------------------------------------- visible graph
  let items = [], itemByKey = new Map(), vedges = [], frames = [];
  let layout = null;  // {x, y, pts, ptsOff, reversed}
  const lastX = new Float64Array(NN).fill(NaN), lastY = new Float64Array(NN).fill(NaN);
  let fromX = null, fromY = null;  // where each node was drawn before the latest layout
  const nodeItem = new Int32Array(NN);

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
      const n = NR[ref];
      line1 = clip(nodeIds[ref], 38); line2 = nodeLine2(n);
      color = ACT.colour([ref]) || safeColor(n.color, "#8a94a6"); shape = shapeKind(n.shape);
    } else {
      const G = groups[ref], g = G.rec;
      line1 = isModule(G) && G.module.length > 40 ? "\u2026" + G.module.slice(-39) : clip(groupTitle(G), 40);
      line2 = clip(groupLine2(G), 46);
      color = ACT.colour(G.members) || (isModule(G) ? MODULE_COLOR : safeColor(g.color, "#7a6ff0"));
      shape = isModule(G) ? "roundrect" : shapeKind(g.shape); badge = 20;
    }
    const tw = Math.max(textWidth(line1, FONT1), textWidth(line2, FONT2));
    let w = Math.max(96, Math.min(320, Math.ceil(tw) + 28 + badge)), h = kind === "n" ? 44 : 50;
    [w, h] = shapeSize(shape, w, h);
    return { kind, ref, key: (kind === "n" ? "n:" : "g:") + (kind === "n" ? nodeIds[ref] : groups[ref].id),
      line1, line2, color, shape, w: Math.round(w), h: Math.round(h), x: 0, y: 0,
      stack: kind === "n" && stackOf[ref] ? stackText(stackOf[ref]) : null, module: kind === "g" && isModule(groups[ref]) };
  }
  function computeVisible() {
    items = []; itemByKey = new Map();
    for (let i = 0; i < NN; i++) {
      const gr = repGroup(i);
      const key = gr >= 0 ? "g:" + groups[gr].id : "n:" + nodeIds[i];
      let idx = itemByKey.get(key);
      if (idx === undefined) { idx = items.length; items.push(makeItem(gr >= 0 ? "g" : "n", gr >= 0 ? gr : i)); itemByKey.set(key, idx); }
      nodeItem[i] = idx;
    }
    const seen = new Map();
    vedges = [];
    for (const e of edgesIn) {
      const s = nodeIndex.get(String(e.source)), t = nodeIndex.get(String(e.target));
      if (s === undefined || t === undefined) continue;
      const a = nodeItem[s], b = nodeItem[t];
      if (a === b) continue;
      const k = a * 4294967296 + b;
      const prev = seen.get(k);
      if (prev !== undefined) { vedges[prev].count++; continue; }
      seen.set(k, vedges.length);
      const os = NR[s].output_shape;
      vedges.push({ a, b, count: 1, label: os != null && (Array.isArray(os) || typeof os !== "object") ? fmtShape(os) : "" });
    }
  }
  // Fork and join of each pattern: the node that feeds its entries and the one its exits
  // feed (the detector's own "fork"/"join"/"source" when it names them). Its frame holds them.
  const forkJoin = new Map();
  {
    const ins = new Map(), outs = new Map();
    const push = (m, k, v) => { if (!m.has(k)) m.set(k, []); m.get(k).push(v); };
    for (const e of edgesIn) {
      const s = nodeIndex.get(String(e.source)), t = nodeIndex.get(String(e.target));
      if (s !== undefined && t !== undefined && s !== t) { push(outs, s, t); push(ins, t, s); }
    }
    const named = (v) => (typeof v === "string" && nodeIndex.has(v) ? nodeIndex.get(v) : -1);
    const ids = (l) => new Set((Array.isArray(l) ? l : []).map((x) => nodeIndex.get(String(x))).filter((x) => x !== undefined));
    for (const G of liveGroups) {
      const md = mdOf(G), entries = ids(G.rec.entry_nodes), exits = ids(G.rec.exit_nodes);
      let fork = named(md.fork) >= 0 ? named(md.fork) : named(md.source), join = named(md.join);
      const fs = new Set(), js = new Set();
      for (const t of entries) for (const s of ins.get(t) || []) if (!G.members.has(s)) fs.add(s);
      for (const s of exits) for (const t of outs.get(s) || []) if (!G.members.has(t)) js.add(t);
      if (fork < 0 && fs.size === 1) fork = fs.values().next().value;
      if (join < 0 && js.size === 1) join = js.values().next().value;
      if (G.members.has(fork)) fork = -1;
      if (G.members.has(join)) join = -1;
      if (fork >= 0 || join >= 0) forkJoin.set(G.idx, [fork, join]);
    }
  }
  // Room between layers for the borders and heads of the frames that end or begin there:
  // later layers move along the flow, and so do the edge points on them.
  function makeRoom(inF, PAD, HEAD) {
    const lr = orient === "LR", rk = layout.ranks, am = lr ? 0 : 1;
    if (!rk || !items.length) return;
    let nL = 0;
    for (let i = 0; i < items.length; i++) nL = Math.max(nL, rk[i] + 1);
    const first = new Map(), last = new Map();
    for (const [gi, set] of inF) for (const idx of set) {
      const r = rk[idx];
      if (!first.has(gi) || r < first.get(gi)) first.set(gi, r);
      if (!last.has(gi) || r > last.get(gi)) last.set(gi, r);
    }
    const ends = new Int32Array(items.length), starts = new Int32Array(items.length);
    for (const [gi, set] of inF) for (const idx of set) { if (last.get(gi) === rk[idx]) ends[idx]++; if (first.get(gi) === rk[idx]) starts[idx]++; }
    const endN = new Int32Array(nL), startN = new Int32Array(nL), top = new Float64Array(nL).fill(Infinity), bot = new Float64Array(nL).fill(-Infinity);
    items.forEach((it, idx) => {
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
    items.forEach((it, idx) => { if (lr) it.x += sh[rk[idx]]; else it.y += sh[rk[idx]]; });
    const P = layout.pts;
    for (let p = am; p < P.length; p += 2) {
      let lo = 0, hi = tops.length - 1, at = -1;
      while (lo <= hi) { const mid = (lo + hi) >> 1; if (tops[mid][0] - 0.5 <= P[p]) { at = mid; lo = mid + 1; } else hi = mid - 1; }
      if (at >= 0) P[p] += sh[tops[at][1]];
    }
  }
  const containerOf = (it) => (it.kind === "n" ? primary[it.ref] : groups[it.ref].parent);
  function computeFrames() {
    const lr = orient === "LR", PAD = 12, HEAD = 16;
    const inF = new Map();  // gi -> Set of the items it holds
    const boxOf = (it) => [it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2];
    const grow = (box, gi, b) => {
      const a = box.get(gi);
      if (!a) box.set(gi, b.slice());
      else { a[0] = Math.min(a[0], b[0]); a[1] = Math.min(a[1], b[1]); a[2] = Math.max(a[2], b[2]); a[3] = Math.max(a[3], b[3]); }
    };
    items.forEach((it, idx) => {
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
      if (adoptedIn.has(idx) || containerOf(items[idx]) !== groups[gi].parent) continue;
      adoptedIn.set(idx, gi); inF.get(gi).add(idx);
    }
    makeRoom(inF, PAD, HEAD);
    const core = new Map();
    for (const gi of order) for (const idx of coreSet.get(gi)) grow(core, gi, boxOf(items[idx]));
    const padded = (b) => [b[0] - PAD, b[1] - PAD - HEAD, b[2] + PAD, b[3] + PAD];
    for (const gi of order) { const b = padded(core.get(gi)); core.set(gi, b); const p = groups[gi].parent; if (p >= 0 && core.has(p)) grow(core, p, b); }
    // Edges keep out of the frames that hold neither of their ends: their bends move
    // sideways past the frame, all to one side (a skip's own edge passes beside the box it bypasses).
    const P = layout.pts, off = layout.ptsOff, ax = lr ? 1 : 0, FC = 256;
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
    for (let i = 0; i < vedges.length; i++) {
      const a = vedges[i].a, b = vedges[i].b;
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
    for (const gi of order) for (const idx of inF.get(gi)) grow(box, gi, boxOf(items[idx]));
    const holders = (idx) => {
      const l = [];
      for (let g = containerOf(items[idx]), guard = 0; g >= 0 && guard++ < 64; g = groups[g].parent) if (inF.has(g)) l.push(g);
      if (adoptedIn.has(idx)) l.unshift(adoptedIn.get(idx));
      return l;
    };
    for (let i = 0; i < vedges.length; i++) {
      if (off[i + 1] - off[i] < 3) continue;
      const ha = holders(vedges[i].a), hb = new Set(holders(vedges[i].b));
      const gi = ha.find((g) => hb.has(g));
      if (gi === undefined) continue;
      for (let p = off[i] + 1; p < off[i + 1] - 1; p++) grow(box, gi, [P[2 * p] - 4, P[2 * p + 1], P[2 * p] + 4, P[2 * p + 1]]);
    }
    frames = [];
    for (const gi of order) {
      const b = padded(box.get(gi));
      const p = groups[gi].parent;
      if (p >= 0 && box.has(p)) grow(box, p, b);
      const G = groups[gi];
      frames.push({ gi, x0: b[0], y0: b[1], x1: b[2], y1: b[3], color: isModule(G) ? MODULE_COLOR : safeColor(G.rec.color, "#7a6ff0"),
        label: clip("\u25be " + groupTitle(G), 60) });
    }
    frames.reverse();  // outer frames first
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
  let layoutChain = Promise.resolve();
  let orient = "TB", lastOrient = "TB";
  try { if (localStorage.getItem("zelq-viewer-orient") === "LR") orient = "LR"; } catch (e) { /* storage off in sandboxed frames */ }
  function relayout(warm) {
    const job = layoutChain.then(async () => {
      computeVisible();
      const n = items.length, m = vedges.length;
      const w = new Float64Array(n), h = new Float64Array(n), es = new Int32Array(m), et = new Int32Array(m);
      // Left to right is the top-to-bottom layout of the transposed boxes, transposed back.
      const lr = orient === "LR";
      items.forEach((it, i) => { w[i] = lr ? it.h : it.w; h[i] = lr ? it.w : it.h; });
      vedges.forEach((e, i) => { es[i] = e.a; et[i] = e.b; });
      let prevX = null, fresh = null;
      if (warm && lastOrient === orient) {
        fresh = new Uint8Array(n);
        for (let i = 0; i < n; i++) fresh[i] = drawnKeys.has(items[i].key) ? 0 : 1;
        prevX = new Float64Array(n);
        const sum = new Float64Array(n), cnt = new Float64Array(n);
        const across = lr ? lastY : lastX;
        for (let i = 0; i < NN; i++) if (across[i] === across[i]) { sum[nodeItem[i]] += across[i]; cnt[nodeItem[i]]++; }
        for (let i = 0; i < n; i++) prevX[i] = cnt[i] ? sum[i] / cnt[i] : NaN;
      }
      const t0 = performance.now();
      const r = await runLayout({ n, w, h, es, et, prevX, fresh, sweeps: warm ? 3 : 6, rankGap: lr ? 90 : 60 });
      if (lr) {
        const t = r.x; r.x = r.y; r.y = t;
        for (let p = 0; p < r.pts.length; p += 2) { const a = r.pts[p]; r.pts[p] = r.pts[p + 1]; r.pts[p + 1] = a; }
      }
      drawnKeys = new Set(itemByKey.keys());
      lastOrient = orient;
      layout = r;
      layout.wallMs = performance.now() - t0;
      for (let i = 0; i < n; i++) { items[i].x = r.x[i]; items[i].y = r.y[i]; }
      fromX = lastX.slice(); fromY = lastY.slice();
      computeFrames();
      for (let i = 0; i < NN; i++) { lastX[i] = items[nodeItem[i]].x; lastY[i] = items[nodeItem[i]].y; }
      buildIndex();
    });
    layoutChain = job.catch((e) => { console.error(e); });
    return job;
  }

  // ---------------------------------------------------------------- spatial index
  const CELL = 256;
  let grid = new Map(), bounds = { x0: 0, y0: 0, x1: 1, y1: 1 }, edgeBox = null;
  function buildIndex() {
    grid = new Map();
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    items.forEach((it, i) => {
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
    for (const f of frames) { x0 = Math.min(x0, f.x0); y0 = Math.min(y0, f.y0); x1 = Math.max(x1, f.x1); y1 = Math.max(y1, f.y1); }
    if (!items.length) { x0 = y0 = 0; x1 = y1 = 1; }
    bounds = { x0, y0, x1, y1 };
    const m = vedges.length;
    edgeBox = new Float64Array(4 * m);
    for (let i = 0; i < m; i++) {
      let a = Infinity, b = Infinity, c = -Infinity, d = -Infinity;
      for (let p = layout.ptsOff[i]; p < layout.ptsOff[i + 1]; p++) {
        const px = layout.pts[2 * p], py = layout.pts[2 * p + 1];
        a = Math.min(a, px); b = Math.min(b, py); c = Math.max(c, px); d = Math.max(d, py);
      }
      edgeBox[4 * i] = a; edgeBox[4 * i + 1] = b; edgeBox[4 * i + 2] = c; edgeBox[4 * i + 3] = d;
    }
    // One shape label per source, on its shortest out-edge: all its out-edges carry the same tensor.
    const best = new Map();
    for (let i = 0; i < m; i++) {
      vedges[i].showLabel = false;
      if (!vedges[i].label) continue;
      const j = best.get(vedges[i].a), len = layout.ptsOff[i + 1] - layout.ptsOff[i];
      if (j === undefined || len < layout.ptsOff[j + 1] - layout.ptsOff[j]) best.set(vedges[i].a, i);
    }
    // Each label takes the first free spot along its edge, from the middle outwards;
    // where edges fan in or out and no spot is free, the label is left out.
    const taken = new Map(), LC = 64, FONT_L = "10px " + (PAL.font || "sans-serif");
    const cells = (b, f) => {
      for (let gx = Math.floor(b[0] / LC); gx <= Math.floor(b[2] / LC); gx++)
        for (let gy = Math.floor(b[1] / LC); gy <= Math.floor(b[3] / LC); gy++) if (f(gx * 1048576 + gy)) return true;
      return false;
    };
    const hits = (b) => cells(b, (k) => (taken.get(k) || []).some((o) => o[0] < b[2] && b[0] < o[2] && o[1] < b[3] && b[1] < o[3]));
    const take = (b) => cells(b, (k) => { if (!taken.has(k)) taken.set(k, []); taken.get(k).push(b); return false; });
    if (m < 20000) {
      for (const it of items) take([it.x - it.w / 2 - 2, it.y - it.h / 2 - 2, it.x + it.w / 2 + 2, it.y + it.h / 2 + 2]);
      for (const fr of frames) take([fr.x0, fr.y0, fr.x0 + 16 + textWidth(fr.label, "650 11px " + (PAL.font || "sans-serif")), fr.y0 + 18]);
    }
    for (const i of [...best.values()].sort((p, q) => p - q)) {
      const e = vedges[i], a = layout.ptsOff[i], n = layout.ptsOff[i + 1] - a, P = layout.pts;
      const lw = textWidth(e.label, FONT_L);
      const spots = [];
      for (let s = 0; s < n - 1; s++) for (const t of [0.5, 0.3, 0.7]) spots.push([Math.abs(s + t - (n - 1) / 2), s, t]);
      spots.sort((p, q) => p[0] - q[0]);
      for (const [, s0, t] of spots.slice(0, 12)) {
        const x = P[2 * (a + s0)] + (P[2 * (a + s0) + 2] - P[2 * (a + s0)]) * t, y = P[2 * (a + s0) + 1] + (P[2 * (a + s0) + 3] - P[2 * (a + s0) + 1]) * t;
        // Beside a vertical edge, above a horizontal one.
        const lr = orient === "LR", b = lr ? [x - lw / 2 - 1, y - 15, x + lw / 2 + 1, y - 3] : [x + 4, y - 8, x + 6 + lw, y + 5];
        if (m >= 20000 || !hits(b)) { e.showLabel = true; e.lx = lr ? x - lw / 2 : x + 5; e.ly = lr ? y - 5 : y + 3; take(b); break; }
      }
    }
  }
  function pick(wx, wy) {
    const l = grid.get(Math.floor(wx / CELL) * 1048576 + Math.floor(wy / CELL));
    if (l) for (let j = l.length - 1; j >= 0; j--) {
      const it = items[l[j]];
      if (Math.abs(wx - it.x) <= it.w / 2 && Math.abs(wy - it.y) <= it.h / 2) return { type: "item", index: l[j], it };
    }
    for (let j = frames.length - 1; j >= 0; j--) {
      const f = frames[j];
      if (wx >= f.x0 && wx <= f.x1 && wy >= f.y0 && wy <= f.y0 + 18) return { type: "frame", gi: f.gi };
    }
    return null;
  }

  // ---------------------------------------------------------------- view
  const stage = $("stage");
  const view = { k: 1, tx: 0, ty: 0 };
  let mode = "svg", forcedMode = null, svgRoot = null, svgViewport = null, canvas = null, ctx = null;
  let selected = null;  // {kind: "n"|"g", ref}
  let hitKey = null;
  const stageSize = () => {
    const r = stage.getBoundingClientRect();
    return { w: r.width || PAGE_SIZE.width || 1200, h: r.height || PAGE_SIZE.height || 800 };
  };
  function curvePath(i, f) {
    const a = layout.ptsOff[i], b = layout.ptsOff[i + 1], P = layout.pts;
    let d = "M" + f(P[2 * a]) + "," + f(P[2 * a + 1]);
    const lr = orient === "LR";
    for (let p = a + 1; p < b; p++) {
      const x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1], dy = lr ? 0 : (y1 - y0) / 2, dx = lr ? (x1 - x0) / 2 : 0;
      d += "C" + f(x0 + dx) + "," + f(y0 + dy) + " " + f(x1 - dx) + "," + f(y1 - dy) + " " + f(x1) + "," + f(y1);
    }
    return d;
  }

  // Builds the scene as SVG elements into g. `clipRect` limits it to a world rectangle (export).
  // Start position of each box for the expand/collapse animation: where its nodes were.
  function origins() {
    if (!fromX || items.length > 1500 || (window.matchMedia && matchMedia("(prefers-reduced-motion: reduce)").matches)) return null;
    const sx = new Float64Array(items.length), sy = new Float64Array(items.length), c = new Float64Array(items.length);
    for (let i = 0; i < NN; i++) if (fromX[i] === fromX[i]) { const k = nodeItem[i]; sx[k] += fromX[i]; sy[k] += fromY[i]; c[k]++; }
    let moved = false;
    const o = items.map((it, k) => {
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
    const font = PAL.font || "sans-serif";
    const gf = sv("g", { class: "frames" }), ge = sv("g", { class: "edges" }), gl = sv("g", { class: "edge-labels" }), gn = sv("g", { class: "nodes" });
    for (const fr of frames) {
      if (!inRect(fr.x0, fr.y0, fr.x1, fr.y1)) continue;
      gf.appendChild(sv("rect", { class: "frame", x: f(fr.x0), y: f(fr.y0), width: f(fr.x1 - fr.x0), height: f(fr.y1 - fr.y0), rx: 12,
        fill: fr.color, "fill-opacity": 0.06, stroke: ink(fr.color), "stroke-dasharray": "6 4", "stroke-width": 1.4 }));
      const head = sv("g", { class: "frame-head", "data-key": "f:" + groups[fr.gi].id });
      head.appendChild(sv("rect", { x: f(fr.x0), y: f(fr.y0), width: f(fr.x1 - fr.x0), height: 18, fill: "transparent" }));
      head.appendChild(sv("text", { x: f(fr.x0 + 10), y: f(fr.y0 + 14), fill: ink(fr.color), "font-size": 11, "font-weight": 650, "font-family": font }, fr.label));
      gf.appendChild(head);
    }
    const showLabels = !clipRect || view.k >= 0.5;
    for (let i = 0; i < vedges.length; i++) {
      if (!inRect(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
      const e = vedges[i];
      const attrs = { class: layout.reversed[i] ? "edge back" : "edge", d: curvePath(i, f), "marker-end": "url(#zarrow)" };
      if (inlineStyle) Object.assign(attrs, { fill: "none", stroke: PAL.edge, "stroke-width": 1.3 });
      if (e.count > 1) attrs["stroke-width"] = Math.min(1.3 + e.count * 0.4, 4);
      ge.appendChild(sv("path", attrs));
      if (e.showLabel && showLabels) {
        const t = sv("text", { class: "edge-label", x: f(e.lx), y: f(e.ly) }, e.label);
        if (inlineStyle) { t.setAttribute("fill", PAL.edgeLabel); t.setAttribute("font-size", 10); t.setAttribute("font-family", font); }
        gl.appendChild(t);
      }
    }
    for (const it of items) {
      if (!inRect(it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2)) continue;
      const gi = sv("g", { class: it.kind === "n" ? "node" : "group", "data-key": it.key, transform: `translate(${f(it.x)},${f(it.y)})` });
      const o = from && from[it.index];
      if (o) { gi.style.transform = `translate(${f(o[0])}px,${f(o[1])}px)`; gi.dataset.to = `translate(${f(it.x)}px,${f(it.y)}px)`; }
      const d = shapePath(it.shape, it.w, it.h);
      if (it.kind === "g") gi.appendChild(sv("path", { d, transform: "translate(4,4)", fill: PAL.stage, stroke: ink(it.color), "stroke-width": 1.2, "stroke-opacity": 0.6 }));
      gi.appendChild(sv("path", { class: "shape", d, fill: PAL.stage }));
      gi.appendChild(sv("path", { class: "shape", d, fill: it.color, "fill-opacity": fillAlpha(it.color), stroke: ink(it.color), "stroke-width": it.kind === "g" ? 2 : 1.6 }));
      const dx = it.kind === "g" ? -8 : 0;
      gi.appendChild(sv("text", { class: "t1", x: dx, y: -2, "text-anchor": "middle", fill: PAL.fg, "font-size": 12, "font-weight": 650, "font-family": font }, it.line1));
      gi.appendChild(sv("text", { class: "t2", x: dx, y: 13, "text-anchor": "middle", fill: PAL.muted, "font-size": 11, "font-family": font }, it.line2));
      if (it.stack) {
        const sw = Math.ceil(textWidth(it.stack, "10px " + font)) + 10, sx = -it.w / 2 + 8, sy = -it.h / 2 - 7;
        const mark = sv("g", { class: "stack-mark" });
        mark.appendChild(sv("rect", { x: f(sx), y: f(sy), width: sw, height: 14, rx: 7, fill: PAL.stage, stroke: ink(it.color), "stroke-width": 1 }));
        mark.appendChild(sv("text", { x: f(sx + 5), y: f(sy + 10.5), fill: PAL.fg, "font-size": 10, "font-family": font }, it.stack));
        gi.appendChild(mark);
      }
      if (it.kind === "g") {
        const bx = it.w / 2 - 14, by = 0;
        gi.appendChild(sv("circle", { cx: f(bx), cy: by, r: 8, fill: ink(it.color) }));
        gi.appendChild(sv("path", { d: `M${f(bx - 4)},${by}H${f(bx + 4)}M${f(bx)},${by - 4}V${by + 4}`, stroke: PAL.stage, "stroke-width": 2 }));
      }
      gn.appendChild(gi);
    }
    g.appendChild(gf); g.appendChild(ge); g.appendChild(gl); g.appendChild(gn);
  }
  function svgDefs() {
    const defs = sv("defs");
    const mk = sv("marker", { id: "zarrow", viewBox: "0 0 10 10", refX: 9, refY: 5, markerWidth: 7, markerHeight: 7, orient: "auto-start-reverse", markerUnits: "userSpaceOnUse" });
    mk.appendChild(sv("path", { d: "M0,1L10,5L0,9Z", fill: PAL.edge }));
    defs.appendChild(mk);
    return defs;
  }

  function drawCanvasScene(c2, W, H, dpr, v) {
    const k = v.k;
    c2.setTransform(dpr, 0, 0, dpr, 0, 0);
    c2.fillStyle = PAL.stage; c2.fillRect(0, 0, W, H);
    c2.setTransform(dpr * k, 0, 0, dpr * k, dpr * v.tx, dpr * v.ty);
    const vx0 = -v.tx / k, vy0 = -v.ty / k, vx1 = (W - v.tx) / k, vy1 = (H - v.ty) / k;
    const vis = (a, b, c, d) => c >= vx0 && a <= vx1 && d >= vy0 && b <= vy1;
    const font = PAL.font || "sans-serif";
    let drawn = 0;
    for (const fr of frames) {
      if (!vis(fr.x0, fr.y0, fr.x1, fr.y1)) continue;
      c2.globalAlpha = 0.05; c2.fillStyle = fr.color; c2.fillRect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0);
      c2.globalAlpha = 1; c2.strokeStyle = ink(fr.color); c2.lineWidth = 1.4 / Math.max(k, 0.3); c2.setLineDash([6, 4]);
      c2.strokeRect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0); c2.setLineDash([]);
      if (k > 0.3) { c2.fillStyle = ink(fr.color); c2.font = "650 11px " + font; c2.textAlign = "left"; c2.fillText(fr.label, fr.x0 + 10, fr.y0 + 14); }
    }
    // Edges in one path, arrowheads in another.
    c2.strokeStyle = PAL.edge; c2.lineWidth = Math.max(1.2, 0.8 / k); c2.beginPath();
    const arrows = k > 0.25;
    const heads = [];
    const P = layout.pts;
    const lr = orient === "LR";
    for (let i = 0; i < vedges.length; i++) {
      if (!vis(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
      const a = layout.ptsOff[i], b = layout.ptsOff[i + 1];
      c2.moveTo(P[2 * a], P[2 * a + 1]);
      for (let p = a + 1; p < b; p++) {
        const x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1], dy = lr ? 0 : (y1 - y0) / 2, dx = lr ? (x1 - x0) / 2 : 0;
        if (k < 0.15) c2.lineTo(x1, y1); else c2.bezierCurveTo(x0 + dx, y0 + dy, x1 - dx, y1 - dy, x1, y1);
      }
      if (arrows) heads.push(P[2 * b - 2], P[2 * b - 1], lr ? (P[2 * b - 2] >= P[2 * b - 4] ? 1 : -1) : P[2 * b - 1] >= P[2 * b - 3] ? 1 : -1);
    }
    c2.stroke();
    if (arrows) {
      c2.fillStyle = PAL.edge; c2.beginPath();
      for (let j = 0; j < heads.length; j += 3) {
        const x = heads[j], y = heads[j + 1], s = heads[j + 2];
        c2.moveTo(x, y);
        if (lr) { c2.lineTo(x - 7 * s, y - 3.5); c2.lineTo(x - 7 * s, y + 3.5); } else { c2.lineTo(x - 3.5, y - 7 * s); c2.lineTo(x + 3.5, y - 7 * s); }
        c2.closePath();
      }
      c2.fill();
    }
    if (k >= 0.7) {
      c2.fillStyle = PAL.edgeLabel; c2.font = "10px " + font; c2.textAlign = "left";
      for (let i = 0; i < vedges.length; i++) {
        if (!vedges[i].showLabel || !vis(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
        c2.fillText(vedges[i].label, vedges[i].lx, vedges[i].ly);
      }
    }
    // Nodes: plain rectangles when tiny, shaped and labelled when readable.
    const visible = [];
    for (let i = 0; i < items.length; i++) {
      const it = items[i];
      if (vis(it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2)) visible.push(i);
    }
    drawn = visible.length;
    if (k < 0.22) {
      const byColor = new Map();
      for (const i of visible) { const c = items[i].color; if (!byColor.has(c)) byColor.set(c, []); byColor.get(c).push(i); }
      for (const [c, l] of byColor) {
        c2.fillStyle = c; c2.beginPath();
        for (const i of l) { const it = items[i]; c2.rect(it.x - it.w / 2, it.y - it.h / 2, it.w, it.h); }
        c2.fill();
      }
    } else {
      const text = k >= 0.4;
      for (const i of visible) {
        const it = items[i];
        c2.save(); c2.translate(it.x, it.y);
        const p = path2d(it.shape, it.w, it.h);
        if (it.kind === "g") { c2.save(); c2.translate(4, 4); c2.fillStyle = PAL.stage; c2.fill(p); c2.strokeStyle = ink(it.color); c2.lineWidth = 1.2; c2.stroke(p); c2.restore(); }
        c2.fillStyle = PAL.stage; c2.fill(p);
        c2.globalAlpha = fillAlpha(it.color); c2.fillStyle = it.color; c2.fill(p); c2.globalAlpha = 1;
        const isSel = selected && it.key === selectedKey();
        c2.strokeStyle = it.key === hitKey ? PAL.hit : isSel ? PAL.accent : ink(it.color);
        c2.lineWidth = isSel || it.key === hitKey ? 3 : it.kind === "g" ? 2 : 1.6;
        c2.stroke(p);
        if (text) {
          const dx = it.kind === "g" ? -8 : 0;
          c2.textAlign = "center"; c2.fillStyle = PAL.fg; c2.font = FONT1; c2.fillText(it.line1, dx, -2);
          c2.fillStyle = PAL.muted; c2.font = FONT2; c2.fillText(it.line2, dx, 13);
        }
        if (text && it.stack) {
          c2.font = "10px " + font;
          const sw = Math.ceil(c2.measureText(it.stack).width) + 10, sx = -it.w / 2 + 8, sy = -it.h / 2 - 7;
          c2.fillStyle = PAL.stage; c2.strokeStyle = ink(it.color); c2.lineWidth = 1;
          c2.beginPath(); c2.roundRect ? c2.roundRect(sx, sy, sw, 14, 7) : c2.rect(sx, sy, sw, 14); c2.fill(); c2.stroke();
          c2.fillStyle = PAL.fg; c2.textAlign = "left"; c2.fillText(it.stack, sx + 5, sy + 10.5);
        }
        if (it.kind === "g") {
          const bx = it.w / 2 - 14;
          c2.fillStyle = ink(it.color); c2.beginPath(); c2.arc(bx, 0, 8, 0, 2 * Math.PI); c2.fill();
          c2.strokeStyle = PAL.stage; c2.lineWidth = 2; c2.beginPath(); c2.moveTo(bx - 4, 0); c2.lineTo(bx + 4, 0); c2.moveTo(bx, -4); c2.lineTo(bx, 4); c2.stroke();
        }
        c2.restore();
      }
    }
    return drawn;
  }

  let drawnCount = 0, rafPending = false;
  function selectedKey() { return selected ? (selected.kind === "n" ? "n:" + nodeIds[selected.ref] : "g:" + groups[selected.ref].id) : null; }
  function buildScene() {
    const total = items.length + vedges.length;
    const want = forcedMode || (total > SVG_LIMIT ? "canvas" : "svg");
    if (svgRoot) { svgRoot.remove(); svgRoot = null; }
    if (canvas) { canvas.remove(); canvas = null; ctx = null; }
    mode = want;
    const before = $("legend");
    if (mode === "svg") {
      svgRoot = sv("svg", { id: "graph", role: "img" });
      svgRoot.appendChild(svgDefs());
      svgViewport = sv("g", { id: "viewport" });
      const from = origins();
      fromX = null;
      if (from) items.forEach((it, k) => { it.index = k; });
      buildSvgScene(svgViewport, null, false, from);
      svgRoot.appendChild(svgViewport);
      const halo = sv("rect", { class: "halo", id: "halo", rx: 10 });
      svgViewport.appendChild(halo);
      stage.insertBefore(svgRoot, before);
      drawnCount = items.length;
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
    if (mode === "svg" && svgViewport) {
      svgViewport.setAttribute("transform", `translate(${view.tx},${view.ty}) scale(${view.k})`);
      svgRoot.classList.toggle("lod-low", view.k < 0.45);
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
    drawnCount = drawCanvasScene(ctx, w, h, dpr, view);
  }
  function redrawAll() { if (layout) buildScene(); }
  function recolour() { for (const it of items) it.color = makeItem(it.kind, it.ref).color; redrawAll(); buildLegend(); }
  function markSelection() {
    if (mode !== "svg" || !svgRoot) { applyView(); return; }
    for (const e of svgRoot.querySelectorAll(".selected, .hit")) e.classList.remove("selected", "hit");
    const sk = selectedKey();
    for (const e of svgRoot.querySelectorAll(".node, .group")) {
      const k = e.getAttribute("data-key");
      if (k === sk) e.classList.add("selected");
      if (k === hitKey) e.classList.add("hit");
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
    view.k = Math.max(k, MIN_READABLE_K);
    // Too large: start where the graph starts, its first box in the middle across the flow.
    let first = null;
    for (const it of items) if (!first || (orient === "LR" ? it.x < first.x : it.y < first.y)) first = it;
    const cx = (w - (bounds.x0 + bounds.x1) * view.k) / 2, cy = (h - (bounds.y0 + bounds.y1) * view.k) / 2;
    view.tx = bw * view.k <= w ? cx : orient === "LR" || !first ? 40 - bounds.x0 * view.k : w / 2 - first.x * view.k;
    view.ty = bh * view.k <= h ? cy : orient === "LR" && first ? h / 2 - first.y * view.k : 40 - bounds.y0 * view.k;
    applyView();
  }
  const initialView = fit;
  // The whole drawing at whatever scale it takes (Shift+F): an overview, not for reading.
  function overview() {
    const { w, h } = stageSize();
    view.k = Math.min(1.4, w / (bounds.x1 - bounds.x0 + 80), h / (bounds.y1 - bounds.y0 + 80));
    view.tx = (w - (bounds.x0 + bounds.x1) * view.k) / 2;
    view.ty = (h - (bounds.y0 + bounds.y1) * view.k) / 2;
    applyView();
  }
  function zoomAt(factor, sx, sy) {
    const k = clampK(view.k * factor);
    const f = k / view.k;
    view.tx = sx - (sx - view.tx) * f; view.ty = sy - (sy - view.ty) * f; view.k = k;
    applyView();
  }
  function centerOn(x, y, k) {
    const { w, h } = stageSize();
    if (k) view.k = clampK(k);
    view.tx = w / 2 - x * view.k; view.ty = h / 2 - y * view.k;
    applyView();
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
    c.fillStyle = PAL.panel; c.fillRect(0, 0, W, H);
    for (const it of items) {
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
    const x = miniOff[0] + (-view.tx / view.k) * miniScale, y = miniOff[1] + (-view.ty / view.k) * miniScale;
    mctx.strokeStyle = PAL.accent; mctx.lineWidth = 1.5;
    mctx.fillStyle = "rgba(127,127,127,.12)";
    mctx.fillRect(x, y, (w / view.k) * miniScale, (h / view.k) * miniScale);
    mctx.strokeRect(x, y, (w / view.k) * miniScale, (h / view.k) * miniScale);
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
    return [(e.clientX - r.left - view.tx) / view.k, (e.clientY - r.top - view.ty) / view.k];
  };
  stage.addEventListener("pointerdown", (e) => {
    if (e.button !== 0 || e.target.closest("#legend, #zoombar, #minimap")) return;
    drag = { x: e.clientX, y: e.clientY, tx: view.tx, ty: view.ty, moved: false };
    stage.setPointerCapture(e.pointerId);
  });
  // Hover card: what is under the pointer, also when the drawing is too small for labels.
  const tip = el("div");
  tip.id = "tip";
  stage.appendChild(tip);
  let tipFrame = 0;
  function hover(e) {
    if (drag || !layout || e.target.closest("#legend, #zoombar, #minimap")) { tip.classList.remove("on"); return; }
    const [wx, wy] = toWorld(e);
    const hit = pick(wx, wy);
    if (!hit || hit.type !== "item") { tip.classList.remove("on"); stage.style.cursor = ""; return; }
    const it = hit.it;
    stage.style.cursor = "pointer";
    let a, b;
    if (it.kind === "n") {
      const n = NR[it.ref];
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
    view.tx = drag.tx + dx; view.ty = drag.ty + dy;
    applyView();
  });
  stage.addEventListener("pointerup", (e) => {
    if (!drag) return;
    const wasClick = !drag.moved;
    drag = null; stage.classList.remove("dragging");
    if (!wasClick || !layout) return;
    const [wx, wy] = toWorld(e);
    const hit = pick(wx, wy);
    if (!hit) { if (selected) clearSelection(); return; }
    if (hit.type === "frame") { toggleGroup(hit.gi); return; }
    const it = hit.it;
    if (it.kind === "g" && wx > it.x + it.w / 2 - 26) { toggleGroup(it.ref); return; }
    select(it.kind, it.ref, { center: false });
  });
  stage.addEventListener("dblclick", (e) => {
    if (!layout) return;
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
  window.addEventListener("resize", () => { if (mode === "canvas") applyView(); else drawMinimap(); });

  // ---------------------------------------------------------------- groups
  async function toggleGroup(gi, expand) {
    const G = groups[gi];
    const want = expand === undefined ? !G.collapsed : !expand;
    if (G.collapsed === want) return;
    const oldKey = G.collapsed ? "g:" + G.id : null;
    let anchor = null;
    if (oldKey && itemByKey.has(oldKey)) { const it = items[itemByKey.get(oldKey)]; anchor = [it.x, it.y - it.h / 2]; }
    else {
      const f = frames.find((fr) => fr.gi === gi);
      if (f) anchor = [(f.x0 + f.x1) / 2, f.y0 + 16];
    }
    const screen = anchor ? [anchor[0] * view.k + view.tx, anchor[1] * view.k + view.ty] : null;
    G.collapsed = want;
    if (!want) for (let g = G.parent, guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) groups[g].collapsed = false;
    await relayout(true);
    if (screen) {
      let na;
      if (G.collapsed && itemByKey.has("g:" + G.id)) { const it = items[itemByKey.get("g:" + G.id)]; na = [it.x, it.y - it.h / 2]; }
      else { const f = frames.find((fr) => fr.gi === gi); if (f) na = [(f.x0 + f.x1) / 2, f.y0 + 16]; }
      if (na) { view.tx = screen[0] - na[0] * view.k; view.ty = screen[1] - na[1] * view.k; }
    }
    buildScene();
    setStatus();
    if (selected && selected.kind === "g" && selected.ref === gi) showGroup(gi);
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
      for (const it of items) if (it.kind === "g" && isModule(groups[it.ref]) && groups[it.ref].members.size * 2 >= NN) best = groups[it.ref];
      if (!best) return;
      best.collapsed = false;
      computeVisible();
      if (items.length > 40) { best.collapsed = true; return; }
    }
  }
  async function setOrient(o) {
    orient = o === "LR" ? "LR" : "TB";
    try { localStorage.setItem("zelq-viewer-orient", orient); } catch (e) { /* storage off in sandboxed frames */ }
    orientButton();
    await relayout(false);
    buildScene(); fit(); setStatus();
  }
  function orientButton() {
    const b = $("btn-orient");
    b.textContent = orient === "LR" ? "\u2192 Left to right" : "\u2193 Top to bottom";
    b.setAttribute("aria-pressed", orient === "LR" ? "true" : "false");
  }

  // ---------------------------------------------------------------- selection and panel
  const panel = $("panel");
  let pendingSelect = Promise.resolve();
  function select(kind, ref, opts) {
    opts = opts || {};
    pendingSelect = (async () => {
      if (kind === "n") {
        // Open every collapsed group that hides the node.
        let need = false;
        for (let g = primary[ref], guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) if (groups[g].collapsed) { groups[g].collapsed = false; need = true; }
        if (need) { await relayout(true); buildScene(); setStatus(); }
      } else {
        const gr = groupRep(ref);
        if (gr >= 0 || (!groups[ref].collapsed && !frames.some((f) => f.gi === ref))) {
          for (let g = groups[ref].parent, guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) groups[g].collapsed = false;
          await relayout(true); buildScene(); setStatus();
        }
      }
      selected = { kind, ref };
      hitKey = opts.highlight ? selectedKey() : null;
      markSelection();
      const it = itemByKey.has(selectedKey()) ? items[itemByKey.get(selectedKey())] : null;
      const fr = kind === "g" && !it ? frames.find((f) => f.gi === ref) : null;
      if (opts.center) {
        if (it) centerOn(it.x, it.y, Math.max(view.k, 0.9));
        else if (fr) centerOn((fr.x0 + fr.x1) / 2, (fr.y0 + fr.y1) / 2);
      }
      if (opts.highlight && it) pulse(it);
      if (kind === "n") showNode(ref); else showGroup(ref);
      const hash = (kind === "n" ? "#node=" : "#group=") + encodeURIComponent(kind === "n" ? nodeIds[ref] : groups[ref].id);
      if (location.hash !== hash) try { history.replaceState(null, "", hash); } catch (e) { /* file:// without history */ }
    })();
    return pendingSelect;
  }
  function pulse(it) {
    // The search highlight fades; the selection outline stays.
    setTimeout(() => { if (hitKey === it.key) { hitKey = null; markSelection(); } }, 2500);
    if (mode !== "svg") return;
    const halo = $("halo");
    if (!halo) return;
    halo.setAttribute("x", it.x - it.w / 2 - 6); halo.setAttribute("y", it.y - it.h / 2 - 6);
    halo.setAttribute("width", it.w + 12); halo.setAttribute("height", it.h + 12);
    halo.classList.remove("on"); void halo.getBoundingClientRect(); halo.classList.add("on");
    svgViewport.appendChild(halo);
  }
  function clearSelection() { selected = null; hitKey = null; markSelection(); showSummary(); try { history.replaceState(null, "", location.pathname + location.search); } catch (e) { /* ignore */ } }

  function row(tbl, k, v, mono) {
    const tr = el("tr"), a = el("td", null, k), b = el("td", mono ? "v" : null);
    if (v instanceof Node) b.appendChild(v); else b.textContent = v == null ? "\u2014" : String(v);
    tr.appendChild(a); tr.appendChild(b); tbl.appendChild(tr);
    return b;
  }
  function nodeLink(id) {
    const a = el("a", null, id);
    a.setAttribute("href", "#node=" + encodeURIComponent(id));
    a.addEventListener("click", (e) => { e.preventDefault(); const i = nodeIndex.get(id); if (i !== undefined) select("n", i, { center: true, highlight: true }); });
    return a;
  }
  function linkList(ids) {
    const d = el("div", "links");
    for (const x of ids || []) { const id = String(x); if (nodeIndex.has(id)) d.appendChild(nodeLink(id)); else d.appendChild(el("span", "note", id)); }
    if (!d.childNodes.length) d.appendChild(el("span", "note", "none"));
    return d;
  }
  function header(title, kind, color) {
    const frag = document.createDocumentFragment();
    const h = el("h2", null, title);
    h.id = "panel-title";
    const k = el("div", "kind");
    const dot = el("span", "dot");
    dot.style.background = color;
    k.appendChild(dot); k.appendChild(document.createTextNode(kind));
    frag.appendChild(h); frag.appendChild(k);
    return frag;
  }
  function showNode(i) {
    const n = NR[i];
    panel.replaceChildren();
    panel.setAttribute("data-view", "node");
    panel.appendChild(header(nodeIds[i], typeOf(n), safeColor(n.color, "#8a94a6")));
    const t = el("table");
    row(t, "Type", typeOf(n));
    row(t, "Input shape", fmtShape(n.input_shape), true).setAttribute("data-field", "input_shape");
    row(t, "Output shape", fmtShape(n.output_shape), true).setAttribute("data-field", "output_shape");
    row(t, "Parameters", typeof n.param_count === "number" ? fmtCount(n.param_count) : n.param_count == null ? null : fmtValue(n.param_count));
    if (primary[i] >= 0) {
      const G = groups[primary[i]], a = el("a", null, groupName(G));
      a.setAttribute("href", "#group=" + encodeURIComponent(G.id));
      a.addEventListener("click", (e) => { e.preventDefault(); select("g", G.idx, { center: true }); });
      const d = el("div", "links"); d.appendChild(a);
      row(t, "Group", d);
    }
    const ins = [], outs = [];
    for (const e of edgesIn) { if (String(e.target) === nodeIds[i]) ins.push(String(e.source)); if (String(e.source) === nodeIds[i]) outs.push(String(e.target)); }
    row(t, "Inputs from", linkList(ins));
    row(t, "Outputs to", linkList(outs));
    panel.appendChild(t);
    ACT.panel(panel, i);
    const cfg = isObj(n.config) ? n.config : {};
    panel.appendChild(el("h3", null, "Config"));
    const ck = Object.keys(cfg);
    if (!ck.length) panel.appendChild(el("div", "note", "No configuration."));
    else { const ct = el("table"); ct.className = "config"; for (const k of ck) row(ct, k, fmtValue(cfg[k]), true); panel.appendChild(ct); }
    const params = isObj(n.params) ? n.params : {};
    const pk = Object.keys(params);
    panel.appendChild(el("h3", null, "Parameters"));
    if (!pk.length) panel.appendChild(el("div", "note", "No parameter arrays."));
    for (const k of pk) panel.appendChild(paramCard(k, params[k]));
  }
  function paramCard(name, rec) {
    const card = el("div", "param");
    card.setAttribute("data-param", name);
    card.appendChild(el("div", "pname", name));
    if (!isObj(rec)) { card.appendChild(el("div", "note", fmtValue(rec))); return card; }
    const dt = ZDecode.parseDtype(rec.dtype);
    const size = typeof rec.size === "number" ? rec.size : null;
    const bytes = dt && size != null ? " \u00b7 " + fmtBytes(size * dt.bytes) : "";
    card.appendChild(el("div", "pmeta", fmtShape(rec.shape) + " \u00b7 " + String(rec.dtype) + " \u00b7 " + (size != null ? fmtCount(size) + " elements" : "") + bytes));
    const st = isObj(rec.stats) ? rec.stats : {};
    const grid2 = el("div", "stats");
    for (const k of ["min", "max", "mean", "std"]) {
      const c = el("div"), lab = el("span", null, k), v = el("b", null, own(st, k) ? fmtNum(st[k]) : "\u2014");
      v.setAttribute("data-stat", k);
      if (own(st, k)) v.setAttribute("data-value", typeof st[k] === "number" ? String(st[k]) : fmtValue(st[k]));
      c.appendChild(lab); c.appendChild(v); grid2.appendChild(c);
    }
    card.appendChild(grid2);
    const holder = el("div");
    card.appendChild(holder);
    if (isObj(rec.omitted)) { summaryCharts(holder, rec, dt); return card; }
    if (!dt) { holder.appendChild(el("div", "note", "No histogram for dtype " + String(rec.dtype) + ".")); return card; }
    const draw = () => {
      holder.replaceChildren();
      let vals;
      try { vals = ZDecode.decode(rec); } catch (e) { holder.appendChild(el("div", "note", "Could not decode the data.")); return; }
      holder.appendChild(histogramSvg(vals, dt.kind === "c"));
      const shp = Array.isArray(rec.shape) ? rec.shape : [];
      if (shp.length >= 2 && vals.length > 1) holder.appendChild(heatmap(vals, shp));
    };
    if ((size || 0) <= MAX_AUTO_DECODE) draw();
    else { const b = el("button", null, "Decode " + fmtShort(size) + " values"); b.addEventListener("click", draw); holder.appendChild(b); }
    return card;
  }
  // A tensor written without its raw values: the page shows the histogram and
  // the block-mean heat map that the writer computed, and why the values are missing.
  function summaryCharts(holder, rec, dt) {
    const om = rec.omitted, nb = om.bytes;
    const why = om.reason != null && String(om.reason) !== "" ? String(om.reason) : "no reason given";
    const note = el("div", "note omitted", "Raw values left out of this page" +
      (typeof nb === "number" && isFinite(nb) && nb >= 0 ? " (" + fmtBytes(nb) + ")" : "") + ": " + why +
      ". Statistics are exact; the histogram and heat map were computed from the full tensor.");
    note.setAttribute("data-omitted", why);
    holder.appendChild(note);
    const h = rec.histogram;
    const counts = isObj(h) && Array.isArray(h.counts) && h.counts.length && h.counts.every((c) => typeof c === "number" && c >= 0) ? h.counts : null;
    if (counts && typeof h.min === "number" && typeof h.max === "number") {
      holder.appendChild(histogramSvg(null, !!dt && dt.kind === "c",
        { lo: h.min, hi: h.max, counts, finite: counts.reduce((a, c) => a + c, 0) }));
    } else holder.appendChild(el("div", "note", "No histogram in the document."));
    const hm = rec.heatmap, shp = Array.isArray(rec.shape) ? rec.shape : [];
    if (!isObj(hm) || shp.length < 2) return;  // as for full tensors: no map of a vector
    const rows = hm.rows, cols = hm.cols;
    let vals = null;
    try { vals = Number.isInteger(rows) && Number.isInteger(cols) && rows > 0 && cols > 0 ? ZDecode.decode(hm) : null; } catch (e) { vals = null; }
    if (!vals || vals.length !== rows * cols) { holder.appendChild(el("div", "note", "Could not read the heat map.")); return; }
    holder.appendChild(heatmap(vals, [rows, cols], [shp[0], shp.slice(1).reduce((a, d) => a * d, 1)]));
  }
  function histogramSvg(vals, complex, given) {
    const hgm = given || ZDecode.histogram(vals, 40), bins = hgm.counts.length;
    const W = 320, H = 96, top = 4, bottom = 16;
    const s = sv("svg", { class: "hist", viewBox: `0 0 ${W} ${H}`, preserveAspectRatio: "none" });
    s.setAttribute("data-counts", hgm.counts.join(","));
    s.setAttribute("data-lo", String(hgm.lo)); s.setAttribute("data-hi", String(hgm.hi));
    const mx = Math.max(1, ...hgm.counts), bw = W / bins;
    hgm.counts.forEach((c, i) => {
      if (!c) return;
      const bh = Math.max(1, (c / mx) * (H - top - bottom));
      const r = sv("rect", { x: (i * bw + 0.5).toFixed(1), y: (H - bottom - bh).toFixed(1), width: (bw - 1).toFixed(1), height: bh.toFixed(1) });
      const lo = hgm.lo + (hgm.hi - hgm.lo) * i / bins, hi = hgm.lo + (hgm.hi - hgm.lo) * (i + 1) / bins;
      r.appendChild(sv("title", null, `[${fmtNum(lo)}, ${fmtNum(hi)}${i === bins - 1 ? "]" : ")"}: ${c}`));
      s.appendChild(r);
    });
    s.appendChild(sv("text", { x: 0, y: H - 3 }, (complex ? "|z| " : "") + fmtNum(hgm.lo)));
    s.appendChild(sv("text", { x: W, y: H - 3, "text-anchor": "end" }, fmtNum(hgm.hi)));
    s.appendChild(sv("text", { x: W / 2, y: H - 3, "text-anchor": "middle" }, hgm.finite + " finite"));
    return s;
  }
  // `of`: the [rows, cols] of the tensor whose block means `vals` already are.
  function heatmap(vals, shape, of) {
    const rows = Math.max(1, shape[0] | 0), cols = Math.max(1, Math.floor(vals.length / rows));
    const R = Math.min(rows, 160), C = Math.min(cols, 240);
    const acc = new Float64Array(R * C), cnt = new Float64Array(R * C);
    for (let r = 0; r < rows; r++) {
      const rr = Math.floor(r * R / rows);
      for (let c = 0; c < cols; c++) {
        const v = vals[r * cols + c];
        if (v === v && isFinite(v)) { const k = rr * C + Math.floor(c * C / cols); acc[k] += v; cnt[k]++; }
      }
    }
    let lo = Infinity, hi = -Infinity;
    for (let k = 0; k < R * C; k++) if (cnt[k]) { acc[k] /= cnt[k]; lo = Math.min(lo, acc[k]); hi = Math.max(hi, acc[k]); }
    const diverging = lo < 0 && hi > 0, m = Math.max(Math.abs(lo), Math.abs(hi)) || 1;
    const cmap = (v) => {
      if (diverging) {
        const t = v / m;  // -1 .. 1: blue - near white - red
        return t < 0 ? [Math.round(247 + (49 - 247) * -t), Math.round(247 + (99 - 247) * -t), Math.round(247 + (206 - 247) * -t)]
          : [Math.round(247 + (214 - 247) * t), Math.round(247 + (64 - 247) * t), Math.round(247 + (53 - 247) * t)];
      }
      const t = hi > lo ? (v - lo) / (hi - lo) : 0.5;
      const stops = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
      const x = t * 4, i = Math.min(3, Math.floor(x)), f = x - i;
      return stops[i].map((a, j) => Math.round(a + (stops[i + 1][j] - a) * f));
    };
    const box = el("div", "heat");
    const cv = el("canvas", "hm");
    cv.width = C; cv.height = R;
    const scale = Math.max(1, Math.min(240 / C, 200 / R));
    cv.style.width = Math.round(C * Math.min(scale, 240 / C)) + "px";
    cv.style.height = Math.round(R * Math.min(scale, 240 / C)) + "px";
    const c2 = cv.getContext("2d"), img = c2.createImageData(C, R);
    for (let k = 0; k < R * C; k++) {
      const [r, g, b] = cnt[k] ? cmap(acc[k]) : [128, 128, 128];
      img.data[4 * k] = r; img.data[4 * k + 1] = g; img.data[4 * k + 2] = b; img.data[4 * k + 3] = 255;
    }
    c2.putImageData(img, 0, 0);
    const sub = of ? ` (block means ${rows} \u00d7 ${cols})` : R < rows || C < cols ? ` (block means ${R} \u00d7 ${C})` : "";
    cv.setAttribute("title", (of ? `${of[0]} \u00d7 ${of[1]}` : `${rows} \u00d7 ${cols}`) + sub);
    const cb = el("canvas", "cb");
    cb.width = 1; cb.height = 64; cb.style.height = cv.style.height;
    const cbc = cb.getContext("2d"), cbi = cbc.createImageData(1, 64);
    for (let y = 0; y < 64; y++) {
      const t = 1 - y / 63, v = diverging ? -m + 2 * m * t : lo + (hi - lo) * t;
      const [r, g, b] = cmap(v);
      cbi.data[4 * y] = r; cbi.data[4 * y + 1] = g; cbi.data[4 * y + 2] = b; cbi.data[4 * y + 3] = 255;
    }
    cbc.putImageData(cbi, 0, 0);
    const lab = el("div", "cbl");
    lab.appendChild(el("span", null, fmtNum(diverging ? m : hi)));
    lab.appendChild(el("span", null, fmtNum(diverging ? -m : lo)));
    box.appendChild(cv); box.appendChild(cb); box.appendChild(lab);
    const wrap = el("div");
    wrap.appendChild(el("div", "note", of ? "Heat map " + of[0] + " \u00d7 " + of[1] + sub
      : "Heat map " + rows + " \u00d7 " + cols + (shape.length > 2 ? " (rows \u00d7 flattened rest)" : "")));
    wrap.appendChild(box);
    return wrap;
  }
  function showGroup(gi) {
    const G = groups[gi], g = G.rec;
    panel.replaceChildren();
    panel.setAttribute("data-view", "group");
    panel.appendChild(header(groupTitle(G), isModule(G) ? "module" : typeOf(g) + " group", isModule(G) ? MODULE_COLOR : safeColor(g.color, "#7a6ff0")));
    const t = el("table");
    row(t, "Id", G.id, true);
    row(t, "Type", typeOf(g));
    row(t, "Subtitle", groupSubtitle(G));
    row(t, "Members", String(G.members.size));
    if (isModule(G)) row(t, "Parameters", fmtCount(G.params));
    if (G.parent >= 0) row(t, "Inside", groupName(groups[G.parent]));
    panel.appendChild(t);
    const act = el("div", "actions");
    const b = el("button", null, G.collapsed ? "Expand" : "Collapse");
    b.id = "group-toggle";
    b.addEventListener("click", () => toggleGroup(gi));
    act.appendChild(b);
    panel.appendChild(act);
    if (isModule(G)) {
      // A module lists its own boxes: sub-modules, patterns and the nodes directly in it.
      panel.appendChild(el("h3", null, "Contents"));
      const d = el("div", "links");
      for (const C of groups) if (C.parent === gi && C.members.size) {
        const a = el("a", null, groupTitle(C));
        a.setAttribute("href", "#group=" + encodeURIComponent(C.id));
        a.addEventListener("click", (e) => { e.preventDefault(); select("g", C.idx, { center: true }); });
        d.appendChild(a);
      }
      for (let i = 0; i < NN && d.childNodes.length < 400; i++) if (primary[i] === gi) d.appendChild(nodeLink(nodeIds[i]));
      panel.appendChild(d);
      return;
    }
    panel.appendChild(el("h3", null, "Entry nodes")); panel.appendChild(linkList(g.entry_nodes));
    panel.appendChild(el("h3", null, "Exit nodes")); panel.appendChild(linkList(g.exit_nodes));
    panel.appendChild(el("h3", null, "Members")); panel.appendChild(linkList(Array.isArray(g.nodes) ? g.nodes : [...G.members].map((i) => nodeIds[i])));
    panel.appendChild(el("h3", null, "Metadata"));
    if (isObj(g.metadata) && Object.keys(g.metadata).length) {
      const mt = el("table");
      for (const k of Object.keys(g.metadata)) row(mt, k, fmtValue(g.metadata[k]), true);
      panel.appendChild(mt);
    } else panel.appendChild(el("div", "note", "None."));
  }
  function showSummary() {
    panel.replaceChildren();
    panel.setAttribute("data-view", "summary");
    const h = el("h2", null, "Summary");
    h.id = "panel-title";
    panel.appendChild(h);
    panel.appendChild(el("div", "kind", "version " + (doc.version == null ? "unknown" : String(doc.version))));
    const big = el("div", "big");
    const stat = (v, lab, key) => { const d = el("div"); const b = el("b", null, v); b.setAttribute("data-summary", key); d.appendChild(b); d.appendChild(el("span", null, lab)); big.appendChild(d); };
    stat(fmtCount(summary.node_count != null ? summary.node_count : NN), "nodes", "node_count");
    stat(fmtCount(summary.edge_count != null ? summary.edge_count : edgesIn.length), "edges", "edge_count");
    stat(fmtShort(summary.total_params != null ? summary.total_params : 0), "parameters", "total_params");
    panel.appendChild(big);
    panel.appendChild(el("div", "note", plural(summary.total_params || 0, "parameter") + " \u00b7 " + plural(liveGroups.length, "group") +
      (moduleGroups.length ? " \u00b7 " + plural(moduleGroups.length, "module") : "")));
    panel.appendChild(el("h3", null, "Nodes by type"));
    const ct = el("table");
    const colorOf = new Map();
    for (const n of NR) if (!colorOf.has(typeOf(n))) colorOf.set(typeOf(n), safeColor(n.color, "#8a94a6"));
    const counts = isObj(summary.node_counts) ? summary.node_counts : {};
    for (const k of Object.keys(counts)) {
      const lab = el("span", "kind"), dot = el("span", "dot");
      dot.style.background = colorOf.get(k) || "#8a94a6";
      lab.appendChild(dot); lab.appendChild(document.createTextNode(k));
      const tr = el("tr"), a = el("td"), b = el("td", "v", fmtCount(counts[k]));
      tr.setAttribute("data-type", k);
      a.appendChild(lab); tr.appendChild(a); tr.appendChild(b); ct.appendChild(tr);
    }
    panel.appendChild(ct);
    for (const [key, title] of [["inputs", "Inputs"], ["outputs", "Outputs"]]) {
      panel.appendChild(el("h3", null, title));
      const l = Array.isArray(summary[key]) ? summary[key] : [];
      if (!l.length) { panel.appendChild(el("div", "note", "None.")); continue; }
      const tt = el("table");
      for (const e of l) if (isObj(e)) { const id = String(e.id); row(tt, "", fmtShape(e.shape), true).previousSibling.appendChild(nodeIndex.has(id) ? nodeLink(id) : el("span", null, id)); }
      panel.appendChild(tt);
    }
    if (liveGroups.length) {
      // Identical groups once, with where each of them is.
      panel.appendChild(el("h3", null, "Groups"));
      const kinds = new Map();
      for (const G of liveGroups) {
        const k = groupTitle(G) + "\u0000" + groupSubtitle(G);
        if (!kinds.has(k)) kinds.set(k, []);
        kinds.get(k).push(G);
      }
      let shown = 0;
      for (const list of kinds.values()) {
        const box = el("div", "gkind"), G0 = list[0], sub = groupSubtitle(G0);
        box.appendChild(el("div", "gname", groupTitle(G0) + (list.length > 1 ? " \u00d7 " + list.length : "")));
        if (sub) box.appendChild(el("div", "note", sub));
        const gt = el("div", "links");
        for (const G of list.slice(0, Math.max(8, 120 - shown))) {
          const a = el("a", null, groupPlace(G));
          a.setAttribute("href", "#group=" + encodeURIComponent(G.id));
          a.setAttribute("title", groupTitle(G) + " \u00b7 " + G.id);
          a.addEventListener("click", (e) => { e.preventDefault(); select("g", G.idx, { center: true }); });
          gt.appendChild(a);
          shown++;
        }
        if (gt.childNodes.length < list.length) gt.appendChild(el("span", "note", `and ${list.length - gt.childNodes.length} more (search to reach them)`));
        box.appendChild(gt);
        panel.appendChild(box);
      }
    }
    panel.appendChild(el("h3", null, "Metadata"));
    const md = isObj(doc.metadata) ? doc.metadata : {};
    if (!Object.keys(md).length) panel.appendChild(el("div", "note", "None."));
    else { const mt = el("table"); for (const k of Object.keys(md)) row(mt, k, fmtValue(md[k]), true); panel.appendChild(mt); }
    panel.appendChild(el("h3", null, "Keys"));
    panel.appendChild(el("div", "note", "Click a node for details \u00b7 double-click a group to expand \u00b7 / search \u00b7 F fit \u00b7 Shift+F whole graph \u00b7 +/\u2212 zoom \u00b7 arrows pan \u00b7 Esc clear"));
  }

  // ---------------------------------------------------------------- legend and status
  function buildLegend() {
    const box = $("legend").querySelector(".items");
    box.replaceChildren();
    if (ACT.legend(box)) return;
    const types = new Map();
    for (const n of NR) { const t = typeOf(n); if (!types.has(t)) types.set(t, [safeColor(n.color, "#8a94a6"), 0]); types.get(t)[1]++; }
    const gtypes = new Map();
    for (const G of liveGroups) { const t = typeOf(G.rec); if (!gtypes.has(t)) gtypes.set(t, [safeColor(G.rec.color, "#7a6ff0"), 0, G.rec.icon]); gtypes.get(t)[1]++; }
    // Node types as filled swatches, pattern groups as outlined ones (as they are drawn).
    const add = (label, color, count, group, query) => {
      const d = el("div", "item"), sw = el("span", "sw");
      sw.style.background = color;
      sw.style.borderColor = ink(color);
      if (group) sw.style.borderStyle = "double";
      d.appendChild(sw); d.appendChild(el("span", null, label)); d.appendChild(el("span", "count", fmtCount(count)));
      d.setAttribute("title", (group ? "Find the groups: " : "Find the nodes of type ") + label);
      d.addEventListener("click", () => { search.value = query; search.focus(); runSearch(query); });
      box.appendChild(d);
    };
    for (const [t, [c, k]] of types) add(t, c, k, false, t);
    for (const [t, [c, k, icon]] of gtypes) add((icon != null ? String(icon) + " " : "") + t, c, k, true, t);
    if (!types.size) box.appendChild(el("div", "note", "Empty graph"));
  }
  $("legend").querySelector("h3").addEventListener("click", () => $("legend").classList.toggle("closed"));
  function setStatus() {
    const vis = items.length;
    $("status").textContent = `${plural(NN, "node")} \u00b7 ${plural(edgesIn.length, "edge")} \u00b7 ${plural(liveGroups.length, "group")} \u00b7 ${fmtCount(vis)} shown (${mode})` +
      (layout ? ` \u00b7 layout ${Math.round(layout.ms)} ms` : "");
  }

  // ---------------------------------------------------------------- search
  const search = $("search"), results = $("results");
  let haystack = null, resultList = [], activeResult = 0;
  function buildHaystack() {
    haystack = NR.map((n, i) => {
      const parts = [nodeIds[i], typeOf(n)];
      if (isObj(n.config)) for (const k of Object.keys(n.config)) parts.push(k + "=" + fmtValue(n.config[k]));
      return { id: nodeIds[i].toLowerCase(), type: typeOf(n).toLowerCase(), all: parts.join(" ").toLowerCase() };
    });
  }
  function runSearch(q) {
    q = q.trim().toLowerCase();
    results.replaceChildren();
    resultList = [];
    if (!q) { results.classList.remove("open"); return; }
    if (!haystack) buildHaystack();
    const scored = [];
    for (let i = 0; i < NN; i++) {
      const h = haystack[i];
      let s = -1;
      if (h.id === q) s = 0; else if (h.id.startsWith(q)) s = 1; else if (h.id.includes(q)) s = 2;
      else if (h.type.includes(q)) s = 3; else if (h.all.includes(q)) s = 4;
      if (s >= 0) scored.push([s, i, "n"]);
    }
    // Groups by id, label and pattern type, after the nodes whose names match.
    for (const G of liveGroups.concat(moduleGroups)) {
      const t = (G.id + " " + String(G.rec.label) + " " + typeOf(G.rec)).toLowerCase();
      if (t.includes(q)) scored.push([3.5, G.idx, "g"]);
    }
    scored.sort((a, b) => a[0] - b[0] || a[1] - b[1]);
    resultList = scored.slice(0, 60).map((x) => [x[2], x[1]]);
    activeResult = 0;
    resultList.forEach(([kind, i], j) => {
      const d = el("div");
      if (kind === "n") {
        d.setAttribute("data-node", nodeIds[i]);
        d.appendChild(el("span", "rid", nodeIds[i]));
        d.appendChild(el("span", "rtype", typeOf(NR[i])));
      } else {
        d.setAttribute("data-group", groups[i].id);
        d.appendChild(el("span", "rid", groupTitle(groups[i])));
        d.appendChild(el("span", "rtype", (isModule(groups[i]) ? "module" : "group") + " \u00b7 " + plural(groups[i].members.size, "node")));
      }
      if (j === 0) d.classList.add("active");
      d.addEventListener("mousedown", (e) => { e.preventDefault(); choose(j); });
      results.appendChild(d);
    });
    if (!resultList.length) results.appendChild(el("div", "empty", "No match"));
    else if (scored.length > resultList.length) results.appendChild(el("div", "empty", `${scored.length - resultList.length} more\u2026`));
    results.classList.add("open");
  }
  function choose(j) {
    const r = resultList[j];
    if (r === undefined) return;
    results.classList.remove("open");
    search.blur();
    select(r[0], r[1], { center: true, highlight: true });
  }
  search.addEventListener("input", () => runSearch(search.value));
  search.addEventListener("focus", () => { if (search.value) runSearch(search.value); });
  search.addEventListener("blur", () => setTimeout(() => results.classList.remove("open"), 150));
  search.addEventListener("keydown", (e) => {
    if (e.key === "Enter") { e.preventDefault(); choose(activeResult); }
    else if (e.key === "ArrowDown" || e.key === "ArrowUp") {
      e.preventDefault();
      if (!resultList.length) return;
      activeResult = (activeResult + (e.key === "ArrowDown" ? 1 : resultList.length - 1)) % resultList.length;
      [...results.children].forEach((c, j) => c.classList.toggle("active", j === activeResult));
    } else if (e.key === "Escape") { search.value = ""; runSearch(""); search.blur(); }
  });

  // ---------------------------------------------------------------- keyboard
  document.addEventListener("keydown", (e) => {
    const typing = e.target && (e.target.tagName === "INPUT" || e.target.tagName === "TEXTAREA");
    if ((e.ctrlKey || e.metaKey) && (e.key === "f" || e.key === "F")) { e.preventDefault(); search.focus(); search.select(); return; }
    if (ACT.key(e)) return;
    if (typing) return;
    if ((e.key === "Enter" || e.key === " ") && e.target && (e.target.tagName === "BUTTON" || e.target.tagName === "A")) return;
    const { w, h } = stageSize();
    switch (e.key) {
      case "/": e.preventDefault(); search.focus(); search.select(); break;
      case "+": case "=": zoomAt(1.25, w / 2, h / 2); break;
      case "-": case "_": zoomAt(0.8, w / 2, h / 2); break;
      case "0": case "f": fit(); break;
      case "F": if (e.shiftKey) overview(); else fit(); break;
      case "ArrowLeft": view.tx += 80; applyView(); break;
      case "ArrowRight": view.tx -= 80; applyView(); break;
      case "ArrowUp": view.ty += 80; applyView(); break;
      case "ArrowDown": view.ty -= 80; applyView(); break;
      case "Escape": clearSelection(); break;
      case "e": case "Enter":
        if (selected && selected.kind === "g") toggleGroup(selected.ref);
        else if (selected && selected.kind === "n" && primary[selected.ref] >= 0 && e.key === "e") toggleGroup(primary[selected.ref], false);
        break;
      default: return;
    }
    if (e.key.startsWith("Arrow")) e.preventDefault();
  });

  // ---------------------------------------------------------------- export
  function download(blob, name) {
    const a = document.createElement("a");
    a.href = URL.createObjectURL(blob);
    a.download = name;
    document.body.appendChild(a); a.click(); a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 4000);
  }
  const baseName = () => (document.title || "graph").replace(/[^\w.-]+/g, "_").slice(0, 60) || "graph";
  function exportSvg() {
    const { w, h } = stageSize();
    const rect = [-view.tx / view.k, -view.ty / view.k, (w - view.tx) / view.k, (h - view.ty) / view.k];
    const s = sv("svg", { xmlns: SVGNS, width: Math.round(w), height: Math.round(h), viewBox: `${rect[0]} ${rect[1]} ${rect[2] - rect[0]} ${rect[3] - rect[1]}` });
    s.appendChild(svgDefs());
    s.appendChild(sv("rect", { x: rect[0], y: rect[1], width: rect[2] - rect[0], height: rect[3] - rect[1], fill: PAL.stage }));
    const g = sv("g");
    buildSvgScene(g, rect, true);
    s.appendChild(g);
    const text = new XMLSerializer().serializeToString(s);
    const blob = new Blob([text], { type: "image/svg+xml" });
    api.lastExport = { kind: "svg", bytes: blob.size, text };
    download(blob, baseName() + ".svg");
  }
  function exportPng() {
    const { w, h } = stageSize(), dpr = 2;
    const c = document.createElement("canvas");
    c.width = Math.round(w * dpr); c.height = Math.round(h * dpr);
    drawCanvasScene(c.getContext("2d"), w, h, dpr, view);
    c.toBlob((blob) => { if (!blob) return; api.lastExport = { kind: "png", bytes: blob.size }; download(blob, baseName() + ".png"); }, "image/png");
  }

  // ---------------------------------------------------------------- buttons
  $("btn-expand").addEventListener("click", () => setAll(false));
  $("btn-collapse").addEventListener("click", () => setAll(true));
  $("btn-fit").addEventListener("click", fit);
  $("btn-orient").addEventListener("click", () => setOrient(orient === "LR" ? "TB" : "LR"));
  $("btn-fit2").addEventListener("click", fit);
  $("btn-zoomin").addEventListener("click", () => { const { w, h } = stageSize(); zoomAt(1.25, w / 2, h / 2); });
  $("btn-zoomout").addEventListener("click", () => { const { w, h } = stageSize(); zoomAt(0.8, w / 2, h / 2); });
  $("btn-summary").addEventListener("click", clearSelection);
  $("btn-svg").addEventListener("click", exportSvg);
  $("btn-png").addEventListener("click", exportPng);
  $("btn-theme").addEventListener("click", () => {
    const next = root.getAttribute("data-theme") === "dark" ? "light" : "dark";
    storedTheme = next;
    try { localStorage.setItem("zelq-viewer-theme", next); } catch (e) { /* storage off */ }
    applyTheme(next); redrawAll(); buildLegend();
  });

  // ---------------------------------------------------------------- hash
  function fromHash() {
    const m = /^#(node|group)=(.*)$/.exec(location.hash);
    if (!m) return false;
    let id;
    try { id = decodeURIComponent(m[2]); } catch (e) { return false; }
    if (m[1] === "node" && nodeIndex.has(id)) { select("n", nodeIndex.get(id), { center: true, highlight: true }); return true; }
    if (m[1] === "group" && groupIndex.has(id)) { select("g", groupIndex.get(id), { center: true }); return true; }
    return false;
  }
  window.addEventListener("hashchange", fromHash);

  // ---------------------------------------------------------------- test and automation hooks
  const api = {
    ready: false, readyAt: 0, lastExport: null,
    stats: () => ({ mode, items: items.length, nodesShown: items.filter((i) => i.kind === "n").length,
      groupsShown: items.filter((i) => i.kind === "g").length, frames: frames.length, edges: vedges.length, drawn: drawnCount,
      layoutMs: layout ? layout.ms : null, layers: layout ? layout.layers : 0, reordered: layout ? layout.reordered : 0, view: { ...view } }),
    selected: () => (selected ? { kind: selected.kind === "n" ? "node" : "group", id: selected.kind === "n" ? nodeIds[selected.ref] : groups[selected.ref].id } : null),
    itemBox: (key) => {
      const i = itemByKey.get(key);
      if (i === undefined) return null;
      const it = items[i], r = stage.getBoundingClientRect();
      return { x: r.left + it.x * view.k + view.tx, y: r.top + it.y * view.k + view.ty, w: it.w * view.k, h: it.h * view.k };
    },
    toggleGroup: (id, expand) => { const gi = groupIndex.get(String(id)); return gi === undefined ? Promise.resolve() : toggleGroup(gi, expand); },
    expandAll: () => setAll(false), collapseAll: () => setAll(true),
    selectNode: (id) => (nodeIndex.has(String(id)) ? select("n", nodeIndex.get(String(id)), { center: true, highlight: true }) : Promise.resolve()),
    idle: () => layoutChain.then(() => pendingSelect),
    setRenderer: (m) => { forcedMode = m || null; buildScene(); setStatus(); },
    exportSvg, exportPng, fit, overview, setOrient, orient: () => orient,
    decode: (rec) => Array.from(ZDecode.decode(rec) || []), histogram: (rec, bins) => ZDecode.histogram(ZDecode.decode(rec), bins),
  };
  window.zelqViewer = api;

  // ---------------------------------------------------------------- start
  buildLegend();
  showSummary();
  orientButton();
  autoOpen();
  relayout(false).then(() => {
    buildScene();
    initialView();
    setStatus();
    if (!fromHash()) { /* nothing selected: the summary stays */ }
    return pendingSelect;
  }).then(() => {
    api.ready = true;
    api.readyAt = performance.now();
    document.body.setAttribute("data-state", "ready");
  });
})();

// The document model: node records by id, pattern groups with their nesting,
// the module tree read from node paths, joins that stack their inputs, and the
// words that name groups. Built once from the document; the only state that
// changes later is each group's `collapsed` flag.
const ZModel = (() => {
  "use strict";
  const { isObj, own, clip, compact, fmtCount, fmtShort, plural } = ZDom;
  const typeOf = (r) => (r.type == null ? "?" : String(r.type));

  function create(doc) {
    const nodes = (Array.isArray(doc.nodes) ? doc.nodes : []).filter(isObj);
    const nodeIndex = new Map();
    const nodeIds = [];
    nodes.forEach((n) => {
      const id = String(n.id);
      if (nodeIndex.has(id)) return;
      nodeIndex.set(id, nodeIds.length);
      nodeIds.push(id);
    });
    const records = new Array(nodeIds.length).fill(null);  // first record of each id
    for (const n of nodes) { const i = nodeIndex.get(String(n.id)); if (records[i] === null) records[i] = n; }
    const nodeCount = nodeIds.length;
    const edges = (Array.isArray(doc.edges) ? doc.edges : []).filter(isObj);
    const summary = isObj(doc.summary) ? doc.summary : {};
    const nodeToGroup = isObj(doc.node_to_group) ? doc.node_to_group : {};

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
    // Nesting as the document states it: each group record names its parent
    // ("parent", null at the top). A parent that is unknown, the group itself,
    // part of a loop or deeper than 64 levels is dropped.
    function parentsFromRecords() {
      for (const G of groups) {
        const p = G.rec.parent == null ? undefined : groupIndex.get(String(G.rec.parent));
        G.parent = p === undefined || p === G.idx ? -1 : p;
      }
      for (const G of groups) {
        let p = G.parent, steps = 0;
        while (p >= 0 && p !== G.idx && steps < 64) { p = groups[p].parent; steps++; }
        if (p >= 0) G.parent = -1;
      }
    }
    // Without it: the smallest other group holding all its members.
    function parentsFromMembers(holders) {
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
    }
    const primary = new Int32Array(nodeCount).fill(-1);
    for (let i = 0; i < nodeCount; i++) {
      const n = records[i];
      let gid = own(n, "group") ? n.group : own(nodeToGroup, nodeIds[i]) ? nodeToGroup[nodeIds[i]] : undefined;
      if (gid === undefined || gid === null) continue;
      const gi = groupIndex.get(String(gid));
      if (gi === undefined) continue;
      groups[gi].members.add(i);
      primary[i] = gi;
    }
    {
      const holders = new Map();
      for (const G of groups) for (const m of G.members) { if (!holders.has(m)) holders.set(m, []); holders.get(m).push(G.idx); }
      if (groups.some((G) => own(G.rec, "parent"))) parentsFromRecords();
      else parentsFromMembers(holders);  // a document whose groups do not name their parent
      for (const G of groups) { let d = 0, p = G.parent; while (p >= 0 && d < 64) { d++; p = groups[p].parent; } G.depth = d; }
      for (let i = 0; i < nodeCount; i++) {
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
      const homeOf = new Array(nodeCount).fill(null);
      // A path is names joined by "." or "/"; any other identifier stands alone.
      const PATH = /^[\p{L}\p{N}_:-]+(?:[./][\p{L}\p{N}_:-]+)+$/u;
      for (let i = 0; i < nodeCount; i++) {
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
        for (let i = 0; i < nodeCount; i++) if (primary[i] < 0 && homeOf[i]) homeOf[i].nodes.push(i);
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
        for (let i = 0; i < nodeCount; i++) {
          const pc = typeof records[i].param_count === "number" ? records[i].param_count : 0;
          for (let g = primary[i], guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) {
            if (groups[g].module == null) continue;
            groups[g].members.add(i); groups[g].params += pc;
          }
        }
        for (const G of groups) { let d = 0, p = G.parent; while (p >= 0 && d < 64) { d++; p = groups[p].parent; } G.depth = d; }
      }
    }
    const isModule = (G) => G.module != null;
    // The title of a group adds the icon to its name.
    const groupTitle = (G) => (G.rec.icon != null ? String(G.rec.icon) + " " : "") + groupName(G);
    const liveGroups = groups.filter((G) => G.members.size > 0 && !isModule(G));

    // ---------------------------------------------------------------- words
    function kernelText(k) {
      if (Array.isArray(k) && k.length >= 2 && k.every((v) => typeof v === "number")) return k[0] + "\u00d7" + k[1];
      if (typeof k === "number") return k + "\u00d7" + k;
      return "";
    }
    // A node's kernel: its kernel_size setting, else the last two axes of a 4-D weight.
    function nodeKernel(i) {
      const n = records[i];
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
    const stackOf = new Array(nodeCount).fill(null);
    {
      const srcs = new Map();
      for (const e of edges) {
        const s = nodeIndex.get(String(e.source)), t = nodeIndex.get(String(e.target));
        if (s === undefined || t === undefined || s === t) continue;
        if (!srcs.has(t)) srcs.set(t, new Set());
        srcs.get(t).add(s);
      }
      const chan = (sh) => (Array.isArray(sh) && sh.length && typeof sh[0] === "number" ? sh[0] : NaN);
      for (const [t, ss] of srcs) {
        if (ss.size < 2) continue;
        const n = records[t];
        if (typeOf(n) === "Concat") {
          const ax = isObj(n.config) && typeof n.config.axis === "number" ? n.config.axis : 0;
          stackOf[t] = { k: ss.size, axis: ax };
          continue;
        }
        const want = chan(n.input_shape);
        let sum = 0;
        for (const s of ss) sum += chan(records[s].output_shape);
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

    // Fork and join of each pattern: the node that feeds its entries and the one its exits
    // feed (the detector's own "fork"/"join"/"source" when it names them). Its frame holds them.
    const forkJoin = new Map();
    {
      const ins = new Map(), outs = new Map();
      const push = (m, k, v) => { if (!m.has(k)) m.set(k, []); m.get(k).push(v); };
      for (const e of edges) {
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
    const containerOf = (it) => (it.kind === "n" ? primary[it.ref] : groups[it.ref].parent);

    return {
      doc, records, nodeIds, nodeIndex, nodeCount, edges, summary, groups, groupIndex, primary,
      moduleGroups, liveGroups, stackOf, forkJoin, MODULE_COLOR,
      typeOf, isModule, groupName, groupTitle, groupSubtitle, groupLine2, groupPlace,
      kernelText, nodeKernel, stackText, repGroup, groupRep, containerOf, mdOf,
    };
  }
  return { create, typeOf };
})();

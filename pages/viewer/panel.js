// The side panel: a node's fields, configuration and parameter charts, a
// group's members, and the graph summary; also the legend on the stage.
const ZPanel = (() => {
  "use strict";
  const { $, el, sv, isObj, own, fmtNum, fmtCount, fmtShort, fmtShape, fmtBytes, fmtValue, plural } = ZDom;
  const MAX_AUTO_DECODE = 4e6;  // elements decoded without asking

  // `app` supplies select, toggleGroup and searchFor, which the panel's links call.
  function create(model, theme, colouring, app) {
    const { doc, records, nodeIds, nodeIndex, nodeCount, edges, summary, groups, primary, moduleGroups, liveGroups,
      MODULE_COLOR, typeOf, isModule, groupName, groupTitle, groupSubtitle, groupPlace } = model;
    const { ink, safeColor } = theme;
    const panelEl = $("panel");
    function row(tbl, k, v, mono) {
      const tr = el("tr"), a = el("td", null, k), b = el("td", mono ? "v" : null);
      if (v instanceof Node) b.appendChild(v); else b.textContent = v == null ? "\u2014" : String(v);
      tr.appendChild(a); tr.appendChild(b); tbl.appendChild(tr);
      return b;
    }
    function nodeLink(id) {
      const a = el("a", null, id);
      a.setAttribute("href", "#node=" + encodeURIComponent(id));
      a.addEventListener("click", (e) => { e.preventDefault(); const i = nodeIndex.get(id); if (i !== undefined) app.select("n", i, { center: true, highlight: true }); });
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
      const n = records[i];
      panelEl.replaceChildren();
      panelEl.setAttribute("data-view", "node");
      panelEl.appendChild(header(nodeIds[i], typeOf(n), safeColor(n.color, "#8a94a6")));
      const t = el("table");
      row(t, "Type", typeOf(n));
      row(t, "Input shape", fmtShape(n.input_shape), true).setAttribute("data-field", "input_shape");
      row(t, "Output shape", fmtShape(n.output_shape), true).setAttribute("data-field", "output_shape");
      row(t, "Parameters", typeof n.param_count === "number" ? fmtCount(n.param_count) : n.param_count == null ? null : fmtValue(n.param_count));
      if (primary[i] >= 0) {
        const G = groups[primary[i]], a = el("a", null, groupName(G));
        a.setAttribute("href", "#group=" + encodeURIComponent(G.id));
        a.addEventListener("click", (e) => { e.preventDefault(); app.select("g", G.idx, { center: true }); });
        const d = el("div", "links"); d.appendChild(a);
        row(t, "Group", d);
      }
      const ins = [], outs = [];
      for (const e of edges) { if (String(e.target) === nodeIds[i]) ins.push(String(e.source)); if (String(e.source) === nodeIds[i]) outs.push(String(e.target)); }
      row(t, "Inputs from", linkList(ins));
      row(t, "Outputs to", linkList(outs));
      panelEl.appendChild(t);
      colouring.panel(panelEl, i);
      const cfg = isObj(n.config) ? n.config : {};
      panelEl.appendChild(el("h3", null, "Config"));
      const ck = Object.keys(cfg);
      if (!ck.length) panelEl.appendChild(el("div", "note", "No configuration."));
      else { const ct = el("table"); ct.className = "config"; for (const k of ck) row(ct, k, fmtValue(cfg[k]), true); panelEl.appendChild(ct); }
      const params = isObj(n.params) ? n.params : {};
      const pk = Object.keys(params);
      panelEl.appendChild(el("h3", null, "Parameters"));
      if (!pk.length) panelEl.appendChild(el("div", "note", "No parameter arrays."));
      for (const k of pk) panelEl.appendChild(paramCard(k, params[k]));
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
      panelEl.replaceChildren();
      panelEl.setAttribute("data-view", "group");
      panelEl.appendChild(header(groupTitle(G), isModule(G) ? "module" : typeOf(g) + " group", isModule(G) ? MODULE_COLOR : safeColor(g.color, "#7a6ff0")));
      const t = el("table");
      row(t, "Id", G.id, true);
      row(t, "Type", typeOf(g));
      row(t, "Subtitle", groupSubtitle(G));
      row(t, "Members", String(G.members.size));
      if (isModule(G)) row(t, "Parameters", fmtCount(G.params));
      if (G.parent >= 0) row(t, "Inside", groupName(groups[G.parent]));
      panelEl.appendChild(t);
      const act = el("div", "actions");
      const b = el("button", null, G.collapsed ? "Expand" : "Collapse");
      b.id = "group-toggle";
      b.addEventListener("click", () => app.toggleGroup(gi));
      act.appendChild(b);
      panelEl.appendChild(act);
      colouring.groupPanel(panelEl, G.members);
      if (isModule(G)) {
        // A module lists its own boxes: sub-modules, patterns and the nodes directly in it.
        panelEl.appendChild(el("h3", null, "Contents"));
        const d = el("div", "links");
        for (const C of groups) if (C.parent === gi && C.members.size) {
          const a = el("a", null, groupTitle(C));
          a.setAttribute("href", "#group=" + encodeURIComponent(C.id));
          a.addEventListener("click", (e) => { e.preventDefault(); app.select("g", C.idx, { center: true }); });
          d.appendChild(a);
        }
        for (let i = 0; i < nodeCount && d.childNodes.length < 400; i++) if (primary[i] === gi) d.appendChild(nodeLink(nodeIds[i]));
        panelEl.appendChild(d);
        return;
      }
      panelEl.appendChild(el("h3", null, "Entry nodes")); panelEl.appendChild(linkList(g.entry_nodes));
      panelEl.appendChild(el("h3", null, "Exit nodes")); panelEl.appendChild(linkList(g.exit_nodes));
      panelEl.appendChild(el("h3", null, "Members")); panelEl.appendChild(linkList(Array.isArray(g.nodes) ? g.nodes : [...G.members].map((i) => nodeIds[i])));
      panelEl.appendChild(el("h3", null, "Metadata"));
      if (isObj(g.metadata) && Object.keys(g.metadata).length) {
        const mt = el("table");
        for (const k of Object.keys(g.metadata)) row(mt, k, fmtValue(g.metadata[k]), true);
        panelEl.appendChild(mt);
      } else panelEl.appendChild(el("div", "note", "None."));
    }
    function showSummary() {
      panelEl.replaceChildren();
      panelEl.setAttribute("data-view", "summary");
      const h = el("h2", null, "Summary");
      h.id = "panel-title";
      panelEl.appendChild(h);
      panelEl.appendChild(el("div", "kind", "version " + (doc.version == null ? "unknown" : String(doc.version))));
      const big = el("div", "big");
      const stat = (v, lab, key) => { const d = el("div"); const b = el("b", null, v); b.setAttribute("data-summary", key); d.appendChild(b); d.appendChild(el("span", null, lab)); big.appendChild(d); };
      stat(fmtCount(summary.node_count != null ? summary.node_count : nodeCount), "nodes", "node_count");
      stat(fmtCount(summary.edge_count != null ? summary.edge_count : edges.length), "edges", "edge_count");
      stat(fmtShort(summary.total_params != null ? summary.total_params : 0), "parameters", "total_params");
      panelEl.appendChild(big);
      panelEl.appendChild(el("div", "note", plural(summary.total_params || 0, "parameter") + " \u00b7 " + plural(liveGroups.length, "group") +
        (moduleGroups.length ? " \u00b7 " + plural(moduleGroups.length, "module") : "")));
      panelEl.appendChild(el("h3", null, "Nodes by type"));
      const ct = el("table");
      const colorOf = new Map();
      for (const n of records) if (!colorOf.has(typeOf(n))) colorOf.set(typeOf(n), safeColor(n.color, "#8a94a6"));
      const counts = isObj(summary.node_counts) ? summary.node_counts : {};
      for (const k of Object.keys(counts)) {
        const lab = el("span", "kind"), dot = el("span", "dot");
        dot.style.background = colorOf.get(k) || "#8a94a6";
        lab.appendChild(dot); lab.appendChild(document.createTextNode(k));
        const tr = el("tr"), a = el("td"), b = el("td", "v", fmtCount(counts[k]));
        tr.setAttribute("data-type", k);
        a.appendChild(lab); tr.appendChild(a); tr.appendChild(b); ct.appendChild(tr);
      }
      panelEl.appendChild(ct);
      for (const [key, title] of [["inputs", "Inputs"], ["outputs", "Outputs"]]) {
        panelEl.appendChild(el("h3", null, title));
        const l = Array.isArray(summary[key]) ? summary[key] : [];
        if (!l.length) { panelEl.appendChild(el("div", "note", "None.")); continue; }
        const tt = el("table");
        for (const e of l) if (isObj(e)) { const id = String(e.id); row(tt, "", fmtShape(e.shape), true).previousSibling.appendChild(nodeIndex.has(id) ? nodeLink(id) : el("span", null, id)); }
        panelEl.appendChild(tt);
      }
      if (liveGroups.length) {
        // Identical groups once, with where each of them is.
        panelEl.appendChild(el("h3", null, "Groups"));
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
            a.addEventListener("click", (e) => { e.preventDefault(); app.select("g", G.idx, { center: true }); });
            gt.appendChild(a);
            shown++;
          }
          if (gt.childNodes.length < list.length) gt.appendChild(el("span", "note", `and ${list.length - gt.childNodes.length} more (search to reach them)`));
          box.appendChild(gt);
          panelEl.appendChild(box);
        }
      }
      panelEl.appendChild(el("h3", null, "Metadata"));
      const md = isObj(doc.metadata) ? doc.metadata : {};
      if (!Object.keys(md).length) panelEl.appendChild(el("div", "note", "None."));
      else { const mt = el("table"); for (const k of Object.keys(md)) row(mt, k, fmtValue(md[k]), true); panelEl.appendChild(mt); }
      panelEl.appendChild(el("h3", null, "Keys"));
      panelEl.appendChild(el("div", "note", "Click a node for details \u00b7 double-click a group to expand \u00b7 / search \u00b7 F fit \u00b7 Shift+F whole graph \u00b7 +/\u2212 zoom \u00b7 arrows pan \u00b7 Esc clear"));
    }

    // ---------------------------------------------------------------- legend and status
    function buildLegend() {
      const box = $("legend").querySelector(".items");
      box.replaceChildren();
      if (colouring.legend(box)) return;
      const types = new Map();
      for (const n of records) { const t = typeOf(n); if (!types.has(t)) types.set(t, [safeColor(n.color, "#8a94a6"), 0]); types.get(t)[1]++; }
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
        d.addEventListener("click", () => app.searchFor(query));
        box.appendChild(d);
      };
      for (const [t, [c, k]] of types) add(t, c, k, false, t);
      for (const [t, [c, k, icon]] of gtypes) add((icon != null ? String(icon) + " " : "") + t, c, k, true, t);
      if (!types.size) box.appendChild(el("div", "note", "Empty graph"));
    }

    return { showNode, showGroup, showSummary, buildLegend, histogramSvg, heatmap };
  }
  return { create };
})();

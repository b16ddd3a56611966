// The comparison view of two models. A comparison document is the viewer
// document of both graphs with a "comparison" key: which nodes were added,
// removed or changed, and by how much. This part marks the nodes, keeps the
// list of changes (largest first) and its filters, and adds both sides of a
// node to its panel. A plain graph document has none, and the view then adds
// nothing to the page.
const ZCompare = (() => {
  "use strict";
  const { $, el, isObj, own, fmtNum, fmtBrief, fmtCount, fmtShape, fmtValue, plural, clip } = ZDom;

  const COLOURS = { added: "#2e9e5b", removed: "#a259c4", structure: "#3b82c4", unchanged: "#aab2bf" };
  // rel_l2 from 1e-6 to 1 and above, on a yellow-orange-red ramp.
  const SCALE_LO = -6, SCALE_HI = 0;
  const RAMP = [[250, 216, 86], [244, 150, 52], [222, 76, 45], [160, 20, 40]];
  function rampColour(rel) {
    const t = Math.min(1, Math.max(0, (Math.log10(Math.max(rel, 1e-30)) - SCALE_LO) / (SCALE_HI - SCALE_LO)));
    const x = t * (RAMP.length - 1), i = Math.min(RAMP.length - 2, Math.floor(x)), f = x - i;
    const c = RAMP[i].map((a, j) => Math.round(a + (RAMP[i + 1][j] - a) * f));
    return "#" + c.map((v) => v.toString(16).padStart(2, "0")).join("");
  }
  const DIM = "rgba(150,158,170,0.25)";
  const finite = (v) => typeof v === "number" && isFinite(v);

  // `colouring` is the page's chosen colour mode (a measure or activity), which
  // takes the nodes and the legend from the comparison's marks while it is on.
  function create(model, scene, panel, app, colouring) {
    const cmp = isObj(model.doc) && isObj(model.doc.comparison) ? model.doc.comparison : null;
    if (!cmp) return null;
    const { records, nodeIds, nodeIndex, nodeCount, groups, primary, typeOf, isModule } = model;
    const changes = isObj(cmp.changed) ? cmp.changed : {};
    const scores = isObj(cmp.score) ? cmp.score : {};
    const before = isObj(cmp.before) ? cmp.before : {};
    const diffs = isObj(cmp.diffs) ? cmp.diffs : {};
    const ids = (v) => (Array.isArray(v) ? v.map(String) : []);

    // Each node's status and size of change: the largest rel_l2 of its tensors,
    // Infinity for a change of type, shape or parameter set, NaN for none.
    const status = new Array(nodeCount).fill("unchanged");
    const size = new Float64Array(nodeCount).fill(NaN);
    for (const id of ids(cmp.added)) if (nodeIndex.has(id)) status[nodeIndex.get(id)] = "added";
    for (const id of ids(cmp.removed)) if (nodeIndex.has(id)) status[nodeIndex.get(id)] = "removed";
    for (const id of Object.keys(changes)) {
      const i = nodeIndex.get(id);
      if (i === undefined || !isObj(changes[id])) continue;
      status[i] = "changed";
      const ch = changes[id], ps = isObj(ch.params) ? ch.params : {};
      let s = finite(scores[id]) ? scores[id] : NaN;
      const structural = own(ch, "type") || Object.values(ps).some((p) => isObj(p) && (own(p, "shape") || own(p, "added") || own(p, "removed")));
      if (structural) s = Infinity;
      size[i] = s;
    }
    function nodeColour(i) {
      const st = status[i];
      if (st !== "changed") return COLOURS[st];
      const s = size[i];
      return s === Infinity ? COLOURS.structure : s === s ? rampColour(s) : COLOURS.structure;
    }

    // ---------------------------------------------------------------- filters
    const filter = { changedOnly: false, type: "", module: "" };
    const moduleOf = (i) => {
      const paths = [];
      for (let g = primary[i], guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) if (isModule(groups[g])) paths.push(groups[g].module);
      return paths;
    };
    function passes(i) {
      if (filter.changedOnly && status[i] === "unchanged") return false;
      if (filter.type && typeOf(records[i]) !== filter.type) return false;
      if (filter.module && !moduleOf(i).includes(filter.module)) return false;
      return true;
    }
    // The colour of a node, or of a collapsed group by the largest change inside it.
    function tint(indices) {
      let best = -1, bestRank = -2, any = false;
      for (const i of indices) {
        if (!passes(i)) continue;
        any = true;
        const st = status[i];
        const rank = st === "changed" ? (size[i] === size[i] ? size[i] : 1e300) : st === "unchanged" ? -1 : 1e299;
        if (rank > bestRank) { bestRank = rank; best = i; }
      }
      return any ? nodeColour(best) : DIM;
    }
    scene.tint = tint;

    // ---------------------------------------------------------------- the list of changes
    const rankOf = (i) => (status[i] === "changed" ? (size[i] === size[i] ? size[i] : -1) : -2);
    const listed = [];
    for (let i = 0; i < nodeCount; i++) if (status[i] !== "unchanged") listed.push(i);
    listed.sort((x, y) => rankOf(y) - rankOf(x) || (nodeIds[x] < nodeIds[y] ? -1 : nodeIds[x] > nodeIds[y] ? 1 : 0));
    let shown = listed.slice(), cursor = -1;

    const box = el("div", null);
    box.id = "changes";
    const head = el("div", "chead");
    const title = el("h3", null, "Changes");
    title.setAttribute("title", "Show or hide");
    title.addEventListener("click", () => box.classList.toggle("closed"));
    const prev = el("button", null, "\u25b2"), next = el("button", null, "\u25bc");
    prev.setAttribute("title", "Previous change (p)"); next.setAttribute("title", "Next change (n)");
    prev.addEventListener("click", () => step(-1)); next.addEventListener("click", () => step(1));
    const count = el("span", "ccount");
    head.append(title, count, prev, next);
    const controls = el("div", "cfilters");
    const only = el("input");
    only.type = "checkbox"; only.id = "cmp-changed-only";
    const onlyLabel = el("label", null, "Changed only");
    onlyLabel.setAttribute("for", "cmp-changed-only");
    const typeSel = el("select"), moduleSel = el("select");
    typeSel.id = "cmp-type"; moduleSel.id = "cmp-module";
    typeSel.setAttribute("aria-label", "Filter by type"); moduleSel.setAttribute("aria-label", "Filter by module");
    const opt = (sel, value, text) => { const o = el("option", null, text); o.value = value; sel.appendChild(o); };
    opt(typeSel, "", "All types");
    for (const t of [...new Set(records.map(typeOf))].sort()) opt(typeSel, t, t);
    const modules = model.moduleGroups.map((G) => G.module).sort();
    opt(moduleSel, "", "All modules");
    for (const m of modules) opt(moduleSel, m, clip(m, 40));
    controls.append(only, onlyLabel, typeSel);
    if (modules.length) controls.append(moduleSel);
    const list = el("div", "clist");
    list.setAttribute("role", "listbox");
    box.append(head, controls, list);
    $("stage").appendChild(box);

    function entryText(i) {
      const st = status[i];
      if (st !== "changed") return st;
      const s = size[i];
      if (s === Infinity) {
        const ch = changes[nodeIds[i]];
        return own(ch, "type") ? "type " + String(ch.type[0]) + " \u2192 " + String(ch.type[1]) : "parameters reshaped";
      }
      return s === s ? "rel " + fmtBrief(s) : "attributes";
    }
    function fillList() {
      shown = listed.filter(passes);
      list.replaceChildren();
      count.textContent = fmtCount(shown.length);
      shown.forEach((i, k) => {
        const row = el("div", "citem" + (k === cursor ? " active" : ""));
        row.setAttribute("data-id", nodeIds[i]);
        const sw = el("span", "sw");
        sw.style.background = nodeColour(i);
        row.append(sw, el("span", "cid", clip(nodeIds[i], 44)), el("span", "cwhat", entryText(i)));
        row.setAttribute("title", nodeIds[i]);
        row.addEventListener("click", () => go(k));
        list.appendChild(row);
      });
      if (!shown.length) list.appendChild(el("div", "note", listed.length ? "No change passes the filters." : "The two models are equal."));
    }
    function go(k) {
      if (!shown.length) return;
      cursor = (k + shown.length) % shown.length;
      for (const [j, row] of [...list.children].entries()) row.classList.toggle("active", j === cursor);
      const row = list.children[cursor];
      if (row && row.scrollIntoView) row.scrollIntoView({ block: "nearest" });
      return app.select("n", shown[cursor], { center: true, highlight: true });
    }
    function step(d) { return go(cursor < 0 ? (d > 0 ? 0 : -1) : cursor + d); }
    function refilter() {
      filter.changedOnly = only.checked; filter.type = typeSel.value; filter.module = moduleSel.value;
      cursor = -1;
      fillList();
      scene.recolour();
    }
    only.addEventListener("change", refilter);
    typeSel.addEventListener("change", refilter);
    moduleSel.addEventListener("change", refilter);
    document.addEventListener("keydown", (e) => {
      const t = e.target;
      if (e.ctrlKey || e.metaKey || e.altKey || (t && (t.tagName === "INPUT" || t.tagName === "SELECT" || t.tagName === "TEXTAREA"))) return;
      if (e.key === "n") { e.preventDefault(); step(1); } else if (e.key === "p") { e.preventDefault(); step(-1); }
    });

    // ---------------------------------------------------------------- legend
    panel.buildLegend = () => {
      const items = $("legend").querySelector(".items");
      items.replaceChildren();
      if (colouring && colouring.legend(items)) return;
      const counts = { added: 0, removed: 0, changed: 0, unchanged: 0 };
      for (const st of status) counts[st]++;
      const add = (label, colour, n) => {
        const d = el("div", "item"), sw = el("span", "sw");
        sw.style.background = colour; sw.style.borderColor = colour;
        d.append(sw, el("span", null, label));
        if (n != null) d.append(el("span", "count", fmtCount(n)));
        items.appendChild(d);
      };
      add("added", COLOURS.added, counts.added);
      add("removed", COLOURS.removed, counts.removed);
      add("type or shape changed", COLOURS.structure, null);
      add("unchanged", COLOURS.unchanged, counts.unchanged);
      const scale = el("div", "item cscale");
      const bar = el("span", "cbar");
      bar.style.background = "linear-gradient(to right, " + RAMP.map((c) => "rgb(" + c.join(",") + ")").join(", ") + ")";
      scale.append(el("span", null, "rel_l2 1e" + SCALE_LO), bar, el("span", null, "\u2265 1"));
      items.append(el("div", "note", plural(counts.changed, "node") + " changed, by the largest rel_l2 of its tensors:"), scale);
    };

    // ---------------------------------------------------------------- panel
    const panelEl = $("panel");
    function stat(tbl, k, v) {
      const tr = el("tr");
      tr.append(el("td", null, k), el("td", "v", v));
      tbl.appendChild(tr);
    }
    function sideChart(label, rec) {
      const d = el("div", "cside");
      d.appendChild(el("div", "note", label));
      if (!isObj(rec)) { d.appendChild(el("div", "note", "\u2014")); return d; }
      if (isObj(rec.omitted) && isObj(rec.histogram) && Array.isArray(rec.histogram.counts)) {
        const h = rec.histogram;
        d.appendChild(panel.histogramSvg(null, false, { lo: h.min, hi: h.max, counts: h.counts, finite: h.counts.reduce((a, c) => a + c, 0) }));
        return d;
      }
      let vals = null;
      try { vals = ZDecode.decode(rec); } catch (e) { vals = null; }
      if (!vals) d.appendChild(el("div", "note", "No histogram for dtype " + String(rec.dtype) + "."));
      else d.appendChild(panel.histogramSvg(vals, false));
      return d;
    }
    function tensorSection(id, i, name, entry) {
      const card = el("div", "param cparam");
      card.setAttribute("data-param", name);
      card.appendChild(el("div", "pname", name));
      const tensorText = (t) => (isObj(t) ? String(t.dtype) + " " + fmtShape(t.shape) : fmtValue(t));
      if (own(entry, "added")) { card.appendChild(el("div", "note", "only in b: " + tensorText(entry.added))); return card; }
      if (own(entry, "removed")) { card.appendChild(el("div", "note", "only in a: " + tensorText(entry.removed))); return card; }
      const a = isObj(before[id]) ? before[id][name] : null;
      const b = isObj(records[i].params) ? records[i].params[name] : null;
      if (own(entry, "shape")) {
        card.appendChild(el("div", "pmeta", "shape " + fmtShape(entry.shape[0]) + " \u2192 " + fmtShape(entry.shape[1])));
        card.append(sideChart("a", a), sideChart("b", b));
        return card;
      }
      const t = el("table");
      stat(t, "rel_l2", fmtNum(entry.rel_l2));
      stat(t, "max |b \u2212 a|", fmtNum(entry.max_abs_diff));
      if (own(entry, "not_close")) stat(t, "elements not close", fmtCount(entry.not_close));
      if (Array.isArray(entry.dtype)) stat(t, "dtype", String(entry.dtype[0]) + " \u2192 " + String(entry.dtype[1]));
      card.appendChild(t);
      card.append(sideChart("a", a), sideChart("b", b));
      const d = isObj(diffs[id]) ? diffs[id][name] : null;
      if (isObj(d) && isObj(d.histogram) && Array.isArray(d.histogram.counts)) {
        const h = d.histogram, box = el("div", "cside");
        box.appendChild(el("div", "note", "b \u2212 a"));
        box.appendChild(panel.histogramSvg(null, false, { lo: h.min, hi: h.max, counts: h.counts, finite: h.counts.reduce((s, c) => s + c, 0) }));
        card.appendChild(box);
        const hm = d.heatmap, shp = Array.isArray(records[i].params[name].shape) ? records[i].params[name].shape : [];
        if (isObj(hm) && shp.length >= 2 && Number.isInteger(hm.rows) && Number.isInteger(hm.cols) && hm.rows > 0 && hm.cols > 0) {
          let vals = null;
          try { vals = ZDecode.decode(hm); } catch (e) { vals = null; }
          if (vals && vals.length === hm.rows * hm.cols) {
            const hb = el("div", "cside cheat");
            hb.appendChild(el("div", "note", "|b \u2212 a|"));
            hb.appendChild(panel.heatmap(vals, [hm.rows, hm.cols], [shp[0], shp.slice(1).reduce((x, y) => x * y, 1)]));
            card.appendChild(hb);
          }
        }
      }
      return card;
    }
    function comparisonSection(i) {
      const id = nodeIds[i], st = status[i];
      const sec = el("section", "cmp");
      sec.setAttribute("data-status", st);
      const badge = el("div", "cstatus");
      const sw = el("span", "sw");
      sw.style.background = nodeColour(i);
      const side = (k) => (isObj(cmp[k]) && cmp[k].name != null ? String(cmp[k].name) : k);
      badge.append(sw, el("span", null, st === "added" ? "Added: only in " + side("b") : st === "removed" ? "Removed: only in " + side("a")
        : st === "unchanged" ? "Unchanged" : "Changed from " + side("a") + " to " + side("b")));
      sec.appendChild(badge);
      const ch = changes[id];
      if (!isObj(ch)) return sec;
      if (Array.isArray(ch.type)) sec.appendChild(el("div", "pmeta", "type " + String(ch.type[0]) + " \u2192 " + String(ch.type[1])));
      if (isObj(ch.attrs)) {
        const t = el("table");
        t.className = "config";
        const hr = el("tr");
        hr.append(el("td", null, ""), el("td", "v", "a"), el("td", "v", "b"));
        t.appendChild(hr);
        for (const k of Object.keys(ch.attrs)) {
          const v = Array.isArray(ch.attrs[k]) ? ch.attrs[k] : [];
          const tr = el("tr");
          tr.append(el("td", null, k), el("td", "v", fmtValue(v[0])), el("td", "v", fmtValue(v[1])));
          t.appendChild(tr);
        }
        sec.appendChild(t);
      }
      const ps = isObj(ch.params) ? ch.params : {};
      for (const name of Object.keys(ps)) if (isObj(ps[name])) sec.appendChild(tensorSection(id, i, name, ps[name]));
      return sec;
    }
    const baseShowNode = panel.showNode;
    panel.showNode = (i) => {
      baseShowNode(i);
      const kind = panelEl.querySelector(".kind");
      const sec = comparisonSection(i);
      if (kind && kind.nextSibling) panelEl.insertBefore(sec, kind.nextSibling); else panelEl.appendChild(sec);
      const k = shown.indexOf(i);
      if (k >= 0 && k !== cursor) { cursor = k; for (const [j, row] of [...list.children].entries()) row.classList.toggle("active", j === cursor); }
    };
    const baseShowGroup = panel.showGroup;
    panel.showGroup = (gi) => {
      baseShowGroup(gi);
      let best = -1;
      for (const i of groups[gi].members) if (status[i] !== "unchanged" && (best < 0 || rankOf(i) > rankOf(best))) best = i;
      const sec = el("section", "cmp");
      if (best < 0) sec.appendChild(el("div", "note", "No change inside."));
      else {
        const d = el("div", "cstatus");
        const sw = el("span", "sw");
        sw.style.background = nodeColour(best);
        const a = el("a", null, nodeIds[best]);
        a.setAttribute("href", "#node=" + encodeURIComponent(nodeIds[best]));
        a.addEventListener("click", (e) => { e.preventDefault(); app.select("n", best, { center: true, highlight: true }); });
        d.append(sw, el("span", null, "Largest change inside: "), a, el("span", "note", " (" + entryText(best) + ")"));
        sec.appendChild(d);
      }
      const kind = panelEl.querySelector(".kind");
      if (kind && kind.nextSibling) panelEl.insertBefore(sec, kind.nextSibling); else panelEl.appendChild(sec);
    };
    const baseSummary = panel.showSummary;
    panel.showSummary = () => {
      baseSummary();
      const sec = el("section", "cmp");
      sec.appendChild(el("h3", null, "Comparison"));
      const t = el("table");
      for (const k of ["a", "b"]) {
        const s = isObj(cmp[k]) ? cmp[k] : {};
        stat(t, k, (s.name != null ? String(s.name) + " \u00b7 " : "") + plural(s.node_count || 0, "node") + " \u00b7 " +
          plural(s.edge_count || 0, "edge") + " \u00b7 " + fmtCount(s.total_params || 0) + " params");
      }
      stat(t, "added", fmtCount(ids(cmp.added).length));
      stat(t, "removed", fmtCount(ids(cmp.removed).length));
      stat(t, "changed", fmtCount(Object.keys(changes).length));
      stat(t, "unchanged", fmtCount(finite(cmp.unchanged) ? cmp.unchanged : 0));
      if (isObj(cmp.moved) && Object.keys(cmp.moved).length) stat(t, "renamed", fmtCount(Object.keys(cmp.moved).length));
      stat(t, "edges added", fmtCount(Array.isArray(cmp.edges_added) ? cmp.edges_added.length : 0));
      stat(t, "edges removed", fmtCount(Array.isArray(cmp.edges_removed) ? cmp.edges_removed.length : 0));
      stat(t, "tolerance", "rtol " + fmtNum(cmp.rtol) + " \u00b7 atol " + fmtNum(cmp.atol));
      sec.appendChild(t);
      const first = panelEl.firstChild;
      if (first && first.nextSibling) panelEl.insertBefore(sec, first.nextSibling); else panelEl.appendChild(sec);
    };

    // With no other mode chosen, the nodes show the comparison's marks.
    const menu = document.getElementById("act-measure");
    if (menu && menu.options.length && menu.options[0].value === "") menu.options[0].textContent = "Colour: changes";
    fillList();
    scene.recolour();

    const api = {
      status: (id) => (nodeIndex.has(String(id)) ? status[nodeIndex.get(String(id))] : null),
      colour: (id) => (nodeIndex.has(String(id)) ? nodeColour(nodeIndex.get(String(id))) : null),
      // The colour drawn for node `id`: its own, or that of the collapsed group that holds it.
      drawnColour: (id) => {
        const i = nodeIndex.get(String(id));
        if (i === undefined) return null;
        const gr = model.repGroup(i), key = gr >= 0 ? "g:" + groups[gr].id : "n:" + nodeIds[i];
        const k = scene.itemByKey.get(key);
        return k === undefined ? null : scene.items[k].color;
      },
      list: () => shown.map((i) => nodeIds[i]),
      current: () => (cursor >= 0 && cursor < shown.length ? nodeIds[shown[cursor]] : null),
      step,
      setFilter: (f) => {
        if (own(f, "changedOnly")) only.checked = !!f.changedOnly;
        if (own(f, "type")) typeSel.value = String(f.type);
        if (own(f, "module")) moduleSel.value = String(f.module);
        refilter();
      },
    };
    window.zelqCompare = api;
    return api;
  }
  return { create };
})();

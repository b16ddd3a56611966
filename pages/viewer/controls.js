// Search, keyboard, export, the toolbar buttons and the address fragment
// (#node=ID, #group=ID), all acting on the scene and the selection.
const ZControls = (() => {
  "use strict";
  const { SVGNS, $, el, sv, isObj, fmtValue, plural } = ZDom;

  // `app` supplies select and clearSelection.
  function create(model, theme, colouring, scene, panel, app) {
    const { records, nodeIds, nodeIndex, nodeCount, groups, groupIndex, primary, moduleGroups, liveGroups,
      typeOf, isModule, groupTitle } = model;
    const controls = { lastExport: null };

    // ---------------------------------------------------------------- search
    const search = $("search"), results = $("results");
    let haystack = null, resultList = [], activeResult = 0;
    function buildHaystack() {
      haystack = records.map((n, i) => {
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
      for (let i = 0; i < nodeCount; i++) {
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
          d.appendChild(el("span", "rtype", typeOf(records[i])));
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
      app.select(r[0], r[1], { center: true, highlight: true });
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
      if (colouring.key(e)) return;
      if (typing) return;
      if ((e.key === "Enter" || e.key === " ") && e.target && (e.target.tagName === "BUTTON" || e.target.tagName === "A")) return;
      const { w, h } = scene.stageSize();
      switch (e.key) {
        case "/": e.preventDefault(); search.focus(); search.select(); break;
        case "+": case "=": scene.zoomAt(1.25, w / 2, h / 2); break;
        case "-": case "_": scene.zoomAt(0.8, w / 2, h / 2); break;
        case "0": case "f": scene.fit(); break;
        case "F": if (e.shiftKey) scene.overview(); else scene.fit(); break;
        case "ArrowLeft": scene.pan(80, 0); break;
        case "ArrowRight": scene.pan(-80, 0); break;
        case "ArrowUp": scene.pan(0, 80); break;
        case "ArrowDown": scene.pan(0, -80); break;
        case "Escape": app.clearSelection(); break;
        case "e": case "Enter":
          if (scene.selected && scene.selected.kind === "g") scene.toggleGroup(scene.selected.ref);
          else if (scene.selected && scene.selected.kind === "n" && primary[scene.selected.ref] >= 0 && e.key === "e") scene.toggleGroup(primary[scene.selected.ref], false);
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
      const { w, h } = scene.stageSize();
      const rect = [-scene.view.tx / scene.view.k, -scene.view.ty / scene.view.k, (w - scene.view.tx) / scene.view.k, (h - scene.view.ty) / scene.view.k];
      const s = sv("svg", { xmlns: SVGNS, width: Math.round(w), height: Math.round(h), viewBox: `${rect[0]} ${rect[1]} ${rect[2] - rect[0]} ${rect[3] - rect[1]}` });
      s.appendChild(scene.draw.defs());
      s.appendChild(sv("rect", { x: rect[0], y: rect[1], width: rect[2] - rect[0], height: rect[3] - rect[1], fill: theme.palette.stage }));
      const g = sv("g");
      scene.draw.svg(g, rect, true);
      s.appendChild(g);
      const text = new XMLSerializer().serializeToString(s);
      const blob = new Blob([text], { type: "image/svg+xml" });
      controls.lastExport = { kind: "svg", bytes: blob.size, text };
      download(blob, baseName() + ".svg");
    }
    function exportPng() {
      const { w, h } = scene.stageSize(), dpr = 2;
      const c = document.createElement("canvas");
      c.width = Math.round(w * dpr); c.height = Math.round(h * dpr);
      scene.draw.canvas(c.getContext("2d"), w, h, dpr, scene.view);
      c.toBlob((blob) => { if (!blob) return; controls.lastExport = { kind: "png", bytes: blob.size }; download(blob, baseName() + ".png"); }, "image/png");
    }

    // ---------------------------------------------------------------- buttons
    $("btn-expand").addEventListener("click", () => scene.setAll(false));
    $("btn-collapse").addEventListener("click", () => scene.setAll(true));
    $("btn-fit").addEventListener("click", scene.fit);
    $("btn-orient").addEventListener("click", () => scene.setOrient(scene.orient === "LR" ? "TB" : "LR"));
    $("btn-fit2").addEventListener("click", scene.fit);
    $("btn-zoomin").addEventListener("click", () => { const { w, h } = scene.stageSize(); scene.zoomAt(1.25, w / 2, h / 2); });
    $("btn-zoomout").addEventListener("click", () => { const { w, h } = scene.stageSize(); scene.zoomAt(0.8, w / 2, h / 2); });
    $("btn-summary").addEventListener("click", app.clearSelection);
    $("btn-svg").addEventListener("click", exportSvg);
    $("btn-png").addEventListener("click", exportPng);
    $("btn-theme").addEventListener("click", () => { theme.toggle(); scene.refresh(); panel.buildLegend(); });

    // ---------------------------------------------------------------- hash
    function fromHash() {
      const m = /^#(node|group)=(.*)$/.exec(location.hash);
      if (!m) return false;
      let id;
      try { id = decodeURIComponent(m[2]); } catch (e) { return false; }
      if (m[1] === "node" && nodeIndex.has(id)) { app.select("n", nodeIndex.get(id), { center: true, highlight: true }); return true; }
      if (m[1] === "group" && groupIndex.has(id)) { app.select("g", groupIndex.get(id), { center: true }); return true; }
      return false;
    }
    window.addEventListener("hashchange", fromHash);

    // The legend's type entries search for their type.
    function searchFor(query) { search.value = query; search.focus(); runSearch(query); }
    return Object.assign(controls, { searchFor, exportSvg, exportPng, fromHash });
  }
  return { create };
})();

// Graph viewer: reads the document and wires its parts together. The parts
// are objects built in order: the model (the document as indices), the theme,
// recorded activity and node measures, the scene, the panel, the controls and,
// for comparison documents, the comparison view. Selection lives here because
// it moves the scene and fills the panel at once.
//
// Further parts (tables, traces, panels of their own) are files that call
// ZParts.add(name, create) and stand as one marker line in viewer.html's part
// list. create(page) gets { model, theme, scene, panel, app, colouring } and
// returns the hooks it answers:
//   select(kind, ref)  kind "n" (node) or "g" (group) was selected; kind null: nothing is
//   theme(name)        the theme is now "light" or "dark"
//   ready()            the first view is drawn
(() => {
  "use strict";
  // The whole title on hover, where the header's room cuts it.
  const heading = document.getElementById("title");
  if (heading) heading.title = heading.textContent;
  const doc = ZLoad.read();
  if (!doc) return;  // the page already says why there is no graph

  const app = {};
  const model = ZModel.create(doc);
  const theme = ZTheme.create();
  const activity = ZActivity.create(model.nodeIds, () => scene.recolour());
  // A changed group aggregate also changes the values in an open group's panel.
  const measures = ZMeasures.create(model, () => {
    scene.recolour();
    if (scene.selected && scene.selected.kind === "g") panel.showGroup(scene.selected.ref);
  });
  // Node colours come from the chosen measure, else from recorded activity, else from the node type.
  const colouring = {
    colour: (indices) => (measures.on() ? measures.colour(indices) : activity.colour(indices)),
    alpha: () => (measures.on() ? measures.alpha() : activity.alpha()),
    legend: (box) => (measures.on() ? measures.legend(box) : activity.legend(box)),
    panel: (box, i) => { activity.panel(box, i); measures.panel(box, i); },
    groupPanel: (box, members) => measures.groupPanel(box, members),
    key: (e) => activity.key(e),
  };
  const scene = ZScene.create(model, theme, colouring, app);
  const panel = ZPanel.create(model, theme, colouring, app);
  const { nodeIds, nodeIndex, groups, groupIndex, primary } = model;
  theme.onSystemChange = () => scene.refresh();

  let pendingSelect = Promise.resolve();
  let call = () => [];  // the further parts' hooks, once they are made
  // Selects node (kind "n") or group ("g") `ref`: opens what hides it, marks it,
  // optionally centres and highlights it, and shows it in the panel and the address.
  function select(kind, ref, opts) {
    opts = opts || {};
    pendingSelect = (async () => {
      if (kind === "n") {
        // Open every collapsed group that hides the node.
        let need = false;
        for (let g = primary[ref], guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) if (groups[g].collapsed) { groups[g].collapsed = false; need = true; }
        if (need) await scene.refresh({ layout: "warm" });
      } else {
        const gr = model.groupRep(ref);
        if (gr >= 0 || (!groups[ref].collapsed && !scene.frames.some((f) => f.gi === ref))) {
          for (let g = groups[ref].parent, guard = 0; g >= 0 && guard < 64; g = groups[g].parent, guard++) groups[g].collapsed = false;
          await scene.refresh({ layout: "warm" });
        }
      }
      scene.selected = { kind, ref };
      scene.hitKey = opts.highlight ? scene.selectedKey() : null;
      scene.markSelection();
      const key = scene.selectedKey();
      const it = scene.itemByKey.has(key) ? scene.items[scene.itemByKey.get(key)] : null;
      const fr = kind === "g" && !it ? scene.frames.find((f) => f.gi === ref) : null;
      if (opts.center) {
        if (it) scene.centerOn(it.x, it.y, Math.max(scene.view.k, 0.9));
        else if (fr) scene.centerOn((fr.x0 + fr.x1) / 2, (fr.y0 + fr.y1) / 2);
      }
      if (opts.highlight && it) scene.pulse(it);
      if (kind === "n") panel.showNode(ref); else panel.showGroup(ref);
      const hash = (kind === "n" ? "#node=" : "#group=") + encodeURIComponent(kind === "n" ? nodeIds[ref] : groups[ref].id);
      if (location.hash !== hash) try { history.replaceState(null, "", hash); } catch (e) { /* file:// without history */ }
      call("select", kind, ref);
    })();
    return pendingSelect;
  }
  function clearSelection() {
    scene.selected = null; scene.hitKey = null; scene.markSelection(); panel.showSummary();
    try { history.replaceState(null, "", location.pathname + location.search); } catch (e) { /* ignore */ }
    call("select", null, -1);
  }
  Object.assign(app, {
    select, clearSelection, toggleGroup: (gi) => scene.toggleGroup(gi), buildLegend: () => panel.buildLegend(),
    showGroup: (gi) => panel.showGroup(gi), searchFor: (q) => controls.searchFor(q),
  });
  const controls = ZControls.create(model, theme, colouring, scene, panel, app);
  ZCompare.create(model, scene, panel, app, colouring);
  call = ZParts.build({ model, theme, scene, panel, app, colouring });
  theme.onChange((t) => call("theme", t));

  // ---------------------------------------------------------------- test and automation hooks
  const api = {
    ready: false, readyAt: 0,
    get lastExport() { return controls.lastExport; },
    stats: () => {
      const { items, layout } = scene;
      return { mode: scene.mode, items: items.length, nodesShown: items.filter((i) => i.kind === "n").length,
        groupsShown: items.filter((i) => i.kind === "g").length, frames: scene.frames.length, edges: scene.vedges.length, drawn: scene.drawnCount,
        layoutMs: layout ? layout.ms : null, layers: layout ? layout.layers : 0, reordered: layout ? layout.reordered : 0, view: { ...scene.view } };
    },
    selected: () => {
      const s = scene.selected;
      return s ? { kind: s.kind === "n" ? "node" : "group", id: s.kind === "n" ? nodeIds[s.ref] : groups[s.ref].id } : null;
    },
    itemBox: (key) => scene.itemBox(key),
    toggleGroup: (id, expand) => { const gi = groupIndex.get(String(id)); return gi === undefined ? Promise.resolve() : scene.toggleGroup(gi, expand); },
    expandAll: () => scene.setAll(false), collapseAll: () => scene.setAll(true),
    selectNode: (id) => (nodeIndex.has(String(id)) ? select("n", nodeIndex.get(String(id)), { center: true, highlight: true }) : Promise.resolve()),
    idle: () => scene.layoutChain.then(() => pendingSelect),
    setRenderer: (m) => { scene.forcedMode = m || null; scene.refresh(); },
    exportSvg: controls.exportSvg, exportPng: controls.exportPng, fit: scene.fit, overview: scene.overview,
    setOrient: scene.setOrient, orient: () => scene.orient,
    measures: () => measures.state(),
    decode: (rec) => Array.from(ZDecode.decode(rec) || []), histogram: (rec, bins) => ZDecode.histogram(ZDecode.decode(rec), bins),
  };
  window.zelqViewer = api;

  // ---------------------------------------------------------------- start
  panel.buildLegend();
  panel.showSummary();
  scene.start().then(() => {
    controls.fromHash();  // nothing selected: the summary stays
    return pendingSelect;
  }).then(() => {
    api.ready = true;
    api.readyAt = performance.now();
    call("ready");
    document.body.setAttribute("data-state", "ready");
  });
})();

// The visible graph: one box per node or per collapsed group that hides it, and
// one edge between two boxes however many graph edges join them.
const ZVisible = (() => {
  "use strict";
  const { isObj, own, clip, compact, fmtShape } = ZDom;

  function create(model, theme, colouring, scene) {
    const { records, nodeIds, nodeIndex, nodeCount, edges, groups, moduleGroups, stackOf,
      MODULE_COLOR, typeOf, isModule, groupTitle, groupLine2, stackText, repGroup } = model;
    const { safeColor, shapeKind, shapeSize, textWidth } = theme;
    const nodeItem = new Int32Array(nodeCount);  // node -> index of its box in scene.items

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
    function compute() {
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

    // The first view of a model with a module tree: open the module that holds most of the
    // graph (the model itself) while its children still make a short list.
    function autoOpen() {
      for (let guard = 0; guard < 8 && moduleGroups.length; guard++) {
        compute();
        let best = null;
        for (const it of scene.items) if (it.kind === "g" && isModule(groups[it.ref]) && groups[it.ref].members.size * 2 >= nodeCount) best = groups[it.ref];
        if (!best) return;
        best.collapsed = false;
        compute();
        if (scene.items.length > 40) { best.collapsed = true; return; }
      }
    }

    return { nodeItem, makeItem, compute, autoOpen };
  }
  return { create };
})();

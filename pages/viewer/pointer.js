// The pointer on the stage: dragging pans, the wheel zooms, a click selects or
// toggles a group, a double-click toggles it, and hovering shows what is there.
const ZPointer = (() => {
  "use strict";
  const { $, el, fmtShape, fmtShort, plural } = ZDom;

  // `view` gives applyView() and zoomAt(factor, sx, sy); `toggleGroup(gi)` opens or closes a group.
  function create(model, scene, spatial, app, view, toggleGroup) {
    const { records, nodeIds, groups, stackOf, typeOf, groupTitle, stackText } = model;
    const { applyView, zoomAt } = view;
    const { pick } = spatial;
    const stage = $("stage");
    let drag = null;
    const toWorld = (e) => {
      const r = stage.getBoundingClientRect();
      return [(e.clientX - r.left - scene.view.tx) / scene.view.k, (e.clientY - r.top - scene.view.ty) / scene.view.k];
    };
    stage.addEventListener("pointerdown", (e) => {
      if (e.button !== 0 || e.target.closest("#legend, #zoombar, #minimap")) return;
      drag = { x: e.clientX, y: e.clientY, tx: scene.view.tx, ty: scene.view.ty, moved: false };
      stage.setPointerCapture(e.pointerId);
    });
    // Hover card: what is under the pointer, also when the drawing is too small for labels.
    const tip = el("div");
    tip.id = "tip";
    stage.appendChild(tip);
    let tipFrame = 0;
    function hover(e) {
      if (drag || !scene.layout || e.target.closest("#legend, #zoombar, #minimap")) { tip.classList.remove("on"); return; }
      const [wx, wy] = toWorld(e);
      const hit = pick(wx, wy);
      if (!hit || hit.type !== "item") { tip.classList.remove("on"); stage.style.cursor = ""; return; }
      const it = hit.it;
      stage.style.cursor = "pointer";
      let a, b;
      if (it.kind === "n") {
        const n = records[it.ref];
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
      scene.view.tx = drag.tx + dx; scene.view.ty = drag.ty + dy;
      applyView();
    });
    stage.addEventListener("pointerup", (e) => {
      if (!drag) return;
      const wasClick = !drag.moved;
      drag = null; stage.classList.remove("dragging");
      if (!wasClick || !scene.layout) return;
      const [wx, wy] = toWorld(e);
      const hit = pick(wx, wy);
      if (!hit) { if (scene.selected) app.clearSelection(); return; }
      if (hit.type === "frame") { toggleGroup(hit.gi); return; }
      const it = hit.it;
      if (it.kind === "g" && wx > it.x + it.w / 2 - 26) { toggleGroup(it.ref); return; }
      app.select(it.kind, it.ref, { center: false });
    });
    stage.addEventListener("dblclick", (e) => {
      if (!scene.layout) return;
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
  }
  return { create };
})();

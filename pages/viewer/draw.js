// Drawing the scene: as SVG elements (the page's own drawing and the SVG export)
// or on a canvas (large graphs and the PNG export).
const ZDraw = (() => {
  "use strict";
  const { sv } = ZDom;

  function create(model, theme, colouring, scene, spatial) {
    const { groups } = model;
    const { ink, shapePath, path2d, textWidth } = theme;
    const fillAlpha = (c) => colouring.alpha() || theme.fillAlpha(c);
    function curvePath(i, f) {
      const a = scene.layout.ptsOff[i], b = scene.layout.ptsOff[i + 1], P = scene.layout.pts;
      let d = "M" + f(P[2 * a]) + "," + f(P[2 * a + 1]);
      const lr = scene.orient === "LR";
      for (let p = a + 1; p < b; p++) {
        const x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1], dy = lr ? 0 : (y1 - y0) / 2, dx = lr ? (x1 - x0) / 2 : 0;
        d += "C" + f(x0 + dx) + "," + f(y0 + dy) + " " + f(x1 - dx) + "," + f(y1 - dy) + " " + f(x1) + "," + f(y1);
      }
      return d;
    }

    // Builds the scene as SVG elements into g. `clipRect` limits it to a world rectangle (export);
    // `from` gives where each box starts its glide, or null.
    function buildSvgScene(g, clipRect, inlineStyle, from) {
      const f = (v) => Math.round(v * 10) / 10;
      const inRect = (x0, y0, x1, y1) => !clipRect || (x1 >= clipRect[0] && x0 <= clipRect[2] && y1 >= clipRect[1] && y0 <= clipRect[3]);
      const font = theme.palette.font || "sans-serif";
      const edgeBox = spatial.edgeBox();
      const gf = sv("g", { class: "frames" }), ge = sv("g", { class: "edges" }), gl = sv("g", { class: "edge-labels" }), gn = sv("g", { class: "nodes" });
      for (const fr of scene.frames) {
        if (!inRect(fr.x0, fr.y0, fr.x1, fr.y1)) continue;
        gf.appendChild(sv("rect", { class: "frame", x: f(fr.x0), y: f(fr.y0), width: f(fr.x1 - fr.x0), height: f(fr.y1 - fr.y0), rx: 12,
          fill: fr.color, "fill-opacity": 0.06, stroke: ink(fr.color), "stroke-dasharray": "6 4", "stroke-width": 1.4 }));
        const head = sv("g", { class: "frame-head", "data-key": "f:" + groups[fr.gi].id });
        head.appendChild(sv("rect", { x: f(fr.x0), y: f(fr.y0), width: f(fr.x1 - fr.x0), height: 18, fill: "transparent" }));
        head.appendChild(sv("text", { x: f(fr.x0 + 10), y: f(fr.y0 + 14), fill: ink(fr.color), "font-size": 11, "font-weight": 650, "font-family": font }, fr.label));
        gf.appendChild(head);
      }
      const showLabels = !clipRect || scene.view.k >= 0.5;
      // The labels' plates, one path above the edges and below the labels' text.
      let plates = "";
      for (let i = 0; i < scene.vedges.length; i++) {
        if (!inRect(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
        const e = scene.vedges[i];
        const attrs = { class: scene.layout.reversed[i] ? "edge back" : "edge", d: curvePath(i, f), "marker-end": "url(#zarrow)" };
        if (inlineStyle) Object.assign(attrs, { fill: "none", stroke: theme.palette.edge, "stroke-width": 1.3 });
        if (e.count > 1) attrs["stroke-width"] = Math.min(1.3 + e.count * 0.4, 4);
        ge.appendChild(sv("path", attrs));
        if (e.showLabel && showLabels) {
          const b = e.plate;
          plates += "M" + f(b[0]) + "," + f(b[1]) + "H" + f(b[2]) + "V" + f(b[3]) + "H" + f(b[0]) + "Z";
          const t = sv("text", { class: "edge-label", x: f(e.lx), y: f(e.ly) }, e.label);
          if (inlineStyle) { t.setAttribute("fill", theme.palette.edgeLabel); t.setAttribute("font-size", 10); t.setAttribute("font-family", font); }
          gl.appendChild(t);
        }
      }
      if (plates) gl.insertBefore(sv("path", { class: "edge-plates", d: plates, fill: theme.palette.stage }), gl.firstChild);
      for (const it of scene.items) {
        if (!inRect(it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2)) continue;
        const gi = sv("g", { class: it.kind === "n" ? "node" : "group", "data-key": it.key, transform: `translate(${f(it.x)},${f(it.y)})` });
        const o = from && from[it.index];
        if (o) { gi.style.transform = `translate(${f(o[0])}px,${f(o[1])}px)`; gi.dataset.to = `translate(${f(it.x)}px,${f(it.y)}px)`; }
        const d = shapePath(it.shape, it.w, it.h);
        if (it.kind === "g") gi.appendChild(sv("path", { d, transform: "translate(4,4)", fill: theme.palette.stage, stroke: ink(it.color), "stroke-width": 1.2, "stroke-opacity": 0.6 }));
        gi.appendChild(sv("path", { class: "shape", d, fill: theme.palette.stage }));
        gi.appendChild(sv("path", { class: "shape", d, fill: it.color, "fill-opacity": fillAlpha(it.color), stroke: ink(it.color), "stroke-width": it.kind === "g" ? 2 : 1.6 }));
        const dx = it.kind === "g" ? -8 : 0;
        // Title and subtitle keep 4.5:1 on the node's fill (the stylesheet's colours otherwise).
        const alpha = fillAlpha(it.color);
        const t1 = sv("text", { class: "t1", x: dx, y: -2, "text-anchor": "middle", fill: theme.palette.fg, "font-size": 12, "font-weight": 650, "font-family": font }, it.line1);
        const t2 = sv("text", { class: "t2", x: dx, y: 13, "text-anchor": "middle", fill: theme.palette.muted, "font-size": 11, "font-family": font }, it.line2);
        const c1 = theme.textOn(theme.palette.fg, it.color, alpha), c2 = theme.textOn(theme.palette.muted, it.color, alpha);
        if (c1 !== theme.palette.fg) t1.style.fill = c1;
        if (c2 !== theme.palette.muted) t2.style.fill = c2;
        gi.appendChild(t1); gi.appendChild(t2);
        if (it.stack) {
          const sw = Math.ceil(textWidth(it.stack, "10px " + font)) + 10, sx = -it.w / 2 + 8, sy = -it.h / 2 - 7;
          const mark = sv("g", { class: "stack-mark" });
          mark.appendChild(sv("rect", { x: f(sx), y: f(sy), width: sw, height: 14, rx: 7, fill: theme.palette.stage, stroke: ink(it.color), "stroke-width": 1 }));
          mark.appendChild(sv("text", { x: f(sx + 5), y: f(sy + 10.5), fill: theme.palette.fg, "font-size": 10, "font-family": font }, it.stack));
          gi.appendChild(mark);
        }
        if (it.kind === "g") {
          const bx = it.w / 2 - 14, by = 0;
          gi.appendChild(sv("circle", { cx: f(bx), cy: by, r: 8, fill: ink(it.color) }));
          gi.appendChild(sv("path", { d: `M${f(bx - 4)},${by}H${f(bx + 4)}M${f(bx)},${by - 4}V${by + 4}`, stroke: theme.palette.stage, "stroke-width": 2 }));
        }
        gn.appendChild(gi);
      }
      g.appendChild(gf); g.appendChild(ge); g.appendChild(gl); g.appendChild(gn);
    }
    function svgDefs() {
      const defs = sv("defs");
      const mk = sv("marker", { id: "zarrow", viewBox: "0 0 10 10", refX: 9, refY: 5, markerWidth: 7, markerHeight: 7, orient: "auto-start-reverse", markerUnits: "userSpaceOnUse" });
      mk.appendChild(sv("path", { d: "M0,1L10,5L0,9Z", fill: theme.palette.edge }));
      defs.appendChild(mk);
      return defs;
    }

    function drawCanvasScene(c2, W, H, dpr, v) {
      const k = v.k;
      c2.setTransform(dpr, 0, 0, dpr, 0, 0);
      c2.fillStyle = theme.palette.stage; c2.fillRect(0, 0, W, H);
      c2.setTransform(dpr * k, 0, 0, dpr * k, dpr * v.tx, dpr * v.ty);
      const vx0 = -v.tx / k, vy0 = -v.ty / k, vx1 = (W - v.tx) / k, vy1 = (H - v.ty) / k;
      const vis = (a, b, c, d) => c >= vx0 && a <= vx1 && d >= vy0 && b <= vy1;
      const font = theme.palette.font || "sans-serif";
      const edgeBox = spatial.edgeBox(), selKey = scene.selectedKey();
      let drawn = 0;
      for (const fr of scene.frames) {
        if (!vis(fr.x0, fr.y0, fr.x1, fr.y1)) continue;
        c2.globalAlpha = 0.05; c2.fillStyle = fr.color; c2.fillRect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0);
        c2.globalAlpha = 1; c2.strokeStyle = ink(fr.color); c2.lineWidth = 1.4 / Math.max(k, 0.3); c2.setLineDash([6, 4]);
        c2.strokeRect(fr.x0, fr.y0, fr.x1 - fr.x0, fr.y1 - fr.y0); c2.setLineDash([]);
        if (k > 0.3) { c2.fillStyle = ink(fr.color); c2.font = "650 11px " + font; c2.textAlign = "left"; c2.fillText(fr.label, fr.x0 + 10, fr.y0 + 14); }
      }
      // Edges in one path, arrowheads in another.
      c2.strokeStyle = theme.palette.edge; c2.lineWidth = Math.max(1.2, 0.8 / k); c2.beginPath();
      const arrows = k > 0.25;
      const heads = [];
      const P = scene.layout.pts;
      const lr = scene.orient === "LR";
      for (let i = 0; i < scene.vedges.length; i++) {
        if (!vis(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) continue;
        const a = scene.layout.ptsOff[i], b = scene.layout.ptsOff[i + 1];
        c2.moveTo(P[2 * a], P[2 * a + 1]);
        for (let p = a + 1; p < b; p++) {
          const x0 = P[2 * p - 2], y0 = P[2 * p - 1], x1 = P[2 * p], y1 = P[2 * p + 1], dy = lr ? 0 : (y1 - y0) / 2, dx = lr ? (x1 - x0) / 2 : 0;
          if (k < 0.15) c2.lineTo(x1, y1); else c2.bezierCurveTo(x0 + dx, y0 + dy, x1 - dx, y1 - dy, x1, y1);
        }
        if (arrows) heads.push(P[2 * b - 2], P[2 * b - 1], lr ? (P[2 * b - 2] >= P[2 * b - 4] ? 1 : -1) : P[2 * b - 1] >= P[2 * b - 3] ? 1 : -1);
      }
      c2.stroke();
      if (arrows) {
        c2.fillStyle = theme.palette.edge; c2.beginPath();
        for (let j = 0; j < heads.length; j += 3) {
          const x = heads[j], y = heads[j + 1], s = heads[j + 2];
          c2.moveTo(x, y);
          if (lr) { c2.lineTo(x - 7 * s, y - 3.5); c2.lineTo(x - 7 * s, y + 3.5); } else { c2.lineTo(x - 3.5, y - 7 * s); c2.lineTo(x + 3.5, y - 7 * s); }
          c2.closePath();
        }
        c2.fill();
      }
      if (k >= 0.7) {
        const shown = [];
        for (let i = 0; i < scene.vedges.length; i++)
          if (scene.vedges[i].showLabel && vis(edgeBox[4 * i], edgeBox[4 * i + 1], edgeBox[4 * i + 2], edgeBox[4 * i + 3])) shown.push(scene.vedges[i]);
        c2.fillStyle = theme.palette.stage; c2.beginPath();
        for (const e of shown) c2.rect(e.plate[0], e.plate[1], e.plate[2] - e.plate[0], e.plate[3] - e.plate[1]);
        c2.fill();
        c2.fillStyle = theme.palette.edgeLabel; c2.font = "10px " + font; c2.textAlign = "left";
        for (const e of shown) c2.fillText(e.label, e.lx, e.ly);
      }
      // Nodes: plain rectangles when tiny, shaped and labelled when readable.
      const visible = [];
      for (let i = 0; i < scene.items.length; i++) {
        const it = scene.items[i];
        if (vis(it.x - it.w / 2, it.y - it.h / 2, it.x + it.w / 2, it.y + it.h / 2)) visible.push(i);
      }
      drawn = visible.length;
      if (k < 0.22) {
        const byColor = new Map();
        for (const i of visible) { const c = scene.items[i].color; if (!byColor.has(c)) byColor.set(c, []); byColor.get(c).push(i); }
        for (const [c, l] of byColor) {
          c2.fillStyle = c; c2.beginPath();
          for (const i of l) { const it = scene.items[i]; c2.rect(it.x - it.w / 2, it.y - it.h / 2, it.w, it.h); }
          c2.fill();
        }
      } else {
        const text = k >= 0.4;
        for (const i of visible) {
          const it = scene.items[i];
          c2.save(); c2.translate(it.x, it.y);
          const p = path2d(it.shape, it.w, it.h);
          if (it.kind === "g") { c2.save(); c2.translate(4, 4); c2.fillStyle = theme.palette.stage; c2.fill(p); c2.strokeStyle = ink(it.color); c2.lineWidth = 1.2; c2.stroke(p); c2.restore(); }
          c2.fillStyle = theme.palette.stage; c2.fill(p);
          c2.globalAlpha = fillAlpha(it.color); c2.fillStyle = it.color; c2.fill(p); c2.globalAlpha = 1;
          const isSel = scene.selected && it.key === selKey;
          c2.strokeStyle = it.key === scene.hitKey ? theme.palette.hit : isSel ? theme.palette.accent : ink(it.color);
          c2.lineWidth = isSel || it.key === scene.hitKey ? 3 : it.kind === "g" ? 2 : 1.6;
          c2.stroke(p);
          if (text) {
            const dx = it.kind === "g" ? -8 : 0;
            const alpha = fillAlpha(it.color);
            c2.textAlign = "center"; c2.fillStyle = theme.textOn(theme.palette.fg, it.color, alpha); c2.font = theme.font1; c2.fillText(it.line1, dx, -2);
            c2.fillStyle = theme.textOn(theme.palette.muted, it.color, alpha); c2.font = theme.font2; c2.fillText(it.line2, dx, 13);
          }
          if (text && it.stack) {
            c2.font = "10px " + font;
            const sw = Math.ceil(c2.measureText(it.stack).width) + 10, sx = -it.w / 2 + 8, sy = -it.h / 2 - 7;
            c2.fillStyle = theme.palette.stage; c2.strokeStyle = ink(it.color); c2.lineWidth = 1;
            c2.beginPath(); c2.roundRect ? c2.roundRect(sx, sy, sw, 14, 7) : c2.rect(sx, sy, sw, 14); c2.fill(); c2.stroke();
            c2.fillStyle = theme.palette.fg; c2.textAlign = "left"; c2.fillText(it.stack, sx + 5, sy + 10.5);
          }
          if (it.kind === "g") {
            const bx = it.w / 2 - 14;
            c2.fillStyle = ink(it.color); c2.beginPath(); c2.arc(bx, 0, 8, 0, 2 * Math.PI); c2.fill();
            c2.strokeStyle = theme.palette.stage; c2.lineWidth = 2; c2.beginPath(); c2.moveTo(bx - 4, 0); c2.lineTo(bx + 4, 0); c2.moveTo(bx, -4); c2.lineTo(bx, 4); c2.stroke();
          }
          c2.restore();
        }
      }
      return drawn;
    }

    return { svg: buildSvgScene, defs: svgDefs, canvas: drawCanvasScene };
  }
  return { create };
})();

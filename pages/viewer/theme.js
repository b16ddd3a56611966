// Theme, palette, node shapes and text metrics. The palette is read from the
// stylesheet's custom properties whenever the theme changes.
const ZTheme = (() => {
  "use strict";
  const root = document.documentElement;
  const measureCtx = document.createElement("canvas").getContext("2d");

  function create() {
    // The choice itself is shared with the other pages; the canvas code reads it from <html data-theme>.
    const choice = ZThemeChoice.create({ mark: true });
    const theme = { palette: {}, font1: "", font2: "", onSystemChange: null };
    function readPalette() {
      const cs = getComputedStyle(root);
      const g = (k) => cs.getPropertyValue(k).trim();
      theme.palette = { stage: g("--stage"), fg: g("--fg"), muted: g("--muted"), edge: g("--edge"), edgeLabel: g("--edge-label"),
        accent: g("--accent"), hit: g("--hit"), alpha: parseFloat(g("--node-fill-alpha")) || 0.15, line: g("--line"),
        panel: g("--panel"), font: g("--sans") || "sans-serif" };
    }
    readPalette();
    choice.onChange((t, fromSystem) => {
      readPalette();
      if (fromSystem && theme.onSystemChange) theme.onSystemChange();
    });
    // The reader's choice, kept for the next page.
    const toggle = () => choice.toggle();
    theme.onChange = choice.onChange;
    theme.font1 = "650 12px " + (theme.palette.font || "sans-serif");
    theme.font2 = "11px " + (theme.palette.font || "sans-serif");

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
    // A text colour that keeps a contrast of at least 4.5:1 on a node filled with `fill`
    // at `alpha` over the stage: `text` itself where it does, else `text` moved towards
    // black or white, whichever reads better, just far enough.
    const relLum = (rgb) => {
      const c = rgb.map((v) => { v /= 255; return v <= 0.04045 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; });
      return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
    };
    const contrast = (a, b) => { const x = relLum(a), y = relLum(b); return (Math.max(x, y) + 0.05) / (Math.min(x, y) + 0.05); };
    const textCache = new Map();
    function textOn(text, fill, alpha) {
      const key = text + "|" + fill + "|" + alpha + "|" + theme.palette.stage;
      let v = textCache.get(key);
      if (v) return v;
      const stage = rgbOf(theme.palette.stage), f = rgbOf(fill), a = Math.max(0, Math.min(1, +alpha || 0));
      const bg = stage.map((s, i) => s + (f[i] - s) * a), t = rgbOf(text);
      v = text;
      if (contrast(t, bg) < 4.5) {
        const to = contrast([0, 0, 0], bg) > contrast([255, 255, 255], bg) ? 0 : 255;
        for (let k = 1; k <= 20; k++) {
          const m = t.map((x) => Math.round(x + (to - x) * k / 20));
          v = "rgb(" + m.join(",") + ")";
          if (contrast(m, bg) >= 4.5) break;
        }
      }
      textCache.set(key, v);
      return v;
    }
    // Pale fills need more opacity on the light theme to be seen at all.
    const fillAlpha = (c) => (root.getAttribute("data-theme") !== "dark" && lum(rgbOf(c)) > 0.7 ? 0.6 : theme.palette.alpha);
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

    return Object.assign(theme, { toggle, ink, textOn, fillAlpha, safeColor, shapeKind, shapeSize, shapePath, path2d, textWidth });
  }
  return { create };
})();

// Canvases drawn at the screen's own resolution, and the theme's colours for them.
const ZCanvas = (() => {
  "use strict";
  // Sizes the canvas's pixels to its box on screen and returns a context that
  // draws in CSS pixels, with the box's width and height.
  function fit(canvas) {
    const dpr = window.devicePixelRatio || 1;
    const r = canvas.getBoundingClientRect();
    const w = Math.max(1, Math.round(r.width * dpr)), h = Math.max(1, Math.round(r.height * dpr));
    if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
    const ctx = canvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    return { ctx, w: r.width, h: r.height };
  }
  // A custom property of the page's stylesheet, such as "--plot-bg", as it stands now.
  const css = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
  return { fit, css };
})();

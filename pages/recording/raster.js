// Part: events per sensor row over time, on the timeline's axis, with the shown step's cursor.
ZParts.add("raster", (page) => {
  "use strict";
  const { int, obj } = ZDocument;
  const { axis, steps } = page;
  const css = ZCanvas.css;
  const ras = obj(page.doc.raw.raster) || {};
  const bins = Math.max(0, int(ras.bins, 0)), rows = Math.max(0, int(ras.rows, 0));
  const start = int(ras.start, steps.spanStart), binUs = Math.max(1, int(ras.bin_us, 1));
  const counts = ZBase64.array(ras.counts, Uint16Array);
  let image = null, top = 0, painted = "";
  // Colour of a cell of v events: from the plot's background towards the ink, on a log
  // scale that the busiest cell tops, so one event reads faint and the busiest full.
  function rgb(text) {
    const m = /^#([0-9a-f]{2})([0-9a-f]{2})([0-9a-f]{2})$/i.exec(text.trim());
    if (m) return [1, 2, 3].map((i) => parseInt(m[i], 16));
    const c = (text.match(/[\d.]+/g) || []).slice(0, 3).map(Number);
    return c.length === 3 ? c : [0, 0, 0];
  }
  function tone(v, bg, ink) {
    const f = v <= 0 ? 0 : 0.12 + 0.88 * (Math.log1p(v) / (Math.log1p(top) || 1));
    return bg.map((b, i) => Math.round(b + (ink[i] - b) * Math.min(1, f)));
  }
  const css3 = (c) => "rgb(" + c.join(", ") + ")";
  function paint() {
    const bg = rgb(css("--plot-bg")), ink = rgb(css("--raster-ink"));
    const key = bg.join() + "/" + ink.join();
    if (key === painted) return;
    painted = key;
    const ctx = image.getContext("2d");
    const img = ctx.createImageData(bins, rows);
    const lut = new Map();
    for (let i = 0; i < bins * rows; i++) {
      const v = counts[i];
      if (!v) continue;
      let c = lut.get(v);
      if (!c) { c = tone(v, bg, ink); lut.set(v, c); }
      img.data[4 * i] = c[0]; img.data[4 * i + 1] = c[1]; img.data[4 * i + 2] = c[2]; img.data[4 * i + 3] = 255;
    }
    ctx.putImageData(img, 0, 0);
    // the legend: one event, the ramp between, the busiest cell
    const stops = [];
    for (let k = 0; k <= 8; k++) stops.push(css3(tone(Math.expm1(Math.log1p(top) * k / 8) || 1, bg, ink)));
    byId("raster-one").style.background = stops[0];
    byId("raster-ramp").style.background = "linear-gradient(to right, " + stops.join(", ") + ")";
    byId("raster-top").style.background = stops[8];
  }
  function build() {
    if (!bins || !rows || counts.length < bins * rows) {
      byId("raster-info").textContent = "no raster in this page";
      byId("raster-legend").hidden = true;
      return;
    }
    for (let i = 0; i < counts.length; i++) if (counts[i] > top) top = counts[i];
    image = document.createElement("canvas");
    image.width = bins; image.height = rows;
    byId("raster-info").textContent = plural(rows, "row") + " × " + plural(bins, "bin") + " of " + fmtDuration(binUs) + " · busiest cell " + intFmt.format(top);
    byId("raster-top-label").textContent = plural(top, "event");
    byId("raster").addEventListener("click", (e) => {
      const r = e.currentTarget.getBoundingClientRect();
      page.player.jumpTo(axis.toTime(e.clientX - r.left, r.width));
    });
  }
  function draw() {
    if (!image) return;
    paint();
    const { ctx, w, h } = ZCanvas.fit(byId("raster"));
    ctx.fillStyle = css("--plot-bg");
    ctx.fillRect(0, 0, w, h);
    ctx.imageSmoothingEnabled = false;
    const x0 = axis.toX(start, w), x1 = axis.toX(start + bins * binUs, w);
    ctx.drawImage(image, x0, 0, x1 - x0, h);
    const span = page.player.currentSpan();
    if (span) {
      ctx.fillStyle = css("--cursor");
      ctx.fillRect(Math.round(axis.toX(span[0], w)) - 1, 0, 2, h);
    }
  }
  build();
  return { draw, show: draw };
});

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
  let image = null;
  function build() {
    if (!bins || !rows || counts.length < bins * rows) {
      byId("raster-info").textContent = "no raster in this page";
      return;
    }
    let top = 0;
    for (let i = 0; i < counts.length; i++) if (counts[i] > top) top = counts[i];
    image = document.createElement("canvas");
    image.width = bins; image.height = rows;
    const ctx = image.getContext("2d");
    const img = ctx.createImageData(bins, rows);
    const lt = Math.log1p(top) || 1;
    for (let i = 0; i < bins * rows; i++) {
      const v = counts[i];
      if (!v) continue;
      const f = 0.25 + 0.75 * (Math.log1p(v) / lt);
      img.data[4 * i] = 255 * f; img.data[4 * i + 1] = 180 * f; img.data[4 * i + 2] = 60 * f; img.data[4 * i + 3] = 255;
    }
    ctx.putImageData(img, 0, 0);
    byId("raster-info").textContent = plural(rows, "row") + " × " + plural(bins, "bin") + " of " + fmtDuration(binUs) + " · busiest cell " + intFmt.format(top);
    byId("raster").addEventListener("click", (e) => {
      const r = e.currentTarget.getBoundingClientRect();
      page.player.jumpTo(axis.toTime(e.clientX - r.left, r.width));
    });
  }
  function draw() {
    if (!image) return;
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

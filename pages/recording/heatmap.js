// Part: the event-count map of the whole span and the list of hot pixels; a
// listed pixel, once clicked, is marked on the map and over the frame.
ZParts.add("heatmap", (page) => {
  "use strict";
  const { int, obj, arr } = ZDocument;
  const { doc, colours } = page;
  const { W, H } = doc;
  const heat = obj(doc.raw.heatmap) || {};
  const hot = obj(doc.raw.hot_pixels) || {};
  const hotPixels = arr(hot.pixels).filter(Array.isArray).map((p) => p.map((v) => Math.max(0, int(v, 0))));
  const canvas = byId("heatmap");
  let levels = null;
  let mark = null;
  function paint() {
    if (!levels) return;
    const ctx = canvas.getContext("2d");
    const image = ctx.createImageData(W, H);
    const s = new Float64Array(levels.length);
    // levels 0..255 on a log scale, shown at the same tone as frames
    for (let i = 0; i < s.length; i++) s[i] = levels[i] / 64;
    colours.paint(s, image.data, 1);
    ctx.putImageData(image, 0, 0);
    if (mark) {
      ctx.strokeStyle = ZCanvas.css("--cursor");
      ctx.lineWidth = Math.max(1, W / 200);
      const r = Math.max(3, W / 60);
      ctx.strokeRect(mark[0] + 0.5 - r, mark[1] + 0.5 - r, 2 * r, 2 * r);
    }
  }
  function overlay(ctx, sx, sy) {
    if (!mark) return;
    ctx.strokeStyle = ZCanvas.css("--cursor");
    ctx.lineWidth = 2;
    ctx.strokeRect((mark[0] - 2) * sx, (mark[1] - 2) * sy, 5 * sx, 5 * sy);
  }
  async function start() {
    if (typeof heat.png === "string" && W && H) {
      try { levels = await page.counts.decode(heat.png, W, H); } catch (e) { levels = null; }
    }
    paint();
  }

  canvas.width = Math.max(1, W); canvas.height = Math.max(1, H);
  byId("heat-info").textContent = "busiest pixel " + intFmt.format(Math.max(0, int(heat.max, 0))) + " events";
  byId("hot-rule").textContent = typeof hot.rule === "string" ? "listed: " + hot.rule : "";
  const body = byId("hot-list").tBodies[0];
  hotPixels.forEach((p, i) => {
    const tr = document.createElement("tr");
    for (const v of [i + 1, p[0], p[1], p[2], p[3], p[2] + p[3]]) tr.appendChild(el("td", "", intFmt.format(v)));
    tr.addEventListener("click", () => {
      mark = [p[0], p[1]];
      for (const r of body.rows) r.classList.toggle("current", r === tr);
      paint(); page.player.drawOverlay();
    });
    body.appendChild(tr);
  });
  // A small sensor (N-MNIST's 34 x 34) is drawn at the largest whole zoom that fits the
  // panel, pixel for pixel, instead of a stamp at its own size.
  const MAX_HEIGHT = 480;
  function fit() {
    const room = canvas.parentElement.clientWidth;
    const zoom = W && H ? Math.floor(Math.min(room / W, MAX_HEIGHT / H)) : 0;
    canvas.style.width = zoom >= 2 ? W * zoom + "px" : "";
    canvas.style.height = zoom >= 2 ? H * zoom + "px" : "";
  }
  return { start, overlay, recolour: paint, draw: fit };
});

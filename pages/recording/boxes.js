// Part: boxes, labels and predictions: drawn over the frames they fall in, listed
// (filtered by class) with the shown ones marked, and stepped through with [ and ].
ZParts.add("boxes", (page) => {
  "use strict";
  const { num, int, obj, arr } = ZDocument;
  const { doc } = page;
  const { tFirst } = doc;
  const boxDoc = obj(doc.raw.boxes);
  const classes = boxDoc ? arr(boxDoc.classes).map((c) => (typeof c === "string" ? c : String(c))) : [];
  const boxes = [];
  // with a score: each label found or missed, each prediction a hit, a false positive or unscored
  const scored = obj(doc.raw.scores);
  const STATUS = { label: ["miss", "found"], pred: { "1": "hit", "0": "fp" } };
  function statusOf(pred, i) {
    if (!scored) return "";
    const v = arr(scored[pred ? "predictions" : "labels"])[i];
    return pred ? (STATUS.pred[String(v)] || "") : (v === 1 || v === 0 ? STATUS.label[v] : "");
  }
  function read(cols, pred) {
    cols = obj(cols);
    if (!cols) return;
    const t = arr(cols.t), conf = Array.isArray(cols.confidence) ? cols.confidence : null;
    const track = Array.isArray(cols.track_id) ? cols.track_id : null;
    for (let i = 0; i < t.length; i++) {
      boxes.push({ t: int(t[i], 0), x: num(arr(cols.x)[i], 0), y: num(arr(cols.y)[i], 0), w: num(arr(cols.w)[i], 0),
        h: num(arr(cols.h)[i], 0), c: int(arr(cols.class_id)[i], 0), conf: conf ? num(conf[i], NaN) : NaN,
        track: track ? int(track[i], -1) : -1, pred: pred, status: statusOf(pred, i) });
    }
  }
  if (boxDoc) { read(boxDoc.labels, false); read(boxDoc.predictions, true); }
  boxes.sort((a, b) => a.t - b.t || a.pred - b.pred);
  const className = (c) => (c >= 0 && c < classes.length ? classes[c] : "class " + c);
  const LIST_MAX = 5000;
  let listed = [];
  function visible(b) {
    const f = byId("box-class").value;
    return f === "all" || Number(f) === b.c;
  }
  // x, y and w × h in at most 4 significant digits, without trailing zeros, and free
  // to wrap only between the place and the size: the columns fit the side panel.
  const short = (v) => { const t = sig(v, 4); return t.includes(".") && !/e/i.test(t) ? t.replace(/\.?0+$/, "") : t; };
  const place = (b) => short(b.x) + ",\u00a0" + short(b.y) + " · " + short(b.w) + "×" + short(b.h);
  // Score and track columns only when some box has one.
  const table = byId("box-list");
  table.classList.toggle("no-score", !boxes.some((b) => Number.isFinite(b.conf)));
  table.classList.toggle("no-track", !boxes.some((b) => b.track >= 0));
  function list() {
    const body = byId("box-list").tBodies[0];
    body.textContent = "";
    const shown = boxes.filter(visible);
    listed = shown.slice(0, LIST_MAX);
    for (const b of listed) {
      const tr = document.createElement("tr");
      if (b.pred) tr.className = "pred";
      tr.append(el("td", "mono", ZClock.offset(b.t - tFirst)), el("td", "", className(b.c) + (b.pred ? " (predicted)" : "")), el("td", "mono", place(b)),
        el("td", "", Number.isFinite(b.conf) ? b.conf.toFixed(2) : ""), el("td", "", b.track >= 0 ? String(b.track) : ""));
      tr.addEventListener("click", () => page.player.jumpTo(b.t));
      body.appendChild(tr);
    }
    byId("box-info").textContent = plural(shown.length, "box") + (shown.length > LIST_MAX ? ", the first " + intFmt.format(LIST_MAX) + " listed" : "") +
      " · " + plural(boxes.filter((b) => !b.pred).length, "label") + ", " + plural(boxes.filter((b) => b.pred).length, "prediction");
    mark();
  }
  // marks the listed boxes of the shown step, scrolled into view unless playing
  function mark() {
    const body = byId("box-list").tBodies[0];
    const span = page.player.currentSpan();
    let first = null;
    listed.forEach((b, i) => {
      const on = Boolean(span) && b.t >= span[0] && b.t < span[1];
      const row = body.rows[i];
      if (row) { row.classList.toggle("current", on); if (on && !first) first = row; }
    });
    if (first && !page.player.playing()) first.scrollIntoView({ block: "nearest" });
  }
  function step(dir) {
    const span = page.player.currentSpan();
    if (!span) return;
    const vis = boxes.filter(visible);
    const b = dir > 0 ? vis.find((x) => x.t >= span[1]) : vis.slice().reverse().find((x) => x.t < span[0]);
    if (b) page.player.jumpTo(b.t);
  }
  function overlay(ctx, sx, sy, span) {
    if (!byId("show-boxes").checked) return;
    const dpr = window.devicePixelRatio || 1;
    ctx.font = Math.round(11 * dpr) + "px system-ui, sans-serif";
    ctx.textBaseline = "bottom";
    let shown = 0;
    for (const b of boxes) {
      if (b.t < span[0] || b.t >= span[1] || !visible(b)) continue;
      shown++;
      const style = ZBoxStyles.of(b, dpr);
      if (style.skip) continue;
      ctx.strokeStyle = style.colour || ZClassColours.of(b.c);
      ctx.fillStyle = style.colour || ZClassColours.of(b.c);
      ctx.lineWidth = style.width;
      ctx.setLineDash(style.dash);
      ctx.strokeRect(b.x * sx, b.y * sy, b.w * sx, b.h * sy);
      let text = (style.tag ? style.tag + " " : "") + className(b.c);
      if (b.pred && Number.isFinite(b.conf)) text += " " + b.conf.toFixed(2);
      if (b.track >= 0) text += " #" + b.track;
      ctx.fillText(text, b.x * sx + 2, Math.max(12 * dpr, b.y * sy - 2));
    }
    byId("overlay").dataset.boxes = String(shown);
  }
  function key(k) {
    if (k !== "[" && k !== "]") return false;
    step(k === "]" ? 1 : -1);
    return true;
  }

  byId("show-boxes").addEventListener("change", () => page.player.drawOverlay());
  if (boxDoc) {
    byId("boxes-panel").hidden = false;
    const sel = byId("box-class");
    const ids = Array.from(new Set(boxes.map((b) => b.c))).sort((a, b) => a - b);
    for (const c of ids) { const o = el("option", "", className(c)); o.value = String(c); sel.appendChild(o); }
    sel.addEventListener("change", () => { list(); page.player.drawOverlay(); });
    byId("box-prev").addEventListener("click", () => step(-1));
    byId("box-next").addEventListener("click", () => step(1));
    list();
  }
  return { overlay, show: mark, key };
});

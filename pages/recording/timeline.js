// Part: the timeline of the whole recording (or window): ON above and OFF below
// the middle line, the spans of full-rate frames, labelled segments along the
// bottom (one colour a label), and the shown step's cursor.
ZParts.add("timeline", (page) => {
  "use strict";
  const { int, obj } = ZDocument;
  const { doc, steps, axis } = page;
  const { tFirst, tLast, win } = doc;
  const { spanStart, spanEnd, fullSpans } = steps;
  const { PAD } = axis;
  const css = ZCanvas.css;
  const tl = obj(doc.raw.timeline) || {};
  const tlOn = ZBase64.array(tl.on, Uint32Array), tlOff = ZBase64.array(tl.off, Uint32Array);
  const tlStart = int(tl.start, spanStart), tlBin = Math.max(1, int(tl.bin_us, 1));
  const labelled = (Array.isArray(tl.labels) ? tl.labels : []).map(obj).filter(Boolean);
  const labelNames = [...new Set(labelled.map((s) => String(s.label)))];
  function drawLabels(ctx, w, h) {
    const band = 12;
    ctx.font = "10px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    ctx.textAlign = "left";
    for (const seg of labelled) {
      const x0 = axis.toX(int(seg.start, 0), w), x1 = axis.toX(int(seg.end, 0), w);
      if (x1 < PAD.left || x0 > w - PAD.right) continue;
      const a = Math.max(x0, PAD.left), b = Math.min(x1, w - PAD.right);
      ctx.globalAlpha = 0.55;
      ctx.fillStyle = ZClassColours.of(labelNames.indexOf(String(seg.label)));
      ctx.fillRect(a, h - band, Math.max(1.5, b - a), band);
      ctx.globalAlpha = 1;
      const text = String(seg.label);
      if (ctx.measureText(text).width + 4 < b - a) {
        ctx.fillStyle = css("--fg");
        ctx.fillText(text, a + 2, h - band / 2);
      }
    }
  }
  function draw() {
    const canvas = byId("timeline");
    const { ctx, w, h } = ZCanvas.fit(canvas);
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = css("--plot-bg");
    ctx.fillRect(0, 0, w, h);
    ctx.fillStyle = css("--cursor-band");
    for (const [a, b] of fullSpans) {
      const x0 = axis.toX(a, w), x1 = axis.toX(b, w);
      ctx.fillRect(x0, 0, Math.max(1.5, x1 - x0), h);
    }
    const mid = Math.round(h / 2), cols = Math.max(1, Math.floor(w - PAD.left - PAD.right));
    const colOn = new Float64Array(cols), colOff = new Float64Array(cols);
    const n = Math.min(tlOn.length, tlOff.length);
    let top = 0;
    for (let i = 0; i < n; i++) {
      const c = clamp(Math.floor(axis.toX(tlStart + (i + 0.5) * tlBin, w) - PAD.left), 0, cols - 1);
      colOn[c] = Math.max(colOn[c], tlOn[i]); colOff[c] = Math.max(colOff[c], tlOff[i]);
    }
    for (let c = 0; c < cols; c++) top = Math.max(top, colOn[c], colOff[c]);
    const scale = top > 0 ? (mid - 4) / top : 0;
    ctx.fillStyle = css("--on");
    for (let c = 0; c < cols; c++) if (colOn[c]) ctx.fillRect(PAD.left + c, mid - colOn[c] * scale, 1, colOn[c] * scale);
    ctx.fillStyle = css("--off");
    for (let c = 0; c < cols; c++) if (colOff[c]) ctx.fillRect(PAD.left + c, mid, 1, colOff[c] * scale);
    ctx.fillStyle = css("--grid");
    ctx.fillRect(PAD.left, mid, w - PAD.left - PAD.right, 1);
    if (labelled.length) drawLabels(ctx, w, h);
    // marks other parts ask for: bands over spans, ticks at the top (row 0) or the bottom (row 1)
    const marks = [].concat(...page.call("marks"));
    for (const m of marks) {
      ctx.fillStyle = css(m.colour) || css("--cursor");
      const x0 = axis.toX(m.t0, w);
      if (m.kind === "band") ctx.fillRect(x0, 0, Math.max(2, axis.toX(m.t1, w) - x0), h);
      else ctx.fillRect(Math.round(x0) - 1, m.row ? h - 7 : 0, 3, 7);
    }
    canvas.dataset.marks = String(marks.length);
    const span = page.player.currentSpan();
    if (span) {
      ctx.fillStyle = css("--cursor");
      ctx.fillRect(Math.round(axis.toX(span[0], w)) - 1, 0, 2, h);
    }
    ctx.fillStyle = css("--muted");
    ctx.font = "11px system-ui, sans-serif";
    ctx.textBaseline = "top";
    ctx.textAlign = "left";
    ctx.fillText(ZClock.offset(spanStart - tFirst), PAD.left + 2, 2);
    ctx.textAlign = "right";
    ctx.fillText(ZClock.offset(spanEnd - tFirst), w - PAD.right - 2, 2);
    canvas.dataset.plot = [PAD.left, w - PAD.right, spanStart, spanEnd].join(",");
    byId("timeline-info").textContent = plural(n, "bin") + " of " + fmtDuration(tlBin) + " · peak " + intFmt.format(top) + " events a bin"
      + (labelled.length ? " · " + plural(labelled.length, "labelled segment") : "");
  }
  byId("timeline").addEventListener("click", (e) => {
    const r = e.currentTarget.getBoundingClientRect();
    page.player.jumpTo(axis.toTime(e.clientX - r.left, r.width));
  });
  if (win && tLast > tFirst) {
    byId("place").hidden = false;
    const whole = tLast - tFirst;
    const a = clamp((spanStart - tFirst) / whole, 0, 1), b = clamp((spanEnd - tFirst) / whole, 0, 1);
    byId("place-win").style.left = (100 * a) + "%";
    byId("place-win").style.width = (100 * (b - a)) + "%";
    byId("place-text").textContent = "window " + ZClock.offset(spanStart - tFirst) + " to " + ZClock.offset(spanEnd - tFirst) + " of " + fmtDuration(whole);
  }
  return { draw, show: draw };
});

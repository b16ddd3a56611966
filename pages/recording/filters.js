// Part: the noise filters the page was made with (data-part="filters"): what each one
// removed, and the share of the events removed in each timeline bin, drawn under the
// timeline on the same time axis. The frames, counts and plots show the survivors; a
// switch (data-part="raw-toggle", key r) shows the raw frames the page holds instead.
ZParts.add("filters", (page) => {
  "use strict";
  const { int, num, obj } = ZDocument;
  const { doc, axis } = page;
  const f = obj(doc.raw.filters);
  if (!f) return {};
  const removed = obj(f.removed) || {};
  const hot = Math.max(0, int(removed.hot, 0)), den = Math.max(0, int(removed.denoise, 0)), ref = Math.max(0, int(removed.refractory, 0));
  const kept = Math.max(0, int(f.kept, 0));
  const total = hot + den + ref + kept;
  const bins = ZBase64.array(f.removed_bins, Uint32Array);
  const tl = obj(doc.raw.timeline) || {};
  const tlOn = ZBase64.array(tl.on, Uint32Array), tlOff = ZBase64.array(tl.off, Uint32Array);
  const tlStart = int(tl.start, 0), tlBin = Math.max(1, int(tl.bin_us, 1));
  const pct = (n) => (total ? (100 * n / total).toFixed(n && 100 * n / total < 0.1 ? 2 : 1) + "%" : "0%");

  const panel = el("section", "panel");
  panel.id = "filters-panel";
  panel.dataset.part = "filters";
  const head = el("div", "panel-head");
  const title = el("div", "head-title");
  const asked = [];
  if (f.drop_hot === true) asked.push("hot pixels dropped");
  if (num(f.denoise_us, 0) > 0) asked.push("denoise " + fmtDuration(num(f.denoise_us, 0)));
  if (num(f.refractory_us, 0) > 0) asked.push("refractory " + fmtDuration(num(f.refractory_us, 0)));
  title.append(el("h2", "", "Filters"), el("span", "muted hint", asked.join(" · ") + " · frames and plots show the survivors"));
  head.appendChild(title);
  panel.appendChild(head);
  const grid = el("div", "health-grid");
  const item = (k, n, s) => {
    const c = el("div", "health-item");
    c.append(el("div", "k", k), el("div", "v", intFmt.format(n)), el("div", "s", s));
    grid.appendChild(c);
  };
  item("Hot pixels removed", hot, pct(hot) + " of the events");
  item("Denoise removed", den, pct(den));
  item("Refractory removed", ref, pct(ref));
  item("Kept", kept, pct(kept));
  panel.appendChild(grid);
  const plot = el("div", "plot removed");
  const canvas = el("canvas");
  canvas.id = "removed";
  canvas.setAttribute("aria-label", "share of the events removed by the filters in each timeline bin");
  plot.appendChild(canvas);
  panel.appendChild(el("p", "muted hint", "Removed share per timeline bin (0 to 100%)"));
  panel.appendChild(plot);
  const tlPanel = byId("timeline-panel");
  tlPanel.parentNode.insertBefore(panel, tlPanel.nextSibling);

  // The player's raw/filtered switch (key r), and a line saying which frames show and what went.
  const rawDoc = obj(doc.raw.raw_frames) || {};
  const rawFrames = Math.max(0, int(rawDoc.frames, 0));
  const held = ZDocument.arr(rawDoc.held).filter((h) => Array.isArray(h) && h.length === 2);
  const toggle = el("button", "btn", "Raw frames");
  toggle.type = "button";
  toggle.id = "raw-toggle";
  toggle.dataset.part = "raw-toggle";
  toggle.setAttribute("aria-pressed", "false");
  toggle.title = rawFrames ? "Show the frames before the filters, or the filtered frames (r)"
    : "The page budget left no room for raw frames";
  toggle.disabled = !rawFrames;
  const exportLink = byId("export");
  exportLink.parentNode.insertBefore(toggle, exportLink);
  const status = el("p", "muted hint frames-shown");
  status.id = "frames-shown";
  status.dataset.part = "frames-shown";
  status.setAttribute("aria-live", "polite");
  byId("player-panel").appendChild(status);
  const gone = hot + den + ref;
  const removedText = "the filters removed " + intFmt.format(gone) + " of " + intFmt.format(total) + " events (" + pct(gone) +
    "): hot pixels " + intFmt.format(hot) + " · denoise " + intFmt.format(den) + " · refractory " + intFmt.format(ref);
  const heldText = held.map((h) => ZClock.offset(int(h[0], 0) - doc.tFirst) + " to " + ZClock.offset(int(h[1], 0) - doc.tFirst)).join(", ");
  let wantRaw = false;
  function tell() {
    const shown = page.player.showsRaw();
    toggle.setAttribute("aria-pressed", wantRaw ? "true" : "false");
    status.dataset.shown = shown ? "raw" : "filtered";
    if (shown) status.textContent = "Showing raw frames, before the filters: all " + intFmt.format(total) + " events; " + removedText + ".";
    else if (wantRaw) status.textContent = "Showing filtered frames here: the page holds raw frames for " + (heldText || "no frame") +
      " only (its budget). " + removedText[0].toUpperCase() + removedText.slice(1) + ".";
    else status.textContent = "Showing filtered frames: " + removedText + "." + (rawFrames ? " Press r for the raw frames." : "");
  }
  async function flip() {
    if (!rawFrames) return;
    wantRaw = !wantRaw;
    await page.player.setRaw(wantRaw);
    tell();
  }
  toggle.addEventListener("click", flip);
  tell();

  function draw() {
    const { ctx, w, h } = ZCanvas.fit(canvas);
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = ZCanvas.css("--plot-bg");
    ctx.fillRect(0, 0, w, h);
    ctx.fillStyle = ZCanvas.css("--box-fp");
    let top = 0;
    const n = Math.min(bins.length, tlOn.length, tlOff.length);
    for (let i = 0; i < n; i++) {
      const gone = bins[i], all = gone + tlOn[i] + tlOff[i];
      if (!all || !gone) continue;
      const share = gone / all;
      top = Math.max(top, share);
      const x0 = axis.toX(tlStart + i * tlBin, w), x1 = axis.toX(tlStart + (i + 1) * tlBin, w);
      ctx.fillRect(x0, h - share * (h - 2), Math.max(1, x1 - x0), share * (h - 2));
    }
    canvas.dataset.peak = top.toFixed(4);
  }
  return {
    draw,
    show: tell,
    key: (key) => {
      if (key !== "r" && key !== "R") return false;
      flip();
      return true;
    },
  };
});

/* Spike viewer: reads DOC (an event document or a frame document) and builds
   the summary, the time-bin row, the animation player and the raster views.
   Document text only ever reaches the DOM through textContent. */
(function () {
  "use strict";
  //@common.js@
  //@canvas.js@

  const finite = (v) => (typeof v === "number" && Number.isFinite(v) ? v : 0);
  const strings = (a) => (Array.isArray(a) ? a.filter((s) => typeof s === "string") : []);
  const pngUri = (b64) => "data:image/png;base64," + b64;

  // ---- the document, read defensively: a malformed key must not stop the page
  const doc = typeof DOC === "object" && DOC !== null ? DOC : {};
  const eventCount = Math.max(0, finite(doc.event_count));
  const durationUs = Math.max(0, finite(doc.duration_us));
  const sensor = Array.isArray(doc.sensor_size) ? doc.sensor_size : [];
  const sensorW = Math.max(0, Math.trunc(finite(sensor[0])));
  const sensorH = Math.max(0, Math.trunc(finite(sensor[1])));
  const gridFrames = strings(doc.grid_frames);
  const frames = strings(doc.animation_frames);
  const raster = Array.isArray(doc.raster) ? doc.raster.filter(Array.isArray) : [];
  const nBins = raster.length;
  const nNeurons = nBins ? raster.reduce((m, row) => Math.max(m, row.length), 0) : 0;
  const hasRaster = nBins > 0 && nNeurons > 0;
  // plot_frames builds documents without events; they get no event statistics
  const isFrameDoc = !hasRaster && eventCount === 0 && durationUs === 0;

  // ---- number and time formatting
  function timeUnit(us) {
    if (us >= 1e6) return { div: 1e6, name: "s" };
    if (us >= 1e3) return { div: 1e3, name: "ms" };
    return { div: 1, name: "µs" };
  }
  // One unit and one precision for a whole axis or row, so labels line up.
  function rangeFormatter(totalUs, stepUs) {
    const u = timeUnit(totalUs);
    const step = stepUs / u.div;
    let dec = step > 0 ? clamp(2 - Math.floor(Math.log10(step) + 1e-9), 0, 4) : 0;
    for (let d = 0; d < dec; d++) {
      // a round step (1 ms, 0.1 s) needs no trailing zeros
      if (Number(step.toFixed(d)) === Number(step.toFixed(dec))) { dec = d; break; }
    }
    const f = (us) => (us / u.div).toFixed(dec);
    return { unit: u, one: (us) => f(us) + " " + u.name, span: (a, b) => f(a) + "–" + f(b) + " " + u.name };
  }
  const fmtRate = ZFormat.rate;
  function fmtCount(v) { return Number.isInteger(v) ? intFmt.format(v) : sig(v, 3); }

  // ---- summary
  function card(key, value, sub) {
    const el = document.createElement("div");
    el.className = "card";
    for (const [cls, text] of [["k", key], ["v", value], ["s", sub || "\u00a0"]]) {
      const d = document.createElement("div");
      d.className = cls;
      d.textContent = text;
      el.appendChild(d);
    }
    byId("summary").appendChild(el);
  }
  function buildSummary() {
    const sensorText = sensorW + " × " + sensorH;
    const sensorSub = sensorH === 1 && sensorW > 1 ? "1-D sensor, " + plural(sensorW, "channel")
                                                   : plural(sensorW * sensorH, "pixel");
    if (isFrameDoc) {
      byId("kind").textContent = "Frame stack · " + plural(frames.length, "frame");
      card("Frames", intFmt.format(frames.length), "binned elsewhere");
      card("Sensor", sensorText, sensorSub);
      card("Events", "—", "no event data in a frame stack");
      return;
    }
    byId("kind").textContent = "Event recording · " + plural(eventCount, "event") + " over " + fmtDuration(durationUs);
    card("Events", intFmt.format(eventCount), eventCount ? "in the recording" : "empty recording");
    card("Duration", fmtDuration(durationUs), intFmt.format(durationUs) + " µs");
    card("Sensor", sensorText, sensorSub);
    const rate = durationUs > 0 ? eventCount / (durationUs * 1e-6) : NaN;
    card("Mean event rate", Number.isFinite(rate) ? fmtRate(rate).trim() + " ev/s" : "—",
         Number.isFinite(rate) && sensorW * sensorH > 0
           ? fmtRate(rate / (sensorW * sensorH)).trim() + " ev/s per " + (sensorH === 1 && sensorW > 1 ? "channel" : "pixel")
           : "needs a duration");
    const frameUs = frames.length ? durationUs / frames.length : 0;
    card("Animation", plural(frames.length, "frame"), frameUs ? fmtDuration(frameUs) + " per frame" : "");
  }

  // ---- shared helpers for images of the sensor
  // 1-D sensors (and very wide ones) are drawn as strips, not as squashed images
  const oneD = sensorW > 1 && sensorW / Math.max(sensorH, 1) > 16;
  function slug() {
    const t = (byId("title").textContent || "spikes").trim().toLowerCase();
    return t.replace(/[^a-z0-9]+/g, "-").replace(/^-+|-+$/g, "").slice(0, 48) || "spikes";
  }

  // ---- grid row: each image carries its time range
  const gridFigures = [];
  function buildGrid() {
    const row = byId("grid");
    if (isFrameDoc) byId("grid-title").textContent = "First frames";
    if (!gridFrames.length) {
      const p = document.createElement("div");
      p.className = "empty";
      p.textContent = "No time-bin images in this document.";
      row.appendChild(p);
      return;
    }
    const n = gridFrames.length;
    const step = durationUs / n;
    const fmt = rangeFormatter(durationUs, step);
    gridFrames.forEach((b64, i) => {
      const fig = document.createElement("figure");
      if (oneD) fig.classList.add("strip");
      const img = document.createElement("img");
      img.alt = "time bin " + (i + 1);
      img.src = pngUri(b64);
      if (sensorW > 0 && sensorH > 0 && !oneD) img.style.aspectRatio = sensorW + " / " + sensorH;
      const cap = document.createElement("figcaption");
      const a = document.createElement("span");
      const b = document.createElement("span");
      b.className = "n";
      if (isFrameDoc) {
        a.textContent = "frame " + (i + 1);
        b.textContent = i + 1 + "/" + n;
      } else if (durationUs === 0) {
        a.textContent = "bin " + (i + 1);  // no time span to divide
        b.textContent = i + 1 + "/" + n;
      } else {
        a.textContent = fmt.span(i * step, (i + 1) * step);
        b.textContent = "bin " + (i + 1) + "/" + n;
      }
      cap.append(a, b);
      fig.append(img, cap);
      fig.title = a.textContent;
      fig.addEventListener("click", () => {
        // frame documents hold the first animation frames; event documents share the time axis
        const target = isFrameDoc ? i : Math.floor(((i + 0.5) / n) * frames.length);
        setPlaying(false);
        showFrame(target);
      });
      row.appendChild(fig);
      gridFigures.push(fig);
    });
  }
  function markGrid(i) {
    const n = gridFrames.length;
    gridFigures.forEach((fig, k) => {
      let on;
      if (isFrameDoc) on = k === i;
      else {
        const t = (i + 0.5) / frames.length;
        on = t >= k / n && t < (k + 1) / n;
      }
      fig.classList.toggle("current", on);
    });
  }

  // ---- animation player
  const img = byId("frame-img");
  const stage = byId("stage");
  const slider = byId("slider");
  const playBtn = byId("play");
  const fpsInput = byId("fps");
  const loopBox = byId("loop");
  const zoomSel = byId("zoom");
  const exportLink = byId("export");
  const player = { i: 0, playing: false, timer: 0 };
  const frameFmt = rangeFormatter(durationUs, frames.length ? durationUs / frames.length : 0);

  function frameSpanUs(i) {
    const n = frames.length || 1;
    return [(i * durationUs) / n, ((i + 1) * durationUs) / n];
  }
  function showFrame(i) {
    if (!frames.length) return;
    player.i = clamp(Math.trunc(i) || 0, 0, frames.length - 1);
    const uri = pngUri(frames[player.i]);
    img.src = uri;
    img.dataset.frame = String(player.i);
    slider.value = String(player.i);
    let text = "frame " + (player.i + 1) + " / " + frames.length;
    if (durationUs > 0) {
      const [a, b] = frameSpanUs(player.i);
      text += " · " + frameFmt.span(a, b);
    }
    byId("frame-label").textContent = text;
    exportLink.href = uri;
    exportLink.download = slug() + "-frame-" + String(player.i + 1).padStart(3, "0") + ".png";
    markGrid(player.i);
    drawAll();
  }
  function fps() { return clamp(finite(Number(fpsInput.value)) || 8, 1, 60); }
  function schedule() {
    clearTimeout(player.timer);
    if (player.playing) player.timer = setTimeout(tick, 1000 / fps());
  }
  function tick() {
    let j = player.i + 1;
    if (j >= frames.length) {
      if (!loopBox.checked) { setPlaying(false); return; }
      j = 0;
    }
    showFrame(j);
    schedule();
  }
  function setPlaying(on) {
    on = Boolean(on) && frames.length > 1;
    if (on && !player.playing && !loopBox.checked && player.i >= frames.length - 1) showFrame(0);
    player.playing = on;
    playBtn.setAttribute("aria-label", on ? "Pause" : "Play");
    playBtn.setAttribute("aria-pressed", on ? "true" : "false");
    schedule();
  }
  function layoutStage() {
    if (!frames.length || sensorW <= 0 || sensorH <= 0) return;
    const availW = Math.max(64, stage.parentElement.clientWidth - 28);
    const availH = Math.max(160, Math.min(window.innerHeight * 0.62, 640));
    const z = zoomSel.value;
    let w, h;
    if (z === "fit") {
      const s = Math.min(availW / sensorW, availH / sensorH);
      w = sensorW * s;
      h = sensorH * s;
      if (oneD) h = Math.max(h, 48); // a 1-D strip still needs a visible height
      stage.classList.remove("zoomed");
      stage.style.height = "";
    } else {
      w = sensorW * Number(z);
      h = Math.max(sensorH * Number(z), oneD ? 48 : 0);
      stage.classList.toggle("zoomed", w > availW || h > availH);
      stage.style.height = Math.min(h, availH) + "px";
    }
    img.style.width = Math.round(w) + "px";
    img.style.height = Math.round(h) + "px";
  }
  function buildPlayer() {
    const n = frames.length;
    slider.max = String(Math.max(0, n - 1));
    if (!n) {
      img.remove();
      const p = document.createElement("div");
      p.className = "empty";
      p.textContent = "No animation frames in this document.";
      stage.appendChild(p);
      stage.style.background = "transparent";
      for (const el of [slider, playBtn, byId("prev"), byId("next"), fpsInput, loopBox, zoomSel]) el.disabled = true;
      exportLink.setAttribute("aria-disabled", "true");
      exportLink.removeAttribute("href");
      byId("frame-label").textContent = "0 frames";
      return;
    }
    if (n < 2) for (const el of [slider, playBtn, byId("prev"), byId("next")]) el.disabled = true;
    playBtn.addEventListener("click", () => setPlaying(!player.playing));
    byId("prev").addEventListener("click", () => { setPlaying(false); showFrame(player.i - 1); });
    byId("next").addEventListener("click", () => { setPlaying(false); showFrame(player.i + 1); });
    slider.addEventListener("input", () => showFrame(Number(slider.value)));
    fpsInput.addEventListener("change", () => { fpsInput.value = String(fps()); schedule(); });
    zoomSel.addEventListener("change", layoutStage);
    layoutStage();
    showFrame(0);
  }
  document.addEventListener("keydown", (e) => {
    if (e.ctrlKey || e.metaKey || e.altKey || !frames.length) return;
    const t = e.target;
    const typing = t instanceof HTMLElement && (t.tagName === "SELECT" || t.tagName === "TEXTAREA" ||
      (t.tagName === "INPUT" && t.type !== "range" && t.type !== "checkbox"));
    if (typing) return;
    if (e.key === " " || e.key === "Spacebar") {
      if (t instanceof HTMLElement && (t.tagName === "BUTTON" || t.tagName === "A")) return; // native activation
      e.preventDefault();
      setPlaying(!player.playing);
    } else if (e.key === "ArrowRight" || e.key === "ArrowLeft") {
      e.preventDefault();
      setPlaying(false);
      const n = frames.length;
      let j = player.i + (e.key === "ArrowRight" ? 1 : -1);
      if (loopBox.checked) j = (j + n) % n;
      showFrame(j);
    } else if (e.key === "Home" || e.key === "End") {
      e.preventDefault();
      setPlaying(false);
      showFrame(e.key === "Home" ? 0 : frames.length - 1);
    }
  });

  // ---- raster: colour map, heat map, rate curve
  // viridis, sampled at nine points and interpolated into a 256-entry table
  const VIRIDIS = [[68, 1, 84], [71, 44, 122], [59, 81, 139], [44, 113, 142], [33, 144, 141],
                   [39, 173, 129], [92, 200, 99], [170, 220, 50], [253, 231, 37]];
  const LUT = new Uint8ClampedArray(256 * 3);
  for (let i = 0; i < 256; i++) {
    const x = (i / 255) * (VIRIDIS.length - 1);
    const k = Math.min(VIRIDIS.length - 2, Math.floor(x));
    const f = x - k;
    for (let c = 0; c < 3; c++) LUT[i * 3 + c] = VIRIDIS[k][c] + (VIRIDIS[k + 1][c] - VIRIDIS[k][c]) * f;
  }

  const rasterCanvas = byId("raster");
  const rateCanvas = byId("rate");
  const tooltip = byId("tooltip");
  const scaleSel = byId("scale");
  const M = { left: 64, right: 14, top: 8, bottom: 40 };
  const RM = { top: 8, bottom: 6 };
  const LOW = 40; // first colour-map entry used for a count above zero
  const MAX_ROWS = 8192; // canvas size limit: neurons beyond this are summed per row
  const rowGroup = Math.max(1, Math.ceil(nNeurons / MAX_ROWS));
  const view = { t0: 0, t1: Math.max(nBins, 1), n0: 0, n1: Math.max(nNeurons, 1) };
  let binSums = new Float64Array(0);
  let maxCell = 0;
  let maxSum = 0;
  let heat = null;

  function cell(b, j) {
    const v = raster[b][j];
    return typeof v === "number" && Number.isFinite(v) ? v : 0;
  }
  function prepareRaster() {
    binSums = new Float64Array(nBins);
    for (let b = 0; b < nBins; b++) {
      const row = raster[b];
      let s = 0;
      for (let j = 0; j < row.length; j++) {
        const v = row[j];
        if (typeof v === "number" && Number.isFinite(v)) {
          s += v;
          if (v > maxCell) maxCell = v;
        }
      }
      binSums[b] = s;
      if (s > maxSum) maxSum = s;
    }
    heat = document.createElement("canvas");
    heat.width = nBins;
    heat.height = Math.ceil(nNeurons / rowGroup);
    paintHeat();
  }
  function scaleFn() {
    const mode = scaleSel.value;
    if (mode === "log") return (v) => Math.log1p(v);
    if (mode === "sqrt") return (v) => Math.sqrt(v);
    return (v) => v;
  }
  function paintHeat() {
    const rows = heat.height;
    const grouped = new Float64Array(nBins * rows);
    let top = 0;
    for (let b = 0; b < nBins; b++) {
      const row = raster[b];
      for (let j = 0; j < row.length; j++) {
        const v = row[j];
        if (typeof v !== "number" || !(v > 0) || !Number.isFinite(v)) continue;
        const k = Math.floor(j / rowGroup) * nBins + b;
        grouped[k] += v;
        if (grouped[k] > top) top = grouped[k];
      }
    }
    const f = scaleFn();
    const ftop = top > 0 ? f(top) : 1;
    const ctx = heat.getContext("2d");
    const image = ctx.createImageData(nBins, rows);
    const px = image.data;
    for (let k = 0; k < grouped.length; k++) {
      const v = grouped[k];
      if (!(v > 0)) continue; // zero stays transparent: the plot background shows through
      const li = clamp(Math.round(LOW + (f(v) / ftop) * (255 - LOW)), 0, 255) * 3;
      px[k * 4] = LUT[li];
      px[k * 4 + 1] = LUT[li + 1];
      px[k * 4 + 2] = LUT[li + 2];
      px[k * 4 + 3] = 255;
    }
    ctx.putImageData(image, 0, 0);
    byId("cbar-max").textContent = Number.isInteger(top) ? intFmt.format(top) : sig(top, 3);
    const bar = byId("cbar").getContext("2d");
    const strip = bar.createImageData(256, 1);
    for (let i = 0; i < 256; i++) {
      const li = Math.round(LOW + (i / 255) * (255 - LOW)) * 3;
      strip.data.set([LUT[li], LUT[li + 1], LUT[li + 2], 255], i * 4);
    }
    bar.putImageData(strip, 0, 0);
  }

  const { css, fit: fitCanvas } = ZCanvas;
  // Tick values at 1, 2 or 5 times a power of ten.
  function tickLabel(v, values) {
    const step = values.length > 1 ? Math.abs(values[1] - values[0]) : Math.abs(v) || 1;
    const dec = clamp(-Math.floor(Math.log10(step) + 1e-9), 0, 6);
    return dec === 0 && Math.abs(v) >= 1000 ? intFmt.format(v) : v.toFixed(dec);
  }
  function ticks(lo, hi, count) {
    const span = hi - lo;
    if (!(span > 0)) return [lo];
    const raw = span / Math.max(1, count);
    const p = 10 ** Math.floor(Math.log10(raw));
    const step = [1, 2, 5, 10].map((m) => m * p).find((s) => s >= raw) || 10 * p;
    const out = [];
    for (let v = Math.ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) out.push(Number(v.toPrecision(12)));
    return out;
  }
  const axisTime = rangeFormatter(durationUs, durationUs / Math.max(nBins, 1));
  const useTime = durationUs > 0;
  const binUs = useTime ? durationUs / Math.max(nBins, 1) : 0;
  function xOf(bin, plotW) { return M.left + ((bin - view.t0) / (view.t1 - view.t0)) * plotW; }
  function cursorBins() {
    if (!frames.length || !hasRaster) return null;
    return [(player.i / frames.length) * nBins, ((player.i + 1) / frames.length) * nBins];
  }
  function drawCursor(ctx, plotW, top, height) {
    const c = cursorBins();
    if (!c) return;
    const x0 = xOf(c[0], plotW), x1 = xOf(c[1], plotW);
    ctx.fillStyle = css("--cursor-band");
    ctx.fillRect(x0, top, Math.max(1, x1 - x0), height);
    ctx.strokeStyle = css("--cursor");
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    ctx.moveTo((x0 + x1) / 2, top);
    ctx.lineTo((x0 + x1) / 2, top + height);
    ctx.stroke();
  }
  function drawRaster() {
    const { ctx, w, h } = fitCanvas(rasterCanvas);
    const pw = Math.max(1, w - M.left - M.right), ph = Math.max(1, h - M.top - M.bottom);
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = css("--plot-bg");
    ctx.fillRect(M.left, M.top, pw, ph);
    ctx.save();
    ctx.beginPath();
    ctx.rect(M.left, M.top, pw, ph);
    ctx.clip();
    ctx.imageSmoothingEnabled = false;
    ctx.drawImage(heat, view.t0, view.n0 / rowGroup, view.t1 - view.t0, (view.n1 - view.n0) / rowGroup, M.left, M.top, pw, ph);
    drawCursor(ctx, pw, M.top, ph);
    ctx.restore();

    ctx.fillStyle = css("--muted");
    ctx.strokeStyle = css("--grid");
    ctx.lineWidth = 1;
    ctx.font = "11px system-ui, sans-serif";
    // time axis
    ctx.textAlign = "center";
    ctx.textBaseline = "top";
    const tLo = useTime ? view.t0 * binUs : view.t0, tHi = useTime ? view.t1 * binUs : view.t1;
    const div = useTime ? axisTime.unit.div : 1;
    const tv = ticks(tLo / div, tHi / div, Math.max(2, Math.floor(pw / 90)));
    for (const v of tv) {
      const bin = useTime ? (v * div) / binUs : v;
      const x = Math.round(xOf(bin, pw)) + 0.5;
      ctx.beginPath(); ctx.moveTo(x, M.top + ph); ctx.lineTo(x, M.top + ph + 4); ctx.stroke();
      ctx.fillText(tickLabel(v, tv), x, M.top + ph + 6);
    }
    ctx.fillText(useTime ? "time (" + axisTime.unit.name + ")" : "time bin", M.left + pw / 2, M.top + ph + 22);
    // neuron axis
    ctx.textAlign = "right";
    ctx.textBaseline = "middle";
    for (const v of ticks(view.n0 - 0.5, view.n1 - 0.5, Math.max(2, Math.floor(ph / 48)))) {
      if (!Number.isInteger(v) || v < 0 || v >= nNeurons) continue;
      const y = Math.round(M.top + ((v + 0.5 - view.n0) / (view.n1 - view.n0)) * ph) + 0.5;
      ctx.beginPath(); ctx.moveTo(M.left - 4, y); ctx.lineTo(M.left, y); ctx.stroke();
      ctx.fillText(intFmt.format(v), M.left - 6, y);
    }
    ctx.save();
    ctx.translate(14, M.top + ph / 2);
    ctx.rotate(-Math.PI / 2);
    ctx.textAlign = "center";
    ctx.fillText("neuron", 0, 0);
    ctx.restore();
    ctx.strokeStyle = css("--border");
    ctx.strokeRect(M.left + 0.5, M.top + 0.5, pw - 1, ph - 1);
    // where the data sits, in CSS pixels of the canvas and in bins/neurons: lets tests and tools read cells
    rasterCanvas.dataset.plot = [M.left, M.top, pw, ph].join(",");
    rasterCanvas.dataset.view = [view.t0, view.t1, view.n0, view.n1].join(",");
  }
  function drawRate() {
    const { ctx, w, h } = fitCanvas(rateCanvas);
    const pw = Math.max(1, w - M.left - M.right), ph = Math.max(1, h - RM.top - RM.bottom);
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = css("--plot-bg");
    ctx.fillRect(M.left, RM.top, pw, ph);
    ctx.save();
    ctx.beginPath();
    ctx.rect(M.left, RM.top, pw, ph);
    ctx.clip();
    const top = maxSum > 0 ? maxSum * 1.08 : 1;
    const yOf = (v) => RM.top + ph - (v / top) * ph;
    const b0 = Math.max(0, Math.floor(view.t0)), b1 = Math.min(nBins, Math.ceil(view.t1));
    ctx.beginPath();
    ctx.moveTo(xOf(b0, pw), yOf(0));
    for (let b = b0; b < b1; b++) {
      ctx.lineTo(xOf(b, pw), yOf(binSums[b]));
      ctx.lineTo(xOf(b + 1, pw), yOf(binSums[b]));
    }
    ctx.lineTo(xOf(b1, pw), yOf(0));
    ctx.closePath();
    ctx.fillStyle = css("--curve-fill");
    ctx.fill();
    ctx.strokeStyle = css("--curve");
    ctx.lineWidth = 1.5;
    ctx.stroke();
    drawCursor(ctx, pw, RM.top, ph);
    ctx.restore();
    ctx.fillStyle = css("--muted");
    ctx.strokeStyle = css("--grid");
    ctx.font = "11px system-ui, sans-serif";
    ctx.textAlign = "right";
    ctx.textBaseline = "middle";
    const rv = ticks(0, top, 2);
    for (const v of rv) {
      const y = Math.round(yOf(v)) + 0.5;
      if (y < RM.top + 4) continue;
      ctx.beginPath(); ctx.moveTo(M.left - 4, y); ctx.lineTo(M.left, y); ctx.stroke();
      ctx.fillText(tickLabel(v, rv), M.left - 6, y);
    }
    ctx.save();
    ctx.translate(14, RM.top + ph / 2);
    ctx.rotate(-Math.PI / 2);
    ctx.textAlign = "center";
    ctx.fillText("events/bin", 0, 0);
    ctx.restore();
    ctx.strokeStyle = css("--border");
    ctx.strokeRect(M.left + 0.5, RM.top + 0.5, pw - 1, ph - 1);
    rateCanvas.dataset.plot = [M.left, RM.top, pw, ph].join(",");
  }
  let drawPending = false;
  function drawAll() {
    if (!hasRaster || drawPending) return;
    drawPending = true;
    requestAnimationFrame(() => { drawPending = false; drawRaster(); drawRate(); });
  }

  // ---- raster interaction: hover, zoom, pan, click to seek
  function plotPoint(canvas, e, top, bottom) {
    const r = canvas.getBoundingClientRect();
    const x = e.clientX - r.left, y = e.clientY - r.top;
    const pw = r.width - M.left - M.right, ph = r.height - top - bottom;
    return { x, y, pw, ph, inside: x >= M.left && x < M.left + pw && y >= top && y < top + ph,
             bin: view.t0 + ((x - M.left) / pw) * (view.t1 - view.t0),
             neuron: view.n0 + ((y - top) / ph) * (view.n1 - view.n0) };
  }
  function showTip(e, lines) {
    const panel = byId("raster-panel").getBoundingClientRect();
    tooltip.textContent = lines.join("\n");
    tooltip.hidden = false;
    const tw = tooltip.offsetWidth, th = tooltip.offsetHeight;
    let x = e.clientX - panel.left + 14, y = e.clientY - panel.top + 14;
    if (x + tw > panel.width - 4) x = e.clientX - panel.left - tw - 14;
    if (y + th > panel.height - 4) y = e.clientY - panel.top - th - 14;
    tooltip.style.left = Math.max(4, x) + "px";
    tooltip.style.top = Math.max(4, y) + "px";
  }
  function binText(b) {
    let s = "bin " + b + " / " + nBins;
    if (useTime) s += " · " + axisTime.span(b * binUs, (b + 1) * binUs);
    return s;
  }
  function neuronText(j) {
    if (sensorW > 0 && sensorH > 1) return "neuron " + j + " (x " + (j % sensorW) + ", y " + Math.floor(j / sensorW) + ")";
    return "neuron " + j;
  }
  function clampView() {
    const tSpan = clamp(view.t1 - view.t0, Math.min(1, nBins), nBins);
    const nSpan = clamp(view.n1 - view.n0, Math.min(1, nNeurons), nNeurons);
    view.t0 = clamp(view.t0, 0, nBins - tSpan); view.t1 = view.t0 + tSpan;
    view.n0 = clamp(view.n0, 0, nNeurons - nSpan); view.n1 = view.n0 + nSpan;
  }
  function zoomAt(e, p, timeOnly, neuronOnly) {
    const f = Math.exp(clamp(e.deltaY, -300, 300) * 0.0015);
    if (!neuronOnly) {
      const a = p.bin;
      view.t0 = a - (a - view.t0) * f; view.t1 = a + (view.t1 - a) * f;
    }
    if (!timeOnly) {
      const a = p.neuron;
      view.n0 = a - (a - view.n0) * f; view.n1 = a + (view.n1 - a) * f;
    }
    clampView();
    drawAll();
  }
  function resetView() {
    view.t0 = 0; view.t1 = nBins; view.n0 = 0; view.n1 = nNeurons;
    drawAll();
  }
  function seek(bin) {
    if (!frames.length) return;
    setPlaying(false);
    showFrame(Math.floor((clamp(bin, 0, nBins - 1e-9) / nBins) * frames.length));
  }
  function wirePlot(canvas, top, bottom, isRaster) {
    let drag = null;
    canvas.addEventListener("wheel", (e) => {
      const p = plotPoint(canvas, e, top, bottom);
      if (!p.inside) return;
      e.preventDefault();
      zoomAt(e, p, !isRaster || e.shiftKey, false);
    }, { passive: false });
    canvas.addEventListener("pointerdown", (e) => {
      const p = plotPoint(canvas, e, top, bottom);
      if (!p.inside || e.button !== 0) return;
      canvas.setPointerCapture(e.pointerId);
      drag = { x: e.clientX, y: e.clientY, moved: false, t0: view.t0, n0: view.n0, p };
    });
    canvas.addEventListener("pointermove", (e) => {
      const p = plotPoint(canvas, e, top, bottom);
      if (drag) {
        const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
        if (Math.abs(dx) + Math.abs(dy) > 3) drag.moved = true;
        if (drag.moved) {
          byId("raster-wrap").classList.add("dragging");
          const tSpan = view.t1 - view.t0, nSpan = view.n1 - view.n0;
          view.t0 = drag.t0 - (dx / p.pw) * tSpan; view.t1 = view.t0 + tSpan;
          if (isRaster) { view.n0 = drag.n0 - (dy / p.ph) * nSpan; view.n1 = view.n0 + nSpan; }
          clampView();
          drawAll();
          tooltip.hidden = true;
          return;
        }
      }
      if (!p.inside) { tooltip.hidden = true; return; }
      const b = clamp(Math.floor(p.bin), 0, nBins - 1);
      if (isRaster) {
        const j = clamp(Math.floor(p.neuron), 0, nNeurons - 1);
        showTip(e, [binText(b), neuronText(j), "count " + fmtCount(cell(b, j))]);
      } else {
        const lines = [binText(b), "events " + fmtCount(binSums[b])];
        if (useTime) lines.push("rate " + fmtRate(binSums[b] / (binUs * 1e-6)).trim() + " ev/s");
        showTip(e, lines);
      }
    });
    const end = (e) => {
      if (!drag) return;
      const click = !drag.moved;
      const p = drag.p;
      drag = null;
      byId("raster-wrap").classList.remove("dragging");
      if (click && e.type === "pointerup") seek(p.bin);
    };
    canvas.addEventListener("pointerup", end);
    canvas.addEventListener("pointercancel", end);
    canvas.addEventListener("pointerleave", () => { if (!drag) tooltip.hidden = true; });
    canvas.addEventListener("dblclick", resetView);
  }
  function buildRaster() {
    if (!hasRaster) {
      byId("raster-panel").hidden = true;
      byId("views").classList.add("single");
      return;
    }
    prepareRaster();
    let info = plural(nBins, "bin") + " × " + plural(nNeurons, "neuron");
    const pixels = sensorW * sensorH;
    if (pixels > nNeurons && sensorH > 1) info += " · first " + intFmt.format(nNeurons) + " of " + intFmt.format(pixels) + " pixels";
    byId("raster-info").textContent = info;
    scaleSel.addEventListener("change", () => { paintHeat(); drawAll(); });
    byId("reset").addEventListener("click", resetView);
    wirePlot(rasterCanvas, M.top, M.bottom, true);
    wirePlot(rateCanvas, RM.top, RM.bottom, false);
  }

  // ---- start
  try {
    buildTheme(drawAll);
    buildSummary();
    buildGrid();
    buildRaster();
    buildPlayer();
    if (!frames.length) markGrid(-1);
    drawAll();
    let resizeQueued = false;
    const onResize = () => {
      if (resizeQueued) return;
      resizeQueued = true;
      requestAnimationFrame(() => { resizeQueued = false; layoutStage(); drawAll(); });
    };
    if (window.ResizeObserver) new ResizeObserver(onResize).observe(byId("views"));
    window.addEventListener("resize", onResize);
    // "ready" once every visible image has decoded and the plots are drawn
    const shown = Array.from(document.querySelectorAll("img")).filter((el) => el.getAttribute("src"));
    Promise.all(shown.map((el) => (el.decode ? el.decode().catch(() => null) : null)))
      .then(() => new Promise((r) => requestAnimationFrame(() => r())))
      .then(markReady);
  } catch (err) {
    root.dataset.state = "error";
    throw err;
  }
})();

/* Recording page: reads the recording document (docs/recording-document.md) and
   builds the statement of what the page holds, the timeline, the frame player,
   the box list, the event-count map and the row raster. The script runs as soon
   as the parser reaches it, before the frame and overview images that follow it
   in blocks: those are picked up as they arrive and decoded only when shown.
   Document text reaches the DOM only through textContent. */
(function () {
  "use strict";
  //@common.js@

  const num = (v, d) => (typeof v === "number" && Number.isFinite(v) ? v : d);
  const int = (v, d) => Math.trunc(num(v, d));
  const obj = (v) => (v !== null && typeof v === "object" && !Array.isArray(v) ? v : null);
  const arr = (v) => (Array.isArray(v) ? v : []);
  const strings = (a) => arr(a).filter((s) => typeof s === "string");

  function parseJson(id) {
    try { return JSON.parse(byId(id).textContent); } catch (e) { return null; }
  }
  // The document stands in a comment: the HTML parser passes a comment many times
  // faster than script text, and the JSON holds no raw ">" that could end it.
  function readDocument() {
    const holder = byId("doc");
    if (!holder) return null;
    let text = "";
    for (let c = holder.firstChild; c; c = c.nextSibling) if (c.nodeType === 8 || c.nodeType === 3) text += c.data;
    holder.remove();  // the text can be freed once parsed
    try { return JSON.parse(text); } catch (e) { return null; }
  }
  const doc = obj(readDocument()) || {};
  const PALETTES = obj(parseJson("palettes")) || {};

  // ---- the document, read defensively: a malformed key must not stop the page
  const source = obj(doc.source) || {};
  const sensor = arr(source.sensor_size);
  const W = Math.max(0, int(sensor[0], 0));
  const H = Math.max(0, int(sensor[1], 0));
  const tFirst = int(source.t_first, 0);
  const tLast = Math.max(tFirst, int(source.t_last, tFirst));
  const win = obj(doc.window);
  const framesDoc = obj(doc.frames) || {};
  const period = Math.max(1, int(framesDoc.period_us, 20000));
  const docDecay = Math.max(1, num(framesDoc.decay_us, 30000));
  // a list's length: its images, or the count of those still to arrive in blocks
  const MAX_IMAGES = 1e7;
  const countOf = (holder, images) => Math.max(images.length, clamp(int(holder.count, 0), 0, MAX_IMAGES));
  const segments = arr(framesDoc.segments).map(obj).filter(Boolean).map((s) => {
    const images = strings(s.images);
    return { start: int(s.start, 0), lead: Math.max(0, int(s.lead, 0)), images: images, count: countOf(s, images) };
  });
  const ov = obj(doc.overview);
  const ovImages = ov ? strings(ov.images) : [];
  const ovCount = ov ? countOf(ov, ovImages) : 0;
  const ovPeriod = ov ? Math.max(1, int(ov.period_us, 1000000)) : 1;
  const ovStart = ov ? int(ov.start, 0) : 0;
  const ovScale = ov ? Math.max(1, int(ov.scale, 1)) : 1;
  const budget = obj(doc.budget) || {};
  const view = obj(doc.view) || {};

  function b64Bytes(text) {
    if (typeof text !== "string") return new Uint8Array(0);
    try {
      const bin = atob(text);
      const out = new Uint8Array(bin.length);
      for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
      return out;
    } catch (e) { return new Uint8Array(0); }
  }
  function b64Array(text, Type) {
    const bytes = b64Bytes(text);
    const n = Math.floor(bytes.length / Type.BYTES_PER_ELEMENT);
    return new Type(bytes.buffer, 0, n);
  }

  // ---- images arrive after this script, in blocks: comments "<tag> <b64> <b64> ..."
  // inside #images, tag "F<segment>" or "O" (the overview), appended to that list
  const waiting = [];
  let scanned = null;
  let arrived = false;  // the parser is done: an image not here now never comes
  function listOf(tag) {
    if (tag === "O") return ovImages;
    const m = /^F(\d+)$/.exec(tag);
    const seg = m ? segments[Number(m[1])] : null;
    return seg ? seg.images : null;
  }
  function takeBlocks() {
    const box = byId("images");
    for (let n = scanned ? scanned.nextSibling : (box && box.firstChild); n; n = n.nextSibling) {
      scanned = n;
      if (n.nodeType !== 8) continue;
      const parts = n.data.split(" ");
      const list = listOf(parts[0]);
      if (list) for (let i = 1; i < parts.length; i++) list.push(parts[i]);
      n.data = "";  // the list holds the text now
    }
    for (let i = waiting.length - 1; i >= 0; i--) {
      const w = waiting[i];
      if (w.k < w.list.length || arrived) { waiting.splice(i, 1); w.resolve(w.list[w.k] || ""); }
    }
    showReading();
  }
  // while the parser reads the images, the page says how far it got
  function showReading() {
    const p = byId("reading");
    if (!p) return;
    if (arrived) { p.remove(); return; }
    let got = ovImages.length, all = ovCount;
    for (const seg of segments) { got += seg.images.length; all += seg.count; }
    const text = "Reading the images: " + plural(got, "image") + " of " + intFmt.format(all) + "…";
    if (p.textContent !== text) p.textContent = text;
  }
  function imageOf(list, k) {
    if (k < list.length || arrived) return Promise.resolve(list[k] || "");
    return new Promise((resolve) => waiting.push({ list: list, k: k, resolve: resolve }));
  }
  function allArrived() {
    arrived = true;
    takeBlocks();
    root.dataset.loadedMs = performance.now().toFixed(1);
    root.dataset.loaded = "true";
  }
  if (document.readyState === "loading") {
    // blocks land in #images, which itself lands in the body: the page's own changes do not count
    const arrivals = new MutationObserver((records) => {
      if (records.some((r) => r.target.id === "images" || r.target === document.body)) takeBlocks();
    });
    arrivals.observe(document.body || root, { childList: true, subtree: true });
    document.addEventListener("DOMContentLoaded", () => { arrivals.disconnect(); allArrived(); });
  } else allArrived();

  // ---- formatting
  function fmtDuration(us) {
    if (us >= 3600e6) return sig(us / 3600e6, 3) + " h";
    if (us >= 60e6) return sig(us / 60e6, 3) + " min";
    if (us >= 1e6) return sig(us / 1e6, 3) + " s";
    if (us >= 1e3) return sig(us / 1e3, 3) + " ms";
    return sig(us, 3) + " µs";
  }
  // the recording's own clock, to the microsecond
  function fmtAbs(us) {
    const neg = us < 0;
    const a = Math.abs(us);
    const s = Math.floor(a / 1e6);
    return (neg ? "-" : "") + intFmt.format(s) + "." + String(a % 1e6).padStart(6, "0") + " s";
  }
  // offset from the recording's start: m:ss.mmm once past a minute
  function fmtOffset(us) {
    const ms = Math.round(us / 1000);
    const sign = ms < 0 ? "-" : "+";
    const a = Math.abs(ms);
    const m = Math.floor(a / 60000);
    const s = ((a % 60000) / 1000).toFixed(3);
    if (m === 0) return sign + s + " s";
    const h = Math.floor(m / 60);
    const mm = h ? String(m % 60).padStart(2, "0") : String(m);
    return sign + (h ? h + ":" : "") + mm + ":" + s.padStart(6, "0");
  }
  function fmtRate(perSecond) {
    if (perSecond >= 1e6) return sig(perSecond / 1e6, 3) + " M";
    if (perSecond >= 1e3) return sig(perSecond / 1e3, 3) + " k";
    return sig(perSecond, 3) + " ";
  }

  // ---- what plays: full-rate frames, and overview frames where none are held
  const steps = [];
  segments.forEach((seg, si) => {
    for (let k = seg.lead; k < seg.count; k++) steps.push({ t: seg.start + k * period, seg: si, k: k, ov: -1 });
  });
  const fullSpans = segments.filter((s) => s.count > s.lead)
    .map((s) => [s.start + s.lead * period, s.start + s.count * period]);
  const inFull = (t) => fullSpans.some(([a, b]) => t >= a && t < b);
  for (let i = 0; i < ovCount; i++) {
    const t = ovStart + i * ovPeriod;
    if (!inFull(t)) steps.push({ t: t, seg: -1, k: -1, ov: i });
  }
  steps.sort((a, b) => a.t - b.t || a.ov - b.ov);
  const spanStart = win ? int(win.start, tFirst) : (steps.length ? Math.min(steps[0].t, tFirst) : tFirst);
  const spanEnd = win ? int(win.end, tLast + 1) : Math.max(tLast + 1, spanStart + 1);
  function stepEnd(i) {
    const s = steps[i];
    if (s.ov < 0) return s.t + period;
    return i + 1 < steps.length ? Math.min(steps[i + 1].t, s.t + ovPeriod) : s.t + ovPeriod;
  }
  function stepAt(t) {  // the last step starting at or before t
    let lo = 0, hi = steps.length - 1, best = 0;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (steps[mid].t <= t) { best = mid; lo = mid + 1; } else hi = mid - 1;
    }
    return best;
  }

  // ---- summary and the plain statement of what the page holds
  function card(key, value, sub) {
    const c = el("div", "card");
    c.append(el("div", "k", key), el("div", "v", value), el("div", "s", sub || "\u00a0"));
    byId("summary").appendChild(c);
  }
  function buildSummary() {
    const count = Math.max(0, int(source.event_count, 0));
    const on = Math.max(0, int(source.on_count, 0));
    const whole = tLast - tFirst;
    const decoded = spanEnd - spanStart;
    const name = typeof source.name === "string" ? source.name : "";
    const format = typeof source.format === "string" ? source.format : "";
    byId("kind").textContent = ["Event recording", name, format === name ? "" : format, W + " × " + H]
      .filter(Boolean).join(" · ");
    card("Events", intFmt.format(count), win ? "in the window" : "in the recording");
    card("Duration", fmtDuration(whole), win ? "window " + fmtDuration(decoded) : fmtAbs(tFirst) + " start");
    card("Sensor", W + " × " + H, plural(W * H, "pixel"));
    card("ON / OFF", count ? Math.round((100 * on) / count) + "% ON" : "—", intFmt.format(on) + " / " + intFmt.format(count - on));
    const rate = decoded > 0 ? count / (decoded * 1e-6) : NaN;
    card("Mean event rate", Number.isFinite(rate) ? fmtRate(rate).trim() + " ev/s" : "—", "");
    card("Frames", plural(steps.length, "frame"), fmtDuration(period) + " each, decay " + fmtDuration(docDecay));
  }
  function buildHolds() {
    const box = byId("holds");
    const nFull = steps.filter((s) => s.ov < 0).length;
    const covered = fullSpans.reduce((a, [s, e]) => a + (e - s), 0);
    const ovCount = steps.length - nFull;
    let text = "This page holds " + plural(nFull, "full-rate frame") + " of " + fmtDuration(period);
    if (fullSpans.length) text += ", covering " + fmtDuration(covered) + " (" + fullSpans.map(([a, b]) => fmtOffset(a - tFirst) + " to " + fmtOffset(b - tFirst)).join(", ") + ")";
    if (ov) text += ", and " + plural(ovCount, "overview frame") + " at 1/" + ovScale + " resolution, one every " + fmtDuration(ovPeriod) + ", for the rest";
    text += ". The timeline, the event-count map and the row raster cover " + (win ? "the whole window." : "the whole recording.");
    box.appendChild(el("p", "", text));
    if (win) {
      box.appendChild(el("p", "", "A window of the recording: " + fmtAbs(spanStart) + " to " + fmtAbs(spanEnd) + " (" +
        fmtOffset(spanStart - tFirst) + " to " + fmtOffset(spanEnd - tFirst) + " from the start), out of " +
        fmtAbs(tFirst) + " to " + fmtAbs(tLast) + "."));
    }
    if (typeof budget.left_out === "string" && budget.left_out) box.appendChild(el("p", "", "Left out: " + budget.left_out));
    const bytes = num(budget.bytes, 0), maxBytes = num(budget.max_bytes, 0);
    if (bytes && maxBytes) box.appendChild(el("p", "muted", "Page size " + sig(bytes / 1e6, 3) + " MB of a " + sig(maxBytes / 1e6, 3) + " MB budget."));
    if (!arrived) {
      const reading = el("p", "muted");
      reading.id = "reading";
      box.appendChild(reading);
      showReading();
    }
    const cut = obj(source.cut_short);
    if (cut) box.appendChild(el("p", "warn", "The file is cut short at byte " + intFmt.format(int(cut.offset, 0)) + ": " + (typeof cut.message === "string" ? cut.message : "")));
    const dropped = int(source.dropped, 0);
    if (dropped > 0) box.appendChild(el("p", "warn", plural(dropped, "event") + " outside the sensor were dropped."));
    for (const w of strings(source.warnings)) box.appendChild(el("p", "warn", w));
  }

  // ---- colours: one table shared with the video writer
  const paletteNames = Object.keys(PALETTES).filter((k) => obj(PALETTES[k]));
  const settings = {
    palette: paletteNames.includes(view.palette) ? view.palette : (paletteNames[0] || ""),
    background: view.background === "light" ? "light" : "dark",
    gain: Math.max(0.05, num(view.gain, 1)),
    decay: docDecay,
  };
  function colours() {
    const p = obj(PALETTES[settings.palette]);
    const c = p && obj(p[settings.background]);
    const rgb = (v, d) => (Array.isArray(v) && v.length === 3 ? v.map((x) => clamp(num(x, 0), 0, 255)) : d);
    return { bg: rgb(c && c.background, [12, 14, 20]), on: rgb(c && c.on, [80, 170, 255]), off: rgb(c && c.off, [255, 84, 64]) };
  }
  const cssRgb = (c) => "rgb(" + c.join(",") + ")";
  // surface (ON, OFF interleaved) to RGBA, by the tone curve and the palette blend
  function paint(surface, rgba, gain) {
    const c = colours();
    const [br, bg, bb] = c.bg;
    const dr0 = c.on[0] - br, dg0 = c.on[1] - bg, db0 = c.on[2] - bb;
    const dr1 = c.off[0] - br, dg1 = c.off[1] - bg, db1 = c.off[2] - bb;
    const n = rgba.length >> 2;
    for (let i = 0; i < n; i++) {
      const son = surface[2 * i], soff = surface[2 * i + 1];
      const o = 4 * i;
      if (son === 0 && soff === 0) {
        rgba[o] = br; rgba[o + 1] = bg; rgba[o + 2] = bb; rgba[o + 3] = 255;
        continue;
      }
      const lon = 1 - Math.exp(-son / gain), loff = 1 - Math.exp(-soff / gain);
      rgba[o] = Math.floor(clamp(br + lon * dr0 + loff * dr1, 0, 255) + 0.5);
      rgba[o + 1] = Math.floor(clamp(bg + lon * dg0 + loff * dg1, 0, 255) + 0.5);
      rgba[o + 2] = Math.floor(clamp(bb + lon * db0 + loff * db1, 0, 255) + 0.5);
      rgba[o + 3] = 255;
    }
  }

  // ---- decoding PNG images on demand, with a small cache of counts
  const scratch = document.createElement("canvas");
  async function decodeCounts(b64, w, h) {
    const bytes = b64Bytes(b64);
    let bmp;
    try {
      bmp = await createImageBitmap(new Blob([bytes], { type: "image/png" }),
        { colorSpaceConversion: "none", premultiplyAlpha: "none" });
    } catch (e) { return new Uint8Array(w * h * 2); }  // a missing or broken image shows no events
    scratch.width = w;
    scratch.height = h;
    const ctx = scratch.getContext("2d", { willReadFrequently: true });
    ctx.clearRect(0, 0, w, h);
    ctx.drawImage(bmp, 0, 0);
    bmp.close();
    const px = ctx.getImageData(0, 0, w, h).data;
    const out = new Uint8Array(w * h * 2);  // ON, OFF per pixel
    for (let i = 0, j = 0; j < out.length; i += 4, j += 2) { out[j] = px[i + 1]; out[j + 1] = px[i]; }
    return out;
  }
  const cache = new Map();
  const CACHE_MAX = 40;
  async function framePixels(si, k) {
    const key = si + ":" + k;
    let v = cache.get(key);
    if (v) { cache.delete(key); cache.set(key, v); return v; }
    v = await decodeCounts(await imageOf(segments[si].images, k), W, H);
    cache.set(key, v);
    if (cache.size > CACHE_MAX) cache.delete(cache.keys().next().value);
    return v;
  }

  // ---- the frame player
  const frameCanvas = byId("frame");
  const overlay = byId("overlay");
  const stage = byId("stage");
  const slider = byId("slider");
  const playBtn = byId("play");
  const player = { i: 0, playing: false, clock: 0, last: 0, busy: false, want: -1 };
  // the decayed surface of full-rate frames, continued frame by frame while playing
  const state = { seg: -1, k: -1, decay: 0, surface: null };
  let frameW = W, frameH = H;

  async function surfaceOf(si, k) {
    const a = Math.exp(-period / settings.decay);
    // frames further back than this add under 1/500 of an event to any pixel
    const reach = Math.min(600, Math.ceil((settings.decay / period) * Math.log(255 * 500)));
    let from;
    if (state.seg === si && state.decay === settings.decay && state.k <= k && k - state.k <= reach) from = state.k + 1;
    else {
      from = Math.max(0, k - reach);
      state.surface = new Float64Array(W * H * 2);
    }
    const s = state.surface;
    for (let j = from; j <= k; j++) {
      const c = await framePixels(si, j);
      for (let p = 0; p < s.length; p++) s[p] = a * s[p] + c[p];
    }
    state.seg = si; state.k = k; state.decay = settings.decay;
    return s;
  }
  async function drawStep(i) {
    const st = steps[i];
    let surface, w = W, h = H;
    if (st.ov < 0) surface = await surfaceOf(st.seg, st.k);
    else {
      w = Math.max(1, int(ov.width, 1)); h = Math.max(1, int(ov.height, 1));
      const c = await decodeCounts(await imageOf(ovImages, st.ov), w, h);
      surface = new Float64Array(c.length);
      for (let p = 0; p < c.length; p++) surface[p] = c[p] / 16;
    }
    if (frameCanvas.width !== w || frameCanvas.height !== h) { frameCanvas.width = w; frameCanvas.height = h; }
    frameW = w; frameH = h;
    const ctx = frameCanvas.getContext("2d");
    const image = ctx.createImageData(w, h);
    paint(surface, image.data, settings.gain);
    ctx.putImageData(image, 0, 0);
    frameCanvas.dataset.t = String(st.t);
    frameCanvas.dataset.kind = st.ov < 0 ? "full" : "overview";
    frameCanvas.dataset.step = String(i);
  }
  function label(i) {
    const st = steps[i];
    const kind = st.ov < 0 ? "frame " : "overview ";
    byId("frame-label").textContent = kind + (i + 1) + "/" + steps.length + " · t " + fmtAbs(st.t) + " · " + fmtOffset(st.t - tFirst);
  }
  // draws the wanted step; requests made while a draw runs collapse into the latest
  function showStep(i, fromClock) {
    if (!steps.length) return Promise.resolve();
    player.want = clamp(Math.trunc(i) || 0, 0, steps.length - 1);
    if (!fromClock) player.clock = steps[player.want].t;
    if (player.busy) return player.pending;
    player.busy = true;
    player.pending = (async () => {
      try {
        while (player.want !== -1) {
          const j = player.want;
          player.want = -1;
          player.i = j;
          await drawStep(j);
          slider.value = String(j);
          label(j);
          drawBoxes();
          markBoxes();
          drawTimeline();
          drawRaster();
        }
      } finally { player.busy = false; }
    })();
    return player.pending;
  }
  function redraw() { state.seg = -1; return showStep(player.i); }
  function speed() { return num(Number(byId("speed").value), 1); }
  function tick(now) {
    if (!player.playing) return;
    const dt = Math.min(250, now - player.last);
    player.last = now;
    player.clock += dt * 1000 * speed();
    let j = stepAt(player.clock);
    if (player.clock >= stepEnd(steps.length - 1)) {
      if (!byId("loop").checked) { setPlaying(false); return; }
      player.clock = steps[0].t;
      j = 0;
    }
    if (j !== player.i && !player.busy) showStep(j, true);
    requestAnimationFrame(tick);
  }
  function setPlaying(on) {
    on = Boolean(on) && steps.length > 1;
    player.playing = on;
    playBtn.setAttribute("aria-label", on ? "Pause" : "Play");
    playBtn.setAttribute("aria-pressed", on ? "true" : "false");
    if (on) {
      if (player.i >= steps.length - 1) showStep(0);
      player.clock = Math.max(player.clock, steps[player.i].t);
      player.last = performance.now();
      requestAnimationFrame(tick);
    }
  }
  function layoutStage() {
    if (!frameW || !frameH) return;
    const availW = Math.max(64, stage.clientWidth);
    const availH = Math.max(160, Math.min(window.innerHeight * 0.62, 720));
    const aspectW = W || frameW, aspectH = H || frameH;
    const s = Math.min(availW / aspectW, availH / aspectH);
    const w = Math.round(aspectW * s), h = Math.round(aspectH * s);
    frameCanvas.style.width = w + "px";
    frameCanvas.style.height = h + "px";
    stage.style.height = h + "px";
    const dpr = window.devicePixelRatio || 1;
    overlay.width = Math.round(w * dpr); overlay.height = Math.round(h * dpr);
    overlay.style.width = w + "px"; overlay.style.height = h + "px";
    overlay.style.left = Math.round((stage.clientWidth - w) / 2) + "px";
    overlay.style.top = "0px";
    drawBoxes();
  }
  function buildControls() {
    const pal = byId("palette");
    for (const name of paletteNames) { const o = el("option", "", name); o.value = name; pal.appendChild(o); }
    pal.value = settings.palette;
    byId("background").value = settings.background;
    byId("decay").value = String(settings.decay / 1000);
    byId("gain").value = String(settings.gain);
    const swatches = () => {
      const c = colours();
      byId("swatch-on").style.background = cssRgb(c.on);
      byId("swatch-off").style.background = cssRgb(c.off);
      root.style.setProperty("--on", cssRgb(c.on));
      root.style.setProperty("--off", cssRgb(c.off));
      stage.style.background = cssRgb(c.bg);
    };
    swatches();
    pal.addEventListener("change", () => { settings.palette = pal.value; swatches(); redraw(); paintHeat(); });
    byId("background").addEventListener("change", (e) => { settings.background = e.target.value === "light" ? "light" : "dark"; swatches(); redraw(); paintHeat(); });
    byId("decay").addEventListener("change", (e) => {
      const ms = num(Number(e.target.value), 0);
      settings.decay = ms > 0 ? clamp(ms * 1000, 100, 60e6) : docDecay;
      e.target.value = String(settings.decay / 1000);
      redraw();
    });
    byId("gain").addEventListener("change", (e) => {
      const g = num(Number(e.target.value), 0);
      settings.gain = g > 0 ? clamp(g, 0.05, 1000) : 1;
      e.target.value = String(settings.gain);
      redraw();
    });
    byId("show-boxes").addEventListener("change", drawBoxes);
    if (!steps.length) {
      const p = el("div", "empty", "No frames in this page.");
      frameCanvas.hidden = true;
      stage.appendChild(p);
      for (const id of ["first", "prev", "play", "next", "slider"]) byId(id).disabled = true;
      byId("export").setAttribute("aria-disabled", "true");
      byId("frame-label").textContent = "0 frames";
      return;
    }
    slider.max = String(steps.length - 1);
    playBtn.addEventListener("click", () => setPlaying(!player.playing));
    byId("first").addEventListener("click", () => { setPlaying(false); showStep(0); });
    byId("prev").addEventListener("click", () => { setPlaying(false); showStep(player.i - 1); });
    byId("next").addEventListener("click", () => { setPlaying(false); showStep(player.i + 1); });
    slider.addEventListener("input", () => showStep(Number(slider.value)));
    byId("export").addEventListener("click", (e) => {
      const a = e.currentTarget;
      a.href = frameCanvas.toDataURL("image/png");
      const base = (byId("title").textContent || "recording").trim().toLowerCase().replace(/[^a-z0-9]+/g, "-").replace(/^-+|-+$/g, "").slice(0, 40) || "recording";
      a.download = base + "-" + steps[player.i].t + "us.png";
    });
  }
  document.addEventListener("keydown", (e) => {
    if (e.ctrlKey || e.metaKey || e.altKey || !steps.length) return;
    const t = e.target;
    if (t instanceof HTMLElement && (t.tagName === "SELECT" || t.tagName === "TEXTAREA" ||
        (t.tagName === "INPUT" && t.type !== "range" && t.type !== "checkbox"))) return;
    if (e.key === " ") {
      if (t instanceof HTMLElement && (t.tagName === "BUTTON" || t.tagName === "A")) return;
      e.preventDefault();
      setPlaying(!player.playing);
    } else if (e.key === "ArrowRight" || e.key === "ArrowLeft") {
      e.preventDefault();
      setPlaying(false);
      showStep(player.i + (e.key === "ArrowRight" ? 1 : -1));
    } else if (e.key === "Home" || e.key === "End") {
      e.preventDefault();
      setPlaying(false);
      showStep(e.key === "Home" ? 0 : steps.length - 1);
    } else if (e.key === "[" || e.key === "]") {
      e.preventDefault();
      stepBox(e.key === "]" ? 1 : -1);
    }
  });
  function jumpTo(t) { setPlaying(false); showStep(stepAt(t)); }

  // ---- plots shared helpers
  function css(name) { return getComputedStyle(root).getPropertyValue(name).trim(); }
  function fitCanvas(canvas) {
    const dpr = window.devicePixelRatio || 1;
    const r = canvas.getBoundingClientRect();
    const w = Math.max(1, Math.round(r.width * dpr)), h = Math.max(1, Math.round(r.height * dpr));
    if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
    const ctx = canvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    return { ctx, w: r.width, h: r.height };
  }
  const PAD = { left: 8, right: 8 };
  function timeToX(t, w) { return PAD.left + ((t - spanStart) / (spanEnd - spanStart)) * (w - PAD.left - PAD.right); }
  function xToTime(x, w) { return spanStart + ((x - PAD.left) / (w - PAD.left - PAD.right)) * (spanEnd - spanStart); }
  function currentSpan() {
    if (!steps.length) return null;
    return [steps[player.i].t, stepEnd(player.i)];
  }

  // ---- timeline of the whole recording (or window)
  const tl = obj(doc.timeline) || {};
  const tlOn = b64Array(tl.on, Uint32Array), tlOff = b64Array(tl.off, Uint32Array);
  const tlStart = int(tl.start, spanStart), tlBin = Math.max(1, int(tl.bin_us, 1));
  function drawTimeline() {
    const canvas = byId("timeline");
    const { ctx, w, h } = fitCanvas(canvas);
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = css("--plot-bg");
    ctx.fillRect(0, 0, w, h);
    ctx.fillStyle = css("--cursor-band");
    for (const [a, b] of fullSpans) {
      const x0 = timeToX(a, w), x1 = timeToX(b, w);
      ctx.fillRect(x0, 0, Math.max(1.5, x1 - x0), h);
    }
    const mid = Math.round(h / 2), cols = Math.max(1, Math.floor(w - PAD.left - PAD.right));
    const colOn = new Float64Array(cols), colOff = new Float64Array(cols);
    const n = Math.min(tlOn.length, tlOff.length);
    let top = 0;
    for (let i = 0; i < n; i++) {
      const c = clamp(Math.floor(timeToX(tlStart + (i + 0.5) * tlBin, w) - PAD.left), 0, cols - 1);
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
    const span = currentSpan();
    if (span) {
      ctx.fillStyle = css("--cursor");
      ctx.fillRect(Math.round(timeToX(span[0], w)) - 1, 0, 2, h);
    }
    ctx.fillStyle = css("--muted");
    ctx.font = "11px system-ui, sans-serif";
    ctx.textBaseline = "top";
    ctx.textAlign = "left";
    ctx.fillText(fmtOffset(spanStart - tFirst), PAD.left + 2, 2);
    ctx.textAlign = "right";
    ctx.fillText(fmtOffset(spanEnd - tFirst), w - PAD.right - 2, 2);
    canvas.dataset.plot = [PAD.left, w - PAD.right, spanStart, spanEnd].join(",");
    byId("timeline-info").textContent = plural(n, "bin") + " of " + fmtDuration(tlBin) + " · peak " + intFmt.format(top) + " events a bin";
  }
  function buildTimeline() {
    byId("timeline").addEventListener("click", (e) => {
      const r = e.currentTarget.getBoundingClientRect();
      jumpTo(xToTime(e.clientX - r.left, r.width));
    });
    if (win && tLast > tFirst) {
      byId("place").hidden = false;
      const whole = tLast - tFirst;
      const a = clamp((spanStart - tFirst) / whole, 0, 1), b = clamp((spanEnd - tFirst) / whole, 0, 1);
      byId("place-win").style.left = (100 * a) + "%";
      byId("place-win").style.width = (100 * (b - a)) + "%";
      byId("place-text").textContent = "window " + fmtOffset(spanStart - tFirst) + " to " + fmtOffset(spanEnd - tFirst) + " of " + fmtDuration(whole);
    }
  }

  // ---- event-count map and hot pixels
  const heat = obj(doc.heatmap) || {};
  const hot = obj(doc.hot_pixels) || {};
  const hotPixels = arr(hot.pixels).filter(Array.isArray).map((p) => p.map((v) => Math.max(0, int(v, 0))));
  let heatLevels = null;
  let hotMark = null;
  async function buildHeat() {
    const canvas = byId("heatmap");
    canvas.width = Math.max(1, W); canvas.height = Math.max(1, H);
    byId("heat-info").textContent = "busiest pixel " + intFmt.format(Math.max(0, int(heat.max, 0))) + " events";
    byId("hot-rule").textContent = typeof hot.rule === "string" ? "listed: " + hot.rule : "";
    const body = byId("hot-list").tBodies[0];
    hotPixels.forEach((p, i) => {
      const tr = document.createElement("tr");
      for (const v of [i + 1, p[0], p[1], p[2], p[3], p[2] + p[3]]) tr.appendChild(el("td", "", intFmt.format(v)));
      tr.addEventListener("click", () => {
        hotMark = [p[0], p[1]];
        for (const r of body.rows) r.classList.toggle("current", r === tr);
        paintHeat(); drawBoxes();
      });
      body.appendChild(tr);
    });
    if (typeof heat.png === "string" && W && H) {
      try { heatLevels = await decodeCounts(heat.png, W, H); } catch (e) { heatLevels = null; }
    }
    paintHeat();
  }
  function paintHeat() {
    const canvas = byId("heatmap");
    if (!heatLevels) return;
    const ctx = canvas.getContext("2d");
    const image = ctx.createImageData(W, H);
    const s = new Float64Array(heatLevels.length);
    // levels 0..255 on a log scale, shown at the same tone as frames
    for (let i = 0; i < s.length; i++) s[i] = heatLevels[i] / 64;
    paint(s, image.data, 1);
    ctx.putImageData(image, 0, 0);
    if (hotMark) {
      ctx.strokeStyle = css("--cursor");
      ctx.lineWidth = Math.max(1, W / 200);
      const r = Math.max(3, W / 60);
      ctx.strokeRect(hotMark[0] + 0.5 - r, hotMark[1] + 0.5 - r, 2 * r, 2 * r);
    }
  }

  // ---- row raster
  const ras = obj(doc.raster) || {};
  const rasBins = Math.max(0, int(ras.bins, 0)), rasRows = Math.max(0, int(ras.rows, 0));
  const rasStart = int(ras.start, spanStart), rasBin = Math.max(1, int(ras.bin_us, 1));
  const rasCounts = b64Array(ras.counts, Uint16Array);
  let rasImage = null;
  function buildRaster() {
    if (!rasBins || !rasRows || rasCounts.length < rasBins * rasRows) {
      byId("raster-info").textContent = "no raster in this page";
      return;
    }
    let top = 0;
    for (let i = 0; i < rasCounts.length; i++) if (rasCounts[i] > top) top = rasCounts[i];
    rasImage = document.createElement("canvas");
    rasImage.width = rasBins; rasImage.height = rasRows;
    const ctx = rasImage.getContext("2d");
    const img = ctx.createImageData(rasBins, rasRows);
    const lt = Math.log1p(top) || 1;
    for (let i = 0; i < rasBins * rasRows; i++) {
      const v = rasCounts[i];
      if (!v) continue;
      const f = 0.25 + 0.75 * (Math.log1p(v) / lt);
      img.data[4 * i] = 255 * f; img.data[4 * i + 1] = 180 * f; img.data[4 * i + 2] = 60 * f; img.data[4 * i + 3] = 255;
    }
    ctx.putImageData(img, 0, 0);
    byId("raster-info").textContent = plural(rasRows, "row") + " × " + plural(rasBins, "bin") + " of " + fmtDuration(rasBin) + " · busiest cell " + intFmt.format(top);
    byId("raster").addEventListener("click", (e) => {
      const r = e.currentTarget.getBoundingClientRect();
      jumpTo(xToTime(e.clientX - r.left, r.width));
    });
  }
  function drawRaster() {
    if (!rasImage) return;
    const { ctx, w, h } = fitCanvas(byId("raster"));
    ctx.fillStyle = css("--plot-bg");
    ctx.fillRect(0, 0, w, h);
    ctx.imageSmoothingEnabled = false;
    const x0 = timeToX(rasStart, w), x1 = timeToX(rasStart + rasBins * rasBin, w);
    ctx.drawImage(rasImage, x0, 0, x1 - x0, h);
    const span = currentSpan();
    if (span) {
      ctx.fillStyle = css("--cursor");
      ctx.fillRect(Math.round(timeToX(span[0], w)) - 1, 0, 2, h);
    }
  }

  // ---- boxes: labels and predictions
  const boxDoc = obj(doc.boxes);
  const classes = boxDoc ? arr(boxDoc.classes).map((c) => (typeof c === "string" ? c : String(c))) : [];
  const boxes = [];
  function readBoxes(cols, pred) {
    cols = obj(cols);
    if (!cols) return;
    const t = arr(cols.t), conf = Array.isArray(cols.confidence) ? cols.confidence : null;
    const track = Array.isArray(cols.track_id) ? cols.track_id : null;
    for (let i = 0; i < t.length; i++) {
      boxes.push({ t: int(t[i], 0), x: num(arr(cols.x)[i], 0), y: num(arr(cols.y)[i], 0), w: num(arr(cols.w)[i], 0),
        h: num(arr(cols.h)[i], 0), c: int(arr(cols.class_id)[i], 0), conf: conf ? num(conf[i], NaN) : NaN,
        track: track ? int(track[i], -1) : -1, pred: pred });
    }
  }
  if (boxDoc) { readBoxes(boxDoc.labels, false); readBoxes(boxDoc.predictions, true); }
  boxes.sort((a, b) => a.t - b.t || a.pred - b.pred);
  const CLASS_COLOURS = ["#ffd400", "#00e5ff", "#ff4fd8", "#7cff4f", "#ff8c1a", "#b68cff", "#ffffff", "#4f8cff"];
  const className = (c) => (c >= 0 && c < classes.length ? classes[c] : "class " + c);
  const classColour = (c) => CLASS_COLOURS[((c % CLASS_COLOURS.length) + CLASS_COLOURS.length) % CLASS_COLOURS.length];
  const LIST_MAX = 5000;
  let listed = [];
  function boxVisible(b) {
    const f = byId("box-class").value;
    return f === "all" || Number(f) === b.c;
  }
  function buildBoxes() {
    if (!boxDoc) return;
    byId("boxes-panel").hidden = false;
    const sel = byId("box-class");
    const ids = Array.from(new Set(boxes.map((b) => b.c))).sort((a, b) => a - b);
    for (const c of ids) { const o = el("option", "", className(c)); o.value = String(c); sel.appendChild(o); }
    sel.addEventListener("change", () => { listBoxes(); drawBoxes(); });
    byId("box-prev").addEventListener("click", () => stepBox(-1));
    byId("box-next").addEventListener("click", () => stepBox(1));
    listBoxes();
  }
  function listBoxes() {
    const body = byId("box-list").tBodies[0];
    body.textContent = "";
    const shown = boxes.filter(boxVisible);
    listed = shown.slice(0, LIST_MAX);
    for (const b of listed) {
      const tr = document.createElement("tr");
      if (b.pred) tr.className = "pred";
      tr.append(el("td", "mono", fmtOffset(b.t - tFirst)), el("td", "", className(b.c) + (b.pred ? " (predicted)" : "")), el("td", "mono", [b.x, b.y, b.w, b.h].map((v) => sig(v, 4)).join(", ")),
        el("td", "", Number.isFinite(b.conf) ? b.conf.toFixed(2) : ""), el("td", "", b.track >= 0 ? String(b.track) : ""));
      tr.addEventListener("click", () => jumpTo(b.t));
      body.appendChild(tr);
    }
    byId("box-info").textContent = plural(shown.length, "box") + (shown.length > LIST_MAX ? ", the first " + intFmt.format(LIST_MAX) + " listed" : "") +
      " · " + plural(boxes.filter((b) => !b.pred).length, "label") + ", " + plural(boxes.filter((b) => b.pred).length, "prediction");
    markBoxes();
  }
  function markBoxes() {
    const body = byId("box-list").tBodies[0];
    const span = currentSpan();
    let first = null;
    listed.forEach((b, i) => {
      const on = Boolean(span) && b.t >= span[0] && b.t < span[1];
      const row = body.rows[i];
      if (row) { row.classList.toggle("current", on); if (on && !first) first = row; }
    });
    if (first && !player.playing) first.scrollIntoView({ block: "nearest" });
  }
  function stepBox(dir) {
    const span = currentSpan();
    if (!span) return;
    const vis = boxes.filter(boxVisible);
    const b = dir > 0 ? vis.find((x) => x.t >= span[1]) : vis.slice().reverse().find((x) => x.t < span[0]);
    if (b) jumpTo(b.t);
  }
  function drawBoxes() {
    const ctx = overlay.getContext("2d");
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.clearRect(0, 0, overlay.width, overlay.height);
    const span = currentSpan();
    if (!span || !W || !H) return;
    const sx = overlay.width / W, sy = overlay.height / H;
    if (hotMark) {
      ctx.strokeStyle = css("--cursor");
      ctx.lineWidth = 2;
      ctx.strokeRect((hotMark[0] - 2) * sx, (hotMark[1] - 2) * sy, 5 * sx, 5 * sy);
    }
    if (!byId("show-boxes").checked) return;
    const dpr = window.devicePixelRatio || 1;
    ctx.font = Math.round(11 * dpr) + "px system-ui, sans-serif";
    ctx.textBaseline = "bottom";
    let shown = 0;
    for (const b of boxes) {
      if (b.t < span[0] || b.t >= span[1] || !boxVisible(b)) continue;
      shown++;
      ctx.strokeStyle = classColour(b.c);
      ctx.fillStyle = classColour(b.c);
      ctx.lineWidth = Math.max(1, 1.5 * dpr);
      ctx.setLineDash(b.pred ? [5 * dpr, 3 * dpr] : []);
      ctx.strokeRect(b.x * sx, b.y * sy, b.w * sx, b.h * sy);
      let text = className(b.c);
      if (b.pred && Number.isFinite(b.conf)) text += " " + b.conf.toFixed(2);
      if (b.track >= 0) text += " #" + b.track;
      ctx.fillText(text, b.x * sx + 2, Math.max(12 * dpr, b.y * sy - 2));
    }
    overlay.dataset.boxes = String(shown);
  }

  function replot() { drawTimeline(); drawRaster(); }

  // ---- start
  (async () => {
    try {
      buildTheme(replot);
      buildSummary();
      buildHolds();
      buildControls();
      buildTimeline();
      buildRaster();
      buildBoxes();
      layoutStage();
      replot();
      await Promise.all([buildHeat(), showStep(0)]);
      layoutStage();
      let queued = false;
      const onResize = () => {
        if (queued) return;
        queued = true;
        requestAnimationFrame(() => { queued = false; layoutStage(); replot(); });
      };
      if (window.ResizeObserver) new ResizeObserver(onResize).observe(byId("recording"));
      window.addEventListener("resize", onResize);
      await new Promise((r) => requestAnimationFrame(() => r()));
      markReady();
    } catch (err) {
      root.dataset.state = "error";
      throw err;
    }
  })();
})();

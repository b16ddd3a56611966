// Recorded activity on the graph: node colours by rate, a time scrubber, and
// the node panel's activity section. The summary arrives in the
// #zelq-activity element as JSON; identifiers reach the page as text only.
const ZActivity = (() => {
  "use strict";
  const NEUTRAL = "#9aa1ac";
  const MEASURES = [["mean", "Mean rate"], ["peak", "Peak rate"], ["silent", "Silent neurons"]];

  // Inferno as a degree-6 polynomial per channel; t in 0..1.
  const INF = [
    [0.0002189403691192265, 0.001651004631001012, -0.01948089843709184],
    [0.1065134194856116, 0.5639564367884091, 3.932712388889277],
    [11.60249308247187, -3.972853965665698, -15.9423941062914],
    [-41.70399613139459, 17.43639888205313, 44.35414519872813],
    [77.162935699427, -33.40235894210092, -81.80730925738993],
    [-71.31942824499214, 32.62606426397723, 73.20951985803202],
    [25.13112622477341, -12.24266895238567, -23.07032500287172],
  ];
  function inferno(t) {
    t = Math.min(1, Math.max(0, t));
    const rgb = [0, 0, 0];
    for (let c = 0; c < 3; c++) {
      let v = 0;
      for (let k = 6; k >= 0; k--) v = v * t + INF[k][c];
      rgb[c] = Math.round(255 * Math.min(1, Math.max(0, v)));
    }
    return rgb;
  }
  // The darkest fifth of the map would hide the labels drawn on the node.
  const heat = (t) => { const [r, g, b] = inferno(0.25 + 0.73 * t); return `rgb(${r},${g},${b})`; };

  const { el, sv, fmtBrief: fmt, finiteOrNull: num } = ZDom;
  const nums = (a) => (Array.isArray(a) ? a.map((v) => (typeof v === "number" && isFinite(v) ? v : 0)) : null);

  function read() {
    const box = document.getElementById("zelq-activity");
    if (!box) return null;
    let v;
    try { v = JSON.parse(box.textContent); } catch (e) { return null; }
    return v && typeof v === "object" && Array.isArray(v.nodes) && v.nodes.length ? v : null;
  }

  const OFF = { on: () => false, colour: () => null, alpha: () => null, legend: () => false, panel: () => {}, key: () => false, state: () => null, menu: () => null };

  // The colour-mode menu of the toolbar, made on first use: "node types" and
  // whatever activity and measures add to it.
  function colourMenu() {
    let select = document.getElementById("act-measure");
    if (select) return select;
    select = el("select");
    select.id = "act-measure";
    select.title = "Colour the nodes by";
    select.appendChild(new Option("Colour: node types", ""));
    const spacer = document.querySelector("header .spacer");
    if (spacer) spacer.parentNode.insertBefore(select, spacer);
    return select;
  }

  function create(nodeIds, onChange) {
    const doc = read();
    if (!doc) return OFF;
    const index = new Map(nodeIds.map((id, i) => [id, i]));
    const perNode = new Array(nodeIds.length).fill(null);
    let maxSteps = 1;
    for (const r of doc.nodes) {
      if (!r || typeof r !== "object") continue;
      const i = index.get(String(r.id));
      if (i === undefined || perNode[i]) continue;
      const pop = nums(r.population);
      if (!pop || !pop.length) continue;
      perNode[i] = {
        kind: r.kind === "values" ? "values" : "counts", steps: num(r.steps) || 1, neurons: num(r.neurons) || 1,
        dtype: String(r.dtype), mean: num(r.mean), peak: num(r.peak), silent: num(r.silent),
        bins: { mean: pop, peak: nums(r.peak_bins) || pop, silent: nums(r.silent_bins) },
        hist: r.histogram && typeof r.histogram === "object" ? r.histogram : null, raster: r.raster && typeof r.raster === "object" ? r.raster : null,
      };
      maxSteps = Math.max(maxSteps, perNode[i].steps);
    }
    const bins = Math.max(1, ...perNode.filter(Boolean).map((a) => a.bins.mean.length));
    const kinds = new Set(perNode.filter(Boolean).map((a) => a.kind));
    const primary = kinds.has("counts") ? "counts" : "values";
    const dt = num(doc.dt);
    const rateUnit = doc.unit === "Hz" ? "Hz" : "spikes/step";
    let measure = "mean", bin = -1, playing = null;
    const listeners = [];

    // The measure of one node, over the whole recording or in global bin g.
    function value(a, m, g) {
      if (m === "silent" && a.kind !== "counts") return null;
      if (g < 0) return a[m];
      const curve = a.bins[m];
      if (!curve) return null;
      return curve[Math.min(curve.length - 1, Math.floor((g * curve.length) / bins))];
    }
    // Collapsed groups: neuron-weighted mean for rates and silence, the largest peak.
    function combined(indices, m, g) {
      let s = 0, w = 0, best = null;
      for (const i of indices) {
        const a = perNode[i];
        if (!a || a.kind !== primary) continue;
        const v = value(a, m, g);
        if (v === null) continue;
        if (m === "peak") best = best === null ? v : Math.max(best, v);
        else { s += v * a.neurons; w += a.neurons; }
      }
      return m === "peak" ? best : w ? s / w : null;
    }
    // Scale: fixed over the recording, so colours compare across bins and nodes.
    const ranges = new Map();
    function range(m, perBin) {
      const key = m + (perBin ? ":bins" : "");
      if (ranges.has(key)) return ranges.get(key);
      let lo = Infinity, hi = -Infinity;
      if (m === "silent") { lo = 0; hi = 1; }
      else for (const a of perNode) {
        if (!a || a.kind !== primary) continue;
        const vs = perBin ? a.bins[m] : [a[m]];
        for (const v of vs) if (v !== null) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
      }
      if (!(lo <= hi)) { lo = 0; hi = 1; }
      if (primary === "counts") lo = 0;
      const r = [lo, hi > lo ? hi : lo + 1];
      ranges.set(key, r);
      return r;
    }
    function colour(indices) {
      if (!measure) return null;
      const v = combined(indices, measure, bin);
      if (v === null) return NEUTRAL;
      const [lo, hi] = range(measure, bin >= 0);
      return heat((v - lo) / (hi - lo));
    }
    const unit = (m) => (m === "silent" ? "%" : primary === "values" ? "" : rateUnit);
    const shown = (m, v) => (v === null ? "\u2013" : m === "silent" ? fmt(100 * v) + " %" : fmt(v) + (unit(m) ? " " + unit(m) : ""));

    function binLabel(g) {
      if (g < 0) return "whole recording";
      const s0 = Math.floor((g * maxSteps) / bins), s1 = Math.max(s0 + 1, Math.floor(((g + 1) * maxSteps) / bins));
      if (dt) return `${fmt(s0 * dt * 1e3)}\u2013${fmt(s1 * dt * 1e3)} ms`;
      return s1 - s0 > 1 ? `steps ${s0}\u2013${s1 - 1}` : `step ${s0}`;
    }

    // ---- toolbar: colour mode
    const select = colourMenu();
    for (const [k, label] of MEASURES) select.appendChild(new Option("Activity: " + label.toLowerCase(), k));
    select.value = measure;
    // Other entries of the menu (node types, measures) turn activity colouring off.
    select.addEventListener("change", () => {
      measure = MEASURES.some((m) => m[0] === select.value) ? select.value : null;
      bar.style.display = measure ? "flex" : "none";
      changed();
    });

    // ---- scrubber
    // A strip under the stage (the page's "scrub" area), not over the graph.
    const bar = el("div");
    bar.id = "act-bar";
    const play = el("button", null, "\u25b6");
    play.id = "act-play";
    play.title = "Play / pause (space)";
    const all = el("button", null, "All");
    all.title = "Colour by the whole recording";
    const slider = el("input");
    slider.type = "range"; slider.min = "0"; slider.max = String(bins - 1); slider.value = "0"; slider.id = "act-time";
    slider.title = "Time bin (\u2190 \u2192)";
    const label = el("span", "act-label", binLabel(-1));
    bar.append(play, slider, all, label);
    const stage = document.getElementById("stage");
    if (stage) { stage.after(bar); document.body.classList.add("act-dock"); }
    slider.addEventListener("input", () => { setPlaying(false); setBin(Number(slider.value)); });
    all.addEventListener("click", () => { setPlaying(false); setBin(-1); });
    play.addEventListener("click", () => setPlaying(!playing));

    function setBin(g) {
      bin = Math.max(-1, Math.min(bins - 1, g));
      if (bin >= 0) slider.value = String(bin);
      label.textContent = binLabel(bin);
      changed();
    }
    function setPlaying(on) {
      if (on && !playing) {
        if (!measure) { measure = "mean"; select.value = measure; bar.style.display = "flex"; select.dispatchEvent(new Event("change")); }
        if (bin < 0 || bin >= bins - 1) setBin(0);
        playing = setInterval(() => { if (bin >= bins - 1) setPlaying(false); else setBin(bin + 1); }, Math.max(40, 6000 / bins));
      } else if (!on && playing) { clearInterval(playing); playing = null; }
      play.textContent = playing ? "\u23f8" : "\u25b6";
    }
    function changed() {
      for (let k = listeners.length - 1; k >= 0; k--) if (!listeners[k]()) listeners.splice(k, 1);
      onChange();
    }

    // ---- legend
    function legend(box) {
      if (!measure) return false;
      const name = MEASURES.find((m) => m[0] === measure)[1];
      box.appendChild(el("div", "note", "Activity \u00b7 " + name + (bin >= 0 ? " \u00b7 " + binLabel(bin) : "")));
      const [lo, hi] = range(measure, bin >= 0);
      const stops = [];
      for (let k = 0; k <= 8; k++) stops.push(heat(k / 8));
      const ramp = el("div");
      Object.assign(ramp.style, { height: "10px", borderRadius: "3px", margin: "4px 0 2px", background: `linear-gradient(to right, ${stops.join(", ")})` });
      box.appendChild(ramp);
      const ends = el("div");
      Object.assign(ends.style, { display: "flex", justifyContent: "space-between", fontSize: "11px" });
      ends.append(el("span", null, shown(measure, lo)), el("span", null, shown(measure, hi)));
      box.appendChild(ends);
      const d = el("div", "item"), sw = el("span", "sw");
      sw.style.background = NEUTRAL;
      d.append(sw, el("span", null, kinds.size > 1 || (measure === "silent" && primary === "values") ? "no spike counts recorded" : "no recording"));
      box.appendChild(d);
      return true;
    }

    // ---- node panel
    function histogram(a) {
      const h = a.hist, counts = h && nums(h.counts);
      if (!counts || !counts.length) return null;
      const W = 320, H = 70, max = Math.max(1, ...counts), bw = W / counts.length;
      const s = sv("svg", { viewBox: `0 0 ${W} ${H + 14}`, width: "100%", role: "img" });
      counts.forEach((c, k) => {
        if (!c) return;
        const bh = Math.max(1, (c / max) * H);
        const r = sv("rect", { x: (k * bw).toFixed(1), y: (H - bh).toFixed(1), width: Math.max(1, bw - 1).toFixed(1), height: bh.toFixed(1), fill: heat(k / (counts.length - 1 || 1)) });
        r.appendChild(sv("title", {})).textContent = c + " neurons";
        s.appendChild(r);
      });
      const t0 = sv("text", { x: 0, y: H + 12, "font-size": 10, fill: "currentColor" }), t1 = sv("text", { x: W, y: H + 12, "font-size": 10, fill: "currentColor", "text-anchor": "end" });
      t0.textContent = fmt(num(h.lo)); t1.textContent = fmt(num(h.hi)) + (a.kind === "counts" ? " " + rateUnit : "");
      s.append(t0, t1);
      return s;
    }
    function cursorOn(box, wide) {
      box.style.position = "relative";
      const c = el("div");
      Object.assign(c.style, { position: "absolute", top: 0, bottom: 0, width: "2px", background: "var(--accent)", pointerEvents: "none" });
      box.appendChild(c);
      const place = () => {
        if (!box.isConnected) return false;
        c.style.display = bin < 0 ? "none" : "block";
        c.style.left = `calc(${((bin + 0.5) / bins) * 100}% - 1px)`;
        return true;
      };
      place();
      listeners.push(place);
      box.style.cursor = "pointer";
      box.addEventListener("click", (e) => {
        const r = (wide || box).getBoundingClientRect();
        setPlaying(false);
        setBin(Math.floor(((e.clientX - r.left) / r.width) * bins));
      });
    }
    function raster(a) {
      const r = a.raster;
      if (!r || typeof r.data !== "string") return null;
      const B = num(r.bins) || 0, M = num(r.neurons) || 0;
      const bytes = ZBase64.read(r.data);
      if (!bytes || !B || !M || bytes.length < B * M) return null;
      // Row j is neuron j. Each row is a whole number of device pixels tall, drawn here
      // (not scaled by the browser), so that rows are even stripes and a click's height
      // on the canvas names its row exactly (rowAt).
      const dpr = window.devicePixelRatio || 1, rowCss = Math.max(1, Math.floor(160 / M), Math.ceil(40 / M));
      const rowDev = Math.max(1, Math.round(rowCss * dpr)), H = M * rowDev;
      const cv = document.createElement("canvas");
      cv.className = "act-raster";
      cv.width = B; cv.height = H; cv.dataset.rows = String(M);
      const img = cv.getContext("2d").createImageData(B, H), lut = [];
      for (let k = 0; k < 256; k++) lut.push(inferno(k / 255));
      for (let t = 0; t < B; t++) for (let j = 0; j < M; j++) {
        const [cr, cg, cb] = lut[bytes[t * M + j]];
        for (let d = j * rowDev; d < (j + 1) * rowDev; d++) {
          const o = (d * B + t) * 4;
          img.data[o] = cr; img.data[o + 1] = cg; img.data[o + 2] = cb; img.data[o + 3] = 255;
        }
      }
      cv.getContext("2d").putImageData(img, 0, 0);
      Object.assign(cv.style, { width: "100%", height: H / dpr + "px", imageRendering: "pixelated", display: "block" });
      return cv;
    }
    function curve(a) {
      const ys = a.bins.mean, W = 320, H = 70;
      const lo = primary === "counts" && a.kind === "counts" ? 0 : Math.min(...ys), hi = Math.max(...ys, lo + 1e-12);
      const s = sv("svg", { viewBox: `0 0 ${W} ${H}`, width: "100%", preserveAspectRatio: "none", role: "img" });
      const pts = ys.map((v, k) => `${(((k + 0.5) / ys.length) * W).toFixed(1)},${(H - 2 - ((v - lo) / (hi - lo)) * (H - 4)).toFixed(1)}`);
      s.appendChild(sv("polyline", { points: pts.join(" "), fill: "none", stroke: "var(--accent)", "stroke-width": 1.5, "vector-effect": "non-scaling-stroke" }));
      return s;
    }
    function panel(box, i) {
      const a = perNode[i];
      box.appendChild(el("h3", null, "Activity"));
      if (!a) { box.appendChild(el("div", "note", "No recorded activity.")); return; }
      const t = el("table");
      const row = (k, v) => { const tr = el("tr"); tr.append(el("td", null, k), el("td", null, v)); t.appendChild(tr); };
      row("Recorded", `${a.steps} steps \u00d7 ${a.neurons} neurons (${a.dtype})`);
      if (a.kind === "counts") {
        row("Mean rate", shown("mean", a.mean));
        row("Peak rate", shown("peak", a.peak) + " (busiest neuron, best bin)");
        row("Silent", shown("silent", a.silent));
      } else {
        row("Mean value", fmt(a.mean));
        row("Kind", "values (not spike counts)");
      }
      box.appendChild(t);
      const hs = histogram(a);
      if (hs) { box.appendChild(el("div", "note", a.kind === "counts" ? "Rate per neuron" : "Mean value per neuron")); box.appendChild(hs); }
      const rs = raster(a);
      if (rs) {
        box.appendChild(el("div", "note", `Raster \u00b7 ${rs.dataset.rows} of ${a.neurons} neurons \u00d7 time`));
        const w = el("div"); w.appendChild(rs); box.appendChild(w); cursorOn(w);
      }
      box.appendChild(el("div", "note", a.kind === "counts" ? "Population rate (" + rateUnit + ")" : "Population mean"));
      const w2 = el("div"); w2.appendChild(curve(a)); box.appendChild(w2); cursorOn(w2);
    }

    // ---- keyboard: as on the spike page
    function key(e) {
      if (!measure || e.ctrlKey || e.metaKey || e.altKey) return false;
      const t = e.target;
      if (t instanceof HTMLElement && (t.tagName === "SELECT" || t.tagName === "TEXTAREA" || (t.tagName === "INPUT" && t.type !== "range"))) return false;
      if (e.key === " " || e.key === "Spacebar") {
        if (t instanceof HTMLElement && (t.tagName === "BUTTON" || t.tagName === "A")) return false;
        e.preventDefault(); setPlaying(!playing); return true;
      }
      if (e.key === "ArrowRight" || e.key === "ArrowLeft") {
        e.preventDefault(); setPlaying(false);
        setBin(bin < 0 ? (e.key === "ArrowRight" ? 0 : bins - 1) : bin + (e.key === "ArrowRight" ? 1 : -1));
        return true;
      }
      return false;
    }

    return {
      on: () => !!measure, colour, alpha: () => (measure ? 0.62 : null), legend, panel, key,
      state: () => ({ measure, bin, bins, playing: !!playing }), menu: () => select,
    };
  }
  // The raster row (neuron) under a click at clientY: the canvas shows its rows as
  // equal stripes, so the click's share of the canvas's drawn height names the row,
  // whatever the device pixel ratio or any scaling of the page.
  function rowAt(canvas, clientY) {
    const r = canvas.getBoundingClientRect(), rows = Number(canvas.dataset.rows) || canvas.height;
    const cs = getComputedStyle(canvas), top = parseFloat(cs.borderTopWidth) || 0, bottom = parseFloat(cs.borderBottomWidth) || 0;
    const scale = r.height / (canvas.offsetHeight || r.height);  // any transform of the page
    const y = clientY - r.top - top * scale, h = r.height - (top + bottom) * scale;
    return Math.max(0, Math.min(rows - 1, Math.floor((y / h) * rows)));
  }
  return { create, heat, colourMenu, rowAt, NEUTRAL };
})();

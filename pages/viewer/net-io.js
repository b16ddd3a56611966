// The input and the output on the network's time axis. The input panel
// (data-part="input") shows the events of the current step k, those of
// [t0 + k dt, t0 + (k + 1) dt): ON blue, OFF red, optionally with the
// recording page's decay. The output panel (data-part="output") draws each
// class's rate over the steps; data-part="decision" holds the class with the
// largest cumulative spike count over steps 0 to k (the lowest index on a tie),
// by name or index, and the label stands beside it, right or wrong.
ZParts.add("net-io", (page) => {
  "use strict";
  const data = typeof ZNetData === "object" && ZNetData ? ZNetData : null;
  const clock = page.netClock;
  if (!data || !clock) return null;
  const { el } = ZDom;
  const api = {};

  // ---- input
  const inp = data.input;
  if (inp && typeof inp.frames === "string") {
    const box = el("div", "net-box");
    const h = el("h4", null, "Input");
    const decayBox = el("input");
    decayBox.type = "checkbox";
    decayBox.title = "Keep earlier events lit, fading (as the recording page does)";
    const decayLabel = el("label", null, "");
    decayLabel.append(decayBox, document.createTextNode(" decay"));
    h.append(decayLabel);
    const cv = el("canvas");
    cv.dataset.part = "input";
    const W = inp.width, H = inp.height, frames = ZBase64.bytes(inp.frames), plane = W * H;
    cv.width = W; cv.height = H;
    const note = el("div", "note");
    box.append(h, cv, note);
    clock.row.prepend(box);
    const g = cv.getContext("2d"), img = g.createImageData(W, H);
    const gain = (c) => Math.min(255, 90 + 60 * c);
    function draw(k) {
      const on = new Float32Array(plane), off = new Float32Array(plane);
      const first = decayBox.checked ? Math.max(0, k - 15) : k;
      let events = 0;
      for (let s = first; s <= k; s++) {
        const f = decayBox.checked ? Math.exp(-(k - s) / 4) : 1, base = s * 2 * plane;
        for (let i = 0; i < plane; i++) {
          const a = frames[base + i], b = frames[base + plane + i];
          if (a) on[i] += a * f;
          if (b) off[i] += b * f;
          if (s === k) events += a + b;
        }
      }
      const d = img.data;
      for (let i = 0; i < plane; i++) {
        const o = i * 4, a = on[i], b = off[i];
        d[o] = b > 0.05 ? gain(b) : 13; d[o + 1] = 16; d[o + 2] = a > 0.05 ? gain(a) : 22; d[o + 3] = 255;
      }
      g.putImageData(img, 0, 0);
      const t0 = inp.t0 + k * inp.dt_us;
      note.textContent = `${events} events in [${Math.round(t0)}, ${Math.round(t0 + inp.dt_us)}) \u00b5s` + (inp.pooled > 1 ? ` \u00b7 pooled ${inp.pooled}\u00d7${inp.pooled}` : "");
    }
    decayBox.addEventListener("change", () => draw(clock.step));
    clock.on(draw);
    api.inputEvents = () => { let n = 0; const base = clock.step * 2 * plane; for (let i = 0; i < 2 * plane; i++) n += frames[base + i]; return n; };
  }

  // ---- output and decision
  const out = data.output;
  if (out) {
    const box = el("div", "net-box");
    box.dataset.part = "output";
    const h = el("h4", null, "Output" + (out.node !== null && out.node !== undefined ? " \u00b7 " + out.node : ""));
    const cv = el("canvas");
    const line = el("div", "net-decision");
    const decision = el("span");
    decision.dataset.part = "decision";
    const label = el("span");
    label.dataset.part = "label";
    const swatch = el("span");
    Object.assign(swatch.style, { display: "inline-block", width: "10px", height: "10px", borderRadius: "2px", margin: "0 5px 0 2px", border: "1px solid var(--line)" });
    line.append(el("span", null, "Decision: "), swatch, decision, el("span", null, "  "), label);
    const note = el("div", "note");
    box.append(h, cv, line, note);
    clock.row.appendChild(box);
    // Counts past the page's budget come for some classes only (`kept`, the columns of
    // `counts`), with the running decision and every step's spikes over all classes.
    const T = clock.steps, kept = Array.isArray(out.kept) ? out.kept : null, K = kept ? kept.length : out.k || 0;
    const counts = typeof out.counts === "string" ? ZBase64.array(out.counts, Float32Array) : null;
    const given = kept && typeof out.decision === "string" ? ZBase64.array(out.decision, Int32Array) : null;
    const stepSpikes = kept && typeof out.spikes === "string" ? ZBase64.array(out.spikes, Float32Array) : null;
    const names = Array.isArray(out.classes) ? out.classes : null;
    const cls = (c) => (kept ? kept[c] : c);  // column -> class index
    const cum = new Float64Array(T * K);
    if (counts) for (let k = 0; k < T && (k + 1) * K <= counts.length; k++)
      for (let c = 0; c < K; c++) cum[k * K + c] = counts[k * K + c] + (k ? cum[(k - 1) * K + c] : 0);
    const spikesTo = new Float64Array(T);
    for (let k = 0; k < T; k++) {
      let n = 0;
      if (stepSpikes) n = stepSpikes[k] || 0; else for (let c = 0; c < K; c++) n += counts ? counts[k * K + c] || 0 : 0;
      spikesTo[k] = n + (k ? spikesTo[k - 1] : 0);
    }
    const name = (c) => (names && c < names.length ? String(names[c]) : String(c));
    function decided(k) {
      if (given) return given[k];
      let best = 0;
      for (let c = 1; c < K; c++) if (cum[k * K + c] > cum[k * K + best]) best = c;
      return best;
    }
    // Rates per class, smoothed over a window of steps, in Hz when dt is known.
    const win = Math.max(1, Math.round(T / 25)), rate = new Float32Array(T * K);
    let top = 0;
    for (let c = 0; c < K; c++) for (let k = 0; k < T; k++) {
      const a = Math.max(0, k - win + 1), s = cum[k * K + c] - (a ? cum[(a - 1) * K + c] : 0);
      const r = s / (k - a + 1) / (clock.dt || 1);
      rate[k * K + c] = r; top = Math.max(top, r);
    }
    function draw(k) {
      const w = Math.max(50, cv.clientWidth), hgt = Math.max(40, cv.clientHeight), dpr = window.devicePixelRatio || 1;
      cv.width = Math.round(w * dpr); cv.height = Math.round(hgt * dpr);
      const g = cv.getContext("2d");
      g.setTransform(dpr, 0, 0, dpr, 0, 0);
      g.clearRect(0, 0, w, hgt);
      if (!counts) { g.fillStyle = "#9aa1ac"; g.font = "12px sans-serif"; g.fillText(`No activity recorded for ${out.node}.`, 8, 20); decision.textContent = "\u2013"; return; }
      const best = decided(k), X = (s) => ((s + 0.5) / T) * w, Y = (r) => hgt - 3 - (r / (top || 1)) * (hgt - 8);
      for (let c = 0; c < K; c++) {
        const lead = cls(c) === best;
        g.strokeStyle = ZClassColours.of(cls(c)); g.lineWidth = lead ? 2.2 : 1; g.globalAlpha = lead ? 1 : 0.55;
        g.beginPath();
        for (let s = 0; s < T; s++) (s ? g.lineTo : g.moveTo).call(g, X(s), Y(rate[s * K + c]));
        g.stroke();
      }
      g.globalAlpha = 1;
      g.strokeStyle = "rgba(255,255,255,.8)"; g.lineWidth = 1;
      g.beginPath(); g.moveTo(X(k), 0); g.lineTo(X(k), hgt); g.stroke();
      decision.textContent = name(best);
      swatch.style.background = ZClassColours.of(best);
      if (out.label !== null && out.label !== undefined) {
        const right = best === out.label;
        label.textContent = `label ${name(out.label)} ${right ? "\u2713 right" : "\u2717 wrong"}`;
        label.dataset.correct = String(right);
      }
      note.textContent = `${spikesTo[k]} output spikes in steps 0\u2013${k} \u00b7 ${out.k || 0} classes \u00b7 rate per class` + (clock.dt ? " (Hz)" : " (spikes/step)") +
        (out.left_out ? ` \u00b7 left out: ${out.left_out}` : "");
      note.title = note.textContent;
    }
    clock.on(draw);
    window.addEventListener("resize", () => draw(clock.step));
    api.decision = () => decision.textContent;
  }
  window.zelqNet = Object.assign(window.zelqNet || {}, api);
  return null;
});

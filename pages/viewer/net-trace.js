// Neuron states (data-part="trace"): one neuron's state over the steps, its
// threshold and its spikes marked, a cursor at the current step; and the node's
// silent and saturated neurons. The node is the selected one when it has
// states, else the first that has; the neuron is picked by index or by a click
// on the node's raster row, the busiest by default.
ZParts.add("net-trace", (page) => {
  "use strict";
  const data = typeof ZNetData === "object" && ZNetData ? ZNetData : null;
  const clock = page.netClock;
  if (!data || !clock) return null;
  const { el } = ZDom;
  const states = (Array.isArray(data.states) ? data.states : []).filter((s) => s && typeof s.traces === "string");
  const byId = new Map(states.map((s) => [String(s.id), s]));
  const dead = data.dead && typeof data.dead === "object" ? data.dead : {};
  const box = el("div", "net-box");
  box.dataset.part = "trace";
  const h = el("h4", null, "Neuron state");
  const pick = el("select");
  pick.title = "Node";
  for (const s of states) pick.appendChild(new Option(String(s.id), String(s.id)));
  const index = el("input");
  Object.assign(index, { type: "number", min: "0", step: "1", title: "Neuron index" });
  h.append(pick, el("span", null, "neuron"), index);
  const canvas = el("canvas");
  const note = el("div", "note"), deadLine = el("div", "net-dead");
  box.append(h, canvas, note, deadLine);
  clock.row.appendChild(box);

  let node = states[0] || null, neuron = node ? node.default : 0, deadId = node ? String(node.id) : Object.keys(dead)[0];
  const decoded = new Map();
  function traces(s) {
    if (!decoded.has(s)) decoded.set(s, { v: ZBase64.array(s.traces, Float32Array), summary: s.summary ? ZBase64.array(s.summary, Float32Array) : null });
    return decoded.get(s);
  }
  const fmt = (v) => (Math.abs(v) >= 1000 || (Math.abs(v) < 0.01 && v !== 0) ? v.toExponential(2) : v.toFixed(3));

  function draw() {
    const w = Math.max(50, canvas.clientWidth), hgt = Math.max(40, canvas.clientHeight), dpr = window.devicePixelRatio || 1;
    canvas.width = Math.round(w * dpr); canvas.height = Math.round(hgt * dpr);
    const g = canvas.getContext("2d");
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, hgt);
    if (!node) { g.fillStyle = "#9aa1ac"; g.font = "12px sans-serif"; g.fillText("No states recorded (render_html states=).", 8, 20); return; }
    const j = node.traced.indexOf(neuron), T = node.steps, { v, summary } = traces(node);
    if (j < 0) {
      g.fillStyle = "#9aa1ac"; g.font = "12px sans-serif";
      g.fillText(`Neuron ${neuron} is not among the ${node.traced.length} traced.`, 8, 20);
      if (summary && neuron < node.neurons) {
        const n = node.neurons;
        g.fillText(`min ${fmt(summary[neuron])}  mean ${fmt(summary[n + neuron])}  max ${fmt(summary[2 * n + neuron])}`, 8, 40);
      }
      return;
    }
    const ys = v.subarray(j * T, (j + 1) * T), thr = node.threshold ? node.threshold[j] : null;
    let lo = Infinity, hi = -Infinity;
    for (const y of ys) { lo = Math.min(lo, y); hi = Math.max(hi, y); }
    if (thr !== null) { lo = Math.min(lo, thr); hi = Math.max(hi, thr); }
    if (!(hi > lo)) { hi = lo + 1; }
    const pad = 14, X = (k) => ((k + 0.5) / T) * w, Y = (y) => hgt - 4 - ((y - lo) / (hi - lo)) * (hgt - pad - 6);
    if (thr !== null) {
      g.strokeStyle = "#f5a623"; g.setLineDash([5, 4]); g.lineWidth = 1;
      g.beginPath(); g.moveTo(0, Y(thr)); g.lineTo(w, Y(thr)); g.stroke(); g.setLineDash([]);
      g.fillStyle = "#f5a623"; g.font = "10px sans-serif"; g.fillText("threshold " + fmt(thr), 4, Y(thr) - 3);
    }
    g.strokeStyle = "#6ea0ff"; g.lineWidth = 1.3; g.beginPath();
    for (let k = 0; k < T; k++) (k ? g.lineTo : g.moveTo).call(g, X(k), Y(ys[k]));
    g.stroke();
    const sp = node.spikes ? node.spikes[j] || [] : [];
    g.strokeStyle = "#ff4f6a"; g.lineWidth = 1.5;
    for (const k of sp) { g.beginPath(); g.moveTo(X(k), 1); g.lineTo(X(k), pad - 3); g.stroke(); }
    g.strokeStyle = "rgba(255,255,255,.8)"; g.lineWidth = 1;
    const c = X(clock.step); g.beginPath(); g.moveTo(c, 0); g.lineTo(c, hgt); g.stroke();
    g.fillStyle = "#e4e8ef"; g.font = "11px sans-serif";
    g.fillText(`${fmt(ys[Math.min(T - 1, clock.step)])}`, Math.min(w - 50, c + 4), hgt - 6);
  }
  function describe() {
    if (node) {
      const j = node.traced.indexOf(neuron), sp = j >= 0 && node.spikes ? (node.spikes[j] || []).length : null;
      note.textContent = `${node.id} \u00b7 neuron ${neuron} of ${node.neurons}` + (sp !== null ? ` \u00b7 ${sp} spikes` : "") +
        (node.threshold ? "" : " \u00b7 no threshold on this node") +
        (node.left_out && node.left_out.length ? " \u00b7 left out: " + node.left_out.join("; ") : "");
      index.max = String(node.neurons - 1);
      index.value = String(neuron);
      pick.value = String(node.id);
    }
    const d = dead[deadId];
    deadLine.textContent = "";
    if (d) {
      const list = (xs, n) => (n ? xs.join(", ") + (n > xs.length ? ` \u2026 (${n - xs.length} more)` : "") : "none");
      deadLine.append(el("div", null, `${deadId}: silent ${d.silent_count} of ${d.neurons}: ${list(d.silent, d.silent_count)}`),
        el("div", null, `saturated ${d.saturated_count}: ${list(d.saturated, d.saturated_count)}`));
    }
  }
  function show(s, k) {
    if (s) { node = s; neuron = k === undefined ? s.default : Math.max(0, Math.min(s.neurons - 1, k)); deadId = String(s.id); }
    describe(); draw();
  }
  pick.addEventListener("change", () => show(byId.get(pick.value)));
  index.addEventListener("change", () => show(node, Number(index.value) | 0));
  // A click on a raster row of the node panel picks that row's neuron: read in the
  // capture phase, before the click's change of time bin redraws the panel, at the
  // height where the pointer went down (a click's own coordinates are whole pixels,
  // coarser than the rows of a tall raster).
  let down = null;
  document.addEventListener("pointerdown", (e) => { down = { target: e.target, y: e.clientY }; }, true);
  document.addEventListener("click", (e) => {
    const cv = e.target;
    if (!(cv instanceof HTMLCanvasElement) || !cv.classList.contains("act-raster")) return;
    const sel = page.app && window.zelqViewer ? window.zelqViewer.selected() : null;
    const s = sel && sel.kind === "node" ? byId.get(sel.id) : null;
    if (!s) return;
    show(s, ZActivity.rowAt(cv, down && down.target === cv ? down.y : e.clientY));  // row j of the raster is neuron j
  }, true);
  clock.on(() => draw());
  window.addEventListener("resize", () => draw());
  window.zelqNet = Object.assign(window.zelqNet || {}, {
    trace: () => (node ? { node: String(node.id), neuron, traced: node.traced.includes(neuron) } : null),
    pickNeuron: (id, k) => show(byId.get(String(id)), k),
  });
  return {
    ready: () => show(node, neuron),
    select(kind, ref) {
      if (kind !== "n") return;
      const id = page.model.nodeIds[ref];
      if (byId.has(id) && (!node || String(node.id) !== id)) show(byId.get(id));
      else if (dead[id]) { deadId = id; describe(); }
    },
  };
});

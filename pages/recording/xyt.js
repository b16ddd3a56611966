// Part: the space-time view (data-part="xyt"): the events in x, y and time around
// the shown frame (± 250 ms unless the reader changes it), ON and OFF in the frame
// colours, boxes as outlines at their times, the time axis on the recording's
// clock. Drag to turn it, wheel to zoom; Export saves a PNG at 1, 2 or 4 times its size.
ZParts.add("xyt", (page) => {
  "use strict";
  const { int, num, obj, arr } = ZDocument;
  const { doc, colours } = page;
  const { W, H, tFirst } = doc;
  const xyt = obj(doc.raw.xyt);
  if (!xyt || W < 1 || H < 1) return {};
  const base = int(xyt.t_base, tFirst), unit = Math.max(1, int(xyt.t_unit, 1));
  const xs = ZBase64.array(xyt.x, Uint16Array), ys = ZBase64.array(xyt.y, Uint16Array);
  const ts = ZBase64.array(xyt.t, Uint32Array), ps = ZBase64.bytes(xyt.p);
  const n = Math.min(xs.length, ys.length, ts.length, ps.length);
  const step = Math.max(1, int(xyt.step, 1)), count = Math.max(n, int(xyt.count, n));
  // times in ms after t_base: float32 keeps a window's detail
  const pts = { n, xy: new Float32Array(2 * n), t: new Float32Array(n), on: new Float32Array(n) };
  for (let i = 0; i < n; i++) {
    pts.xy[2 * i] = (xs[i] + 0.5) / W; pts.xy[2 * i + 1] = (ys[i] + 0.5) / H;
    pts.t[i] = (ts[i] * unit) / 1000; pts.on[i] = ps[i] ? 1 : 0;
  }
  const boxes = [];
  const bd = obj(doc.raw.boxes);
  if (bd) for (const cols of [obj(bd.labels), obj(bd.predictions)]) {
    if (!cols) continue;
    const t = arr(cols.t);
    for (let i = 0; i < t.length; i++) boxes.push({ t: int(t[i], 0), x: num(arr(cols.x)[i], 0), y: num(arr(cols.y)[i], 0),
      w: num(arr(cols.w)[i], 0), h: num(arr(cols.h)[i], 0), c: int(arr(cols.class_id)[i], 0) });
  }

  const panel = el("section", "panel");
  panel.id = "xyt-panel";
  panel.dataset.part = "xyt";
  const head = el("div", "panel-head");
  const title = el("div", "head-title");
  const info = el("span", "muted hint mono", "");
  title.append(el("h2", "", "Space-time"), info);
  head.appendChild(title);
  panel.appendChild(head);
  const stage = el("div", "xyt-stage");
  const canvas = el("canvas");
  canvas.id = "xyt";
  canvas.setAttribute("aria-label", "events in x, y and time around the shown frame; drag to turn, wheel to zoom");
  const labels = el("canvas", "xyt-labels");
  labels.setAttribute("aria-hidden", "true");
  stage.append(canvas, labels);
  panel.appendChild(stage);
  const controls = el("div", "controls secondary");
  const half = el("input");
  half.type = "number"; half.min = "0.1"; half.step = "any"; half.value = "250"; half.id = "xyt-half";
  const halfLabel = el("label", "", "Window ± ");
  halfLabel.append(half, document.createTextNode(" ms"));
  const follow = el("input");
  follow.type = "checkbox"; follow.checked = true; follow.id = "xyt-follow";
  const followLabel = el("label", "");
  followLabel.append(follow, document.createTextNode(" around the shown frame"));
  const reset = el("button", "btn", "Reset view");
  reset.type = "button";
  const scaleSel = el("select");
  for (const k of [1, 2, 4]) { const o = el("option", "", k + "×"); o.value = String(k); scaleSel.appendChild(o); }
  scaleSel.value = "2";
  const scaleLabel = el("label", "", "PNG ");
  scaleLabel.appendChild(scaleSel);
  const exportBtn = el("a", "btn", "Export PNG");
  exportBtn.id = "xyt-export";
  exportBtn.download = "space-time.png";
  controls.append(halfLabel, followLabel, reset, scaleLabel, exportBtn);
  panel.appendChild(controls);
  panel.appendChild(el("p", "muted hint", step > 1 ? "An even subsample: 1 in " + intFmt.format(step) + " of the " + intFmt.format(count) +
    " events of the page's span are held, " + plural(n, "point") + "." : "All " + plural(count, "event") + " of the page's span are held."));
  const views = byId("raster-panel");
  views.parentNode.insertBefore(panel, views);

  const view2 = ZXytView.create(canvas);
  canvas.dataset.renderer = view2.kind;
  view2.setPoints(pts);
  const M = Math.max(W, H);
  const DEFAULT = { yaw: -0.75, pitch: 0.4, zoom: 1.35 };
  const state = Object.assign({}, DEFAULT, { centerUs: tFirst });

  const rgb = (hex) => {
    const m = /^#?([0-9a-f]{2})([0-9a-f]{2})([0-9a-f]{2})$/i.exec(hex);
    return m ? [1, 2, 3].map((k) => parseInt(m[k], 16) / 255) : [1, 1, 1];
  };
  function halfUs() { return clamp(num(Number(half.value), 250), 0.1, 1e9) * 1000; }
  function windowUs() { const hw = halfUs(); return [state.centerUs - hw, state.centerUs + hw]; }
  function viewOf() {
    const c = colours.current();
    const hw = halfUs();
    const [t0, t1] = windowUs();
    const sx = W / M, sy = H / M, depth = 1.2;
    const zOf = (t) => clamp((t - t0) / (t1 - t0) - 0.5, -0.5, 0.5) * depth;
    const grid = [0.55, 0.58, 0.65];
    const corner = (u, v, z) => [(u - 0.5) * sx, (0.5 - v) * sy, z];
    const lines = [];
    for (const z of [-0.5 * depth, 0.5 * depth]) {
      lines.push([corner(0, 0, z), corner(1, 0, z), grid], [corner(1, 0, z), corner(1, 1, z), grid],
        [corner(1, 1, z), corner(0, 1, z), grid], [corner(0, 1, z), corner(0, 0, z), grid]);
    }
    for (const [u, v] of [[0, 0], [1, 0], [1, 1], [0, 1]]) lines.push([corner(u, v, -0.5 * depth), corner(u, v, 0.5 * depth), grid]);
    let shownBoxes = 0;
    for (const b of boxes) {
      if (b.t < t0 || b.t >= t1) continue;
      shownBoxes++;
      const z = zOf(b.t), col = rgb(ZClassColours.of(b.c));
      const a = corner(b.x / W, b.y / H, z), bb = corner((b.x + b.w) / W, b.y / H, z);
      const cc = corner((b.x + b.w) / W, (b.y + b.h) / H, z), d = corner(b.x / W, (b.y + b.h) / H, z);
      lines.push([a, bb, col], [bb, cc, col], [cc, d, col], [d, a, col]);
    }
    canvas.dataset.boxes = String(shownBoxes);
    return { yaw: state.yaw, pitch: state.pitch, zoom: state.zoom, center: (state.centerUs - base) / 1000, half: hw / 1000,
      scale: [sx, sy], depth, on: c.on.map((v) => v / 255), off: c.off.map((v) => v / 255), bg: c.bg.map((v) => v / 255),
      size: Math.max(1, (window.devicePixelRatio || 1) * 1.5), alpha: 0.85, lines };
  }
  // the time axis's labels on the recording's clock, and the window's bounds
  function drawLabels(ctx, w, h, view, k) {
    const [t0, t1] = windowUs();
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = "rgb(" + colours.current().bg.map((v) => 255 - v).join(",") + ")";
    ctx.font = Math.round(11 * k) + "px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    const sx = W / M, sy = H / M;
    for (const [f, t] of [[0, t0], [0.5, (t0 + t1) / 2], [1, t1]]) {
      const p = view2.project(view, w, h, [0.5 * sx + 0.02, -0.5 * sy, (f - 0.5) * view.depth]);
      ctx.fillText("t " + ZClock.offset(Math.round(t) - tFirst), p[0] + 4 * k, p[1]);
    }
    const o = view2.project(view, w, h, [-0.5 * sx, 0.5 * sy + 0.03, -0.5 * view.depth]);
    ctx.fillText("x 0…" + (W - 1) + " · y 0…" + (H - 1), o[0], o[1] - 8 * k);
  }
  function inWindow() {
    const [t0, t1] = windowUs();
    const a = (t0 - base) / 1000, b = (t1 - base) / 1000;
    let k = 0;
    for (let i = 0; i < n; i++) if (pts.t[i] >= a && pts.t[i] < b) k++;
    return k;
  }
  function draw() {
    const r = stage.getBoundingClientRect();
    const dpr = window.devicePixelRatio || 1;
    const w = Math.max(1, Math.round(r.width * dpr)), h = Math.max(1, Math.round(r.height * dpr));
    for (const c of [canvas, labels]) { if (c.width !== w || c.height !== h) { c.width = w; c.height = h; } }
    const view = viewOf();
    view2.draw(view);
    drawLabels(labels.getContext("2d"), w, h, view, dpr);
    const [t0, t1] = windowUs();
    const shown = inWindow();
    canvas.dataset.points = String(shown);
    canvas.dataset.window = Math.round(t0) + "," + Math.round(t1);
    info.textContent = ZClock.offset(Math.round(t0) - tFirst) + " to " + ZClock.offset(Math.round(t1) - tFirst) + " · " +
      plural(shown, "point") + (step > 1 ? " (1 in " + intFmt.format(step) + " events)" : "");
  }
  function show(span) {
    if (!follow.checked || !span) return;
    state.centerUs = (span[0] + span[1]) / 2;
    draw();
  }
  let drag = null;
  canvas.addEventListener("pointerdown", (e) => { drag = { x: e.clientX, y: e.clientY }; canvas.setPointerCapture(e.pointerId); });
  canvas.addEventListener("pointermove", (e) => {
    if (!drag) return;
    state.yaw += (e.clientX - drag.x) * 0.01;
    state.pitch = clamp(state.pitch + (e.clientY - drag.y) * 0.01, -1.55, 1.55);
    drag = { x: e.clientX, y: e.clientY };
    draw();
  });
  canvas.addEventListener("pointerup", () => { drag = null; });
  canvas.addEventListener("wheel", (e) => {
    e.preventDefault();
    state.zoom = clamp(state.zoom * Math.exp(-e.deltaY * 0.0015), 0.2, 20);
    draw();
  }, { passive: false });
  half.addEventListener("change", draw);
  follow.addEventListener("change", () => { if (follow.checked) show(page.player.currentSpan()); });
  reset.addEventListener("click", () => { Object.assign(state, DEFAULT); draw(); });
  exportBtn.addEventListener("click", () => {
    const k = Number(scaleSel.value) || 1;
    const w = canvas.width * k, h = canvas.height * k;
    const keepW = canvas.width, keepH = canvas.height;
    canvas.width = w; canvas.height = h;
    const view = viewOf();
    view.size *= k;
    view2.draw(view);
    const out = el("canvas");
    out.width = w; out.height = h;
    const ctx = out.getContext("2d");
    ctx.drawImage(canvas, 0, 0);
    const lab = el("canvas");
    lab.width = w; lab.height = h;
    drawLabels(lab.getContext("2d"), w, h, view, k * (window.devicePixelRatio || 1));
    ctx.drawImage(lab, 0, 0);
    exportBtn.href = out.toDataURL("image/png");
    exportBtn.dataset.size = w + "x" + h;
    canvas.width = keepW; canvas.height = keepH;
    draw();
  });
  return { draw, show, recolour: draw };
});

// The network parts' one time axis: the step shown (0 to T - 1), a scrubber
// (data-part="scrubber") and play, which drive the input frame, the trace
// cursor and the output panel (through page.netClock) and the graph's
// activity colours and raster cursors (through the activity's own slider).
ZParts.add("net-clock", (page) => {
  "use strict";
  const data = typeof ZNetData === "object" && ZNetData ? ZNetData : null;
  if (!data || !(data.steps > 0)) return null;
  const { el } = ZDom;
  const T = data.steps, dt = typeof data.dt === "number" && data.dt > 0 ? data.dt : null;
  document.body.classList.add("net");
  const dock = el("section");
  dock.id = "net-dock";
  dock.setAttribute("aria-label", "Network over time");
  const bar = el("div", "net-bar");
  const play = el("button", null, "\u25b6");
  play.title = "Play / pause";
  const range = el("input");
  Object.assign(range, { type: "range", min: "0", max: String(T - 1), value: "0", title: "Step" });
  range.dataset.part = "scrubber";
  const label = el("span", "net-step");
  bar.append(play, range, label);
  const row = el("div", "net-row");
  dock.append(bar, row);
  document.body.appendChild(dock);

  const listeners = [];
  let step = 0, timer = null;
  const fmtTime = (k) => (dt ? ` \u00b7 ${(k * dt * 1e3).toFixed(dt * 1e3 < 1 ? 3 : 1)} ms` : "");
  function actSlider(k) {
    const s = document.getElementById("act-time");
    if (!s) return;
    const bins = Number(s.max) + 1;
    const bin = Math.min(bins - 1, Math.floor((k * bins) / T));
    if (Number(s.value) === bin && s.dataset.netBin === String(bin)) return;
    s.value = String(bin);
    s.dataset.netBin = String(bin);
    s.dispatchEvent(new Event("input"));
  }
  function setStep(k, fromPlay) {
    step = Math.max(0, Math.min(T - 1, Math.round(Number(k) || 0)));
    range.value = String(step);
    label.textContent = `step ${step} of ${T}` + fmtTime(step);
    if (!fromPlay) setPlaying(false);
    actSlider(step);
    for (const f of listeners) f(step);
  }
  function setPlaying(on) {
    if (on && !timer) {
      if (step >= T - 1) setStep(0);
      timer = setInterval(() => { if (step >= T - 1) setPlaying(false); else setStep(step + 1, true); }, Math.max(16, 8000 / T));
    } else if (!on && timer) { clearInterval(timer); timer = null; }
    play.textContent = timer ? "\u23f8" : "\u25b6";
  }
  range.addEventListener("input", () => setStep(range.value));
  play.addEventListener("click", () => setPlaying(!timer));
  page.netClock = {
    steps: T, dt, row, bar,
    get step() { return step; },
    on: (f) => { listeners.push(f); f(step); },
    setStep,
  };
  window.zelqNet = Object.assign(window.zelqNet || {}, { step: () => step, setStep: (k) => setStep(k), steps: T });
  return { ready: () => setStep(step) };
});

// The frame player: draws a step (a full-rate frame with the decay of the frames
// before it, or an overview frame), plays them against the recording's clock,
// and holds its controls, keys and the overlay that parts draw over the frame.
// After each step it calls the parts' hooks overlay(ctx, sx, sy, span) and show(span).
const ZPlayer = (() => {
  "use strict";
  const { num, int } = ZDocument;
  function create(page) {
    const { doc, steps, colours, counts, blocks } = page;
    const { W, H, period } = doc;
    const list = steps.list;
    const settings = colours.settings;
    const frameCanvas = byId("frame");
    const overlay = byId("overlay");
    const stage = byId("stage");
    const slider = byId("slider");
    const playBtn = byId("play");
    const player = { i: 0, playing: false, clock: 0, last: 0, busy: false, want: -1, pending: null };
    // the decayed surface of full-rate frames, continued frame by frame while playing
    const state = { seg: -1, k: -1, decay: 0, raw: false, surface: null };
    // raw: show the frames before the filters where the page holds them
    const view = { raw: false };
    const hasRaw = (st) => st.ov < 0 && st.seg < doc.rawSegments.length && st.k < doc.rawSegments[st.seg].count;
    const drawnRaw = (i) => view.raw && i < list.length && hasRaw(list[i]);
    let frameW = W, frameH = H;

    async function surfaceOf(si, k, raw) {
      const a = Math.exp(-period / settings.decay);
      // frames further back than this add under 1/500 of an event to any pixel
      const reach = Math.min(600, Math.ceil((settings.decay / period) * Math.log(255 * 500)));
      let from;
      if (state.seg === si && state.raw === raw && state.decay === settings.decay && state.k <= k && k - state.k <= reach) from = state.k + 1;
      else {
        from = Math.max(0, k - reach);
        state.surface = new Float64Array(W * H * 2);
      }
      const s = state.surface;
      for (let j = from; j <= k; j++) {
        const c = await counts.frame(si, j, raw);
        for (let p = 0; p < s.length; p++) s[p] = a * s[p] + c[p];
      }
      state.seg = si; state.k = k; state.decay = settings.decay; state.raw = raw;
      return s;
    }
    async function drawStep(i) {
      const st = list[i];
      let surface, w = W, h = H;
      const raw = drawnRaw(i);
      if (st.ov < 0) surface = await surfaceOf(st.seg, st.k, raw);
      else {
        w = Math.max(1, int(doc.ov.width, 1)); h = Math.max(1, int(doc.ov.height, 1));
        const c = await counts.decode(await blocks.imageOf(doc.ovImages, st.ov), w, h);
        surface = new Float64Array(c.length);
        for (let p = 0; p < c.length; p++) surface[p] = c[p] / 16;
      }
      if (frameCanvas.width !== w || frameCanvas.height !== h) { frameCanvas.width = w; frameCanvas.height = h; }
      frameW = w; frameH = h;
      const ctx = frameCanvas.getContext("2d");
      const image = ctx.createImageData(w, h);
      colours.paint(surface, image.data, settings.gain);
      ctx.putImageData(image, 0, 0);
      frameCanvas.dataset.t = String(st.t);
      frameCanvas.dataset.kind = st.ov < 0 ? "full" : "overview";
      frameCanvas.dataset.step = String(i);
      if (doc.raw.raw_frames) frameCanvas.dataset.frames = raw ? "raw" : "filtered";
    }
    function label(i) {
      const st = list[i];
      const kind = st.ov < 0 ? (drawnRaw(i) ? "raw frame " : "frame ") : "overview ";
      byId("frame-label").textContent = kind + (i + 1) + "/" + list.length + " · t " + ZClock.abs(st.t) + " · " + ZClock.offset(st.t - doc.tFirst);
    }
    // the time the shown step covers, or null without steps
    function currentSpan() {
      if (!list.length) return null;
      return [list[player.i].t, steps.end(player.i)];
    }
    // clears the overlay and lets the parts draw on it, in sensor pixels scaled by (sx, sy)
    function drawOverlay() {
      const ctx = overlay.getContext("2d");
      ctx.setTransform(1, 0, 0, 1, 0, 0);
      ctx.clearRect(0, 0, overlay.width, overlay.height);
      const span = currentSpan();
      if (!span || !W || !H) return;
      page.call("overlay", ctx, overlay.width / W, overlay.height / H, span);
    }
    // draws the wanted step; requests made while a draw runs collapse into the latest
    function showStep(i, fromClock) {
      if (!list.length) return Promise.resolve();
      player.want = clamp(Math.trunc(i) || 0, 0, list.length - 1);
      if (!fromClock) player.clock = list[player.want].t;
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
            drawOverlay();
            page.call("show", currentSpan());
          }
        } finally { player.busy = false; }
      })();
      return player.pending;
    }
    // the same step again, its decay worked out afresh (the settings changed)
    function redraw() { state.seg = -1; return showStep(player.i); }
    function speed() { return num(Number(byId("speed").value), 1); }
    function tick(now) {
      if (!player.playing) return;
      const dt = Math.min(250, now - player.last);
      player.last = now;
      player.clock += dt * 1000 * speed();
      let j = steps.at(player.clock);
      if (player.clock >= steps.end(list.length - 1)) {
        if (!byId("loop").checked) { setPlaying(false); return; }
        player.clock = list[0].t;
        j = 0;
      }
      if (j !== player.i && !player.busy) showStep(j, true);
      requestAnimationFrame(tick);
    }
    function setPlaying(on) {
      on = Boolean(on) && list.length > 1;
      player.playing = on;
      playBtn.setAttribute("aria-label", on ? "Pause" : "Play");
      playBtn.setAttribute("aria-pressed", on ? "true" : "false");
      if (on) {
        if (player.i >= list.length - 1) showStep(0);
        player.clock = Math.max(player.clock, list[player.i].t);
        player.last = performance.now();
        requestAnimationFrame(tick);
      }
    }
    // fits the frame and its overlay into the stage at the sensor's aspect
    function layout() {
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
      drawOverlay();
    }
    function buildColourControls() {
      const pal = byId("palette");
      for (const name of colours.names) { const o = el("option", "", name); o.value = name; pal.appendChild(o); }
      pal.value = settings.palette;
      byId("background").value = settings.background;
      byId("decay").value = String(settings.decay / 1000);
      byId("gain").value = String(settings.gain);
      const swatches = () => {
        const c = colours.current();
        byId("swatch-on").style.background = colours.cssRgb(c.on);
        byId("swatch-off").style.background = colours.cssRgb(c.off);
        root.style.setProperty("--on", colours.cssRgb(c.on));
        root.style.setProperty("--off", colours.cssRgb(c.off));
        stage.style.background = colours.cssRgb(c.bg);
      };
      swatches();
      const recolour = () => { swatches(); redraw(); page.call("recolour"); };
      pal.addEventListener("change", () => { settings.palette = pal.value; recolour(); });
      byId("background").addEventListener("change", (e) => { settings.background = e.target.value === "light" ? "light" : "dark"; recolour(); });
      byId("decay").addEventListener("change", (e) => {
        const ms = num(Number(e.target.value), 0);
        settings.decay = ms > 0 ? clamp(ms * 1000, 100, 60e6) : doc.decay;
        e.target.value = String(settings.decay / 1000);
        redraw();
      });
      byId("gain").addEventListener("change", (e) => {
        const g = num(Number(e.target.value), 0);
        settings.gain = g > 0 ? clamp(g, 0.05, 1000) : 1;
        e.target.value = String(settings.gain);
        redraw();
      });
    }
    function buildControls() {
      buildColourControls();
      if (!list.length) {
        const p = el("div", "empty", "No frames in this page.");
        frameCanvas.hidden = true;
        stage.appendChild(p);
        for (const id of ["first", "prev", "play", "next", "slider"]) byId(id).disabled = true;
        byId("export").setAttribute("aria-disabled", "true");
        byId("frame-label").textContent = "0 frames";
        return;
      }
      slider.max = String(list.length - 1);
      playBtn.addEventListener("click", () => setPlaying(!player.playing));
      byId("first").addEventListener("click", () => { setPlaying(false); showStep(0); });
      byId("prev").addEventListener("click", () => { setPlaying(false); showStep(player.i - 1); });
      byId("next").addEventListener("click", () => { setPlaying(false); showStep(player.i + 1); });
      slider.addEventListener("input", () => showStep(Number(slider.value)));
      byId("export").addEventListener("click", (e) => {
        const a = e.currentTarget;
        a.href = frameCanvas.toDataURL("image/png");
        const base = (byId("title").textContent || "recording").trim().toLowerCase().replace(/[^a-z0-9]+/g, "-").replace(/^-+|-+$/g, "").slice(0, 40) || "recording";
        a.download = base + "-" + list[player.i].t + "us.png";
      });
    }
    // keys the player knows; others go to the parts' key(key) hooks, which answer true when they took it
    document.addEventListener("keydown", (e) => {
      if (e.ctrlKey || e.metaKey || e.altKey || !list.length) return;
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
        showStep(e.key === "Home" ? 0 : list.length - 1);
      } else if (page.call("key", e.key).some(Boolean)) e.preventDefault();
    });
    // stops playing and shows the step at time t
    function jumpTo(t) { setPlaying(false); showStep(steps.at(t)); }

    buildControls();
    // shows the raw frames (where the page holds them) or the filtered ones, from the current step
    function setRaw(on) { view.raw = Boolean(on); return redraw(); }
    return { showStep, jumpTo, currentSpan, drawOverlay, layout, playing: () => player.playing, setRaw,
      showsRaw: () => drawnRaw(player.i) };
  }
  return { create };
})();

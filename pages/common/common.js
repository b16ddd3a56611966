  // ---- shared by the spike, recording and dataset pages (pages/common/, inlined
  // into each page's script): DOM and number helpers, the theme toggle and the ready mark
  //@format.js@
  //@store.js@
  //@theme-choice.js@
  const root = document.documentElement;
  const byId = (id) => document.getElementById(id);
  const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));
  const { intFmt, sig } = ZFormat;
  const fmtDuration = ZFormat.duration;
  function plural(n, word) { return intFmt.format(n) + " " + word + (n === 1 ? "" : "s"); }
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  // the first view is drawn: tests and benchmarks wait for this, on the page's own clock
  function markReady() {
    root.dataset.readyMs = performance.now().toFixed(1);
    root.dataset.state = "ready";
  }

  // ---- the theme toggle of the page header; `redraw` repaints the canvases
  function buildTheme(redraw) {
    const theme = ZThemeChoice.create();
    const label = () => {
      const next = theme.current() === "dark" ? "light" : "dark";
      byId("theme").textContent = next === "dark" ? "\u263E Dark" : "\u2600 Light";
      byId("theme").setAttribute("aria-label", "Switch to " + next + " theme");
    };
    byId("theme").addEventListener("click", () => theme.toggle());
    theme.onChange(() => { label(); redraw(); });
    label();
    return theme;
  }

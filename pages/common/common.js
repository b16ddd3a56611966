  // ---- shared by the pages (pages/common/common.js, inlined into each page's script):
  // DOM and number helpers, the theme toggle and the ready mark
  const root = document.documentElement;
  const byId = (id) => document.getElementById(id);
  const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));
  const intFmt = new Intl.NumberFormat("en-US");
  // `digits` significant digits, whole numbers grouped
  function sig(v, digits) {
    if (!Number.isFinite(v)) return "—";
    if (v === 0) return "0";
    const a = Math.abs(v);
    if (a >= 10 ** digits) return intFmt.format(Math.round(v));
    return v.toFixed(clamp(digits - 1 - Math.floor(Math.log10(a)), 0, 6));
  }
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

  // ---- theme: follows the system until the toggle picks a side; `redraw` repaints the canvases
  const darkQuery = window.matchMedia ? window.matchMedia("(prefers-color-scheme: dark)") : null;
  function effectiveTheme() {
    const t = root.dataset.theme;
    if (t === "light" || t === "dark") return t;
    return darkQuery && darkQuery.matches ? "dark" : "light";
  }
  function labelTheme() {
    const next = effectiveTheme() === "dark" ? "light" : "dark";
    byId("theme").textContent = next === "dark" ? "\u263E Dark" : "\u2600 Light";
    byId("theme").setAttribute("aria-label", "Switch to " + next + " theme");
  }
  function buildTheme(redraw) {
    byId("theme").addEventListener("click", () => {
      root.dataset.theme = effectiveTheme() === "dark" ? "light" : "dark";
      labelTheme();
      redraw();
    });
    if (darkQuery && darkQuery.addEventListener) darkQuery.addEventListener("change", () => { labelTheme(); redraw(); });
    labelTheme();
  }

// Light or dark, one choice for every page: set on <html data-theme> by whoever
// embeds the page, else the reader's last choice on any page, else the system's.
const ZThemeChoice = (() => {
  "use strict";
  const KEY = "zelq-theme";
  const OLD_KEYS = ["zelq-viewer-theme"];  // where the graph page kept it before
  const valid = (t) => (t === "light" || t === "dark" ? t : null);

  // `mark`: the attribute always names the theme (pages whose drawing reads it);
  // otherwise it is set only once chosen, and the stylesheet follows the system.
  function create(opts) {
    const mark = Boolean(opts && opts.mark);
    const root = document.documentElement;
    const media = window.matchMedia ? window.matchMedia("(prefers-color-scheme: dark)") : null;
    let chosen = valid(root.getAttribute("data-theme"));
    if (!chosen) for (const k of [KEY].concat(OLD_KEYS)) if ((chosen = valid(ZStore.get(k)))) break;
    const listeners = [];
    const system = () => (media && media.matches ? "dark" : "light");
    const current = () => chosen || system();
    function apply(fromSystem) {
      if (chosen || mark) root.setAttribute("data-theme", current());
      for (const f of listeners) f(current(), fromSystem);
    }
    // `f(theme, fromSystem)` runs whenever the theme changes: on the reader's toggle, or on the system's switch while nothing is chosen.
    function onChange(f) { listeners.push(f); }
    function toggle() {
      chosen = current() === "dark" ? "light" : "dark";
      ZStore.set(KEY, chosen);
      apply(false);
    }
    if (media && media.addEventListener) media.addEventListener("change", () => { if (!chosen) apply(true); });
    if (chosen || mark) root.setAttribute("data-theme", current());
    return { current, toggle, onChange };
  }
  return { create };
})();

// The reader's settings kept between visits. Storage throws on file:// pages in
// some browsers, in notebook iframes and in sandboxed frames: a setting is then
// kept for this visit only.
const ZStore = (() => {
  "use strict";
  function get(key) {
    try { return window.localStorage.getItem(key); } catch (e) { return null; }
  }
  function set(key, value) {
    try { window.localStorage.setItem(key, value); } catch (e) { /* storage off */ }
  }
  return { get, set };
})();

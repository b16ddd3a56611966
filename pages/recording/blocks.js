// Image text that arrives after the script, in blocks: comments "<tag> <b64> <b64> ..."
// inside #images, tag "F<segment>", "R<segment>" (its raw frames) or "O" (the overview), appended to that list of
// the document. Images are asked for by list and index and given once they are here.
const ZBlocks = (() => {
  "use strict";
  function create(doc) {
    const { segments, rawSegments, ovImages, ovCount } = doc;
    const waiting = [];
    let scanned = null;
    let arrived = false;  // the parser is done: an image not here now never comes
    function listOf(tag) {
      if (tag === "O") return ovImages;
      const m = /^([FR])(\d+)$/.exec(tag);
      const seg = m ? (m[1] === "F" ? segments : rawSegments)[Number(m[2])] : null;
      return seg ? seg.images : null;
    }
    function take() {
      const box = byId("images");
      for (let n = scanned ? scanned.nextSibling : (box && box.firstChild); n; n = n.nextSibling) {
        scanned = n;
        if (n.nodeType !== 8) continue;
        const parts = n.data.split(" ");
        const list = listOf(parts[0]);
        if (list) for (let i = 1; i < parts.length; i++) list.push(parts[i]);
        n.data = "";  // the list holds the text now
      }
      for (let i = waiting.length - 1; i >= 0; i--) {
        const w = waiting[i];
        if (w.k < w.list.length || arrived) { waiting.splice(i, 1); w.resolve(w.list[w.k] || ""); }
      }
      showReading();
    }
    // while the parser reads the images, the page says how far it got (in #reading, when there is one)
    function showReading() {
      const p = byId("reading");
      if (!p) return;
      if (arrived) { p.remove(); return; }
      let got = ovImages.length, all = ovCount;
      for (const seg of segments.concat(rawSegments)) { got += seg.images.length; all += seg.count; }
      const text = "Reading the images: " + plural(got, "image") + " of " + intFmt.format(all) + "…";
      if (p.textContent !== text) p.textContent = text;
    }
    // the text of image k of `list` (a list of the document), "" for one that never came
    function imageOf(list, k) {
      if (k < list.length || arrived) return Promise.resolve(list[k] || "");
      return new Promise((resolve) => waiting.push({ list: list, k: k, resolve: resolve }));
    }
    function allArrived() {
      arrived = true;
      take();
      root.dataset.loadedMs = performance.now().toFixed(1);
      root.dataset.loaded = "true";
    }
    if (document.readyState === "loading") {
      // blocks land in #images, which itself lands in the body: the page's own changes do not count
      const arrivals = new MutationObserver((records) => {
        if (records.some((r) => r.target.id === "images" || r.target === document.body)) take();
      });
      arrivals.observe(document.body || root, { childList: true, subtree: true });
      document.addEventListener("DOMContentLoaded", () => { arrivals.disconnect(); allArrived(); });
    } else allArrived();
    return { imageOf, showReading, arrived: () => arrived };
  }
  return { create };
})();

// How a box is drawn over the frames. Without a score: labels solid, predictions
// dashed. With one, three styles that read apart at a glance: hits solid and
// thick, false positives dashed in the warning colour, misses dotted and thick in
// the miss colour; found labels are left to their hits.
const ZBoxStyles = (() => {
  "use strict";
  function of(b, dpr) {
    const w = Math.max(1, 1.5 * dpr);
    switch (b.status) {
      case "hit": return { width: 2 * w, dash: [], tag: "✓" };
      case "fp": return { width: w, dash: [6 * dpr, 3 * dpr], tag: "FP", colour: ZCanvas.css("--box-fp") };
      case "miss": return { width: 2 * w, dash: [1.5 * dpr, 2.5 * dpr], tag: "miss", colour: ZCanvas.css("--box-miss") };
      case "found": return { skip: true };
      default: return { width: w, dash: b.pred ? [5 * dpr, 3 * dpr] : [], tag: "" };
    }
  }
  return { of };
})();

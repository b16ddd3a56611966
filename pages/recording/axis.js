// The time axis that the timeline and the row raster share: the page's span across
// a plot's width, inside a small margin.
const ZAxis = (() => {
  "use strict";
  const PAD = { left: 8, right: 8 };
  function create(steps) {
    const { spanStart, spanEnd } = steps;
    const toX = (t, w) => PAD.left + ((t - spanStart) / (spanEnd - spanStart)) * (w - PAD.left - PAD.right);
    const toTime = (x, w) => spanStart + ((x - PAD.left) / (w - PAD.left - PAD.right)) * (spanEnd - spanStart);
    return { PAD, toX, toTime };
  }
  return { create };
})();

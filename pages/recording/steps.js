// What plays: the full-rate frames, and overview frames where none are held, in
// time order; and the span of time the page covers (the window, else the recording).
const ZSteps = (() => {
  "use strict";
  function create(doc) {
    const { segments, period, ovCount, ovStart, ovPeriod, win, tFirst, tLast } = doc;
    const list = [];
    segments.forEach((seg, si) => {
      for (let k = seg.lead; k < seg.count; k++) list.push({ t: seg.start + k * period, seg: si, k: k, ov: -1 });
    });
    const fullSpans = segments.filter((s) => s.count > s.lead)
      .map((s) => [s.start + s.lead * period, s.start + s.count * period]);
    const inFull = (t) => fullSpans.some(([a, b]) => t >= a && t < b);
    for (let i = 0; i < ovCount; i++) {
      const t = ovStart + i * ovPeriod;
      if (!inFull(t)) list.push({ t: t, seg: -1, k: -1, ov: i });
    }
    list.sort((a, b) => a.t - b.t || a.ov - b.ov);
    const spanStart = win ? ZDocument.int(win.start, tFirst) : (list.length ? Math.min(list[0].t, tFirst) : tFirst);
    const spanEnd = win ? ZDocument.int(win.end, tLast + 1) : Math.max(tLast + 1, spanStart + 1);
    function end(i) {
      const s = list[i];
      if (s.ov < 0) return s.t + period;
      return i + 1 < list.length ? Math.min(list[i + 1].t, s.t + ovPeriod) : s.t + ovPeriod;
    }
    function at(t) {  // the last step starting at or before t
      let lo = 0, hi = list.length - 1, best = 0;
      while (lo <= hi) {
        const mid = (lo + hi) >> 1;
        if (list[mid].t <= t) { best = mid; lo = mid + 1; } else hi = mid - 1;
      }
      return best;
    }
    return { list, fullSpans, spanStart, spanEnd, end, at };
  }
  return { create };
})();

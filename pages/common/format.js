// Number and duration texts shared by every page.
const ZFormat = (() => {
  "use strict";
  const intFmt = new Intl.NumberFormat("en-US");
  // `digits` significant digits, whole numbers grouped
  function sig(v, digits) {
    if (!Number.isFinite(v)) return "—";
    if (v === 0) return "0";
    const a = Math.abs(v);
    if (a >= 10 ** digits) return intFmt.format(Math.round(v));
    return v.toFixed(Math.min(6, Math.max(0, digits - 1 - Math.floor(Math.log10(a)))));
  }
  // A span of microseconds in its largest unit up to hours, three significant
  // digits: "1000 ms", "1.50 s", "2.00 min"; a dash for no value.
  function duration(us) {
    if (!Number.isFinite(us)) return "—";
    if (us >= 3600e6) return sig(us / 3600e6, 3) + " h";
    if (us >= 60e6) return sig(us / 60e6, 3) + " min";
    if (us >= 1e6) return sig(us / 1e6, 3) + " s";
    if (us >= 1e3) return sig(us / 1e3, 3) + " ms";
    return sig(us, 3) + " µs";
  }
  // A rate per second with its prefix up to G and a trailing space for the unit: "1.25 M", "310 ".
  function rate(perSecond) {
    if (perSecond >= 1e9) return sig(perSecond / 1e9, 3) + " G";
    if (perSecond >= 1e6) return sig(perSecond / 1e6, 3) + " M";
    if (perSecond >= 1e3) return sig(perSecond / 1e3, 3) + " k";
    return sig(perSecond, 3) + " ";
  }
  return { intFmt, sig, duration, rate };
})();

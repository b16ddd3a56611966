// Times on the recording's clock: absolute to the microsecond, and offsets from its start.
const ZClock = (() => {
  "use strict";
  function abs(us) {
    const neg = us < 0;
    const a = Math.abs(us);
    const s = Math.floor(a / 1e6);
    return (neg ? "-" : "") + intFmt.format(s) + "." + String(a % 1e6).padStart(6, "0") + " s";
  }
  // offset from the recording's start: m:ss.mmm once past a minute
  function offset(us) {
    const ms = Math.round(us / 1000);
    const sign = ms < 0 ? "-" : "+";
    const a = Math.abs(ms);
    const m = Math.floor(a / 60000);
    const s = ((a % 60000) / 1000).toFixed(3);
    if (m === 0) return sign + s + " s";
    const h = Math.floor(m / 60);
    const mm = h ? String(m % 60).padStart(2, "0") : String(m);
    return sign + (h ? h + ":" : "") + mm + ":" + s.padStart(6, "0");
  }
  return { abs, offset };
})();

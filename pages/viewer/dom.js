// DOM building and number formatting shared by every part of the viewer.
// Document strings reach the page only through textContent and setAttribute:
// nothing here, nor anywhere else in the viewer, writes markup from data.
const ZDom = (() => {
  "use strict";
  const SVGNS = "http://www.w3.org/2000/svg";
  const $ = (id) => document.getElementById(id);

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = String(text);
    return e;
  }
  function sv(tag, attrs, text) {
    const e = document.createElementNS(SVGNS, tag);
    if (attrs) for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text != null) e.textContent = String(text);
    return e;
  }
  const isObj = (v) => v !== null && typeof v === "object" && !Array.isArray(v);
  const own = (o, k) => Object.prototype.hasOwnProperty.call(o, k);
  const clip = (s, n) => (s.length > n ? s.slice(0, n - 1) + "\u2026" : s);
  const finiteOrNull = (v) => (typeof v === "number" && isFinite(v) ? v : null);

  function fmtNum(v) {
    if (typeof v !== "number") return String(v);
    if (v !== v) return "NaN";
    if (!isFinite(v)) return v > 0 ? "Infinity" : "-Infinity";
    if (Number.isInteger(v) && Math.abs(v) < 1e15) return String(v);
    const a = Math.abs(v);
    if (a !== 0 && (a < 1e-4 || a >= 1e7)) return v.toExponential(4);
    return String(+v.toPrecision(6));
  }
  // Three significant digits for legends and rates; a dash for no value.
  function fmtBrief(v) {
    if (typeof v !== "number" || !isFinite(v)) return "\u2013";
    const a = Math.abs(v);
    if (a !== 0 && (a >= 1e5 || a < 1e-3)) return v.toExponential(2);
    return String(Number(v.toPrecision(3)));
  }
  function fmtCount(v) {
    if (typeof v !== "number" || !isFinite(v)) return String(v);
    const r = Math.round(v);
    // Grouped by hand below 1e15: the locale formatter costs a millisecond per hundred labels.
    return Math.abs(r) < 1e15 ? String(r).replace(/\B(?=(\d{3})+(?!\d))/g, ",") : r.toLocaleString("en-US");
  }
  function fmtShort(v) {
    if (typeof v !== "number" || !isFinite(v)) return String(v);
    const a = Math.abs(v);
    if (a >= 1e9) return (v / 1e9).toFixed(2) + "B";
    if (a >= 1e6) return (v / 1e6).toFixed(2) + "M";
    if (a >= 1e4) return (v / 1e3).toFixed(1) + "K";
    return fmtCount(v);
  }
  function fmtShape(s) {
    if (Array.isArray(s)) return "[" + s.map((d) => (Array.isArray(d) ? fmtShape(d) : String(d))).join(", ") + "]";
    if (s == null) return "\u2014";
    if (isObj(s)) return JSON.stringify(s);
    return String(s);
  }
  function fmtBytes(b) {
    if (b < 1024) return b + " B";
    if (b < 1048576) return (b / 1024).toFixed(1) + " KB";
    if (b < 1073741824) return (b / 1048576).toFixed(1) + " MB";
    return (b / 1073741824).toFixed(2) + " GB";
  }
  const isEncoded = (v) => isObj(v) && typeof v.dtype === "string" && typeof v.data === "string" && Array.isArray(v.shape);
  function fmtValue(v) {
    if (v === null) return "None";
    if (typeof v === "number") return fmtNum(v);
    if (typeof v === "string") return v;
    if (typeof v === "boolean") return v ? "True" : "False";
    if (isEncoded(v)) return "array " + v.dtype + " " + fmtShape(v.shape);
    try { return clip(JSON.stringify(v, (k, x) => (typeof x === "number" && !isFinite(x) ? fmtNum(x) : x)), 400); }
    catch (e) { return String(v); }
  }
  function compact(v) {
    if (Array.isArray(v) && v.length <= 4 && v.every((x) => typeof x === "number")) return v.join("\u00d7");
    return clip(fmtValue(v), 16);
  }
  const plural = (n, one, many) => fmtCount(n) + " " + (n === 1 ? one : many || one + "s");

  return { SVGNS, $, el, sv, isObj, own, clip, finiteOrNull, fmtNum, fmtBrief, fmtCount, fmtShort, fmtShape, fmtBytes, fmtValue, compact, plural };
})();

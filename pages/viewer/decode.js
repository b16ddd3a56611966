// Decoding of encoded arrays {"shape", "dtype", "data", "stats", "size"}:
// base64 bytes read with typed arrays, in the byte order the dtype names.
const ZDecode = (() => {
  "use strict";
  const NAMES = {
    bool: ["b", 1], int8: ["i", 1], int16: ["i", 2], int32: ["i", 4], int64: ["i", 8],
    uint8: ["u", 1], uint16: ["u", 2], uint32: ["u", 4], uint64: ["u", 8],
    float16: ["f", 2], float32: ["f", 4], float64: ["f", 8], complex64: ["c", 8], complex128: ["c", 16],
    byte: ["i", 1], ubyte: ["u", 1], half: ["f", 2], single: ["f", 4], double: ["f", 8],
  };

  // "float32", "<f2", ">i4", "|u1", "bool" -> {kind, bytes, little} or null when not numeric.
  function parseDtype(text) {
    if (typeof text !== "string") return null;
    let t = text.trim(), little = true;
    const named = NAMES[t];
    if (named) return { kind: named[0], bytes: named[1], little };
    const mm = /^([<>=|]?)([biufc])(\d+)$/.exec(t);
    if (!mm) return null;
    if (mm[1] === ">") little = false;
    const kind = mm[2], bytes = +mm[3];
    const ok = { b: [1], i: [1, 2, 4, 8], u: [1, 2, 4, 8], f: [2, 4, 8], c: [8, 16] }[kind];
    if (ok.indexOf(bytes) < 0) return null;
    return { kind, bytes, little };
  }

  // The bytes of an array's base64 text; text that is not base64 is an error the callers report.
  function base64Bytes(text) {
    const out = ZBase64.read(text || "");
    if (!out) throw new Error("the data is not base64 text");
    return out;
  }

  let halfTable = null;
  function halfToFloat(h) {
    const s = h & 0x8000 ? -1 : 1, e = (h >> 10) & 0x1f, f = h & 0x3ff;
    if (e === 0) return s * f * Math.pow(2, -24);
    if (e === 31) return f ? NaN : s * Infinity;
    return s * (1 + f / 1024) * Math.pow(2, e - 15);
  }

  // The elements as a Float64Array (complex: magnitudes), or null for an unknown dtype.
  function decode(rec) {
    const dt = parseDtype(rec && rec.dtype);
    if (!dt) return null;
    const bytes = base64Bytes(rec.data);
    const count = Math.floor(bytes.length / dt.bytes);
    const dv = new DataView(bytes.buffer), le = dt.little, out = new Float64Array(count);
    const k = dt.kind, b = dt.bytes;
    if (k === "b") { for (let i = 0; i < count; i++) out[i] = bytes[i] ? 1 : 0; }
    else if (k === "f" && b === 2) {
      if (!halfTable) { halfTable = new Float64Array(65536); for (let i = 0; i < 65536; i++) halfTable[i] = halfToFloat(i); }
      for (let i = 0; i < count; i++) out[i] = halfTable[dv.getUint16(2 * i, le)];
    }
    else if (k === "f" && b === 4) { for (let i = 0; i < count; i++) out[i] = dv.getFloat32(4 * i, le); }
    else if (k === "f" && b === 8) { for (let i = 0; i < count; i++) out[i] = dv.getFloat64(8 * i, le); }
    else if (k === "i" && b === 1) { for (let i = 0; i < count; i++) out[i] = dv.getInt8(i); }
    else if (k === "u" && b === 1) { for (let i = 0; i < count; i++) out[i] = bytes[i]; }
    else if (k === "i" && b === 2) { for (let i = 0; i < count; i++) out[i] = dv.getInt16(2 * i, le); }
    else if (k === "u" && b === 2) { for (let i = 0; i < count; i++) out[i] = dv.getUint16(2 * i, le); }
    else if (k === "i" && b === 4) { for (let i = 0; i < count; i++) out[i] = dv.getInt32(4 * i, le); }
    else if (k === "u" && b === 4) { for (let i = 0; i < count; i++) out[i] = dv.getUint32(4 * i, le); }
    else if (k === "i" && b === 8) { for (let i = 0; i < count; i++) out[i] = Number(dv.getBigInt64(8 * i, le)); }
    else if (k === "u" && b === 8) { for (let i = 0; i < count; i++) out[i] = Number(dv.getBigUint64(8 * i, le)); }
    else if (k === "c") {
      const h = b / 2;
      for (let i = 0; i < count; i++) {
        const re = h === 4 ? dv.getFloat32(b * i, le) : dv.getFloat64(b * i, le);
        const im = h === 4 ? dv.getFloat32(b * i + h, le) : dv.getFloat64(b * i + h, le);
        out[i] = Math.hypot(re, im);
      }
    }
    return out;
  }

  // Equal-width bins over [min, max] of the finite values; the maximum falls in the last bin.
  function histogram(values, bins) {
    let lo = Infinity, hi = -Infinity, finite = 0;
    for (let i = 0; i < values.length; i++) {
      const v = values[i];
      if (v === v && v !== Infinity && v !== -Infinity) { if (v < lo) lo = v; if (v > hi) hi = v; finite++; }
    }
    const counts = new Array(bins).fill(0);
    if (!finite) return { lo: 0, hi: 0, counts, finite: 0 };
    const span = hi - lo;
    for (let i = 0; i < values.length; i++) {
      const v = values[i];
      if (!(v === v && v !== Infinity && v !== -Infinity)) continue;
      let k = span > 0 ? Math.floor((v - lo) / span * bins) : 0;
      if (k >= bins) k = bins - 1;
      counts[k]++;
    }
    return { lo, hi, counts, finite };
  }

  return { parseDtype, decode, histogram, base64Bytes };
})();

// Base64 text to bytes. Text that is not base64 (or no text at all) gives no
// bytes, so a damaged document shows nothing rather than stopping the page.
const ZBase64 = (() => {
  "use strict";
  function bytes(text) {
    if (typeof text !== "string") return new Uint8Array(0);
    let bin;
    try { bin = atob(text); } catch (e) { return new Uint8Array(0); }
    const out = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
    return out;
  }
  // The whole elements of `Type` (a typed-array class) that the bytes hold, in the machine's order.
  function array(text, Type) {
    const b = bytes(text);
    return new Type(b.buffer, 0, Math.floor(b.length / Type.BYTES_PER_ELEMENT));
  }
  return { bytes, array };
})();

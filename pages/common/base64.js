// Base64 text to bytes, the one decoder of every page.
const ZBase64 = (() => {
  "use strict";
  // The bytes of base64 text, or null for anything that is not base64 text.
  function read(text) {
    if (typeof text !== "string") return null;
    let bin;
    try { bin = atob(text); } catch (e) { return null; }
    const out = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
    return out;
  }
  // The bytes, none for text that is not base64: a damaged document shows nothing rather than stopping the page.
  const bytes = (text) => read(text) || new Uint8Array(0);
  // The whole elements of `Type` (a typed-array class) that the bytes hold, in the machine's order.
  function array(text, Type) {
    const b = bytes(text);
    return new Type(b.buffer, 0, Math.floor(b.length / Type.BYTES_PER_ELEMENT));
  }
  return { read, bytes, array };
})();

// Reading the embedded document. The JSON text stands in a comment inside a
// data element after this script: the browser's HTML parser passes a comment
// faster than script text (a third less time on a 300 MB page), and JSON never
// holds a raw ">" (the writer escapes it), so the text cannot end the comment
// early. It is parsed once with JSON.parse and the element is dropped
// afterwards so the text can be freed. A page whose document is missing, cut
// short, too large for the browser or not a viewer document says so and draws
// nothing: it never opens as an empty graph.
let DOC = null;
const ZLoad = (() => {
  "use strict";
  // key -> the JSON kind it must have (null: any value)
  const KEYS = [["version", null], ["nodes", "array"], ["edges", "array"], ["metadata", "object"],
    ["summary", "object"], ["groups", "array"], ["node_to_group", "object"]];
  const kindOf = (v) => (v === null ? "null" : Array.isArray(v) ? "array" : typeof v);
  const article = (k) => (/^[aeiou]/.test(k) ? "an " : "a ") + k;
  let error = null, started = false;
  // ms: when this script ran, when reading began, and the cost of reading and of parsing
  const timings = { script: performance.now(), start: 0, read: 0, parse: 0 };

  // Null when `doc` has the seven keys with usable kinds, else what is wrong.
  function check(doc) {
    const k0 = kindOf(doc);
    if (k0 !== "object") return "Not a viewer document: the JSON holds " + article(k0) + ", not an object.";
    for (const [k, want] of KEYS) {
      if (!Object.prototype.hasOwnProperty.call(doc, k)) return `Not a viewer document: the key "${k}" is missing.`;
      const got = kindOf(doc[k]);
      if (want && got !== want) return `Not a viewer document: "${k}" is ${article(got)}, not ${article(want)}.`;
    }
    return null;
  }

  // The writer spells non-finite floats NaN, Infinity and -Infinity, which
  // JSON.parse refuses. Only a document that has them takes this slower path:
  // the bare tokens (never those inside strings) become tagged strings, which
  // the reviver turns back into numbers. Null when there is no such token.
  const NONFINITE = { NaN: NaN, Infinity: Infinity, "-Infinity": -Infinity };
  function endOfString(text, j) {
    for (;;) {
      const q = text.indexOf('"', j);
      if (q < 0) return text.length;
      let b = q - 1;
      while (text.charCodeAt(b) === 92) b--;
      if ((q - 1 - b) % 2 === 0) return q + 1;
      j = q + 1;
    }
  }
  function parseNonFinite(text) {
    const id = "zelq" + Math.random().toString(36).slice(2) + ":";
    const re = /["NI]/g, parts = [];
    let last = 0, m;
    while ((m = re.exec(text))) {
      const i = m.index;
      if (text.charCodeAt(i) === 34) { re.lastIndex = endOfString(text, i + 1); continue; }
      let tok = text.startsWith("NaN", i) ? "NaN" : text.startsWith("Infinity", i) ? "Infinity" : null;
      if (!tok) continue;  // not a token: JSON.parse reports it
      const end = i + tok.length;
      let from = i;
      if (tok === "Infinity" && text.charCodeAt(i - 1) === 45) { from = i - 1; tok = "-Infinity"; }
      parts.push(text.slice(last, from), '"\\u0000' + id + tok + '"');
      last = end;
      re.lastIndex = end;
    }
    if (!parts.length) return null;
    parts.push(text.slice(last));
    const plain = "\u0000" + id;
    return JSON.parse(parts.join(""), (k, v) =>
      (typeof v === "string" && v.charCodeAt(0) === 0 && v.startsWith(plain) ? NONFINITE[v.slice(plain.length)] : v));
  }

  function show(message) {
    error = message;
    DOC = null;
    const stage = document.getElementById("stage");
    const box = document.createElement("div");
    box.id = "doc-error";
    box.setAttribute("role", "alert");
    const h = document.createElement("h2");
    h.textContent = "This page cannot show its graph";
    const p = document.createElement("p");
    p.textContent = message;
    box.appendChild(h); box.appendChild(p);
    (stage || document.body).appendChild(box);
    document.body.setAttribute("data-state", "error");
    return null;
  }

  // The document, or null after showing why there is none.
  function read() {
    started = true;
    if (error) return null;
    const holder = document.getElementById("zelq-doc");
    if (!holder) return show("No document: the page holds no graph data.");
    const t0 = timings.start = performance.now();
    // The comment (or, in a hand-edited page, text) is read as it is; only
    // several pieces are joined.
    const pieces = [];
    let length = 0;
    for (let c = holder.firstChild; c; c = c.nextSibling) {
      if (c.nodeType === 8 || c.nodeType === 3) { pieces.push(c); length += c.length; }
    }
    let text = "";
    try {
      text = pieces.length === 1 ? pieces[0].data : pieces.map((c) => c.data).join("");
    } catch (e) {
      text = null;
    }
    if (text == null || text.length < length) {
      holder.remove();
      return show(`The document is too large for this browser: ${length.toLocaleString("en-US")} characters of JSON, ` +
        "more than it can hold as one string. Write the page with render_html(..., payloads=\"summary\").");
    }
    const t1 = performance.now();
    if (!/\S/.test(text)) { holder.remove(); return show("No document: the page's data element is empty."); }
    let doc;
    try {
      try { doc = JSON.parse(text); } catch (e) {
        try { doc = parseNonFinite(text); } catch (e2) { doc = null; }
        if (doc === null) throw e;
      }
    } catch (e) {
      holder.remove();
      return show("The document is not valid JSON: " + e.message +
        " (the page may have been cut short or edited).");
    }
    text = null;
    holder.remove();
    timings.read = t1 - t0;
    timings.parse = performance.now() - t1;
    const wrong = check(doc);
    if (wrong) return show(wrong);
    DOC = doc;
    return doc;
  }

  // A page cut short after its data never runs the viewer: say so once parsing ends.
  document.addEventListener("DOMContentLoaded", () => {
    if (started) return;
    if (read()) show("The page is incomplete: it ends before the viewer's code (the file was cut short).");
  });

  return { read, check, timings, error: () => error };
})();

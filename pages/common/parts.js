// Page parts. A part is a file that calls ZParts.add(name, create) and stands as
// one marker line in its page's part list; the page makes every part once, in
// that order, with create(page), and then tells the parts what happened by
// calling the hooks their objects have (each page documents its hooks). Parts
// reach each other only through the page and these hooks.
const ZParts = (() => {
  "use strict";
  const kinds = [];
  function add(name, create) { kinds.push({ name, create }); }
  // Makes every part; `page.parts` maps each name to its object.
  function build(page) {
    const made = [];
    page.parts = {};
    for (const k of kinds) {
      const part = k.create(page) || {};
      page.parts[k.name] = part;
      made.push(part);
    }
    // Calls `hook` on every part that has it, in order; the results, for parts to answer.
    return function call(hook, ...args) {
      const out = [];
      for (const p of made) if (typeof p[hook] === "function") out.push(p[hook](...args));
      return out;
    };
  }
  return { add, build };
})();

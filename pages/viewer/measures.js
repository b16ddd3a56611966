// Node measures as colour modes: each measure of the #zelq-measures element
// ({name: {node id: number or null}}) is an entry of the colour-mode menu, with
// a legend in its unit, its value in the node panel, and collapsed groups
// coloured by the sum or the largest value of their nodes (the user chooses).
const ZMeasures = (() => {
  "use strict";
  const { el, fmtBrief } = ZDom;
  // Names that say what adds up across nodes.
  const ADDITIVE = /count|energy|param/i;
  // The unit at the end of a name: "latency (ms)", "energy [pJ]".
  const UNIT = /[([]\s*([^()[\]]{1,24}?)\s*[)\]]\s*$/;

  function read() {
    const box = document.getElementById("zelq-measures");
    if (!box) return null;
    let v;
    try { v = JSON.parse(box.textContent); } catch (e) { return null; }
    return v && typeof v === "object" && !Array.isArray(v) && Object.keys(v).length ? v : null;
  }

  const OFF = { on: () => false, colour: () => null, alpha: () => null, legend: () => false, panel: () => {}, groupPanel: () => {}, state: () => null };

  function create(model, onChange) {
    const doc = read();
    if (!doc) return OFF;
    const { nodeIds, nodeIndex, nodeCount, groups } = model;
    const list = Object.keys(doc).map((name) => {
      const values = new Float64Array(nodeCount).fill(NaN), given = doc[name];
      if (given && typeof given === "object") for (const id of Object.keys(given)) {
        const i = nodeIndex.get(id), v = given[id];
        if (i !== undefined && typeof v === "number" && isFinite(v)) values[i] = v;
      }
      const m = UNIT.exec(name);
      return { name, unit: m ? m[1] : "", values, aggregate: ADDITIVE.test(name) ? "sum" : "max", ranges: new Map() };
    });
    let current = null;  // the measure that colours the nodes

    // The value of a box of nodes: the node's own, or its group's sum or maximum; NaN for none.
    function combined(M, indices, how) {
      let out = NaN;
      for (const i of indices) {
        const v = M.values[i];
        if (v !== v) continue;
        out = out !== out ? v : how === "sum" ? out + v : Math.max(out, v);
      }
      return out;
    }
    // The scale spans every node and, for sums, every group, so colours compare across boxes.
    function range(M) {
      let r = M.ranges.get(M.aggregate);
      if (r) return r;
      let lo = Infinity, hi = -Infinity;
      const take = (v) => { if (v === v) { lo = Math.min(lo, v); hi = Math.max(hi, v); } };
      for (let i = 0; i < nodeCount; i++) take(M.values[i]);
      if (M.aggregate === "sum") for (const G of groups) take(combined(M, G.members, "sum"));
      if (!(lo <= hi)) { lo = 0; hi = 1; }
      r = [lo, hi > lo ? hi : lo + 1];
      M.ranges.set(M.aggregate, r);
      return r;
    }
    const shown = (M, v) => (v === v ? fmtBrief(v) + (M.unit ? " " + M.unit : "") : "no value");

    function colour(indices) {
      if (!current) return null;
      const v = combined(current, indices, current.aggregate);
      if (v !== v) return ZActivity.NEUTRAL;
      const [lo, hi] = range(current);
      return ZActivity.heat((v - lo) / (hi - lo));
    }

    // ---- the colour-mode menu
    const select = ZActivity.colourMenu();
    list.forEach((M, k) => select.appendChild(new Option("Measure: " + M.name, "measure:" + k)));
    select.addEventListener("change", () => {
      const k = select.value.startsWith("measure:") ? Number(select.value.slice(8)) : -1;
      current = list[k] || null;
      onChange();
    });

    function legend(box) {
      if (!current) return false;
      const M = current;
      box.appendChild(el("div", "note", M.name));
      const [lo, hi] = range(M);
      const stops = [];
      for (let k = 0; k <= 8; k++) stops.push(ZActivity.heat(k / 8));
      const ramp = el("div");
      Object.assign(ramp.style, { height: "10px", borderRadius: "3px", margin: "4px 0 2px", background: `linear-gradient(to right, ${stops.join(", ")})` });
      box.appendChild(ramp);
      const ends = el("div", "measure-range");
      Object.assign(ends.style, { display: "flex", justifyContent: "space-between", fontSize: "11px" });
      ends.append(el("span", null, shown(M, lo)), el("span", null, shown(M, hi)));
      box.appendChild(ends);
      const d = el("div", "item"), sw = el("span", "sw");
      sw.style.background = ZActivity.NEUTRAL;
      d.append(sw, el("span", null, "no value"));
      box.appendChild(d);
      const how = el("select");
      how.id = "measure-aggregate";
      how.title = "How a collapsed group combines its nodes";
      how.append(new Option("Groups: sum", "sum"), new Option("Groups: largest", "max"));
      how.value = M.aggregate;
      how.addEventListener("click", (e) => e.stopPropagation());
      how.addEventListener("change", () => { M.aggregate = how.value; onChange(); });
      box.appendChild(how);
      return true;
    }

    function panel(box, i) {
      box.appendChild(el("h3", null, "Measures"));
      const t = el("table");
      for (const M of list) {
        const tr = el("tr"), v = el("td", "v", shown(M, M.values[i]));
        tr.setAttribute("data-measure", M.name);
        tr.append(el("td", null, M.name), v);
        t.appendChild(tr);
      }
      box.appendChild(t);
    }

    // A group's value of each measure: the sum or the largest of its nodes, as chosen for that measure.
    function groupPanel(box, members) {
      box.appendChild(el("h3", null, "Measures"));
      const t = el("table");
      for (const M of list) {
        const tr = el("tr");
        tr.setAttribute("data-measure", M.name);
        tr.setAttribute("data-aggregate", M.aggregate);
        tr.append(el("td", null, M.name + (M.aggregate === "sum" ? " (sum)" : " (largest)")),
          el("td", "v", shown(M, combined(M, members, M.aggregate))));
        t.appendChild(tr);
      }
      box.appendChild(t);
    }

    return {
      on: () => !!current, colour, alpha: () => (current ? 0.62 : null), legend, panel, groupPanel,
      state: () => ({ measure: current ? current.name : null, aggregate: current ? current.aggregate : null,
        measures: list.map((M) => M.name) }),
    };
  }
  return { create };
})();

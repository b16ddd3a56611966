// The layer table (data-part="layer-table"): one row per node (data-node),
// sortable by any column, a totals row, the energy model stated, and the
// whole copyable as CSV. A row selects its node in the graph.
ZParts.add("net-table", (page) => {
  "use strict";
  const data = typeof ZNetData === "object" && ZNetData ? ZNetData : null;
  const t = data && data.table;
  if (!t || !Array.isArray(t.rows)) return null;
  const { el } = ZDom;
  const stage = document.getElementById("stage");
  const box = el("div");
  box.id = "net-table";
  box.dataset.part = "layer-table";
  const head = el("div", "net-head");
  const em = t.energy_model || {};
  head.append(el("strong", null, "Layers"),
    el("span", "note", `energy model: ${em.ac_j} J per accumulate (SynOp), ${em.mac_j} J per multiply-accumulate (dense MAC)`));
  const copy = el("button", null, "Copy CSV");
  const hide = el("button", null, "Hide");
  head.append(copy, hide);
  const table = el("table"), thead = el("thead"), tbody = el("tbody"), tfoot = el("tfoot");
  table.append(thead, tbody, tfoot);
  box.append(head, table);
  if (stage) stage.appendChild(box);
  // The stage pans and zooms on these; over the table they are the table's.
  for (const type of ["pointerdown", "mousedown", "wheel", "dblclick", "click"]) box.addEventListener(type, (e) => e.stopPropagation());

  const columns = ["node", "type", ...t.columns];
  const cell = (key, v) => {
    if (v === null || v === undefined) return "\u2013";
    if (key === "rate_hz") return Number(v).toPrecision(4);
    if (key === "sparsity") return Number(v).toFixed(4);
    if (/_j$/.test(key)) return Number(v).toExponential(3);
    return Number(v).toLocaleString("en-US");
  };
  const rows = t.rows.map((r, order) => ({ id: String(r.id), type: r.type || "", values: r.values || [], why: r.why, order }));
  let sortBy = -1, dir = 1;
  const htr = el("tr");
  columns.forEach((name, c) => {
    const th = el("th", null, name);
    th.title = "Sort";
    th.addEventListener("click", () => { dir = sortBy === c ? -dir : c >= 2 ? -1 : 1; sortBy = c; draw(); });
    htr.appendChild(th);
  });
  thead.appendChild(htr);
  const key = (r, c) => (c === 0 ? r.id : c === 1 ? r.type : r.values[c - 2]);
  function draw() {
    const sorted = rows.slice();
    if (sortBy >= 0) sorted.sort((a, b) => {
      const x = key(a, sortBy), y = key(b, sortBy);
      if (x === null || x === undefined) return y === null || y === undefined ? a.order - b.order : 1;
      if (y === null || y === undefined) return -1;
      return (x < y ? -1 : x > y ? 1 : a.order - b.order) * dir;
    });
    [...thead.querySelectorAll("th")].forEach((th, c) => { th.textContent = columns[c] + (c === sortBy ? (dir > 0 ? " \u25b2" : " \u25bc") : ""); });
    tbody.textContent = "";
    for (const r of sorted) {
      const tr = el("tr");
      tr.dataset.node = r.id;
      if (r.why) tr.title = r.why;
      tr.append(el("td", null, r.id), el("td", null, r.type));
      t.keys.forEach((k, c) => tr.appendChild(el("td", null, cell(k, r.values[c]))));
      tr.addEventListener("click", () => {
        const i = page.model.nodeIndex.get(r.id);
        if (i !== undefined) page.app.select("n", i, { center: true, highlight: true });
      });
      tbody.appendChild(tr);
    }
  }
  const ftr = el("tr");
  ftr.dataset.total = "";
  ftr.append(el("td", null, "total"), el("td", null, ""));
  t.keys.forEach((k, c) => ftr.appendChild(el("td", null, cell(k, (t.total || [])[c]))));
  tfoot.appendChild(ftr);
  draw();

  const csvCell = (v) => {
    const s = v === null || v === undefined ? "" : String(v);
    return /[",\n\r]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s;
  };
  function csv() {
    const lines = [columns.map(csvCell).join(",")];
    for (const r of rows) lines.push([r.id, r.type, ...r.values].map(csvCell).join(","));
    lines.push(["total", "", ...(t.total || [])].map(csvCell).join(","));
    return lines.join("\n") + "\n";
  }
  copy.addEventListener("click", async () => {
    const text = csv();
    try { await navigator.clipboard.writeText(text); copy.textContent = "Copied"; } catch (e) {
      const area = el("textarea");
      area.value = text;
      document.body.appendChild(area);
      area.select();
      try { document.execCommand("copy"); copy.textContent = "Copied"; } catch (e2) { copy.textContent = "Copy failed"; }
      area.remove();
    }
    setTimeout(() => { copy.textContent = "Copy CSV"; }, 1500);
  });
  hide.addEventListener("click", () => { box.hidden = true; });
  if (page.netClock) {
    const show = el("button", null, "Layers");
    show.title = "The layer table";
    show.addEventListener("click", () => { box.hidden = !box.hidden; });
    page.netClock.bar.appendChild(show);
  }
  window.zelqNet = Object.assign(window.zelqNet || {}, { csv });
  return {
    select(kind, ref) {
      const id = kind === "n" ? page.model.nodeIds[ref] : null;
      for (const tr of tbody.children) tr.classList.toggle("sel", tr.dataset.node === id);
    },
  };
});

// Part: the recording's health (gaps, times that go backwards, bursts, dead rows
// and columns, hot pixels, and the verdict), with gaps, bursts and the first
// backwards time marked on the timeline. Names and words reach the DOM as text only.
ZParts.add("health", (page) => {
  "use strict";
  const { int, obj, arr } = ZDocument;
  const { doc } = page;
  const { tFirst } = doc;
  const held = obj(doc.raw.health);
  const report = held ? obj(held.report) : null;
  if (!report) return {};
  const pairs = (v) => arr(v).filter((p) => Array.isArray(p) && p.length >= 2).map((p) => [int(p[0], 0), int(p[1], 0)]);
  const gaps = pairs(report.gaps), bursts = pairs(report.bursts);
  const back = obj(report.backwards) || {};
  const backCount = Math.max(0, int(back.count, 0));
  const backT = held.first_backwards_t === null ? null : int(held.first_backwards_t, NaN);
  const deadRows = arr(report.dead_rows).map((v) => int(v, 0)), deadCols = arr(report.dead_columns).map((v) => int(v, 0));
  const hot = arr(report.hot_pixels).filter(Array.isArray);
  const verdict = Array.isArray(report.verdict) ? report.verdict.filter((s) => typeof s === "string") : [];
  const failing = gaps.length > 0 || backCount > 0 || deadRows.length > 0 || deadCols.length > 0;

  const panel = el("section", "panel");
  panel.id = "health-panel";
  panel.dataset.part = "health";
  panel.dataset.state = failing ? "fails" : verdict.length ? "notes" : "ok";
  const head = el("div", "panel-head");
  const title = el("div", "head-title");
  title.append(el("h2", "", "Health"), el("span", "muted hint", failing ? "fails the check: gaps, backwards times or dead lines" :
    verdict.length ? "passes the check, with notes" : "no problems found"));
  head.appendChild(title);
  panel.appendChild(head);
  const grid = el("div", "health-grid");
  function item(label, value, bad, detail) {
    const c = el("div", "health-item" + (bad ? " bad" : ""));
    c.append(el("div", "k", label), el("div", "v", value), el("div", "s", detail || "\u00a0"));
    grid.appendChild(c);
  }
  const longest = gaps.reduce((m, g) => Math.max(m, g[1] - g[0]), 0);
  item("Gaps ≥ 100 ms", intFmt.format(gaps.length), gaps.length > 0, gaps.length ? "longest " + fmtDuration(longest) : "");
  item("Backwards times", intFmt.format(backCount), backCount > 0, backCount ?
    "first at event " + intFmt.format(int(back.first_index, 0)) + (back.first_offset === null || back.first_offset === undefined ? "" : ", byte " + intFmt.format(int(back.first_offset, 0))) : "");
  item("Bursts", intFmt.format(bursts.length), false, "10 ms with 20× the median count");
  item("Dead rows", intFmt.format(deadRows.length), deadRows.length > 0, deadRows.slice(0, 6).join(", ") + (deadRows.length > 6 ? ", …" : ""));
  item("Dead columns", intFmt.format(deadCols.length), deadCols.length > 0, deadCols.slice(0, 6).join(", ") + (deadCols.length > 6 ? ", …" : ""));
  item("Hot pixels", intFmt.format(hot.length), false, hot.length ? "local rule: 10× their neighbours" : "");
  panel.appendChild(grid);
  if (verdict.length) {
    const list = el("ul", "verdict");
    for (const v of verdict) list.appendChild(el("li", "", v));
    panel.appendChild(list);
  }
  const jumps = el("div", "health-jumps");
  const jump = (label, t) => {
    const b = el("button", "btn", label + " " + ZClock.offset(t - tFirst));
    b.type = "button";
    b.addEventListener("click", () => page.player.jumpTo(t));
    jumps.appendChild(b);
  };
  gaps.slice(0, 8).forEach((g) => jump("gap", g[0]));
  bursts.slice(0, 8).forEach((b) => jump("burst", b[0]));
  if (Number.isFinite(backT) && backT !== null) jump("backwards", backT);
  if (jumps.childNodes.length) panel.appendChild(jumps);
  const after = byId("summary");
  after.parentNode.insertBefore(panel, after.nextSibling);

  // timeline marks: gaps as bands, bursts and the first backwards time as ticks
  function marks() {
    const out = gaps.map((g) => ({ kind: "band", t0: g[0], t1: g[1], colour: "--health-gap" }));
    for (const b of bursts) out.push({ kind: "tick", t0: b[0], colour: "--health-burst", row: 0 });
    if (Number.isFinite(backT) && backT !== null) out.push({ kind: "tick", t0: backT, colour: "--health-back", row: 0 });
    return out;
  }
  return { marks };
});

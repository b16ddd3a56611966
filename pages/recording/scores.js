// Part: predictions scored against labels: each class's counts, precision, recall
// and AP; the frames with the most errors (data-part="errors"), stepped through
// with the buttons or , and .; and the misses and false positives marked on the timeline.
ZParts.add("scores", (page) => {
  "use strict";
  const { int, num, obj, arr } = ZDocument;
  const { doc } = page;
  const { tFirst } = doc;
  const scores = obj(doc.raw.scores);
  if (!scores) return {};
  const frames = arr(scores.frames).filter((f) => Array.isArray(f) && f.length >= 4)
    .map((f) => ({ t: int(f[0], 0), tp: int(f[1], 0), fp: int(f[2], 0), fn: int(f[3], 0) }));
  const ratio = (v) => (typeof v === "number" && Number.isFinite(v) ? v.toFixed(3) : "–");
  let at = -1;

  const panel = el("section", "panel");
  panel.id = "scores-panel";
  const head = el("div", "panel-head");
  const title = el("div", "head-title");
  title.append(el("h2", "", "Scores"), el("span", "muted hint", "IoU ≥ " + num(scores.iou, 0.5) + " at the label times"));
  head.appendChild(title);
  panel.appendChild(head);
  const table = el("table", "scores");
  table.dataset.part = "scores";
  const hr = el("tr");
  for (const c of ["class", "truth", "pred", "tp", "fp", "fn", "precision", "recall", "AP"]) hr.appendChild(el("th", "", c));
  table.appendChild(el("thead")).appendChild(hr);
  const body = table.appendChild(el("tbody"));
  const classes = obj(scores.classes) || {};
  const rows = Object.keys(classes).map((k) => [k, obj(classes[k])]).filter((r) => r[1]);
  rows.push(["all", obj(scores.all) || {}]);
  for (const [name, r] of rows) {
    const tr = el("tr", name === "all" ? "total" : "");
    tr.appendChild(el("td", "name", name));
    for (const k of ["truth", "predicted", "tp", "fp", "fn"]) tr.appendChild(el("td", "", intFmt.format(Math.max(0, int(r[k], 0)))));
    for (const k of ["precision", "recall", "ap"]) tr.appendChild(el("td", "", ratio(r[k])));
    body.appendChild(tr);
  }
  const wrap = el("div", "table-wrap short");
  wrap.appendChild(table);
  panel.appendChild(wrap);

  const tools = el("div", "tools errors-tools");
  const prev = el("button", "btn", "◀ worse"), next = el("button", "btn", "better ▶");
  prev.type = next.type = "button";
  prev.title = "The frame with more errors (,)";
  next.title = "The frame with fewer errors (.)";
  const info = el("span", "muted hint", "");
  tools.append(el("strong", "", "Worst frames"), prev, next, info);
  panel.appendChild(tools);
  const list = el("table", "errors");
  list.dataset.part = "errors";
  const lh = el("tr");
  for (const c of ["#", "time", "tp", "fp", "fn"]) lh.appendChild(el("th", "", c));
  list.appendChild(el("thead")).appendChild(lh);
  const lbody = list.appendChild(el("tbody"));
  frames.forEach((f, i) => {
    const tr = el("tr");
    tr.append(el("td", "", String(i + 1)), el("td", "mono", ZClock.offset(f.t - tFirst)), el("td", "", String(f.tp)),
      el("td", "", String(f.fp)), el("td", "", String(f.fn)));
    tr.addEventListener("click", () => go(i));
    lbody.appendChild(tr);
  });
  const lwrap = el("div", "table-wrap short");
  lwrap.appendChild(list);
  panel.appendChild(lwrap);
  const total = Math.max(frames.length, int(scores.frames_count, frames.length));
  info.textContent = frames.length ? plural(total, "frame") + " with errors" + (total > frames.length ? ", the worst " + intFmt.format(frames.length) + " listed" : "") : "no errors";
  const side = byId("boxes-panel");
  side.parentNode.insertBefore(panel, side);

  function go(i) {
    if (!frames.length) return;
    at = clamp(i, 0, frames.length - 1);
    list.dataset.current = String(at);
    Array.from(lbody.rows).forEach((r, k) => r.classList.toggle("current", k === at));
    lbody.rows[at].scrollIntoView({ block: "nearest" });
    page.player.jumpTo(frames[at].t);
  }
  prev.addEventListener("click", () => go(at - 1));
  next.addEventListener("click", () => go(at + 1));
  function key(k) {
    if (k !== "," && k !== ".") return false;
    go(k === "." ? at + 1 : at - 1);
    return true;
  }
  function marks() {
    const out = [];
    for (const f of frames) {
      if (f.fn) out.push({ kind: "tick", t0: f.t, colour: "--box-miss", row: 1 });
      if (f.fp) out.push({ kind: "tick", t0: f.t, colour: "--box-fp", row: 0 });
    }
    return out;
  }
  return { marks, key };
});

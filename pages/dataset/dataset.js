/* Dataset page: reads DOC (one column per field, one entry per file) and builds the
   summary, the problem list, the per-label table and histograms, the gallery and a
   virtualised, sortable, filterable table of every file.
   Document text only ever reaches the DOM through textContent or attribute setters. */
(function () {
  "use strict";
  //@common.js@

  const pngUri = (b64) => "data:image/png;base64," + b64;

  // ---- the document, read defensively: a malformed key must not stop the page
  const doc = typeof DOC === "object" && DOC !== null ? DOC : {};
  const cols = typeof doc.columns === "object" && doc.columns !== null ? doc.columns : {};
  const texts = (a) => (Array.isArray(a) ? a.map((s) => (typeof s === "string" ? s : "")) : []);
  const paths = texts(cols.path);
  const N = paths.length;
  function numbers(a) { // Float64Array, NaN where a value is missing
    const out = new Float64Array(N).fill(NaN);
    if (Array.isArray(a)) for (let i = 0; i < N && i < a.length; i++) if (typeof a[i] === "number") out[i] = a[i];
    return out;
  }
  function indices(a, n) {
    const out = new Int32Array(N);
    if (Array.isArray(a)) for (let i = 0; i < N; i++) out[i] = Number.isInteger(a[i]) && a[i] >= 0 && a[i] < n ? a[i] : 0;
    return out;
  }
  const labels = texts(doc.labels);
  const formats = texts(doc.formats);
  const STATUS = ["ok", "cut short", "empty", "refused"];
  const label = indices(cols.label, Math.max(labels.length, 1));
  const format = indices(cols.format, Math.max(formats.length, 1));
  const status = indices(cols.status, STATUS.length);
  const width = numbers(cols.width), height = numbers(cols.height);
  const duration = numbers(cols.duration_us), events = numbers(cols.event_count), on = numbers(cols.on_count);
  const rateMean = numbers(cols.rate_mean), ratePeak = numbers(cols.rate_peak), hotCount = numbers(cols.hot_count);
  const offset = numbers(cols.offset);
  const messages = texts(cols.message);
  const hotRule = texts(cols.hot_rule);
  const hot = Array.isArray(cols.hot) ? cols.hot : [];
  const links = texts(cols.link);
  const thumbs = texts(doc.thumbs);
  const labelName = (i) => labels[label[i]] || "(no label)";
  const isHot = (i) => hotCount[i] > 0;
  const gaps = numbers(cols.gaps || []), backwards = numbers(cols.backwards || []);
  const isTiming = (i) => gaps[i] > 0 || backwards[i] > 0;

  // ---- formatting
  function fmtBig(v) {
    if (!Number.isFinite(v)) return "—";
    if (v >= 1e9) return sig(v / 1e9, 3) + " G";
    if (v >= 1e6) return sig(v / 1e6, 3) + " M";
    if (v >= 1e4) return sig(v / 1e3, 3) + " k";
    return intFmt.format(Math.round(v));
  }
  const fmtRate = (v) => (Number.isFinite(v) ? fmtBig(v).replace(/ $/, "") + " ev/s" : "—");
  function median(values) {
    const a = values.filter(Number.isFinite).sort((x, y) => x - y);
    if (!a.length) return NaN;
    const m = a.length >> 1;
    return a.length % 2 ? a[m] : (a[m - 1] + a[m]) / 2;
  }

  // ---- badges and problem reasons
  const BADGE = ["ok", "cut", "empty-file", "refused"];
  function badge(i) {
    const b = el("span", "badge " + BADGE[status[i]], STATUS[status[i]]);
    return b;
  }
  function reason(i) {
    const s = status[i];
    if (s === 3) return messages[i] || "refused by the reader";
    if (s === 1) {
      const at = messages[i] || (Number.isFinite(offset[i]) ? "cut at byte " + intFmt.format(offset[i]) : "cut short");
      return plural(events[i] || 0, "event") + " before the cut · " + at;
    }
    if (s === 2) return "no events" + (messages[i] ? ": " + messages[i] : "");
    if (isTiming(i)) {
      const parts = [];
      if (gaps[i] > 0) parts.push(plural(gaps[i], "gap") + " of 100 ms or more");
      if (backwards[i] > 0) parts.push("times go backwards " + plural(backwards[i], "time"));
      return parts.join(" · ") + (isHot(i) ? " · " + plural(hotCount[i], "hot pixel") : "");
    }
    if (isHot(i)) {
      const px = Array.isArray(hot[i]) ? hot[i].filter(Array.isArray).slice(0, 3)
        .map((p) => "(" + p[0] + ", " + p[1] + "): " + intFmt.format(Number(p[2]) || 0)) : [];
      return plural(hotCount[i], "hot pixel") + (px.length ? " · " + px.join(", ") : "") +
             (hotRule[i] ? " · " + hotRule[i] : "");
    }
    return messages[i];
  }
  const problemKind = (i) => (status[i] !== 0 ? status[i] : isTiming(i) ? 5 : isHot(i) ? 4 : -1);

  // ---- summary cards
  function card(key, value, sub, bad) {
    const c = el("div", "card" + (bad ? " bad" : ""));
    c.appendChild(el("div", "k", key));
    c.appendChild(el("div", "v", value));
    c.appendChild(el("div", "s", sub || "\u00a0"));
    byId("dataset-summary").appendChild(c);
  }
  function buildSummary() {
    let ev = 0, dur = 0, readable = 0, problems = 0;
    for (let i = 0; i < N; i++) {
      if (Number.isFinite(events[i])) ev += events[i];
      if (Number.isFinite(duration[i])) dur += duration[i];
      if (status[i] !== 3) readable++;
      if (problemKind(i) >= 0) problems++;
    }
    const nLabels = new Set(label).size;
    byId("kind").textContent = "Dataset · " + plural(N, "file") + " · " + plural(N ? nLabels : 0, "label") +
      " · " + fmtBig(ev).trim() + " events over " + fmtDuration(dur);
    card("Files", intFmt.format(N), plural(readable, "readable file"));
    card("Labels", intFmt.format(N ? nLabels : 0), labels.length ? "from folders or a label file" : "");
    card("Events", fmtBig(ev).trim(), N ? "median " + fmtBig(median(Array.from(events))).trim() + " a file" : "");
    card("Recorded time", fmtDuration(dur), N ? "median " + fmtDuration(median(Array.from(duration))) + " a file" : "");
    card("Problems", intFmt.format(problems), problems ? "refused, cut, empty, gaps, backwards or hot" : "none found", problems > 0);
  }

  // ---- problems first
  const PROBLEM_NAMES = ["", "cut short", "empty", "refused", "hot pixels", "gaps or backwards times"];
  const PROBLEM_ORDER = [3, 1, 2, 5, 4];
  const PROBLEM_LIST = 300;
  function buildProblems() {
    const by = { 1: [], 2: [], 3: [], 4: [], 5: [] };
    for (let i = 0; i < N; i++) { const k = problemKind(i); if (k >= 0) by[k].push(i); }
    const list = byId("problems");
    const chips = byId("problem-chips");
    const all = PROBLEM_ORDER.flatMap((k) => by[k]);
    if (!all.length) {
      list.appendChild(el("div", "empty", N ? "No problems: every file was read whole, with events and no hot pixels." : "No files."));
      return;
    }
    for (const k of PROBLEM_ORDER) {
      if (!by[k].length) continue;
      const chip = el("button", "chip", PROBLEM_NAMES[k] + " · " + intFmt.format(by[k].length));
      chip.type = "button";
      chip.title = "Show only these files in the table";
      chip.addEventListener("click", () => {
        byId("status-filter").value = k === 4 ? "hot" : k === 5 ? "timing" : String(k);
        applyFilter();
        byId("files-panel").scrollIntoView({ block: "start" });
      });
      chips.appendChild(chip);
    }
    for (const i of all.slice(0, PROBLEM_LIST)) {
      const row = el("div", "problem");
      const b = status[i] !== 0 ? badge(i) : isTiming(i) ? el("span", "badge cut", "timing") : el("span", "badge hot", "hot pixels");
      row.appendChild(el("span")).appendChild(b);
      const p = row.appendChild(el("span", "p mono", paths[i]));
      p.title = paths[i];
      const m = row.appendChild(el("span", "m", reason(i)));
      m.title = reason(i);
      row.addEventListener("click", () => reveal(i));
      list.appendChild(row);
    }
    if (all.length > PROBLEM_LIST) {
      list.appendChild(el("div", "more", "and " + intFmt.format(all.length - PROBLEM_LIST) +
        " more: pick a kind above to list them all in the table"));
    }
  }

  // ---- by label: table and histograms
  let selectedLabel = -1;
  function labelStats() {
    const L = Math.max(labels.length, 1);
    const st = Array.from({ length: L }, () => ({ files: 0, problems: 0, events: 0, durations: [], counts: [], rates: [], peak: NaN }));
    for (let i = 0; i < N; i++) {
      const s = st[label[i]];
      s.files++;
      if (problemKind(i) >= 0) s.problems++;
      if (status[i] === 3) continue;
      if (Number.isFinite(events[i])) s.events += events[i];
      s.durations.push(duration[i]);
      s.counts.push(events[i]);
      s.rates.push(rateMean[i]);
      if (Number.isFinite(ratePeak[i]) && !(ratePeak[i] <= s.peak)) s.peak = ratePeak[i];
    }
    return st;
  }
  function buildLabels() {
    const table = byId("label-table");
    const head = table.createTHead().insertRow();
    for (const h of ["Label", "Files", "Problems", "Events", "Median duration", "Median events", "Median rate", "Peak rate"]) {
      head.appendChild(el("th", "", h));
    }
    const body = table.createTBody();
    const st = labelStats();
    const order = st.map((_, k) => k).filter((k) => st[k].files > 0)
      .sort((a, b) => (labels[a] || "").localeCompare(labels[b] || "", undefined, { numeric: true }));
    for (const k of order) {
      const s = st[k];
      const tr = body.insertRow();
      tr.dataset.label = String(k);
      const cells = [labels[k] || "(no label)", intFmt.format(s.files), intFmt.format(s.problems), fmtBig(s.events).trim(),
        fmtDuration(median(s.durations)), fmtBig(median(s.counts)).trim(), fmtRate(median(s.rates)), fmtRate(s.peak)];
      cells.forEach((text, c) => { const td = tr.insertCell(); td.textContent = text; if (c === 0) td.title = text; });
      tr.addEventListener("click", () => {
        selectedLabel = selectedLabel === k ? -1 : k;
        byId("label-filter").value = selectedLabel < 0 ? "" : String(k);
        markLabel();
        drawHists();
        applyFilter();
      });
    }
  }
  function markLabel() {
    for (const tr of byId("label-table").tBodies[0].rows) tr.classList.toggle("selected", Number(tr.dataset.label) === selectedLabel);
    const text = selectedLabel < 0 ? "· all labels" : "· " + (labels[selectedLabel] || "(no label)");
    for (const id of ["hist-duration-label", "hist-events-label", "hist-rate-label"]) byId(id).textContent = text;
  }

  const css = (name) => getComputedStyle(root).getPropertyValue(name).trim();
  // Log-spaced bins: datasets span orders of magnitude in length and size.
  function histogram(canvas, values, fmt) {
    const wrap = canvas.parentElement;
    const w = Math.max(wrap.clientWidth, 10), h = Math.max(wrap.clientHeight, 10);
    const dpr = window.devicePixelRatio || 1;
    canvas.width = Math.round(w * dpr);
    canvas.height = Math.round(h * dpr);
    const ctx = canvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = css("--plot-bg");
    ctx.fillRect(0, 0, w, h);
    const bins = 40, foot = 16;
    let lo = Infinity, hi = -Infinity;
    for (let i = 0; i < N; i++) {
      const v = values[i];
      if (status[i] !== 3 && v > 0 && Number.isFinite(v)) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
    }
    ctx.font = "11px system-ui, sans-serif";
    ctx.fillStyle = css("--muted");
    if (!(hi >= lo)) { ctx.fillText("no values", 6, h / 2); return; }
    const l0 = Math.log10(lo), l1 = Math.log10(hi) + 1e-9;
    const span = Math.max(l1 - l0, 1e-6);
    const all = new Uint32Array(bins), sel = new Uint32Array(bins);
    for (let i = 0; i < N; i++) {
      const v = values[i];
      if (status[i] === 3 || !(v > 0) || !Number.isFinite(v)) continue;
      const b = clamp(Math.floor((Math.log10(v) - l0) / span * bins), 0, bins - 1);
      all[b]++;
      if (selectedLabel >= 0 && label[i] === selectedLabel) sel[b]++;
    }
    const peak = Math.max(1, ...(selectedLabel >= 0 ? sel : all));
    const bw = w / bins, ph = h - foot - 4;
    const drawBars = (counts, colour) => {
      ctx.fillStyle = colour;
      for (let b = 0; b < bins; b++) {
        if (!counts[b]) continue;
        const bh = Math.max(1, Math.min(1, counts[b] / peak) * ph);
        ctx.fillRect(b * bw + 0.5, 4 + ph - bh, Math.max(bw - 1, 1), bh);
      }
    };
    if (selectedLabel >= 0) { drawBars(all, css("--curve-fill")); drawBars(sel, css("--curve")); }
    else drawBars(all, css("--curve"));
    ctx.fillStyle = css("--muted");
    ctx.textBaseline = "bottom";
    ctx.textAlign = "left";
    ctx.fillText(fmt(lo), 2, h - 1);
    ctx.textAlign = "right";
    ctx.fillText(fmt(hi), w - 2, h - 1);
    ctx.textAlign = "center";
    ctx.fillText("log scale · highest bar " + intFmt.format(peak) + (peak === 1 ? " file" : " files"), w / 2, h - 1);
  }
  function drawHists() {
    histogram(byId("hist-duration"), duration, fmtDuration);
    histogram(byId("hist-events"), events, (v) => fmtBig(v).trim());
    histogram(byId("hist-rate"), rateMean, fmtRate);
  }

  // ---- gallery: a few files per label
  function buildGallery() {
    const box = byId("gallery");
    const picks = Array.isArray(doc.gallery) ? doc.gallery.filter((i) => Number.isInteger(i) && i >= 0 && i < N && thumbs[i]) : [];
    if (!picks.length) { box.appendChild(el("div", "empty", "No thumbnails: no file could be read.")); return; }
    const groups = new Map();
    for (const i of picks) { if (!groups.has(label[i])) groups.set(label[i], []); groups.get(label[i]).push(i); }
    const order = Array.from(groups.keys()).sort((a, b) => (labels[a] || "").localeCompare(labels[b] || "", undefined, { numeric: true }));
    for (const k of order) {
      const row = el("div", "gallery-row");
      const name = row.appendChild(el("div", "name", labels[k] || "(no label)"));
      name.title = labels[k] || "";
      const imgs = row.appendChild(el("div", "imgs"));
      for (const i of groups.get(k)) {
        const img = el("img");
        img.src = pngUri(thumbs[i]);
        img.alt = "event counts of " + paths[i];
        img.title = paths[i] + "\n" + plural(events[i] || 0, "event") + " · " + fmtDuration(duration[i]);
        img.addEventListener("click", () => reveal(i));
        imgs.appendChild(img);
      }
      box.appendChild(row);
    }
  }

  // ---- the files table: a window of rows over the sorted, filtered order
  const ROW = 28, OVERSCAN = 8;
  const COLUMNS = [
    { key: "status", name: "Status", cmp: (a, b) => status[a] - status[b] || (hotCount[a] || 0) - (hotCount[b] || 0) },
    { key: "path", name: "File", str: (i) => paths[i] },
    { key: "label", name: "Label", str: labelName },
    { key: "format", name: "Format", str: (i) => formats[format[i]] || "" },
    { key: "sensor", name: "Sensor", num: (i) => width[i] * height[i], n: true },
    { key: "duration", name: "Duration", num: (i) => duration[i], n: true },
    { key: "events", name: "Events", num: (i) => events[i], n: true },
    { key: "on", name: "ON %", num: (i) => (events[i] > 0 ? on[i] / events[i] : NaN), n: true },
    { key: "rate", name: "Mean rate", num: (i) => rateMean[i], n: true },
    { key: "peak", name: "Peak rate", num: (i) => ratePeak[i], n: true },
    { key: "hot", name: "Hot px", num: (i) => hotCount[i], n: true },
    { key: "note", name: "Note", str: (i) => reason(i) || "" },
  ];
  const collator = new Intl.Collator(undefined, { numeric: true });
  let order = new Uint32Array(N).map((_, i) => i);
  let shown = order;
  let sortCol = -1, sortDir = 1;
  let haystack = null;

  function cellText(c, i) {
    switch (COLUMNS[c].key) {
      case "sensor": return Number.isFinite(width[i]) ? width[i] + " × " + height[i] : "—";
      case "duration": return status[i] === 3 ? "—" : fmtDuration(duration[i]);
      case "events": return Number.isFinite(events[i]) ? intFmt.format(events[i]) : "—";
      case "on": return events[i] > 0 ? (100 * on[i] / events[i]).toFixed(1) : "—";
      case "rate": return status[i] === 3 ? "—" : fmtRate(rateMean[i]);
      case "peak": return status[i] === 3 ? "—" : fmtRate(ratePeak[i]);
      case "hot": return Number.isFinite(hotCount[i]) ? intFmt.format(hotCount[i]) : "—";
      default: return COLUMNS[c].str(i);
    }
  }
  function linkHref(rel) { // each path segment encoded: a name can never become a scheme or a query
    return rel.split("/").map(encodeURIComponent).join("/");
  }
  function buildHead() {
    const head = byId("table-head");
    COLUMNS.forEach((col, c) => {
      const h = head.appendChild(el("span", col.n ? "n" : "", col.name));
      h.setAttribute("role", "columnheader");
      h.tabIndex = 0;
      h.title = "Sort by " + col.name.toLowerCase();
      const go = () => sortBy(c);
      h.addEventListener("click", go);
      h.addEventListener("keydown", (e) => { if (e.key === "Enter" || e.key === " ") { e.preventDefault(); go(); } });
    });
  }
  function sortBy(c) {
    sortDir = sortCol === c ? -sortDir : (COLUMNS[c].n ? -1 : 1);
    sortCol = c;
    const col = COLUMNS[c];
    const idx = Array.from(order.keys());
    let cmp;
    if (col.cmp) cmp = col.cmp;
    else if (col.num) {
      const v = new Float64Array(N);
      for (let i = 0; i < N; i++) v[i] = col.num(i);
      // missing values last, whichever the direction
      cmp = (a, b) => (Number.isNaN(v[a]) ? (Number.isNaN(v[b]) ? 0 : 1e300 * sortDir) : Number.isNaN(v[b]) ? -1e300 * sortDir : v[a] - v[b]);
    } else {
      const s = Array.from({ length: N }, (_, i) => col.str(i));
      cmp = (a, b) => collator.compare(s[a], s[b]);
    }
    idx.sort((a, b) => sortDir * cmp(a, b) || a - b);
    order = Uint32Array.from(idx);
    Array.from(byId("table-head").children).forEach((h, k) =>
      (k === c ? h.setAttribute("aria-sort", sortDir > 0 ? "ascending" : "descending") : h.removeAttribute("aria-sort")));
    applyFilter();
  }
  function applyFilter() {
    const q = byId("search").value.trim().toLowerCase();
    const sf = byId("status-filter").value;
    const lf = byId("label-filter").value;
    if (q && !haystack) haystack = Array.from({ length: N }, (_, i) => (paths[i] + "\n" + labelName(i) + "\n" + reason(i)).toLowerCase());
    const want = sf === "" ? -1 : sf === "hot" ? -2 : sf === "timing" ? -3 : Number(sf);
    const lab = lf === "" ? -1 : Number(lf);
    if (lab !== selectedLabel) { selectedLabel = lab; markLabel(); drawHists(); }
    if (!q && want === -1 && lab === -1) shown = order;
    else {
      const out = new Uint32Array(N);
      let n = 0;
      for (let k = 0; k < N; k++) {
        const i = order[k];
        if (want === -2 ? !isHot(i) : want === -3 ? !isTiming(i) : want >= 0 && status[i] !== want) continue;
        if (lab >= 0 && label[i] !== lab) continue;
        if (q && haystack[i].indexOf(q) < 0) continue;
        out[n++] = i;
      }
      shown = out.subarray(0, n);
    }
    byId("shown").textContent = shown.length === N ? plural(N, "file") : intFmt.format(shown.length) + " of " + plural(N, "file");
    byId("table-spacer").style.height = shown.length * ROW + "px";
    drawRows(true);
  }
  const pool = [];
  let drawnFirst = -1;
  function makeRow() {
    const r = el("div", "row");
    r.setAttribute("role", "row");
    for (let c = 0; c < COLUMNS.length; c++) r.appendChild(el("span", COLUMNS[c].n ? "n" : c === 11 ? "msg" : ""));
    r.addEventListener("mouseenter", (e) => showThumb(Number(r.dataset.i), e));
    r.addEventListener("mousemove", (e) => moveThumb(e));
    r.addEventListener("mouseleave", hideThumb);
    return r;
  }
  function fillRow(r, i, top) {
    r.dataset.i = String(i);
    r.style.top = top + "px";
    const cells = r.children;
    cells[0].replaceChildren(status[i] === 0 && isHot(i) ? el("span", "badge hot", "hot") : badge(i));
    const pathCell = cells[1];
    if (links[i]) {
      const a = el("a", "mono", paths[i]);
      a.setAttribute("href", linkHref(links[i]));
      pathCell.replaceChildren(a);
    } else {
      pathCell.replaceChildren();
      pathCell.textContent = paths[i];
      pathCell.className = "mono";
    }
    pathCell.title = paths[i];
    for (let c = 2; c < COLUMNS.length; c++) cells[c].textContent = cellText(c, i);
    cells[11].title = cells[11].textContent;
  }
  function drawRows(force) {
    const body = byId("table-body");
    const first = Math.max(0, Math.floor(body.scrollTop / ROW) - OVERSCAN);
    const count = Math.min(shown.length - first, Math.ceil(body.clientHeight / ROW) + 2 * OVERSCAN);
    if (!force && first === drawnFirst && pool.length >= count) return;
    drawnFirst = first;
    while (pool.length < count) pool.push(body.appendChild(makeRow()));
    for (let k = 0; k < pool.length; k++) {
      if (k < count) { pool[k].hidden = false; fillRow(pool[k], shown[first + k], (first + k) * ROW); }
      else pool[k].hidden = true;
    }
  }
  function reveal(i) {
    let k = shown.indexOf(i);
    if (k < 0) {
      byId("search").value = ""; byId("status-filter").value = ""; byId("label-filter").value = "";
      applyFilter();
      k = shown.indexOf(i);
    }
    const body = byId("table-body");
    byId("files-panel").scrollIntoView({ block: "start" });
    body.scrollTop = Math.max(0, k * ROW - body.clientHeight / 2);
    drawRows(true);
    for (const r of pool) r.classList.toggle("flash", !r.hidden && Number(r.dataset.i) === i);
  }

  // ---- thumbnail on hover
  function showThumb(i, e) {
    if (!(i >= 0 && i < N) || !thumbs[i]) { hideThumb(); return; }
    byId("thumb-img").src = pngUri(thumbs[i]);
    byId("thumb-text").textContent = paths[i];
    byId("thumb-pop").hidden = false;
    moveThumb(e);
  }
  function moveThumb(e) {
    const pop = byId("thumb-pop");
    if (pop.hidden) return;
    const x = e.clientX + 18, y = e.clientY + 12;
    pop.style.left = Math.min(x, window.innerWidth - 190) + "px";
    pop.style.top = Math.min(y, window.innerHeight - 200) + "px";
  }
  function hideThumb() { byId("thumb-pop").hidden = true; }

  function buildFilters() {
    const sf = byId("status-filter");
    STATUS.forEach((s, k) => { const o = el("option", "", s); o.value = String(k); sf.appendChild(o); });
    const h = el("option", "", "hot pixels"); h.value = "hot"; sf.appendChild(h);
    const g = el("option", "", "gaps or backwards times"); g.value = "timing"; sf.appendChild(g);
    const lf = byId("label-filter");
    labels.map((s, k) => [s, k]).sort((a, b) => collator.compare(a[0], b[0]))
      .forEach(([s, k]) => { const o = el("option", "", s || "(no label)"); o.value = String(k); lf.appendChild(o); });
    let timer = 0;
    byId("search").addEventListener("input", () => { clearTimeout(timer); timer = setTimeout(applyFilter, 120); });
    sf.addEventListener("change", applyFilter);
    lf.addEventListener("change", applyFilter);
    let queued = false;
    byId("table-body").addEventListener("scroll", () => {
      hideThumb();
      if (queued) return;
      queued = true;
      requestAnimationFrame(() => { queued = false; drawRows(false); });
    });
    const left = Number(doc.thumbs_left_out) || 0;
    if (left > 0) {
      const note = byId("thumbs-note");
      note.textContent = "Thumbnails of " + plural(left, "file") + " were left out to keep the page small; the gallery's and the problem files' are all here.";
      note.hidden = false;
    }
  }

  // ---- start
  try {
    buildTheme(drawHists);
    buildSummary();
    buildProblems();
    buildFilters();
    buildLabels();
    markLabel();
    buildGallery();
    buildHead();
    applyFilter();
    drawHists();
    let resizeQueued = false;
    window.addEventListener("resize", () => {
      if (resizeQueued) return;
      resizeQueued = true;
      requestAnimationFrame(() => { resizeQueued = false; drawHists(); drawRows(true); });
    });
    const shownImgs = Array.from(document.querySelectorAll("#gallery img"));
    Promise.all(shownImgs.map((img) => (img.decode ? img.decode().catch(() => null) : null)))
      .then(() => new Promise((r) => requestAnimationFrame(() => r())))
      .then(markReady);
  } catch (err) {
    root.dataset.state = "error";
    throw err;
  }
})();

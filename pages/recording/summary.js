// Part: the summary cards and the plain statement of what the page holds.
ZParts.add("summary", (page) => {
  "use strict";
  const { num, int, obj, strings } = ZDocument;
  const { doc, steps } = page;
  const { source, W, H, tFirst, tLast, win, period, ov, budget } = doc;
  const { spanStart, spanEnd, fullSpans } = steps;
  const { abs, offset } = ZClock;
  function card(key, value, sub) {
    const c = el("div", "card");
    c.append(el("div", "k", key), el("div", "v", value), el("div", "s", sub || "\u00a0"));
    byId("summary").appendChild(c);
  }
  function buildSummary() {
    const count = Math.max(0, int(source.event_count, 0));
    const on = Math.max(0, int(source.on_count, 0));
    const whole = tLast - tFirst;
    const decoded = spanEnd - spanStart;
    const name = typeof source.name === "string" ? source.name : "";
    const format = typeof source.format === "string" ? source.format : "";
    byId("kind").textContent = ["Event recording", name, format === name ? "" : format, W + " × " + H]
      .filter(Boolean).join(" · ");
    card("Events", intFmt.format(count), win ? "in the window" : "in the recording");
    card("Duration", fmtDuration(whole), win ? "window " + fmtDuration(decoded) : abs(tFirst) + " start");
    card("Sensor", W + " × " + H, plural(W * H, "pixel"));
    card("ON / OFF", count ? Math.round((100 * on) / count) + "% ON" : "—", intFmt.format(on) + " / " + intFmt.format(count - on));
    const rate = decoded > 0 ? count / (decoded * 1e-6) : NaN;
    card("Mean event rate", Number.isFinite(rate) ? ZFormat.rate(rate).trim() + " ev/s" : "—", "");
    card("Frames", plural(steps.list.length, "frame"), fmtDuration(period) + " each, decay " + fmtDuration(doc.decay));
  }
  function buildHolds() {
    const box = byId("holds");
    const nFull = steps.list.filter((s) => s.ov < 0).length;
    const covered = fullSpans.reduce((a, [s, e]) => a + (e - s), 0);
    const ovCount = steps.list.length - nFull;
    let text = "This page holds " + plural(nFull, "full-rate frame") + " of " + fmtDuration(period);
    if (fullSpans.length) text += ", covering " + fmtDuration(covered) + " (" + fullSpans.map(([a, b]) => offset(a - tFirst) + " to " + offset(b - tFirst)).join(", ") + ")";
    if (ov) text += ", and " + plural(ovCount, "overview frame") + " at 1/" + doc.ovScale + " resolution, one every " + fmtDuration(doc.ovPeriod) + ", for the rest";
    text += ". The timeline, the event-count map and the row raster cover " + (win ? "the whole window." : "the whole recording.");
    box.appendChild(el("p", "", text));
    if (win) {
      box.appendChild(el("p", "", "A window of the recording: " + abs(spanStart) + " to " + abs(spanEnd) + " (" +
        offset(spanStart - tFirst) + " to " + offset(spanEnd - tFirst) + " from the start), out of " +
        abs(tFirst) + " to " + abs(tLast) + "."));
    }
    if (typeof budget.left_out === "string" && budget.left_out) box.appendChild(el("p", "", "Left out: " + budget.left_out));
    const bytes = num(budget.bytes, 0), maxBytes = num(budget.max_bytes, 0);
    if (bytes && maxBytes) box.appendChild(el("p", "muted", "Page size " + sig(bytes / 1e6, 3) + " MB of a " + sig(maxBytes / 1e6, 3) + " MB budget."));
    if (!page.blocks.arrived()) {
      const reading = el("p", "muted");
      reading.id = "reading";
      box.appendChild(reading);
      page.blocks.showReading();
    }
    const cut = obj(source.cut_short);
    if (cut) box.appendChild(el("p", "warn", "The file is cut short at byte " + intFmt.format(int(cut.offset, 0)) + ": " + (typeof cut.message === "string" ? cut.message : "")));
    const dropped = int(source.dropped, 0);
    if (dropped > 0) box.appendChild(el("p", "warn", plural(dropped, "event") + " outside the sensor were dropped."));
    for (const w of strings(source.warnings)) box.appendChild(el("p", "warn", w));
  }
  buildSummary();
  buildHolds();
  return {};
});

"""The graph page's edge shape labels in Chromium: no drawn edge runs through one, and
each stands on a plate of the stage's colour painted above the edges."""
import pytest

import graphs
import viewer_docs as vd

WAIT_READY = "() => new Promise(r => { const c = () => (window.zelqViewer && zelqViewer.ready ? r() : setTimeout(c, 5)); c(); })"

# The browser's own geometry of what is drawn: every label's text box (getBBox) probed
# along its rim at 1 px steps with isPointInStroke of every edge path whose box meets it.
CROSSINGS = """() => {
  const paths = [...document.querySelectorAll('#graph path.edge')].map(p => [p, p.getBBox()]);
  const hits = [], labels = document.querySelectorAll('#graph text.edge-label');
  for (const t of labels) {
    const b = t.getBBox();
    for (const [p, e] of paths) {
      if (e.x > b.x + b.width + 2 || e.x + e.width < b.x - 2 || e.y > b.y + b.height + 2 || e.y + e.height < b.y - 2) continue;
      // An edge that enters the box crosses its rim (none ends inside a label).
      const x0 = b.x + 0.5, y0 = b.y + 0.5, x1 = b.x + b.width - 0.5, y1 = b.y + b.height - 0.5, rim = [];
      for (let x = x0; x <= x1; x += 1) rim.push([x, y0], [x, y1]);
      for (let y = y0; y <= y1; y += 1) rim.push([x0, y], [x1, y]);
      const hit = rim.some(([x, y]) => p.isPointInStroke(new DOMPoint(x, y)));
      if (hit) hits.push([t.textContent, Math.round(b.x), Math.round(b.y), p.getAttribute('d').slice(0, 80)]);
    }
  }
  return { labels: labels.length, hits };
}"""


# Each label's box lies inside a plate, and the plates are painted after the edges in the stage's colour.
PLATES = """() => {
  const plates = document.querySelector('#graph path.edge-plates');
  if (!plates) return null;
  const rects = plates.getAttribute('d').split('M').filter(Boolean).map(s => s.match(/-?[\\d.]+/g).map(Number));
  const inside = [...document.querySelectorAll('#graph text.edge-label')].every(t => { const b = t.getBBox();
    return rects.some(([x0, y0, x1, y1]) => x0 <= b.x && b.x + b.width <= x1 && y0 <= b.y + 1 && b.y + b.height - 1 <= y1); });
  const edges = document.querySelector('#graph g.edges');
  return { inside, above: !!(edges.compareDocumentPosition(plates) & Node.DOCUMENT_POSITION_FOLLOWING),
           fill: getComputedStyle(plates).fill, stage: getComputedStyle(document.getElementById('stage')).backgroundColor };
}"""


# Layouts and themes together: the theme changes the plates' colour, not where labels go.
@pytest.mark.parametrize("graph, orient, theme", [("detector", "TB", "light"), ("detector", "LR", "dark"),
                                                  ("yolo_like", "TB", "dark"), ("yolo_like", "LR", "light")])
def test_no_edge_runs_through_a_shape_label(browser, tmp_path, graph, orient, theme):
    path = vd.write_page(tmp_path / "g.html", vd.graph_doc(getattr(graphs, graph)()), graph)
    context = browser.new_context(viewport={"width": 1280, "height": 800}, color_scheme=theme)
    page = context.new_page()
    try:
        page.goto(path.as_uri())
        page.evaluate(WAIT_READY)
        for step in ("collapsed", "expanded"):
            if step == "expanded":
                page.evaluate("zelqViewer.expandAll()")
            page.evaluate(f"zelqViewer.setOrient('{orient}')")
            page.evaluate("zelqViewer.idle()")
            assert page.evaluate("zelqViewer.stats().mode") == "svg"
            got = page.evaluate(CROSSINGS)
            assert got["labels"] >= 3 and got["hits"] == [], (step, got)
            plates = page.evaluate(PLATES)
            assert plates["inside"] and plates["above"] and plates["fill"] == plates["stage"], (step, plates)
    finally:
        context.close()

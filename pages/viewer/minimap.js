// The minimap: every box in its colour, the view's rectangle over them, and
// dragging on it to move the view.
const ZMinimap = (() => {
  "use strict";
  const { $ } = ZDom;

  // `view` gives stageSize() and centerOn(x, y).
  function create(theme, scene, spatial, view) {
    const { stageSize } = view;
    const mini = $("minimap"), mctx = mini.getContext("2d");
    let miniBase = null, miniScale = 1, miniOff = [0, 0];
    function drawMinimapBase() {
      const W = mini.width, H = mini.height, bounds = spatial.bounds();
      const bw = bounds.x1 - bounds.x0 || 1, bh = bounds.y1 - bounds.y0 || 1;
      miniScale = Math.min((W - 12) / bw, (H - 12) / bh);
      miniOff = [(W - bw * miniScale) / 2 - bounds.x0 * miniScale, (H - bh * miniScale) / 2 - bounds.y0 * miniScale];
      const off = document.createElement("canvas");
      off.width = W; off.height = H;
      const c = off.getContext("2d");
      c.fillStyle = theme.palette.panel; c.fillRect(0, 0, W, H);
      for (const it of scene.items) {
        c.fillStyle = it.color;
        c.fillRect(miniOff[0] + (it.x - it.w / 2) * miniScale, miniOff[1] + (it.y - it.h / 2) * miniScale, Math.max(1, it.w * miniScale), Math.max(1, it.h * miniScale));
      }
      miniBase = off;
      drawMinimap();
    }
    function drawMinimap() {
      if (!miniBase) return;
      mctx.clearRect(0, 0, mini.width, mini.height);
      mctx.drawImage(miniBase, 0, 0);
      const { w, h } = stageSize();
      const x = miniOff[0] + (-scene.view.tx / scene.view.k) * miniScale, y = miniOff[1] + (-scene.view.ty / scene.view.k) * miniScale;
      mctx.strokeStyle = theme.palette.accent; mctx.lineWidth = 1.5;
      mctx.fillStyle = "rgba(127,127,127,.12)";
      mctx.fillRect(x, y, (w / scene.view.k) * miniScale, (h / scene.view.k) * miniScale);
      mctx.strokeRect(x, y, (w / scene.view.k) * miniScale, (h / scene.view.k) * miniScale);
    }
    function miniPan(e) {
      const r = mini.getBoundingClientRect();
      const mx = (e.clientX - r.left) * (mini.width / r.width), my = (e.clientY - r.top) * (mini.height / r.height);
      view.centerOn((mx - miniOff[0]) / miniScale, (my - miniOff[1]) / miniScale);
    }
    let miniDrag = false;
    mini.addEventListener("pointerdown", (e) => { e.stopPropagation(); miniDrag = true; mini.setPointerCapture(e.pointerId); miniPan(e); });
    mini.addEventListener("pointermove", (e) => { if (miniDrag) miniPan(e); });
    mini.addEventListener("pointerup", () => { miniDrag = false; });

    return { drawBase: drawMinimapBase, draw: drawMinimap };
  }
  return { create };
})();

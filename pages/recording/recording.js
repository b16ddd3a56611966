/* Recording page: reads the recording document (docs/recording-document.md) and
   builds the statement of what the page holds, the timeline, the frame player,
   the box list, the event-count map and the row raster. The script runs as soon
   as the parser reaches it, before the frame and overview images that follow it
   in blocks: those are picked up as they arrive and decoded only when shown.
   Document text reaches the DOM only through textContent.

   The page is built of concept objects (the document, the image blocks, the steps
   that play, colours, decoded counts, the time axis, the player) and of parts,
   each in its own file. A new part is a file that calls ZParts.add(name, create)
   and one marker line in the list of parts below. Each part's create(page) builds
   its DOM and returns the hooks it answers:
     draw()                      repaint its plots (theme change, resize)
     show(span)                  a step was drawn; span = [start, end) µs
     overlay(ctx, sx, sy, span)  draw over the frame, in sensor pixels scaled by sx, sy
     recolour()                  the frame colours changed
     key(key)                    a key the player does not use; true when taken
     start()                     work after the first view (may be async), awaited before ready */
(function () {
  "use strict";
  //@common.js@
  //@base64.js@
  //@canvas.js@
  //@class-colours.js@
  //@parts.js@
  //@document.js@
  //@blocks.js@
  //@clock.js@
  //@steps.js@
  //@axis.js@
  //@colours.js@
  //@counts.js@
  //@player.js@
  //@box-styles.js@
  //@xyt-view.js@

  // ---- the parts, in the order they are built and asked (the overlay is drawn in this order)
  //@summary.js@
  //@timeline.js@
  //@heatmap.js@
  //@boxes.js@
  //@raster.js@
  //@health.js@
  //@filters.js@
  //@scores.js@
  //@xyt.js@

  const doc = ZDocument.create();
  const blocks = ZBlocks.create(doc);
  const steps = ZSteps.create(doc);
  const page = { doc, blocks, steps, axis: ZAxis.create(steps), colours: ZColours.create(doc), call: () => [] };
  page.counts = ZCounts.create(doc, blocks);

  (async () => {
    try {
      buildTheme(() => page.call("draw"));
      page.player = ZPlayer.create(page);
      page.call = ZParts.build(page);
      page.player.layout();
      page.call("draw");
      await Promise.all(page.call("start").concat([page.player.showStep(0)]));
      page.player.layout();
      let queued = false;
      const onResize = () => {
        if (queued) return;
        queued = true;
        requestAnimationFrame(() => { queued = false; page.player.layout(); page.call("draw"); });
      };
      if (window.ResizeObserver) new ResizeObserver(onResize).observe(byId("recording"));
      window.addEventListener("resize", onResize);
      await new Promise((r) => requestAnimationFrame(() => r()));
      markReady();
    } catch (err) {
      root.dataset.state = "error";
      throw err;
    }
  })();
})();

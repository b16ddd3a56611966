// The comparison view of two models. A comparison document adds its marks to
// the model's nodes; this part is where the page shows them. A plain graph
// document has none, and the view then adds nothing to the page.
const ZCompare = (() => {
  "use strict";
  function create(model, scene, panel, app) {
    return null;
  }
  return { create };
})();

// Box colours by class id, the same table as the video writer's (zelq.viz.video.CLASS_COLOURS).
const ZClassColours = (() => {
  "use strict";
  const LIST = ["#ffd400", "#00e5ff", "#ff4fd8", "#7cff4f", "#ff8c1a", "#b68cff", "#ffffff", "#4f8cff"];
  const of = (c) => LIST[((c % LIST.length) + LIST.length) % LIST.length];
  return { LIST, of };
})();

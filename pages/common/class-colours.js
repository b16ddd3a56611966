// Box colours by class id, the same table as the video writer's (zelq.viz.video.CLASS_COLOURS).
const ZClassColours = (() => {
  "use strict";
  const LIST = [/*@class colours@*/];
  const of = (c) => LIST[((c % LIST.length) + LIST.length) % LIST.length];
  return { LIST, of };
})();

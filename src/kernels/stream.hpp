// The streaming event engine: decoded records go straight into small
// accumulators (rate timeline, per-pixel counts, per-row raster, frame counts
// at a frame period, a decayed overview surface), so a recording of any length
// is summarised in memory that depends on the sensor, never on the event count.
// Completed frames leave the engine as they finish: as count images for a
// page (PNG-encoded on a worker thread, spooled to a file within a byte
// budget) or rendered through decay, tone curve and palette for a video.
// Rules: docs/recording-document.md. No Python here.
//
// The parts, one per header in kernels/stream/:
//   accumulators.hpp  an event, extent and peak rate, time bins, pixel and frame counts
//   png_writer.hpp    base64 PNGs of RGB images, buffers reused
//   overview.hpp      the page's decayed overview surface
//   renderer.hpp      a video frame: decay, tone curve, palette, scale
//   frame_buffer.hpp  a page frame's events on their way to its image; segments, bands
//   encoder.hpp       the page's PNG encoder threads and spool file
//   engines.hpp       one engine per job (survey, summary, page, render) and their settings
//   two_threads.hpp   decoding on a helper thread while the engine counts
#pragma once

#include "kernels/stream/accumulators.hpp"
#include "kernels/stream/encoder.hpp"
#include "kernels/stream/engines.hpp"
#include "kernels/stream/frame_buffer.hpp"
#include "kernels/stream/overview.hpp"
#include "kernels/stream/png_writer.hpp"
#include "kernels/stream/renderer.hpp"
#include "kernels/stream/two_threads.hpp"

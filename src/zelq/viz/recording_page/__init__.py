"""The recording page of a recording of any length, its frames for video, and recording summaries.

The page is `head + summary JSON + middle + image blocks + end`: the summary is the
document with its image lists emptied (docs/recording-document.md), placed before the
page script so the first view is drawn while the parser is still reading the frame and
overview images that follow it. A writer that streams a large document to a file needs
`template_sections`, `json_for_script` and `block_text`; `read_recording_document` puts a
page's document back together.

The package, by concept:

- `template`: the page's text: template sections, image blocks, a document rendered whole
  (`render_recording_html`) and read back (`read_recording_document`);
- `engine`: the driver of the native streaming engine: one pass over a source, fed piece
  by piece, and what the readers say of the file at its end;
- `span`: the recording's extent, the sensor, and the span a pass decodes;
- `filtering`: a source as the noise filters pass it, before the engine sees it;
- `arguments`: the checks of the page's and the frames' own arguments;
- `frames`: the page's frames as images, for video (`recording_frames`, `frame_period_for`);
- `parts`: document parts (packed arrays, the heat map, the busiest pixels);
- `plan`: full-rate segments, bins and the byte budget of a page;
- `page`: the page itself (`export_recording_html`);
- `summary`: one-pass summaries of recording files (`summarize_recording`).
"""
from .template import (BLOCK_BYTES, OVERVIEW_TAG, block_bytes, block_plan, block_text, json_for_script,
                       read_recording_document, render_recording_html, segment_tag, split_document,
                       template_parts, template_sections)
from .frames import frame_period_for, recording_frames
from .page import export_recording_html
from .summary import HOT_RULE, summarize_recording

__all__ = ["export_recording_html", "recording_frames", "summarize_recording", "frame_period_for",
           "render_recording_html", "read_recording_document", "template_sections", "template_parts",
           "json_for_script", "block_text", "block_bytes", "block_plan", "segment_tag", "split_document",
           "BLOCK_BYTES", "OVERVIEW_TAG", "HOT_RULE"]

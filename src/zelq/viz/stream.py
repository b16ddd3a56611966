"""The recording page's public entry points under the name they first had.

The page, its frames and the summaries live in `zelq.viz.recording_page`; these names
stay importable from here.
"""
from zelq.viz.recording_page import export_recording_html, frame_period_for, recording_frames, summarize_recording

__all__ = ["export_recording_html", "recording_frames", "summarize_recording", "frame_period_for"]

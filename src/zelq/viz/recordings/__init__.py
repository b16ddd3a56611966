"""Event recordings from files: AEDAT 4, AEDAT 2.0 / 3.1, Prophesee RAW (EVT 2.0, 2.1, 3.0) and
DAT, N-MNIST / N-Caltech101 binary, NumPy .npy / .npz event arrays, HDF5, ROS bags, and event
text and CSV files.

`read_events` returns the record array the page functions take:
x, y (int16), t (int64, microseconds) and p (int8, -1 or 1). RAW, DAT and
N-MNIST files are decoded natively, 16 MiB of the file at a time, from a
memory map; AEDAT 4 natively too, packet by packet (its LZ4 frames by a decoder
of our own, so it needs no other package).

The package, by concept:

- `_registry`: `Reader`, what a format gives (by extension), and `register`;
- `_sniffing`: opening a file (one native call for a regular file) and checking that its first bytes
  are what its extension says;
- `_headers`: the '%' headers of RAW and DAT files, and the check of a header's sensor size;
- `_native_formats`: RAW, DAT and N-MNIST, decoded by the native engine: `_native_layout` (what the
  decoders are told of a file, their state), `_native_decode` (whole reads and blocks, cut files,
  events outside the sensor), `_native_time` (first times, seeks, windows, extents);
- `_aedat4`: AEDAT 4; `_aedat_legacy`: AEDAT 2.0 and 3.1; `_numpy_files`: NumPy event arrays;
  `_hdf5`: HDF5 files; `_rosbag`: ROS 1 and 2 bags; `_text`: event text and CSV files;
- `_pieces`: windows, the sensor check and slicing over readers that give pieces of records;
- `_segments`: labelled segments beside a file; `_parts`: what a folder walk takes for rows;
- `_counts`: the native counting pass over pieces that the health report and the filters read;
- `_entry`: the entry points; `_problems`: the error, the warning and their words;
- `_sources`: what the recording page, the summaries and the video ask of a file.

Adding a reader: write one module here that builds a `Reader` (extension, name in messages,
`read(file, window)` and, if the format has one, its `signature`; `sensor_size`, `iterate`,
`time_range` and `source` are optional), and add it to the `register(...)` line below. The
entry points, the extension list in messages, the dataset walk and the recording page then
take the format (a reader without `source` reaches the page as the array it reads). A format
the native decoders read is `_native_formats.decoded(extension, name, layout_of, ...)`: it
gets windows through the time index, bounded iteration and the page's native engine. A
format that is known but not read belongs in `_sniffing.UNSUPPORTED`, so that a file of it
is named for what it is.
"""
from ._registry import FORMATS, READERS, RECORD, register
from ._problems import RecordingError, RecordingWarning
from ._headers import MAX_SENSOR_SIDE
from ._entry import OUTSIDE, iter_events, read_events, read_sensor_size
from ._segments import read_segments
from ._parts import file_parts, in_folder
from . import _aedat4, _aedat_legacy, _hdf5, _native_formats, _numpy_files, _rosbag, _text

__all__ = ["RecordingError", "RecordingWarning", "read_events", "iter_events", "read_sensor_size", "read_segments",
           "FORMATS"]

# The order is the order messages list the extensions in.
register(_aedat4.AEDAT4, _aedat_legacy.AEDAT, _native_formats.RAW, _native_formats.DAT, _native_formats.NMNIST,
         _numpy_files.NPY, _numpy_files.NPZ, _hdf5.H5, _hdf5.HDF5, _rosbag.BAG, _rosbag.DB3, _rosbag.MCAP,
         _text.TXT, _text.CSV)

CHUNK = _native_formats.CHUNK

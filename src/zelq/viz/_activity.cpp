// zelq.viz._activity: recorded activity and node measures for the graph page.
//
// Each node's array is read in place and summarised natively
// (binding/activity.hpp over kernels/activity.hpp, the GIL released); the
// measures are checked against the document (binding/measures.hpp), and
// layer statistics are counted (binding/layer_stats.hpp).
// render_html takes both through its activity= and node_data= keywords.

#include <Python.h>
#include <nanobind/nanobind.h>

#include "binding/activity.hpp"
#include "binding/args.hpp"
#include "binding/layer_stats.hpp"
#include "binding/measures.hpp"

namespace nb = nanobind;
using namespace zv;

NB_MODULE(_activity, m) {
    def(m, "_summarize_activity", {arg("array"), arg_none("node")}, activity::summarize_activity,
        "The raw activity summary of one array (time first, neurons flattened), for checking.\n\n"
        "Raises as render_html does for its activity arrays, naming `node`.");
    def(m, "_activity_document", {arg("data", Kind::Dict), arg("activity", Kind::Dict), arg_none("dt")},
        activity::activity_document,
        "The page's activity summary: per node of `activity` (identifier -> array, time first), its mean,\n"
        "peak and silent measures, per-bin curves, rate histogram and a uint8 raster.\n\n"
        "Raises ValueError for an identifier not among the document's nodes, an array with no time\n"
        "axis, no steps or no neurons, non-finite values and a dt that is not positive; TypeError for\n"
        "a non-numeric dtype or a dt that is not a number.");
    def(m, "_measures_document", {arg("data", Kind::Dict), arg("node_data", Kind::Dict)},
        measures::measures_document,
        "The page's measures: node_data ({name: {node id: number}}) checked against the document's\n"
        "nodes, each value a float or None (NaN and None: no value).\n\n"
        "Raises ValueError for an identifier not among the document's nodes or an infinite value;\n"
        "TypeError for a name that is not a str, a measure that is not a dict or a value that is not\n"
        "a number.");
    layer_stats::define(m);
}

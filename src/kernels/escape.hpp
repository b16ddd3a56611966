// HTML escaping of page titles: & < > " ' become entities, in one pass.
// One pass over the text gives the same result as replacing "&" first and
// then the other four characters, since no entity is ever rescanned.
#pragma once

#include <string>
#include <string_view>

namespace zv::kern {

inline std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#x27;"; break;
            default: out += c;
        }
    }
    return out;
}

// JSON text made safe to embed in an HTML page: "<", ">" and "&" become the
// JSON escapes \u003c, \u003e and \u0026. JSON has these characters only
// inside strings, so the text still parses to the same data, and no
// "</script>" or "<!--" can end or bend the script element it sits in.
inline std::string json_escape_for_html(std::string_view json) {
    std::string out;
    out.reserve(json.size() + 16);
    for (char c : json) {
        switch (c) {
            case '<': out += "\\u003c"; break;
            case '>': out += "\\u003e"; break;
            case '&': out += "\\u0026"; break;
            default: out += c;
        }
    }
    return out;
}

// Replaces every occurrence of `from` (non-empty) in one left-to-right scan
// without overlaps; inserted text is never rescanned.
inline std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::string_view::npos; pos = hit + from.size()) {
        out.append(text.substr(pos, hit - pos));
        out.append(to);
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace zv::kern

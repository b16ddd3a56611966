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

}  // namespace zv::kern

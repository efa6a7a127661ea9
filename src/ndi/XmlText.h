// The five predefined XML entities, both ways; shared by our runtime and the test-source
// sender. Header-only plain C++ (no Qt), so the runtime exports nothing new. Thread-safe.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace drndi {

inline std::string xmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Any other '&' is kept as it stands.
inline std::string xmlUnescape(std::string_view text)
{
    static constexpr std::array<std::pair<std::string_view, char>, 5> entities = {
        {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}}};
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        bool matched = false;
        if (text[i] == '&') {
            for (const auto &[name, c] : entities) {
                if (text.substr(i, name.size()) == name) {
                    out += c;
                    i += name.size();
                    matched = true;
                    break;
                }
            }
        }
        if (!matched)
            out += text[i++];
    }
    return out;
}

} // namespace drndi

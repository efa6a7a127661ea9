#include "InterfaceSelection.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace drndi {

namespace {

std::string trimmed(const std::string &text)
{
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    auto begin = std::find_if(text.begin(), text.end(), notSpace);
    auto end = std::find_if(text.rbegin(), text.rend(), notSpace).base();
    return begin < end ? std::string(begin, end) : std::string();
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The entry in its stored form: an address in dotted form, a name as given; empty when it
// can be neither (Linux names have 1 to 15 bytes, no white space and no '/').
std::string canonicalEntry(const std::string &entry)
{
    in_addr address{};
    if (inet_pton(AF_INET, entry.c_str(), &address) == 1)
        return ipText(address);
    if (entry.empty() || entry.size() > 15 || entry == "." || entry == "..")
        return {};
    bool onlyDigitsAndDots = true;
    for (unsigned char c : entry) {
        if (std::isspace(c) || c == '/' || c == ',' || c < 0x20)
            return {};
        onlyDigitsAndDots = onlyDigitsAndDots && (std::isdigit(c) || c == '.');
    }
    return onlyDigitsAndDots ? std::string() : entry; // "10.0.0.300" is a mistyped address
}

} // namespace

InterfaceSelection InterfaceSelection::parse(const std::string &text)
{
    InterfaceSelection s;
    const std::string whole = lower(trimmed(text));
    if (whole.empty() || whole == "all")
        return s;
    if (whole == "none") {
        s.m_mode = Mode::None;
        return s;
    }
    s.m_mode = Mode::Listed;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find(',', start), text.size());
        const std::string part = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (part.empty())
            continue;
        const std::string entry = canonicalEntry(part);
        if (entry.empty())
            s.m_ignored += (s.m_ignored.empty() ? "" : ",") + part;
        else if (std::find(s.m_entries.begin(), s.m_entries.end(), entry) == s.m_entries.end())
            s.m_entries.push_back(entry);
    }
    return s;
}

InterfaceSelection InterfaceSelection::fromEnvironment()
{
    const char *value = std::getenv(kEnvironment);
    return parse(value ? value : "");
}

bool InterfaceSelection::allows(const LocalInterface &address) const
{
    if (!address.multicast || m_mode == Mode::None)
        return false;
    if (m_mode == Mode::All)
        return true;
    const std::string ip = ipText(address.address);
    const std::string device = address.name.substr(0, address.name.find(':'));
    for (const auto &e : m_entries)
        if (e == ip || e == address.name || e == device)
            return true;
    return false;
}

std::vector<LocalInterface> InterfaceSelection::chosenNow() const
{
    std::vector<LocalInterface> chosen;
    if (m_mode == Mode::None)
        return chosen;
    for (const auto &i : localInterfaces())
        if (allows(i))
            chosen.push_back(i);
    return chosen;
}

bool InterfaceSelection::hears(int index) const
{
    if (m_mode != Mode::Listed)
        return m_mode == Mode::All;
    for (const auto &i : chosenNow())
        if (i.index == index)
            return true;
    return false;
}

std::string InterfaceSelection::hostAddress() const
{
    if (m_mode == Mode::Listed) {
        auto chosen = chosenNow();
        if (!chosen.empty())
            return ipText(chosen.front().address);
    }
    return primaryAddress();
}

std::string InterfaceSelection::text() const
{
    if (m_mode != Mode::Listed)
        return m_mode == Mode::All ? "all" : "none";
    std::string joined;
    for (const auto &e : m_entries)
        joined += (joined.empty() ? "" : ",") + e;
    return joined;
}

} // namespace drndi

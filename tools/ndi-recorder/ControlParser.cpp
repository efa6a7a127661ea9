#include "ControlParser.h"

#include <cstdint>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isNameChar(char c)
{
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

ControlCommand error(std::string text)
{
    ControlCommand c;
    c.type = ControlCommand::Type::Error;
    c.error = std::move(text);
    return c;
}

void appendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xc0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += char(0xe0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3f));
        out += char(0x80 | (cp & 0x3f));
    } else {
        out += char(0xf0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3f));
        out += char(0x80 | ((cp >> 6) & 0x3f));
        out += char(0x80 | (cp & 0x3f));
    }
}

// Decodes the five predefined entities and character references; false on anything else
// (a bare '&' or '<', a reference to NUL, a surrogate or beyond U+10FFFF).
bool decodeValue(std::string_view raw, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '<')
            return false;
        if (c != '&') {
            out += c;
            continue;
        }
        const size_t semi = raw.find(';', i);
        if (semi == std::string_view::npos || semi - i > 10)
            return false;
        const std::string_view ref = raw.substr(i + 1, semi - i - 1);
        i = semi;
        if (ref == "amp")
            out += '&';
        else if (ref == "lt")
            out += '<';
        else if (ref == "gt")
            out += '>';
        else if (ref == "quot")
            out += '"';
        else if (ref == "apos")
            out += '\'';
        else if (ref.size() >= 2 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty())
                return false;
            uint32_t cp = 0;
            for (const char d : digits) {
                uint32_t v;
                if (d >= '0' && d <= '9')
                    v = uint32_t(d - '0');
                else if (hex && d >= 'a' && d <= 'f')
                    v = uint32_t(d - 'a' + 10);
                else if (hex && d >= 'A' && d <= 'F')
                    v = uint32_t(d - 'A' + 10);
                else
                    return false;
                cp = cp * (hex ? 16 : 10) + v;
                if (cp > 0x10ffff)
                    return false;
            }
            if (cp == 0 || (cp >= 0xd800 && cp <= 0xdfff))
                return false;
            appendUtf8(out, cp);
        } else {
            return false;
        }
    }
    return true;
}

std::string shown(std::string_view line)
{
    constexpr size_t kShown = 80;
    std::string s(line.substr(0, kShown));
    for (char &c : s) {
        if (uint8_t(c) < 0x20)
            c = ' ';
    }
    return line.size() > kShown ? s + "..." : s;
}

} // namespace

std::optional<ControlCommand> ControlParser::parseLine(std::string_view line)
{
    size_t b = 0, e = line.size();
    while (b < e && isSpace(line[b]))
        ++b;
    while (e > b && isSpace(line[e - 1]))
        --e;
    const std::string_view s = line.substr(b, e - b);
    if (s.empty())
        return std::nullopt;
    if (s.size() < 4 || s.front() != '<' || s.substr(s.size() - 2) != "/>")
        return error("not an empty element \"<name .../>\": " + shown(s));
    size_t i = 1;
    const size_t end = s.size() - 2;
    if (i >= end || !isNameStart(s[i]))
        return error("no element name: " + shown(s));
    const size_t nameStart = i;
    while (i < end && isNameChar(s[i]))
        ++i;
    const std::string name(s.substr(nameStart, i - nameStart));

    std::string filename;
    bool haveFilename = false;
    while (i < end) {
        if (!isSpace(s[i]))
            return error("malformed element <" + name + ">: " + shown(s));
        while (i < end && isSpace(s[i]))
            ++i;
        if (i == end)
            break;
        if (!isNameStart(s[i]))
            return error("malformed attribute in <" + name + ">: " + shown(s));
        const size_t attrStart = i;
        while (i < end && isNameChar(s[i]))
            ++i;
        const std::string attr(s.substr(attrStart, i - attrStart));
        while (i < end && isSpace(s[i]))
            ++i;
        if (i >= end || s[i] != '=')
            return error("attribute " + attr + " has no value: " + shown(s));
        ++i;
        while (i < end && isSpace(s[i]))
            ++i;
        if (i >= end || (s[i] != '"' && s[i] != '\''))
            return error("attribute " + attr + " has no quoted value: " + shown(s));
        const char quote = s[i++];
        const size_t valueStart = i;
        while (i < end && s[i] != quote)
            ++i;
        if (i >= end)
            return error("attribute " + attr + " is not closed: " + shown(s));
        std::string value;
        if (!decodeValue(s.substr(valueStart, i - valueStart), value))
            return error("attribute " + attr + " has a bad character or reference: " + shown(s));
        ++i;
        if (name == "record_chop" && attr == "filename" && !haveFilename) {
            filename = std::move(value);
            haveFilename = true;
        } else {
            return error("unexpected attribute " + attr + " in <" + name + ">");
        }
    }

    ControlCommand c;
    if (name == "start") {
        c.type = ControlCommand::Type::Start;
    } else if (name == "exit") {
        c.type = ControlCommand::Type::Exit;
    } else if (name == "record_chop") {
        if (filename.empty())
            return error("<record_chop> needs a non-empty filename");
        if (filename.find('\0') != std::string::npos)
            return error("<record_chop> filename holds a NUL character");
        c.type = ControlCommand::Type::Chop;
        c.filename = std::move(filename);
    } else {
        return error("unknown element <" + name + ">");
    }
    return c;
}

void ControlParser::feed(std::string_view data, std::vector<ControlCommand> &out)
{
    while (!data.empty()) {
        const size_t nl = data.find('\n');
        const std::string_view part = data.substr(0, nl);
        if (!m_discarding) {
            if (m_line.size() + part.size() > kMaxLineBytes) {
                out.push_back(error("input line longer than " + std::to_string(kMaxLineBytes) +
                                    " bytes ignored"));
                m_line.clear();
                m_discarding = true;
            } else {
                m_line.append(part);
            }
        }
        if (nl == std::string_view::npos)
            return;
        if (!m_discarding) {
            if (auto c = parseLine(m_line))
                out.push_back(std::move(*c));
        }
        m_line.clear();
        m_discarding = false;
        data.remove_prefix(nl + 1);
    }
}

void ControlParser::finish(std::vector<ControlCommand> &out)
{
    if (!m_discarding) {
        if (auto c = parseLine(m_line))
            out.push_back(std::move(*c));
    }
    m_line.clear();
    m_discarding = false;
}

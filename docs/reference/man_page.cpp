/*
 * man_page.cpp - --help text to a roff manual page (see man_page.h).
 */
#include "man_page.h"

#include <cctype>
#include <vector>

namespace {

std::string Escaped(const std::string& line) {
    std::string out;
    for (char c : line) {
        if (c == '\\')
            out += "\\e";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out.insert(0, "\\&");
    return out;
}

std::string Upper(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string Body(const std::string& line) {
    std::size_t n = 0;
    while (n < line.size() && n < MAN_BODY_INDENT && line[n] == ' ')
        ++n;
    return line.substr(n);
}

// "prog - text" as "prog \- text".
std::string WhatIs(const std::string& line) {
    std::string text = Escaped(Body(line));
    const std::size_t dash = text.find(" - ");
    if (dash != std::string::npos)
        text.replace(dash, 3, " \\- ");
    return text;
}

}  // namespace

std::string ManPage(const std::string& name, int section, const std::string& source,
                    const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(start, nl - start);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
            line.pop_back();
        lines.push_back(line);
        start = nl + 1;
    }
    std::string out = ".TH \"" + Upper(name) + "\" \"" + std::to_string(section) + "\" \"" +
                      MAN_PAGE_DATE + "\" \"" + source + "\" \"mailward manual\"\n";
    std::string heading;
    std::vector<std::string> body;
    auto flush = [&]() {
        if (heading.empty())
            return;
        while (!body.empty() && body.back().empty())
            body.pop_back();
        out += ".SH \"" + Escaped(heading) + "\"\n";
        if (heading == "NAME") {
            for (const std::string& b : body)
                if (!b.empty())
                    out += WhatIs(b) + "\n";
        } else {
            out += ".nf\n";
            for (const std::string& b : body)
                out += b.empty() ? std::string(".sp\n") : Escaped(Body(b)) + "\n";
            out += ".fi\n";
        }
        body.clear();
    };
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] != ' ') {
            flush();
            heading = line;
            continue;
        }
        if (heading.empty())
            continue;  // nothing stands before the first heading
        if (body.empty() && line.empty())
            continue;
        body.push_back(line);
    }
    flush();
    return out;
}

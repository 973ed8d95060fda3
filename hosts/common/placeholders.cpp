/*
 * placeholders.cpp - "%{name}" texts: their check, their expansion, and the
 * cleaning of what goes out.
 */
#include "common/placeholders.h"

namespace {

std::string NameList(std::span<const std::string_view> names) {
    std::string list;
    for (std::string_view n : names)
        list += (list.empty() ? "%{" : ", %{") + std::string(n) + "}";
    return list;
}

}  // namespace

std::string PlaceholderProblem(std::string_view text, std::span<const std::string_view> names,
                               std::size_t* at) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        if (at != nullptr)
            *at = i;
        if (i + 1 < text.size() && text[i + 1] == '%') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || text[i + 1] != '{')
            return "a lone '%': write %% for a percent sign, %{name} for a fact";
        const std::size_t close = text.find('}', i + 2);
        if (close == std::string_view::npos)
            return "'%{' without its '}'";
        const std::string_view name = text.substr(i + 2, close - i - 2);
        bool known = false;
        for (std::string_view n : names)
            known |= n == name;
        if (!known)
            return "unknown placeholder %{" + std::string(name) + "}: use " + NameList(names);
        i = close;
    }
    return "";
}

std::string ExpandPlaceholders(std::string_view text, const PlaceholderValue& value) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) {
            out += text[i];
        } else if (text[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (const std::size_t close = text.find('}', i + 2);
                   text[i + 1] == '{' && close != std::string_view::npos) {
            out += value(text.substr(i + 2, close - i - 2));
            i = close;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string PrintableText(std::string_view text, std::size_t max) {
    std::string out(text.substr(0, max));
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f)
            c = '?';
    }
    return out;
}

// The texts of an SVG chart's elements of one class, as the page tests read them.
#pragma once

#include <string>
#include <vector>

// The text of each element of a class in an svg, in order.
inline std::vector<std::string> textsOf(const std::string& svg, const std::string& cls)
{
    std::vector<std::string> out;
    const std::string mark = "class=\"" + cls + "\"";
    for (size_t t = svg.find(mark); t != std::string::npos; t = svg.find(mark, t + 1)) {
        const size_t from = svg.find('>', t) + 1;
        out.push_back(svg.substr(from, svg.find('<', from) - from));
    }
    return out;
}

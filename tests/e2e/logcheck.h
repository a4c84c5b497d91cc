// Reads the tool's standard-output copy of the log line by line and checks its shape.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kNoLine = static_cast<size_t>(-1);

// Splits text into lines at "\r\n". Fails, naming the first offending line, when a line
// ends in a bare '\n' or '\r' or the text does not end with "\r\n".
bool splitLogLines(const std::string& text, std::vector<std::string>& lines,
                   std::string* problem);

// First line at or after from that equals text, or kNoLine.
size_t findLine(const std::vector<std::string>& lines, const std::string& text, size_t from = 0);

// First line at or after from that matches the regular expression as a whole, or kNoLine.
size_t findMatch(const std::vector<std::string>& lines, const std::string& pattern,
                 size_t from = 0);

bool lineMatches(const std::string& line, const std::string& pattern);

// The six banner lines and the empty line after them, at the start of the log.
bool checkBanner(const std::vector<std::string>& lines, std::string* problem);

// The log ends with "Exiting..." and then exactly emptyLines empty lines.
bool checkClosing(const std::vector<std::string>& lines, int emptyLines, std::string* problem);

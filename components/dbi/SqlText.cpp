// Helpers that keep text from the database or the network from breaking
// or widening a statement.
#include <cctype>

#include "DBI.h"

namespace {

std::string TrimBlanks(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

bool IsInteger(const std::string& text) {
  size_t i = 0;
  if (!text.empty() && text[0] == '-') i = 1;
  const size_t digits = text.size() - i;
  if (digits < 1 || digits > 18) return false;
  for (; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

std::string SanitizeIntegerList(const std::string& list, std::vector<std::string>* rejected) {
  std::string kept;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string item = TrimBlanks(list.substr(start, comma - start));
    start = comma + 1;
    // Empty items ("1,,2", a trailing comma) carry nothing to reject.
    if (item.empty()) continue;
    if (IsInteger(item)) {
      if (!kept.empty()) kept += ',';
      kept += item;
    } else if (rejected != nullptr) {
      rejected->push_back(item);
    }
  }
  return kept;
}

std::string SqlQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

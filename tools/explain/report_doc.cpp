#include "report_doc.h"

#include <algorithm>
#include <ostream>

#include <nlohmann/json.hpp>

Doc Doc::Text(std::string text) {
  Doc d;
  d.kind_ = Kind::kText;
  d.text_ = std::move(text);
  return d;
}

Doc Doc::Number(long long value) {
  Doc d;
  d.kind_ = Kind::kNumber;
  d.text_ = std::to_string(value);
  return d;
}

Doc Doc::Flag(bool value) {
  Doc d;
  d.kind_ = Kind::kBool;
  d.text_ = value ? "true" : "false";
  return d;
}

Doc Doc::Array() {
  Doc d;
  d.kind_ = Kind::kArray;
  return d;
}

Doc Doc::Object() {
  Doc d;
  d.kind_ = Kind::kObject;
  return d;
}

Doc& Doc::Set(const std::string& key, Doc value) {
  kind_ = Kind::kObject;
  for (auto& member : members_) {
    if (member.first == key) {
      member.second = std::move(value);
      return *this;
    }
  }
  members_.emplace_back(key, std::move(value));
  return *this;
}

Doc& Doc::Set(const std::string& key, const std::string& text) {
  return Set(key, Text(text));
}
Doc& Doc::Set(const std::string& key, const char* text) {
  return Set(key, Text(text));
}
Doc& Doc::Set(const std::string& key, long long value) {
  return Set(key, Number(value));
}
Doc& Doc::Set(const std::string& key, int value) {
  return Set(key, Number(value));
}
Doc& Doc::Set(const std::string& key, bool value) {
  return Set(key, Flag(value));
}

Doc& Doc::Add(Doc value) {
  kind_ = Kind::kArray;
  items_.push_back(std::move(value));
  return *this;
}

std::string Doc::Plain() const {
  if (kind_ == Kind::kBool) return text_ == "true" ? "yes" : "no";
  if (kind_ == Kind::kArray) {
    std::string joined;
    for (const Doc& item : items_) {
      if (!joined.empty()) joined += " | ";
      joined += item.Plain();
    }
    return joined;
  }
  return text_;
}

namespace {

nlohmann::ordered_json ToJson(const Doc& d) {
  switch (d.kind()) {
    case Doc::Kind::kNull: return nullptr;
    case Doc::Kind::kBool: return d.Plain() == "yes";
    case Doc::Kind::kNumber: return std::stoll(d.Plain());
    case Doc::Kind::kText: return d.Plain();
    case Doc::Kind::kArray: {
      nlohmann::ordered_json array = nlohmann::ordered_json::array();
      for (const Doc& item : d.items()) array.push_back(ToJson(item));
      return array;
    }
    case Doc::Kind::kObject: break;
  }
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const auto& [key, value] : d.members()) object[key] = ToJson(value);
  return object;
}

}  // namespace

void Doc::WriteJson(std::ostream& out) const {
  // Text from the database need not be UTF-8 (a host name with a stray
  // Latin-1 byte): such bytes become U+FFFD rather than a broken document.
  out << ToJson(*this).dump(2, ' ', false,
                            nlohmann::ordered_json::error_handler_t::replace)
      << '\n';
}

namespace {

// A cell holds a scalar or a list of scalars.
bool IsCell(const Doc& d) {
  if (d.kind() == Doc::Kind::kObject) return false;
  return d.IsScalar() ||
         std::all_of(d.items().begin(), d.items().end(),
                     [](const Doc& item) { return item.IsScalar(); });
}

// An array of objects whose members all fit in cells.
bool IsTable(const Doc& d) {
  if (d.kind() != Doc::Kind::kArray || d.items().empty()) return false;
  return std::all_of(d.items().begin(), d.items().end(), [](const Doc& item) {
    return item.kind() == Doc::Kind::kObject &&
           std::all_of(item.members().begin(), item.members().end(),
                       [](const auto& member) { return IsCell(member.second); });
  });
}

// Rows of objects as aligned columns; the columns are the keys in order of
// first appearance, a nested value shown as its plain text.
void WriteTable(std::ostream& out, const Doc& table, int indent) {
  std::vector<std::string> columns;
  for (const Doc& row : table.items())
    for (const auto& member : row.members())
      if (std::find(columns.begin(), columns.end(), member.first) == columns.end())
        columns.push_back(member.first);
  std::vector<std::vector<std::string>> cells;
  std::vector<size_t> widths;
  for (const std::string& column : columns) widths.push_back(column.size());
  for (const Doc& row : table.items()) {
    std::vector<std::string> line(columns.size());
    for (const auto& member : row.members()) {
      size_t c = static_cast<size_t>(
          std::find(columns.begin(), columns.end(), member.first) - columns.begin());
      line[c] = member.second.Plain();
      widths[c] = std::max(widths[c], line[c].size());
    }
    cells.push_back(std::move(line));
  }
  auto print = [&](const std::vector<std::string>& line) {
    std::string text(static_cast<size_t>(indent), ' ');
    for (size_t c = 0; c < line.size(); ++c) {
      text += line[c];
      if (c + 1 < line.size()) text += std::string(widths[c] - line[c].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  };
  print(columns);
  for (const auto& line : cells) print(line);
}

}  // namespace

void Doc::WriteText(std::ostream& out) const { WriteText(out, 0); }

void Doc::WriteText(std::ostream& out, int indent) const {
  const std::string pad(static_cast<size_t>(indent), ' ');
  if (kind_ != Kind::kObject) {
    out << pad << Plain() << '\n';
    return;
  }
  for (const auto& [key, value] : members_) {
    if (IsTable(value)) {
      out << pad << key << ":\n";
      WriteTable(out, value, indent + 2);
    } else if (value.kind() == Kind::kObject) {
      out << pad << key << ":\n";
      value.WriteText(out, indent + 2);
    } else if (value.kind() == Kind::kArray && !IsCell(value)) {
      out << pad << key << ":\n";
      for (const Doc& item : value.items()) {
        out << pad << "  -\n";
        item.WriteText(out, indent + 4);
      }
    } else if (value.kind() == Kind::kArray && value.items().empty()) {
      out << pad << key << ": (none)\n";
    } else {
      out << pad << key << ": " << value.Plain() << '\n';
    }
  }
}

// The document every korb-explain command builds: a small tree of objects
// (members keep their order), arrays, texts, numbers, flags and nulls. The
// same tree prints as readable text or as one JSON document, so the two
// forms always carry the same facts.
#pragma once

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

class Doc {
 public:
  enum class Kind { kNull, kBool, kNumber, kText, kArray, kObject };

  Doc() = default;
  static Doc Text(std::string text);
  static Doc Number(long long value);
  static Doc Flag(bool value);
  static Doc Array();
  static Doc Object();

  // Object members: Set appends (or replaces) and returns *this for chains.
  Doc& Set(const std::string& key, Doc value);
  Doc& Set(const std::string& key, const std::string& text);
  Doc& Set(const std::string& key, const char* text);
  Doc& Set(const std::string& key, long long value);
  Doc& Set(const std::string& key, int value);
  Doc& Set(const std::string& key, bool value);
  // Array items.
  Doc& Add(Doc value);

  Kind kind() const { return kind_; }
  bool IsScalar() const { return kind_ != Kind::kArray && kind_ != Kind::kObject; }
  const std::vector<std::pair<std::string, Doc>>& members() const { return members_; }
  const std::vector<Doc>& items() const { return items_; }
  // The scalar as text ("" for null, "yes"/"no" for flags).
  std::string Plain() const;

  // One JSON document (nlohmann::json); bytes of a text that are not
  // valid UTF-8 are replaced by U+FFFD.
  void WriteJson(std::ostream& out) const;
  // Indented "key: value" lines; an array of objects is a table.
  void WriteText(std::ostream& out) const;

 private:
  void WriteText(std::ostream& out, int indent) const;

  Kind kind_ = Kind::kNull;
  std::string text_;  // text, or the number / flag as written in JSON
  std::vector<std::pair<std::string, Doc>> members_;
  std::vector<Doc> items_;
};

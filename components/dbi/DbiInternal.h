// Pieces of CDBI that are not part of its contract.
#pragma once

#include <map>
#include <string>

namespace dbi {

// Keys of one option-file group, with '_' spelled '-' and in lower case
// (the client library treats key spellings that way too).
using OptionKeys = std::map<std::string, std::string>;

// Key spelling used in OptionKeys: '_' as '-', lower case.
std::string NormaliseKey(const std::string& key);

// Reads group `group` (exact name) of a MySQL-style option file, merging
// repeated sections. Returns false with *error set when the file cannot be
// read or holds no such group. !include directives are not followed.
bool ReadOptionGroup(const std::string& path, const std::string& group,
                     OptionKeys* keys, std::string* error);

// $KORB_DB_CONFIG, or <install>/ConsoleManagement/config/korb-db.cnf.
// Empty when neither is known.
std::string OptionFilePath();

}  // namespace dbi

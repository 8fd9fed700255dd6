#include "web_config.h"

#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "basic_auth.h"

namespace metrics {
namespace {

bool ReadWhole(const std::filesystem::path& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *text = content.str();
  return !in.bad();
}

// The keys of map that are not in allowed, comma-separated.
std::string UnknownKeys(const YAML::Node& map, const std::set<std::string>& allowed) {
  std::string unknown;
  for (const auto& entry : map) {
    const std::string key = entry.first.as<std::string>();
    if (allowed.count(key) == 0) unknown += (unknown.empty() ? "" : ", ") + key;
  }
  return unknown;
}

bool Fail(const std::string& path, const std::string& what, std::string* error) {
  *error = "web configuration " + path + ": " + what;
  return false;
}

}  // namespace

bool LoadWebConfig(const std::string& path, EndpointSecurity* security, std::string* error) {
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::Exception& e) {
    return Fail(path, e.what(), error);
  }
  if (!root.IsMap()) return Fail(path, "not a YAML mapping", error);
  EndpointSecurity loaded;
  try {
    const std::string unknown = UnknownKeys(root, {"tls_server_config", "basic_auth_users"});
    if (!unknown.empty()) return Fail(path, "unknown keys: " + unknown, error);
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (const YAML::Node tls = root["tls_server_config"]) {
      if (!tls.IsMap()) return Fail(path, "tls_server_config is not a mapping", error);
      const std::string unknown_tls = UnknownKeys(tls, {"cert_file", "key_file"});
      if (!unknown_tls.empty())
        return Fail(path, "unknown keys in tls_server_config: " + unknown_tls, error);
      if (!tls["cert_file"] || !tls["key_file"])
        return Fail(path, "tls_server_config needs both cert_file and key_file", error);
      for (const char* key : {"cert_file", "key_file"}) {
        const std::filesystem::path named = tls[key].as<std::string>();
        const std::filesystem::path file = named.is_absolute() ? named : folder / named;
        std::string* target = key[0] == 'c' ? &loaded.cert_pem : &loaded.key_pem;
        if (!ReadWhole(file, target) || target->empty())
          return Fail(path, std::string(key) + " " + file.string() + " cannot be read", error);
      }
    }
    if (const YAML::Node users = root["basic_auth_users"]) {
      if (!users.IsMap()) return Fail(path, "basic_auth_users is not a mapping", error);
      for (const auto& entry : users) {
        const std::string user = entry.first.as<std::string>();
        const std::string hash = entry.second.as<std::string>();
        const std::string wrong = BasicAuth::CheckHash(hash);
        if (!wrong.empty()) return Fail(path, "user " + user + ": " + wrong, error);
        loaded.users[user] = hash;
      }
    }
  } catch (const YAML::Exception& e) {
    return Fail(path, e.what(), error);
  }
  *security = std::move(loaded);
  return true;
}

}  // namespace metrics

// The endpoint's web configuration file, in the format Prometheus
// exporters read:
//
//   tls_server_config:
//     cert_file: /etc/korb/metrics.crt   # PEM; relative paths are taken
//     key_file: /etc/korb/metrics.key    #   from the file's own folder
//   basic_auth_users:
//     prometheus: $2y$10$...             # bcrypt hash of the password
//
// Either section may be left out. Unknown keys, a certificate without its
// key, an unreadable file or a hash that is not bcrypt are errors: a file
// that says less than its author meant must not open the endpoint with
// less protection.
#pragma once

#include <string>

#include "http_endpoint.h"

namespace metrics {

// Reads path into *security (certificate and key loaded into memory).
// Returns false with *error naming the file and what is wrong.
bool LoadWebConfig(const std::string& path, EndpointSecurity* security, std::string* error);

}  // namespace metrics

// A throw-away certificate authority and a server certificate for the sandbox's HTTPS listener.
#pragma once

#include <optional>
#include <string>

#include "wire.hpp"

namespace tavi::sandbox::tls {

struct Material {
    wire::Key caKey;
    wire::X509Ptr caCert;
    wire::Key key;  ///< the server certificate's key
    wire::X509Ptr cert;
};

/// A fresh CA and a certificate it signed for localhost, 127.0.0.1 and ::1, valid from an hour
/// ago for 30 days. Absent (with `error`) on failure.
std::optional<Material> makeMaterial(std::string& error);

}  // namespace tavi::sandbox::tls

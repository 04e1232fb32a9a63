// The client side of the sandbox's control endpoints, for `tavi sandbox-fault`: a sandbox running
// in another process takes its faults over HTTP.
#include <httplib.h>

#include "sandbox.hpp"

namespace tavi::sandbox {
namespace {

ControlAnswer send(std::string url, const std::string& caFile, const std::string& method,
                   const std::string& body) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    const bool tls = url.rfind("https://", 0) == 0;
    if (!tls && url.rfind("http://", 0) != 0) {
        return {0, "", "the server URL must start with http:// or https://"};
    }
    httplib::Client client(url);
    if (!client.is_valid()) return {0, "", "the server URL is not scheme://host:port"};
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    client.set_write_timeout(10, 0);
    if (tls) {
        if (!caFile.empty()) client.set_ca_cert_path(caFile.c_str());
        client.enable_server_certificate_verification(true);
    }
    const char* path = "/__sandbox/faults";
    auto result =
        method == "DELETE" ? client.Delete(path) : client.Post(path, body, "application/json");
    if (!result) {
        std::string why = httplib::to_string(result.error());
        if (tls && caFile.empty()) why += " (a TLS sandbox needs --ca-file with its CA)";
        return {0, "", "no answer from " + url + " (" + why + " error)"};
    }
    return {result->status, result->body, ""};
}

}  // namespace

ControlAnswer sendFault(const std::string& url, const std::string& caFile, const Fault& fault) {
    return send(url, caFile, "POST", faultJson(fault));
}

ControlAnswer sendClearFaults(const std::string& url, const std::string& caFile) {
    return send(url, caFile, "DELETE", "");
}

}  // namespace tavi::sandbox

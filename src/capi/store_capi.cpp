// The C interface of the store's protection: status, reset and rekey, each as one JSON line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/sqlite_store.hpp"
#include "tavi/store.hpp"
#include "tavi/tavi.h"

namespace {

using tavi::detail::jsonQuoted;

tavi_status answer(const tavi::Result<tavi::StoreStatus>& result, char** json) {
    const std::string text =
        result ? result.value().json()
               : "{\"error\":{\"domain\":" + jsonQuoted(result.error().domain) +
                     ",\"code\":" + std::to_string(result.error().code) +
                     ",\"message\":" + jsonQuoted(result.error().message) + "}}";
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return TAVI_INTERNAL_ERROR;
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *json = copy;
    return result ? TAVI_OK : TAVI_FAILED;
}

template <class F>
tavi_status run(char** json, F&& call) {
    if (json == nullptr) return TAVI_INVALID_ARGUMENT;
    *json = nullptr;
    try {
        return answer(call(), json);
    } catch (...) {
        return TAVI_INTERNAL_ERROR;
    }
}

}  // namespace

extern "C" {

tavi_status tavi_store_status(char** json) {
    return run(json, [] { return tavi::KeychainManager::status(); });
}

tavi_status tavi_store_reset(char** json) {
    return run(json, [] { return tavi::KeychainManager::resetStore(); });
}

tavi_status tavi_store_rekey(char** json) {
    return run(json, [] { return tavi::KeychainManager::rekeyStore(); });
}

}  // extern "C"

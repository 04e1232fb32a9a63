// The payment server's and the bank's side of each exchange: strict reading of the request
// records, opening of sealed payloads and bank-sealed secrets, and the sandbox's state.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "server_impl.hpp"

namespace tavi::sandbox {
namespace {

using detail::Answer;
using detail::BadRequest;
using detail::Exchange;
using detail::Registration;
using detail::Transaction;

constexpr const char* kApi = "/kora-core/tavi-sdk/urn:apiver:1.0/";

// --- strict record reading --------------------------------------------------------------------

json parseObject(std::string_view text, const std::string& what) {
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw BadRequest{what + " is not a JSON object"};
    return j;
}

std::string requireString(const json& o, const char* key, const char* where) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_string()) {
        throw BadRequest{std::string(where) + "." + key + " must be a string"};
    }
    return it->get<std::string>();
}

std::optional<std::string> optionalString(const json& o, const char* key, const char* where) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) throw BadRequest{std::string(where) + "." + key + " must be a string"};
    return it->get<std::string>();
}

const json& requireObject(const json& o, const char* key, const char* where) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_object()) {
        throw BadRequest{std::string(where) + "." + key + " must be an object"};
    }
    return *it;
}

const json* optionalObject(const json& o, const char* key, const char* where) {
    auto it = o.find(key);
    if (it == o.end() || it->is_null()) return nullptr;
    if (!it->is_object()) throw BadRequest{std::string(where) + "." + key + " must be an object"};
    return &*it;
}

std::int64_t requireInteger(const json& o, const char* key, const char* where) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_number_integer()) {
        throw BadRequest{std::string(where) + "." + key + " must be an integer"};
    }
    return it->get<std::int64_t>();
}

bool requireBool(const json& o, const char* key, const char* where) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_boolean()) {
        throw BadRequest{std::string(where) + "." + key + " must be a boolean"};
    }
    return it->get<bool>();
}

struct DeviceInfo {
    std::string deviceId;
    std::string appId;
    std::string imei1;
    std::string imei2;
    std::optional<std::string> mobileNo;
    std::optional<std::string> pspIdentifier;
};

DeviceInfo readDeviceInfo(const json& o) {
    const char* w = "deviceInfo";
    return DeviceInfo{requireString(o, "deviceId", w),  requireString(o, "appId", w),
                      requireString(o, "imei1", w),     requireString(o, "imei2", w),
                      optionalString(o, "mobileNo", w), optionalString(o, "pspIdentifier", w)};
}

void readPaymentInstrument(const json& o) {
    optionalString(o, "paymentInstrumentType", "paymentInstrument");
    optionalString(o, "bic", "paymentInstrument");
}

/// The payload of the registration check and of key retrieval.
DeviceInfo readKeysRetrievalPayload(const json& p) {
    const char* w = "payload";
    readPaymentInstrument(requireObject(p, "paymentInstrument", w));
    DeviceInfo d = readDeviceInfo(requireObject(p, "deviceInfo", w));
    requireInteger(p, "startDateTime", w);
    requireBool(p, "resetCredentialCall", w);
    return d;
}

struct CommonRequest {
    std::string msgId;
    std::string pspIdentifier;
    std::string taviIdentifier;
    std::string symmetricKey;
    std::optional<std::string> transactionType;
    std::optional<std::string> txnId;
};

struct SealedRequest {
    CommonRequest common;
    std::string payloadEnc;
};

/// Reads {"commonRequest":{…}, payloadKey: "…"}; the answer names the request's msgId as soon as
/// it is known, so that even an error answer refers to it.
SealedRequest readSealedRequest(const Exchange& ex, Answer& a, const char* payloadKey) {
    json body = parseObject(ex.req.body, "the body");
    const json& c = requireObject(body, "commonRequest", "body");
    const char* w = "commonRequest";
    SealedRequest r;
    r.common.msgId = requireString(c, "msgId", w);
    a.reqMsgId = r.common.msgId;
    r.common.pspIdentifier = requireString(c, "pspIdentifier", w);
    r.common.taviIdentifier = requireString(c, "taviIdentifier", w);
    r.common.symmetricKey = requireString(c, "symmetricKey", w);
    r.common.transactionType = optionalString(c, "transactionType", w);
    r.common.txnId = optionalString(c, "txnId", w);
    r.payloadEnc = requireString(body, payloadKey, "body");
    return r;
}

std::string requireTxnId(const SealedRequest& r) {
    if (!r.common.txnId) throw BadRequest{"commonRequest.txnId must be a string"};
    return *r.common.txnId;
}

// --- opening ----------------------------------------------------------------------------------

/// Opens a sealed payload: the AES key wrapped under `key`, the payload AES-256-CTR encrypted
/// and URL-safe base64 encoded. Records the decrypted text.
json openPayload(Exchange& ex, const wire::Key& key, const std::string& symmetricKey,
                 const std::string& payloadEnc) {
    auto wrapped = wire::unbase64(symmetricKey);
    if (!wrapped) throw BadRequest{"commonRequest.symmetricKey is not standard base64"};
    auto aesKey = wire::rsaDecrypt(key, *wrapped);
    if (!aesKey || aesKey->size() != 32) {
        throw BadRequest{"symmetricKey does not open to a 32-byte AES key"};
    }
    auto cipher = wire::unbase64Url(payloadEnc);
    if (!cipher) throw BadRequest{"the payload is not URL-safe base64"};
    auto plain = wire::aesDecrypt(*aesKey, *cipher);
    if (!plain) throw BadRequest{"the payload does not decrypt (length or padding)"};
    ex.rec.decryptedPayload = *plain;
    return parseObject(*plain, "the payload");
}

bool isUnitRandom(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    double r = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(r) && r >= 0.0 && r < 1.0;
}

/// Unseals a secret sealed for the bank ("ki:" + base64 RSA of "txnId|value|r") and records it.
std::string unsealForBank(Exchange& ex, const Transaction& t, const std::string& txnId,
                          const std::string& sealed, const char* what) {
    auto fail = [&](const char* why) {
        return BadRequest{std::string(what) + ": " + why, "BAD_SEAL"};
    };
    auto colon = sealed.find(':');
    if (colon == std::string::npos) throw fail("not sealed for the bank");
    if (sealed.compare(0, colon, t.bankKi) != 0) throw fail("sealed under another key index");
    auto cipher = wire::unbase64(std::string_view(sealed).substr(colon + 1));
    if (!cipher) throw fail("the sealed value is not standard base64");
    auto text = wire::rsaDecrypt(t.bankKey, *cipher);
    if (!text) throw fail("does not open with the bank key");
    auto first = text->find('|');
    auto last = text->rfind('|');
    if (first == std::string::npos || first == last) throw fail("not of the form txnId|value|r");
    if (text->compare(0, first, txnId) != 0) throw fail("sealed for another transaction");
    if (!isUnitRandom(text->substr(last + 1))) throw fail("the random part is not in [0,1)");
    ex.rec.unsealed.push_back(*text);
    return text->substr(first + 1, last - first - 1);
}

// --- small helpers ----------------------------------------------------------------------------

std::string isoTimeIn(int seconds) {
    std::time_t t = std::time(nullptr) + seconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

int currentYear() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm.tm_year + 1900;
}

std::string challengeCode() {
    static const char* alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";  // 32 letters
    std::string code;
    for (char b : wire::randomBytes(6)) code += alphabet[static_cast<unsigned char>(b) & 31];
    return code;
}

std::string maskPhone(const std::string& phone) {
    if (phone.size() <= 4) return phone;
    return std::string(phone.size() - 4, '*') + phone.substr(phone.size() - 4);
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool luhn(const std::string& number) {
    if (!allDigits(number) || number.size() < 12 || number.size() > 19) return false;
    int sum = 0;
    bool twice = false;
    for (auto it = number.rbegin(); it != number.rend(); ++it) {
        int d = *it - '0';
        if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string percentEncode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            u == '-' || u == '.' || u == '_' || u == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

std::string htmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

/// Key texts handed to the client: base64 of the DER SubjectPublicKeyInfo, URL-safe, unpadded.
std::string keyText(const wire::Key& key) {
    return wire::base64UrlNoPad(wire::publicDer(key));
}

}  // namespace

// --- routing ----------------------------------------------------------------------------------

namespace {

/// The endpoints by the last segment of their paths, for faults asked for by name. Keep in step
/// with the table in route().
const std::vector<std::pair<std::string, std::string>>& knownEndpoints() {
    static const std::string api = kApi;
    static const std::vector<std::pair<std::string, std::string>> known = {
        {"txn-status", "/mpgs/txn-status"},
        {"user-registration-txn", "/kora-core/kora-sms/urn:apiver:1.0/user-registration-txn"},
        {"user-registration", api + "user-registration"},
        {"check-device-registration", api + "check-device-registration"},
        {"retrieve-key", api + "retrieve-key"},
        {"authorize", api + "authorize"},
        {"fetch-otp-challenge-code", api + "fetch-otp-challenge-code"},
        {"validate-otp-api", api + "validate-otp-api"},
        {"validate-card-num", api + "validate-card-num"},
        {"register-card-detail", api + "register-card-detail"},
        {"request-web-url", api + "request-web-url"},
    };
    return known;
}

}  // namespace

std::optional<std::string> endpointPath(std::string_view nameOrPath) {
    if (!nameOrPath.empty() && nameOrPath.front() == '/') return std::string(nameOrPath);
    for (const auto& [name, path] : knownEndpoints()) {
        if (nameOrPath == name) return path;
    }
    return std::nullopt;
}

std::vector<std::string> endpointNames() {
    std::vector<std::string> names;
    for (const auto& [name, path] : knownEndpoints()) names.push_back(name);
    return names;
}

Answer Server::Impl::route(Exchange& ex) {
    struct Endpoint {
        const char* method;
        std::string path;
        Handler handler;
        const char* payloadKey;  ///< the answer's payload key
        bool envelope;
    };
    static const std::string api = kApi;
    static const Endpoint endpoints[] = {
        {"GET", "/mpgs/txn-status", &Impl::txnStatus, "", false},
        {"POST", "/kora-core/kora-sms/urn:apiver:1.0/user-registration-txn", &Impl::smsRegistration,
         "", false},
        {"POST", api + "user-registration", &Impl::userRegistration,
         "userRegistrationResponsePayloadEnc", true},
        {"POST", api + "check-device-registration", &Impl::checkDeviceRegistration, "", true},
        {"POST", api + "retrieve-key", &Impl::retrieveKey,
         "encryptionKeyRetrievalResponsePayloadEnc", true},
        {"POST", api + "authorize", &Impl::authorize, "", true},
        {"POST", api + "fetch-otp-challenge-code", &Impl::fetchOtpChallenge,
         "fetchOtpCodeResponsePayloadEnc", true},
        {"POST", api + "validate-otp-api", &Impl::validateOtp, "", true},
        {"POST", api + "validate-card-num", &Impl::validateCardNum, "", true},
        {"POST", api + "register-card-detail", &Impl::registerCardDetail, "", true},
        {"POST", api + "request-web-url", &Impl::requestWebUrl, "requestWebUrlResponsePayloadEnc",
         true},
    };

    Answer a;
    const Endpoint* found = nullptr;
    bool pathKnown = false;
    for (const auto& e : endpoints) {
        if (e.path != ex.req.path) continue;
        pathKnown = true;
        if (ex.req.method == e.method || (ex.req.method == "HEAD" && e.method[0] == 'G')) {
            found = &e;
        }
    }
    Handler handler = nullptr;
    if (found != nullptr) {
        handler = found->handler;
        a.payloadKey = found->payloadKey;
        a.envelope = found->envelope;
    } else if (ex.req.path.rfind("/secure-page/", 0) == 0 && ex.req.method == "GET") {
        handler = &Impl::securePage;
        a.envelope = false;
    } else {
        a.envelope = false;
        a.status = pathKnown ? 405 : 404;
        a.plain = {
            {"errorCode", pathKnown ? "METHOD_NOT_ALLOWED" : "NOT_FOUND"},
            {"errorReason", pathKnown ? "wrong method for this endpoint" : "no such endpoint"}};
        return a;
    }

    try {
        (this->*handler)(ex, a);
    } catch (const BadRequest& e) {
        a.status = 400;
        a.html.reset();
        a.extra = json::object();
        a.refuse(e.code, e.reason);
        if (!a.envelope) a.plain = {{"errorCode", e.code}, {"errorReason", e.reason}};
    }
    return a;
}

// --- endpoints --------------------------------------------------------------------------------

void Server::Impl::txnStatus(Exchange& ex, Answer& a) {
    const auto& req = ex.req;
    if (!req.has_param("txnStatusFlagEnum") ||
        req.get_param_value("txnStatusFlagEnum") != "IS_OTP_VERIFIED") {
        throw BadRequest{"txnStatusFlagEnum must be IS_OTP_VERIFIED"};
    }
    if (!req.has_param("txnId")) throw BadRequest{"txnId is required"};
    const std::string txnId = req.get_param_value("txnId");

    std::string status = "NOT_FOUND";
    std::lock_guard lock(mutex);
    auto it = transactions.find(txnId);
    if (it != transactions.end() && !it->second.status.empty()) {
        status = it->second.status;
    } else if (txnId == kDemoTxnId) {
        status = demoPolls < options.pendingPolls ? "PENDING" : "VERIFIED";
        ++demoPolls;
    } else if (it != transactions.end()) {
        status = "INITIATED";
    }
    a.plain = {{"txnStatus", status}};
}

void Server::Impl::securePage(Exchange& ex, Answer& a) {
    std::string txn = ex.req.path.substr(std::string("/secure-page/").size());
    a.html =
        "<!DOCTYPE html>\n<html><head><title>Secure page</title></head><body>\n"
        "<h1>Sandbox secure page</h1><p>Transaction " +
        htmlEscape(txn) + "</p></body></html>\n";
}

void Server::Impl::smsRegistration(Exchange& ex, Answer& a) {
    json body = parseObject(ex.req.body, "the body");
    std::string mobile = requireString(body, "mobileNumber", "body");
    std::string txnId = requireString(body, "txnId", "body");
    {
        std::lock_guard lock(mutex);
        smsTxns[txnId] = mobile;
    }
    a.plain = {{"status", "SMS_SENT"}, {"txnId", txnId}};
}

void Server::Impl::userRegistration(Exchange& ex, Answer& a) {
    json body = parseObject(ex.req.body, "the body");
    const char* w = "body";
    a.reqMsgId = requireString(body, "msgId", w);
    requireString(body, "pspOrgId", w);
    std::string txnId = requireString(body, "txnId", w);
    std::string payloadEnc = requireString(body, "taviRegistrationRequestEnc", w);
    std::string symmetricKey = requireString(body, "symmetricKey", w);

    json p = openPayload(ex, serverKey, symmetricKey, payloadEnc);
    std::string taviId = requireString(p, "taviIdentifier", "payload");
    const json& di = requireObject(p, "deviceInfo", "payload");
    if (di.contains("pspIdentifier")) {
        throw BadRequest{"the deviceInfo of a registration carries no pspIdentifier"};
    }
    DeviceInfo device = readDeviceInfo(di);
    a.wrapKey = serverKey;

    {
        std::lock_guard lock(mutex);
        auto sms = smsTxns.find(txnId);
        if (sms == smsTxns.end() || !device.mobileNo || sms->second != *device.mobileNo) {
            a.refuse("SMS_NOT_VERIFIED",
                     "no SMS registration for this transaction and mobile number");
            return;
        }
    }

    Registration r;
    r.taviId = taviId;
    r.deviceId = device.deviceId;
    r.appId = device.appId;
    r.imei1 = device.imei1;
    r.imei2 = device.imei2;
    r.mobile = *device.mobileNo;
    r.pspId = "PSP-" + wire::randomHex(4);
    r.deviceKey = wire::takePooledRsaKey();
    if (!r.deviceKey) throw BadRequest{"cannot issue a device key", "INTERNAL"};

    a.payload = json{{"pspIdentifier", r.pspId}, {"taviKey", keyText(r.deviceKey)}};
    std::lock_guard lock(mutex);
    registrations[taviId] = std::move(r);
}

namespace {

template <class Map>
auto copyOf(std::mutex& m, const Map& map, const std::string& key)
    -> std::optional<typename Map::mapped_type> {
    std::lock_guard lock(m);
    auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
}

}  // namespace

void Server::Impl::checkDeviceRegistration(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "credentialKeysRetrievalPayloadEnc");
    auto reg = copyOf(mutex, registrations, r.common.taviIdentifier);
    if (!reg) return a.refuse("NOT_REGISTERED", "no registration for this tavi identifier");

    json p = openPayload(ex, reg->deviceKey, r.common.symmetricKey, r.payloadEnc);
    DeviceInfo d = readKeysRetrievalPayload(p);
    if (d.deviceId != reg->deviceId || d.imei1 != reg->imei1 || d.imei2 != reg->imei2 ||
        d.pspIdentifier.value_or("") != reg->pspId) {
        return a.refuse("DEVICE_MISMATCH", "the device does not match its registration");
    }
    if (d.mobileNo.value_or("") != reg->mobile) {
        return a.refuse("MOBILE_MISMATCH", "the mobile number is not the registered one");
    }
}

void Server::Impl::retrieveKey(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "credentialKeysRetrievalPayloadEnc");
    std::string txnId = requireTxnId(r);
    auto reg = copyOf(mutex, registrations, r.common.taviIdentifier);
    if (!reg) return a.refuse("NOT_REGISTERED", "no registration for this tavi identifier");

    json p = openPayload(ex, reg->deviceKey, r.common.symmetricKey, r.payloadEnc);
    readKeysRetrievalPayload(p);
    a.wrapKey = reg->deviceKey;

    Transaction t;
    t.taviId = reg->taviId;
    if (options.fixedTransactionKeys) {
        std::lock_guard lock(mutex);
        if (!fixedSessionKey) fixedSessionKey = wire::takePooledRsaKey();
        if (!fixedBankKey) fixedBankKey = wire::takePooledRsaKey();
        t.sessionKey = fixedSessionKey;
        t.bankKey = fixedBankKey;
    } else {
        t.sessionKey = wire::takePooledRsaKey();
        t.bankKey = wire::takePooledRsaKey();
    }
    if (!t.sessionKey || !t.bankKey) throw BadRequest{"cannot issue transaction keys", "INTERNAL"};
    t.rule = "PIN_LENGTH=4";
    {
        std::lock_guard lock(mutex);
        char ki[16];
        std::snprintf(ki, sizeof ki, "KI-%04d", ++kiCounter % 10000);
        t.bankKi = ki;
        transactions[txnId] = t;
    }
    a.payload = json{{"sessionKey", keyText(t.sessionKey)},
                     {"bankKi", t.bankKi},
                     {"publicKey", wire::base64(keyText(t.bankKey))},
                     {"isUrlPage", false},
                     {"rule", t.rule}};
}

namespace {

/// The transaction a session-keyed request belongs to, or a refusal when it has no session key.
std::optional<Transaction> sessionTransaction(std::mutex& m,
                                              const std::map<std::string, Transaction>& txns,
                                              const std::string& txnId, Answer& a) {
    auto t = copyOf(m, txns, txnId);
    if (!t || !t->sessionKey) {
        a.refuse("UNKNOWN_TXN", "no keys were retrieved for this transaction");
        return std::nullopt;
    }
    return t;
}

}  // namespace

void Server::Impl::authorize(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "credentialSubmissionPayloadEnc");
    std::string txnId = requireTxnId(r);
    auto t = sessionTransaction(mutex, transactions, txnId, a);
    if (!t) return;

    json p = openPayload(ex, t->sessionKey, r.common.symmetricKey, r.payloadEnc);
    readDeviceInfo(requireObject(p, "deviceInfo", "payload"));
    const json& cred = requireObject(p, "authorizePINCred", "payload");
    std::string credType = requireString(cred, "credType", "authorizePINCred");
    std::string sealed = requireString(cred, "credValue", "authorizePINCred");
    std::string value = unsealForBank(ex, *t, txnId, sealed, "credValue");
    if ((credType != "PIN" && credType != "MPIN") || value != kTestPin) {
        a.refuse("INVALID_CREDENTIAL", "the credential was not accepted");
    }
}

void Server::Impl::fetchOtpChallenge(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "fetchOtpCodePayloadEnc");
    std::string txnId = requireTxnId(r);
    auto reg = copyOf(mutex, registrations, r.common.taviIdentifier);
    if (!reg) return a.refuse("NOT_REGISTERED", "no registration for this tavi identifier");

    json p = openPayload(ex, reg->deviceKey, r.common.symmetricKey, r.payloadEnc);
    auto action = optionalString(p, "action", "payload");
    if (const json* pi = optionalObject(p, "paymentInstrument", "payload")) {
        readPaymentInstrument(*pi);
    }
    readDeviceInfo(requireObject(p, "deviceInfo", "payload"));
    a.wrapKey = reg->deviceKey;

    detail::Challenge c{"REF-" + wire::randomHex(6), challengeCode(), isoTimeIn(5 * 60),
                        action.value_or("PURCHASE")};
    {
        std::lock_guard lock(mutex);
        Transaction& t = transactions[txnId];
        if (t.taviId.empty()) t.taviId = reg->taviId;
        t.challenge = c;
        t.status = "PENDING";
    }
    a.payload = json{{"referenceId", c.referenceId},
                     {"otpExpiry", c.expiry},
                     {"otpChallengeCode", c.code},
                     {"action", c.action},
                     {"otpPhoneNumber", maskPhone(reg->mobile)}};
}

void Server::Impl::validateOtp(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "validateOtpApiPayloadEnc");
    std::string txnId = requireTxnId(r);
    auto t = sessionTransaction(mutex, transactions, txnId, a);
    if (!t) return;

    json p = openPayload(ex, t->sessionKey, r.common.symmetricKey, r.payloadEnc);
    const char* w = "payload";
    optionalString(p, "bic", w);
    auto referenceId = optionalString(p, "referenceId", w);
    auto otp = optionalString(p, "otp", w);
    optionalString(p, "action", w);
    if (const json* di = optionalObject(p, "deviceInfo", w)) readDeviceInfo(*di);
    if (!referenceId) throw BadRequest{"payload.referenceId is required"};
    if (!otp) throw BadRequest{"payload.otp is required"};
    std::string value = unsealForBank(ex, *t, txnId, *otp, "otp");

    std::lock_guard lock(mutex);
    Transaction& current = transactions[txnId];
    if (!current.challenge || current.challenge->referenceId != *referenceId) {
        a.refuse("UNKNOWN_REFERENCE", "no OTP challenge with this reference");
    } else if (value != kTestOtp) {
        a.refuse("OTP_MISMATCH", "the OTP does not match the challenge");
    } else {
        current.status = "VERIFIED";
    }
}

void Server::Impl::validateCardNum(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "validateCardNumPayloadEnc");
    if (r.common.transactionType != std::optional<std::string>("FINANCIAL_TXN")) {
        throw BadRequest{"commonRequest.transactionType must be FINANCIAL_TXN"};
    }
    std::string txnId = requireTxnId(r);
    auto t = sessionTransaction(mutex, transactions, txnId, a);
    if (!t) return;

    json p = openPayload(ex, t->sessionKey, r.common.symmetricKey, r.payloadEnc);
    const char* w = "payload";
    requireString(p, "bic", w);
    readDeviceInfo(requireObject(p, "deviceInfo", w));
    std::string sealed = requireString(p, "cardNum", w);
    std::string bankName = requireString(p, "bankName", w);
    std::string number = unsealForBank(ex, *t, txnId, sealed, "cardNum");

    for (const auto& card : kTestCards) {
        if (number == card.number) {
            a.extra["bankNameMatchStatus"] =
                equalsIgnoringCase(bankName, card.bankName) ? "MATCH" : "MISMATCH";
            return;
        }
    }
    a.refuse("CARD_NOT_FOUND", "the card number is not known");
}

void Server::Impl::registerCardDetail(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "registerCardDetailPayloadEnc");
    std::string txnId = requireTxnId(r);
    auto t = sessionTransaction(mutex, transactions, txnId, a);
    if (!t) return;

    json p = openPayload(ex, t->sessionKey, r.common.symmetricKey, r.payloadEnc);
    const char* w = "payload";
    requireInteger(p, "startDateTime", w);
    if (const json* di = optionalObject(p, "deviceInfo", w)) readDeviceInfo(*di);
    optionalString(p, "bic", w);
    auto unseal = [&](const std::optional<std::string>& v, const char* what) {
        return v ? std::optional(unsealForBank(ex, *t, txnId, *v, what)) : std::nullopt;
    };
    if (const json* account = optionalObject(p, "accountInfo", w)) {
        optionalString(*account, "bic", "accountInfo");
        unseal(optionalString(*account, "accountNo", "accountInfo"), "accountNo");
    }
    std::optional<std::string> number, month, year, cvv;
    if (const json* card = optionalObject(p, "card", w)) {
        const char* cw = "card";
        number = unseal(optionalString(*card, "number", cw), "number");
        month = unseal(optionalString(*card, "expiryMonth", cw), "expiryMonth");
        year = unseal(optionalString(*card, "expiryYear", cw), "expiryYear");
        cvv = unseal(optionalString(*card, "cvv", cw), "cvv");
        optionalString(*card, "fullName", cw);
    }

    if (!number || !luhn(*number)) return a.refuse("INVALID_CARD", "the card number is invalid");
    if (!month || !allDigits(*month) || month->size() > 2 || std::stoi(*month) < 1 ||
        std::stoi(*month) > 12) {
        return a.refuse("INVALID_EXPIRY", "the expiry month is invalid");
    }
    if (!year || !allDigits(*year) || year->size() != 4 || std::stoi(*year) < currentYear()) {
        return a.refuse("INVALID_EXPIRY", "the expiry year is invalid or past");
    }
    if (!cvv || !allDigits(*cvv) || cvv->size() < 3 || cvv->size() > 4) {
        return a.refuse("INVALID_CVV", "the CVV is invalid");
    }
}

void Server::Impl::requestWebUrl(Exchange& ex, Answer& a) {
    SealedRequest r = readSealedRequest(ex, a, "requestWebUrlPayloadEnc");
    std::string txnId = requireTxnId(r);
    auto reg = copyOf(mutex, registrations, r.common.taviIdentifier);
    if (!reg) return a.refuse("NOT_REGISTERED", "no registration for this tavi identifier");

    json p = openPayload(ex, reg->deviceKey, r.common.symmetricKey, r.payloadEnc);
    readPaymentInstrument(requireObject(p, "paymentInstrument", "payload"));
    readDeviceInfo(requireObject(p, "deviceInfo", "payload"));
    a.wrapKey = reg->deviceKey;
    a.payload = json{{"refUrl", baseUrl + "/secure-page/" + percentEncode(txnId) +
                                    "?ref=" + wire::randomHex(8)}};
}

}  // namespace tavi::sandbox

// tavi — the table of error codes, one list per domain. result.hpp, card.hpp, crypto.hpp and
// store.hpp make their enumerations and constants from it, errorCodeName() its names, and the
// errors-doc tool the code tables of docs/ERRORS.md (a test fails when that file is out of date).
//
// Each row is X(code, name, brief, meaning, action): `brief` is the header's one-line comment;
// `meaning` and `action` (Markdown, may be empty) are what docs/ERRORS.md says. Codes are stored
// by hosts and returned through the C interface: never renumber a row, only add rows.
#pragma once

// clang-format off

/// TaviClientError: failures on this side, before a request is sent or after an answer arrives.
#define TAVI_CLIENT_ERROR_CODES(X)                                                                 \
    X(1, missingSessionValue, "a required keychain value is absent",                               \
      "a value of the registered session (the message names it, e.g. \"taviKey\", \"deviceId\") "  \
      "is absent from the store",                                                                  \
      "register the device again, then retry")                                                     \
    X(2, invalidKey, "a key text cannot be parsed as an RSA public key",                           \
      "a key text (the stored server key, a `sessionKey` argument, or the bank's `publicKey` a "   \
      "secret is sealed with) is not a usable RSA public key",                                     \
      "check the key the host passed; for the stored key, register again")                         \
    X(3, randomSourceFailed, "the secure random source failed",                                    \
      "the system's secure random source failed; nothing was sent",                                \
      "retry later; if it persists, the system is broken (report it)")                             \
    X(4, encryptionFailed, "payload or key encryption failed",                                     \
      "the request payload or a secret could not be encrypted; nothing was sent. `underlying` "    \
      "may carry an `EncryptionError`",                                                            \
      "check the key and the inputs; report if it persists")                                       \
    X(5, responseUnreadable, "the sealed answer could not be opened",                              \
      "the answer's sealed payload could not be opened (no `symmetricKey`, not base64, does not "  \
      "decrypt to text); the request was received",                                                \
      "check the transaction's state; report a server problem")                                    \
    X(6, retryLimitReached, "the bounded re-issue/restart limit was hit",                          \
      "the answer's key could not be recovered after the bounded number of re-issues (3 "          \
      "requests in all); the requests were received",                                              \
      "check the transaction's state; the server may be wrapping with another key: register "      \
      "again if it persists")                                                                      \
    X(7, insecureTransport, "cleartext http to a non-loopback host",                               \
      "`serverURL` is cleartext `http` to a host that is not loopback; nothing was sent",          \
      "configuration: use `https`")                                                                \
    X(8, responseTooLarge, "the response body exceeded the cap",                                   \
      "the answer's body exceeded the library's cap; the request was received",                   \
      "server or proxy fault; check the transaction's state")                                      \
    X(9, storeUnavailable, "the secure store file cannot be used",                                 \
      "the secure store cannot be used: file not found/creatable, wrong owner or mode, a "         \
      "symbolic link, corrupt, locked by another registration for too long, a write refused (the " \
      "message says which, with the path and the fix)",                                            \
      "fix what the message says; a store \"locked by another registration\" can be retried once " \
      "that registration has finished")                                                            \
    X(10, deadlineExceeded, "the operation's deadline passed",                                     \
      "the operation's deadline (`operationDeadlineMilliseconds`, or twice "                       \
      "`timeoutMilliseconds`) passed. `delivery` says whether it passed before anything was sent " \
      "or while waiting for the server",                                                           \
      "`notSent`: retry; `mayHaveBeenReceived`: check state first")                                \
    X(11, invalidArgument, "an argument or value is unusable (not UTF-8)",                         \
      "an argument, configuration value or stored value is unusable (for example not UTF-8); the " \
      "message names it (`argument \"txn_id\" is not UTF-8`), never its value; nothing was sent",  \
      "fix the calling code or the configuration; do not retry unchanged")                         \
    X(12, cancelled, "the host cancelled the call",                                                \
      "the host cancelled the call. `delivery` says whether the request had been sent",            \
      "nothing; before issuing it again, follow `delivery`")                                       \
    X(13, internalError, "a fault inside the library, not in the request or the answer",           \
      "a step of the library failed in a way no input should cause (an unexpected exception, "     \
      "memory exhausted, a step that did not finish); the message says which. Nothing is known "   \
      "about the request",                                                                         \
      "report it; treat the request as possibly received: check the transaction's state")

/// ApiServiceError: the four cases of the pipeline's public error enumeration.
#define TAVI_API_SERVICE_ERROR_CASES(X)                                                            \
    X(0, networkError, "kept for hosts that match on it",                                          \
      "kept for hosts that match on it; not raised by the library", "—")                           \
    X(1, decodingError, "the answer did not match the expected record",                            \
      "the answer (its JSON, or the decrypted payload) did not match the expected record. "        \
      "`underlying` is a `DecodingError`. The error keeps the answer's HTTP status "               \
      "(`Error::httpStatus`), and when the body carried one the server's `errorCode`",             \
      "the request was received: check state; an HTTP 5xx or a server errorCode points at the "    \
      "server")                                                                                    \
    X(2, invalidURL, "the request URL cannot be formed",                                           \
      "the request URL cannot be formed from `serverURL` (the message says what is wrong); "       \
      "nothing was sent",                                                                          \
      "configuration")                                                                             \
    X(3, emptyResponseData, "kept for hosts that match on it",                                     \
      "kept for hosts that match on it; not raised by the library", "—")

/// DecodingError: JSON that did not match a record (underlying an ApiServiceError.decodingError).
#define TAVI_DECODING_ERROR_CODES(X)                                                               \
    X(1, dataCorrupted, "not JSON at all",                                                         \
      "not JSON at all (empty body, HTML page, truncated)", "")                                    \
    X(2, keyNotFound, "a required member is missing",                                              \
      "a required member is missing (the message names it)", "")                                   \
    X(3, valueNotFound, "a required member is null", "a required member is null", "")              \
    X(4, typeMismatch, "a member has another JSON type", "a member has another JSON type", "")

/// EncodingError: a record could not be encoded.
#define TAVI_ENCODING_ERROR_CODES(X)                                                               \
    X(1, invalidValue, "a text is not UTF-8",                                                      \
      "a value could not be written as JSON (for example text that is not UTF-8 slipped past the " \
      "argument checks); nothing was sent",                                                        \
      "a fault in the values the host passed; fix them")

/// EncryptionError: encryptAES256CTR / decryptAES256CTR.
#define TAVI_ENCRYPTION_ERROR_CODES(X)                                                             \
    X(-1, invalidKeyEncoding, "\"Invalid AES key Base64 encoding\"",                               \
      "the key text is not strict standard base64", "")                                            \
    X(-2, plaintextConversion, "\"Failed to convert plaintext to Data\"",                          \
      "the plaintext is not UTF-8", "")                                                            \
    X(-3, aesFailure, "\"AES encryption failed: ...\"",                                            \
      "the key has another length than 16, 24 or 32 bytes, the input is too large, the cipher "    \
      "failed, or (decryption) the padding is wrong", "")

/// CardValidationError: the local card checks.
#define TAVI_CARD_ERROR_CODES(X)                                                                   \
    X(1, numberIncomplete, "too few digits for any brand it may belong to",                        \
      "too few digits for any brand the number may belong to", "")                                 \
    X(2, numberInvalid, "foreign characters, unknown brand, length, Luhn",                         \
      "foreign characters, unknown brand, wrong length or check digit", "")                        \
    X(3, expiryInvalid, "month/year malformed, incomplete or in the past",                         \
      "month or year malformed, incomplete, or in the past", "")                                   \
    X(4, cvvInvalid, "not the brand's CVV length, or not digits",                                  \
      "not digits, or not the brand's CVV length", "")

/// The secure store's statuses, as the platform keychain reports them (SecureStoreStatus domain).
#define TAVI_KEYCHAIN_STATUSES(X)                                                                  \
    X(0, success, "done", "done", "—")                                                             \
    X(-25299, duplicateItem, "the name already holds an item",                                     \
      "the name already holds an item (`savePreference` never overwrites)",                        \
      "delete it first, or keep it")                                                               \
    X(-25300, itemNotFound, "nothing under that name", "nothing under that name", "—")             \
    X(-67673, invalidData, "the value is not UTF-8 text", "the value is not UTF-8 text",           \
      "fix the value")                                                                             \
    X(-36, ioError, "the backend could not read or write",                                         \
      "the backend could not read or write", "check the device's storage; retry")                  \
    X(-34, diskFull, "no space left where the backend writes",                                     \
      "no space where the backend writes", "free space; retry")                                    \
    X(-61, readOnly, "the backend's storage cannot be written",                                    \
      "the storage cannot be written", "fix permissions or the path")                              \
    X(-25308, locked, "held by another writer past the wait", "held by another writer past the "   \
      "wait", "retry later")                                                                       \
    X(-25291, notAvailable, "no store could be opened", "no store could be opened",                \
      "see the `storeUnavailable` error of any operation for the reason")                          \
    X(-25293, integrityFailure, "a sealed value did not open under the store's key",               \
      "a sealed value did not open under the store's key: changed, swapped with another item, or " \
      "taken from another store. The store then refuses every call until it is reset",             \
      "reset the store (`tavi store reset`), then register again")

// clang-format on

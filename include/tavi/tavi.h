/* tavi — the C interface.
 *
 * A plain C facade over the library for hosts written in C or reaching it through a foreign
 * function interface (Swift, Kotlin/JNI, Python ctypes, ...).
 *
 * Conventions
 * - Every text in and out is UTF-8, NUL-terminated. Input pointers are borrowed for the call only.
 *   A NULL input text is an invalid argument, except where a parameter says it is optional.
 * - Every server operation blocks the calling thread for its HTTP exchanges and returns a
 *   `tavi_result` the caller frees with `tavi_result_free` (NULL only when memory is exhausted).
 *   Its `status` says which of the operation's outcomes happened; its values carry what that
 *   outcome delivered, by name. Call operations off your UI thread; they may run concurrently.
 * - Every server operation also comes as a call that returns at once (`tavi_start_...`, see
 *   "Calls that return at once" below): its result goes to a completion function, and it can be
 *   cancelled.
 * - Texts returned alone (`char*`) are freed with `tavi_string_free`.
 * - No C++ exception and no C++ type crosses this interface: every failure is a status, an error
 *   in the result, or a NULL text.
 * - Callbacks receive the `user_data` pointer given with them, run on the thread that calls
 *   into the library, possibly on several threads at once, and must not call back into the
 *   library. Completions of calls that return at once are the exception: see below.
 * - Secrets (card numbers, CVV, PIN, OTP, AES keys) never appear in a diagnostic line or an
 *   error message.
 * - Covered: configuration, logging, the secure store (built-in and host backends), the device
 *   provider, registration and its check, every server operation and the local card checks. The
 *   low-level cryptographic utilities (PKIEncryptionDecryptionUtils, RSAUtils) stay C++ only.
 * - The struct layouts below are part of the ABI of this major version.
 */
#ifndef TAVI_TAVI_H
#define TAVI_TAVI_H

#include <stddef.h>
#include <stdint.h>

#include "tavi/export.hpp"
#include "tavi/version.hpp"

#ifdef __cplusplus
extern "C" {
#endif

/* The C interface's name for TAVI_EXPORT. */
#define TAVI_API TAVI_EXPORT

/* ---- Results ------------------------------------------------------------------------------ */

/** Which outcome an operation reports. */
typedef enum tavi_status {
    TAVI_OK = 0,               /**< the operation's success outcome */
    TAVI_FAILED = 1,           /**< the operation's failure outcome (see `error` and values) */
    TAVI_INVALID_ARGUMENT = 2, /**< an argument was NULL, not UTF-8 or out of range; nothing
                                    sent. A `tavi_result` carries an error (TaviClientError,
                                    code 11) whose message names the parameter, for example
                                    `argument "txn_id" is null`, never its value; functions that
                                    return a bare status cannot say which */
    TAVI_INTERNAL_ERROR = 3    /**< an unexpected failure inside the library; nothing reported */
} tavi_status;

/** An error value: domain ("ApiServiceError", "TransportError", "ServerRefusal",
 *  "DecodingError", "TaviClientError", "CardValidationError", ...), code, message, and for
 *  refusals the server's errorCode / errorReason (NULL when absent). */
typedef struct tavi_error {
    const char* domain;
    long code;
    const char* message;
    const char* error_code;
    const char* error_reason;
    const struct tavi_error* underlying; /**< the error this one wraps, or NULL */
} tavi_error;

/** One named value of a result; `value` is NULL for an absent (null) value. Booleans are the
 *  texts "true" and "false". */
typedef struct tavi_value {
    const char* name;
    const char* value;
} tavi_value;

/** The outcome of one call. Everything it points to lives until `tavi_result_free`. */
typedef struct tavi_result {
    tavi_status status;
    const tavi_error* error; /**< the failure's error value, or NULL */
    size_t value_count;
    const tavi_value* values;
    void* internal_; /**< owned by the library */
} tavi_result;

/** Whether a failed call's request may have reached the server. */
typedef enum tavi_delivery {
    TAVI_DELIVERY_UNKNOWN = 0,  /**< not said: the error's domain tells (a refusal was received) */
    TAVI_DELIVERY_NOT_SENT = 1, /**< nothing reached the server: the call can be repeated safely */
    TAVI_DELIVERY_MAY_HAVE_BEEN_RECEIVED = 2 /**< the request may have reached the server and been
                                                  acted on: check the transaction's state before
                                                  repeating it; never assume it failed */
} tavi_delivery;

/** The delivery of the result's error (TAVI_DELIVERY_UNKNOWN when it has none, or for NULL).
 *  Set for cancelled calls, passed deadlines and transport errors. */
TAVI_API tavi_delivery tavi_result_delivery(const tavi_result* result);
/** The HTTP status of the answer the result's error came with; 0 when none. */
TAVI_API long tavi_result_http_status(const tavi_result* result);

/* Which call and which request a result came from, on success and on failure, for
 * finding the exchange on the server. Texts live until tavi_result_free; never NULL (""
 * when not known, and for a NULL result). Never a secret. */
/** The operation's name ("retrieveKeys", "validateOtp", ...). */
TAVI_API const char* tavi_result_operation(const tavi_result* result);
/** The msgId of the last request the call built ("" for the OTP status poll, which has none). */
TAVI_API const char* tavi_result_msg_id(const tavi_result* result);
/** The transaction's txnId ("" for the registration check). */
TAVI_API const char* tavi_result_txn_id(const tavi_result* result);
/** Requests that went out: the first, re-issues and automatic retries. */
TAVI_API long tavi_result_attempts(const tavi_result* result);
/** Milliseconds from the start of the call to its outcome. */
TAVI_API long tavi_result_elapsed_ms(const tavi_result* result);

/** The value named `name`, or NULL when the result has no such value or it is null. */
TAVI_API const char* tavi_result_value(const tavi_result* result, const char* name);
/** Frees a result and everything it points to. NULL is ignored. */
TAVI_API void tavi_result_free(tavi_result* result);
/** Frees a text returned by this interface. NULL is ignored. */
TAVI_API void tavi_string_free(char* text);

/** "tavi 1.2.0 (...)": the running library's version text (static; do not free). The version
 *  the host was compiled against is TAVI_VERSION_STRING (tavi/version.hpp). */
TAVI_API const char* tavi_version(void);

/* ---- Configuration ------------------------------------------------------------------------ */

/** Sets one configuration value by name:
 *  "serverURL", "merchantKey", "merchantKI", "appId", "pspOrgId", "refUrl" (NULL value clears
 *  it), "locale", "merchantID", "caFile", "pinnedPublicKey", "timeoutMilliseconds" (decimal,
 *  1 to 86400000, that is 24 hours), "logLevel" ("off", "error" or "debug"),
 *  "operationDeadlineMilliseconds" (decimal, 0 = twice the timeout, at most 86400000),
 *  "maxRetries" (decimal 0 to 10: how often a request that could not be sent is sent again;
 *  default 2), "maxConnections" (decimal 1 to 256: connections kept open to one server, calls
 *  beyond them wait in the library's queue; default 8; added in 1.3), "proxy"
 *  (HTTPS only, as a tunnel; "" none; NULL: the environment's), "tlsKeyLogFile" ("" none; a
 *  file of the effective user's own with no group or other access, never a link).
 *  Set values before the first operation; do not set one while an operation may be reading it.
 *  Returns TAVI_OK, or TAVI_INVALID_ARGUMENT for an unknown name or a malformed value. */
TAVI_API tavi_status tavi_config_set(const char* name, const char* value);
/** The current value of a configuration name as text (free it), or NULL for an unknown name or
 *  an absent refUrl or proxy. */
TAVI_API char* tavi_config_get(const char* name);

/** Receives each diagnostic line (UTF-8, one line: control characters are shown escaped, so no
 *  newline and no NUL; valid during the call only). */
typedef void (*tavi_log_fn)(const char* line, void* user_data);
/** Routes the library's diagnostic lines to `fn` (NULL silences them). The default writes them
 *  to standard error. */
TAVI_API void tavi_set_log_sink(tavi_log_fn fn, void* user_data);

/* ---- Secure store ------------------------------------------------------------------------- */

/** A store backend (opaque). */
typedef struct tavi_store tavi_store;

/** Opens (creating it 0600) the SQLite store at `path`. NULL on failure; then, when `error` is
 *  not NULL, `*error` receives a result with status TAVI_FAILED and the error (free it). */
TAVI_API tavi_store* tavi_store_open_sqlite(const char* path, tavi_result** error);
/** As tavi_store_open_sqlite, with the store's data key kept as `protection` says: "auto" (the
 *  strongest backend that works here; NULL means the same), "tpm", "secret-service", "file"
 *  (weak) or "none" (values in clear). A backend named that cannot be used here is an error,
 *  never a weaker one. (Since 1.3.) */
TAVI_API tavi_store* tavi_store_open_sqlite_protected(const char* path, const char* protection,
                                                      tavi_result** error);
/** A new, empty in-memory store. */
TAVI_API tavi_store* tavi_store_new_memory(void);

/** A store the host implements (platform keychain, Android Keystore, ...). Statuses are the
 *  keychain's: 0 success, -25299 duplicate, -25300 not found, -67673 invalid data, -36 I/O,
 *  -34 disk full, -61 read-only, -25308 locked, -25291 not available (return the precise one: it
 *  becomes the reason a failed registration reports). Item class 0 is a generic password, 1 a
 *  key; key class 0 none, 1 public, 2 private. Functions may be called from several threads at
 *  once. A registration writes its session through these one item at a time, the server key
 *  ("taviKey") removed first and written last, so a store stopped part-way never holds a session
 *  that looks complete but is mixed; only a store with transactions keeps the previous session
 *  whole through such a stop. */
typedef struct tavi_store_item tavi_store_item;
/** Fills the item `copy` returns (the bytes are copied). */
TAVI_API void tavi_store_item_set(tavi_store_item* item, const uint8_t* data, size_t size,
                                  int key_class);
typedef struct tavi_store_callbacks {
    int32_t (*add)(void* user_data, int item_class, const char* name, const uint8_t* data,
                   size_t size, int key_class);
    int32_t (*copy)(void* user_data, int item_class, const char* name, tavi_store_item* out);
    int32_t (*remove)(void* user_data, int item_class, const char* name);
    /** Called once when the library no longer uses the store (may be NULL). */
    void (*release)(void* user_data);
} tavi_store_callbacks;
/** A store over the host's callbacks (copied; add, copy and remove are required). */
TAVI_API tavi_store* tavi_store_new_custom(const tavi_store_callbacks* callbacks, void* user_data);

/** Installs `store` as the process-wide store of the library (it keeps its own reference, so the
 *  handle may be freed afterwards). */
TAVI_API void tavi_store_install(const tavi_store* store);
/** Frees a handle. NULL is ignored. */
TAVI_API void tavi_store_free(tavi_store* store);

/** Saves a text under `name` in the installed store; never overwrites. The keychain status. */
TAVI_API int32_t tavi_preference_save(const char* value, const char* name);
/** The text under `name` (free it), or NULL when absent. */
TAVI_API char* tavi_preference_get(const char* name);
/** Deletes `name`; 0 or -25300. */
TAVI_API int32_t tavi_preference_delete(const char* name);

/* ---- Device identity ---------------------------------------------------------------------- */

/** A device description the host provides. Each function returns a text that stays valid until
 *  the next call of the same function (the library copies it at once); `identifier_for_vendor`
 *  may return NULL. */
typedef struct tavi_device_callbacks {
    const char* (*model)(void* user_data);
    const char* (*system_name)(void* user_data);
    const char* (*system_version)(void* user_data);
    const char* (*identifier_for_vendor)(void* user_data);
} tavi_device_callbacks;
/** Installs the host's device description (NULL restores the default, which reads this
 *  machine). All four functions are required. */
TAVI_API tavi_status tavi_set_device_provider(const tavi_device_callbacks* callbacks,
                                              void* user_data);
/** The vendor-scoped device identifier (free it), or NULL. */
TAVI_API char* tavi_device_identifier(void);
/** The client's user-agent text (free it). */
TAVI_API char* tavi_user_agent(void);

/* ---- Registration ------------------------------------------------------------------------- */

/* Every blocking operation below is its tavi_start_... form and a wait (since 1.3): it gives the
 * same result, and a failure is TAVI_FAILED with the whole error (domain, code, message,
 * delivery, HTTP status, and the server's errorCode and errorReason) beside the values named. */

/** Whether this device, with this mobile number, counts as registered.
 *  TAVI_OK with "registered" = "true"/"false" and "status" ("registered", "notRegistered",
 *  "refused"); a check that could not ask: TAVI_FAILED with the error and "registered" =
 *  "false". */
TAVI_API tavi_result* tavi_check_device_registered(const char* mobile);

/** Registers the device and its user; `session_key` is the server's public key text.
 *  TAVI_OK with "result" = "done" when the session is stored; TAVI_FAILED with the error.
 *  The host then marks the device registered: tavi_preference_save("true", "IS_REGISTERED"). */
TAVI_API tavi_result* tavi_register_device(const char* session_key, const char* mobile,
                                           const char* txn_id, const char* app_id);

/* ---- Transaction operations --------------------------------------------------------------- */

/** Opens a transaction. TAVI_OK with "bankKi", "publicKey", "sessionKey", "txnId", "rule";
 *  TAVI_FAILED with the error. */
TAVI_API tavi_result* tavi_retrieve_keys(const char* msg_id, const char* transaction_type,
                                         const char* txn_id, const char* bic,
                                         const char* payment_instrument_type);

/** Submits a PIN-type credential. TAVI_OK with "success" = "true"; TAVI_FAILED with
 *  "success" = "false" and the error (a wrong PIN is a "ServerRefusal"). */
TAVI_API tavi_result* tavi_submit_credential(const char* txn_id, const char* transaction_type,
                                             const char* cred_type, const char* cred_value,
                                             const char* bank_ki, const char* public_key,
                                             const char* session_key);

/** Fetches an OTP challenge; `action` is optional (NULL). TAVI_OK with "referenceId",
 *  "otpChallengeCode", "otpExpiry", "action"; TAVI_FAILED with the error, and "errorCode" and
 *  "errorReason" (either may be NULL). */
TAVI_API tavi_result* tavi_fetch_otp_challenge(const char* transaction_type, const char* txn_id,
                                               const char* payment_instrument_type, const char* bic,
                                               const char* session_key, const char* action);

/** One OTP status poll: TAVI_OK with "status" = "retry" while the transaction is pending, else
 *  "stop"; a poll that could not ask: TAVI_FAILED with the error and "status" = "stop". */
TAVI_API tavi_result* tavi_check_otp_status(const char* txn_id);

/** Validates an OTP. TAVI_OK with "success" = "true"; TAVI_FAILED with the error, and
 *  "errorCode" and "errorReason" (either may be NULL). */
TAVI_API tavi_result* tavi_validate_otp(const char* txn_id, const char* transaction_type,
                                        const char* otp, const char* bank_ki,
                                        const char* public_key, const char* session_key,
                                        const char* action, const char* bic,
                                        const char* reference_id);

/** Validates a card number against a bank. TAVI_OK with "success", "reqMsgId", "errorCode",
 *  "errorReason" (the answer's header) and "bankNameMatchStatus"; TAVI_FAILED with the error.
 *  No local check is made here: call tavi_card_verify first. */
TAVI_API tavi_result* tavi_validate_card_number(const char* session_key, const char* bank_ki,
                                                const char* public_key, const char* txn_id,
                                                const char* card_number, const char* bic,
                                                const char* bank_name);

/** Registers card and account details; `account_no` is optional (NULL). TAVI_OK with "success"
 *  and "errorCode" (the server's verdict); TAVI_FAILED with the error. */
TAVI_API tavi_result* tavi_register_card_detail(const char* txn_id, const char* transaction_type,
                                                const char* bic, const char* account_no,
                                                const char* bank_ki, const char* session_key,
                                                const char* card_number, const char* expiry_month,
                                                const char* expiry_year, const char* cvv,
                                                const char* public_key);

/** The secure web page address. TAVI_OK with "refUrl"; TAVI_FAILED with the error. */
TAVI_API tavi_result* tavi_web_url(const char* transaction_type, const char* txn_id,
                                   const char* payment_instrument_type, const char* bic,
                                   const char* session_key);

/* ---- Calls that return at once ------------------------------------------------------------ */

/* Each tavi_start_... function takes the arguments of the blocking function of the same name,
 * then `options`, `completion` and `user_data`, and returns at once with a call. The exchanges
 * run on the library's own thread; many calls may be in flight at once.
 *
 * - `completion(result, user_data)` runs exactly once per call, on the library's completion
 *   thread (one for the process, which runs completions one at a time, in the order the calls
 *   ended), never inside tavi_start_.... `result` is valid only during the completion: copy what
 *   you keep; do not free it. A completion may start, cancel and free calls, but must not wait
 *   for one (tavi_call_wait), nor block for long: the other calls' completions wait behind it.
 *   `completion` may be NULL.
 * - The result has the blocking function's shape (status and values), except that every failure
 *   is TAVI_FAILED with an error value, also where the blocking form reports none; the failure
 *   values the blocking form gives are there too. A NULL required argument, or invalid options,
 *   complete with TAVI_INVALID_ARGUMENT (nothing is sent).
 * - A cancelled call completes with TAVI_FAILED and the error "TaviClientError" code 12;
 *   tavi_result_delivery says whether its request may have reached the server.
 * - tavi_start_... returns NULL only when memory is exhausted; then the completion never runs. */

/** A call in flight (opaque). */
typedef struct tavi_call tavi_call;

/** Options of one call; a NULL options pointer means every default. */
typedef struct tavi_call_options {
    /** Bounds the whole call in milliseconds, re-issues and waits for the store included;
     *  0: the configured "operationDeadlineMilliseconds". Negative, or more than 86400000
     *  (24 hours), is an invalid argument. */
    long deadline_ms;
} tavi_call_options;

/** Receives a call's result (see above). */
typedef void (*tavi_completion_fn)(const tavi_result* result, void* user_data);

/** Asks the call to end at once. 1 when its completion will report the cancellation; 0 when the
 *  call had already ended or was committing an answer it had (a registration writing its
 *  session): then the completion reports that outcome. Any thread, any number of times, also
 *  inside a completion. NULL: 0. */
TAVI_API int tavi_call_cancel(tavi_call* call);
/** Blocks until the call's completion has run (and returned); then TAVI_OK. From inside a
 *  completion, from a log sink or hook a completion runs, or anywhere else on the library's
 *  completion thread, it returns TAVI_FAILED at once without waiting ("wait from inside a
 *  completion": the completion it waits for could only run after it). NULL: TAVI_OK. */
TAVI_API int tavi_call_wait(tavi_call* call);
/** Frees the handle. This does not cancel the call: its completion still runs once. NULL is
 *  ignored. */
TAVI_API void tavi_call_free(tavi_call* call);

/** tavi_check_device_registered: TAVI_OK with "registered" ("true"/"false") and "status"
 *  ("registered", "notRegistered": no complete registration is stored, nothing was sent, or
 *  "refused": the server does not accept the stored registration). A check that could not ask
 *  is TAVI_FAILED with the error (and "registered" = "false"). */
TAVI_API tavi_call* tavi_start_check_device_registered(const char* mobile,
                                                       const tavi_call_options* options,
                                                       tavi_completion_fn completion,
                                                       void* user_data);
/** tavi_register_device: TAVI_OK with "result" = "done" once the whole session is stored. A
 *  cancel that arrives while the session is being written is refused. */
TAVI_API tavi_call* tavi_start_register_device(const char* session_key, const char* mobile,
                                               const char* txn_id, const char* app_id,
                                               const tavi_call_options* options,
                                               tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_start_retrieve_keys(const char* msg_id, const char* transaction_type,
                                             const char* txn_id, const char* bic,
                                             const char* payment_instrument_type,
                                             const tavi_call_options* options,
                                             tavi_completion_fn completion, void* user_data);
/** Failure: "success" = "false" and the error (a refusal is a "ServerRefusal"). */
TAVI_API tavi_call* tavi_start_submit_credential(
    const char* txn_id, const char* transaction_type, const char* cred_type,
    const char* cred_value, const char* bank_ki, const char* public_key, const char* session_key,
    const tavi_call_options* options, tavi_completion_fn completion, void* user_data);
/** Failure: "errorCode" and "errorReason" (the server's, for a refusal; else NULL) and the
 *  error. */
TAVI_API tavi_call* tavi_start_fetch_otp_challenge(
    const char* transaction_type, const char* txn_id, const char* payment_instrument_type,
    const char* bic, const char* session_key, const char* action,
    const tavi_call_options* options, tavi_completion_fn completion, void* user_data);
/** TAVI_OK with "status" "retry" (pending) or "stop"; a poll that could not ask is TAVI_FAILED
 *  with the error (and "status" = "stop"). */
TAVI_API tavi_call* tavi_start_check_otp_status(const char* txn_id,
                                                const tavi_call_options* options,
                                                tavi_completion_fn completion, void* user_data);
/** Failure: "errorCode" and "errorReason" as for tavi_start_fetch_otp_challenge. */
TAVI_API tavi_call* tavi_start_validate_otp(const char* txn_id, const char* transaction_type,
                                            const char* otp, const char* bank_ki,
                                            const char* public_key, const char* session_key,
                                            const char* action, const char* bic,
                                            const char* reference_id,
                                            const tavi_call_options* options,
                                            tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_start_validate_card_number(
    const char* session_key, const char* bank_ki, const char* public_key, const char* txn_id,
    const char* card_number, const char* bic, const char* bank_name,
    const tavi_call_options* options, tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_start_register_card_detail(
    const char* txn_id, const char* transaction_type, const char* bic, const char* account_no,
    const char* bank_ki, const char* session_key, const char* card_number,
    const char* expiry_month, const char* expiry_year, const char* cvv, const char* public_key,
    const tavi_call_options* options, tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_start_web_url(const char* transaction_type, const char* txn_id,
                                       const char* payment_instrument_type, const char* bic,
                                       const char* session_key, const tavi_call_options* options,
                                       tavi_completion_fn completion, void* user_data);

/* ---- Clients of their own (since 1.3) ------------------------------------------------------ */

/** A client with its own configuration and store, beside the default one that the functions
 *  above use. Several clients (other servers, stores, pinned keys) work side by side in one
 *  process; they share the library's engine. */
typedef struct tavi_client tavi_client;

/** A new client: a copy of the current configuration (tavi_config_get), and `store` (NULL: the
 *  installed store at each call). The client keeps the store; free the tavi_store as usual.
 *  NULL when it cannot be made. */
TAVI_API tavi_client* tavi_client_new(const tavi_store* store);
/** As tavi_config_set, for this client only. Not while the client's calls are being started on
 *  other threads; calls already started keep the configuration they started with. */
TAVI_API tavi_status tavi_client_config_set(tavi_client* client, const char* name,
                                            const char* value);
/** As tavi_config_get, for this client (free the text). */
TAVI_API char* tavi_client_config_get(const tavi_client* client, const char* name);
/** Frees the client; calls in flight run to their end. NULL: nothing. */
TAVI_API void tavi_client_free(tavi_client* client);
/** As tavi_preference_save, tavi_preference_get and tavi_preference_delete, in this client's
 *  store (NULL: the default client's, the installed store). After tavi_client_register_device,
 *  the host marks the device registered where the session was written:
 *  tavi_client_preference_save(client, "true", "IS_REGISTERED"). */
TAVI_API int32_t tavi_client_preference_save(const tavi_client* client, const char* value,
                                             const char* name);
TAVI_API char* tavi_client_preference_get(const tavi_client* client, const char* name);
TAVI_API int32_t tavi_client_preference_delete(const tavi_client* client, const char* name);

/** Every operation on a client: the same arguments, results and completions as the functions
 *  of the default client above, after the client. A NULL client is an invalid argument. */
TAVI_API tavi_result* tavi_client_check_device_registered(tavi_client* client, const char* mobile);
TAVI_API tavi_result* tavi_client_register_device(tavi_client* client, const char* session_key,
                                                  const char* mobile, const char* txn_id,
                                                  const char* app_id);
TAVI_API tavi_result* tavi_client_retrieve_keys(tavi_client* client, const char* msg_id,
                                                const char* transaction_type, const char* txn_id,
                                                const char* bic,
                                                const char* payment_instrument_type);
TAVI_API tavi_result* tavi_client_submit_credential(
    tavi_client* client, const char* txn_id, const char* transaction_type, const char* cred_type,
    const char* cred_value, const char* bank_ki, const char* public_key, const char* session_key);
TAVI_API tavi_result* tavi_client_fetch_otp_challenge(
    tavi_client* client, const char* transaction_type, const char* txn_id,
    const char* payment_instrument_type, const char* bic, const char* session_key,
    const char* action);
TAVI_API tavi_result* tavi_client_check_otp_status(tavi_client* client, const char* txn_id);
TAVI_API tavi_result* tavi_client_validate_otp(
    tavi_client* client, const char* txn_id, const char* transaction_type, const char* otp,
    const char* bank_ki, const char* public_key, const char* session_key, const char* action,
    const char* bic, const char* reference_id);
TAVI_API tavi_result* tavi_client_validate_card_number(
    tavi_client* client, const char* session_key, const char* bank_ki, const char* public_key,
    const char* txn_id, const char* card_number, const char* bic, const char* bank_name);
TAVI_API tavi_result* tavi_client_register_card_detail(
    tavi_client* client, const char* txn_id, const char* transaction_type, const char* bic,
    const char* account_no, const char* bank_ki, const char* session_key,
    const char* card_number, const char* expiry_month, const char* expiry_year, const char* cvv,
    const char* public_key);
TAVI_API tavi_result* tavi_client_web_url(tavi_client* client, const char* transaction_type,
                                          const char* txn_id,
                                          const char* payment_instrument_type, const char* bic,
                                          const char* session_key);

TAVI_API tavi_call* tavi_client_start_check_device_registered(
    tavi_client* client, const char* mobile, const tavi_call_options* options,
    tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_client_start_register_device(
    tavi_client* client, const char* session_key, const char* mobile, const char* txn_id,
    const char* app_id, const tavi_call_options* options, tavi_completion_fn completion,
    void* user_data);
TAVI_API tavi_call* tavi_client_start_retrieve_keys(
    tavi_client* client, const char* msg_id, const char* transaction_type, const char* txn_id,
    const char* bic, const char* payment_instrument_type, const tavi_call_options* options,
    tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_client_start_submit_credential(
    tavi_client* client, const char* txn_id, const char* transaction_type, const char* cred_type,
    const char* cred_value, const char* bank_ki, const char* public_key, const char* session_key,
    const tavi_call_options* options, tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_client_start_fetch_otp_challenge(
    tavi_client* client, const char* transaction_type, const char* txn_id,
    const char* payment_instrument_type, const char* bic, const char* session_key,
    const char* action, const tavi_call_options* options, tavi_completion_fn completion,
    void* user_data);
TAVI_API tavi_call* tavi_client_start_check_otp_status(tavi_client* client, const char* txn_id,
                                                       const tavi_call_options* options,
                                                       tavi_completion_fn completion,
                                                       void* user_data);
TAVI_API tavi_call* tavi_client_start_validate_otp(
    tavi_client* client, const char* txn_id, const char* transaction_type, const char* otp,
    const char* bank_ki, const char* public_key, const char* session_key, const char* action,
    const char* bic, const char* reference_id, const tavi_call_options* options,
    tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_client_start_validate_card_number(
    tavi_client* client, const char* session_key, const char* bank_ki, const char* public_key,
    const char* txn_id, const char* card_number, const char* bic, const char* bank_name,
    const tavi_call_options* options, tavi_completion_fn completion, void* user_data);
TAVI_API tavi_call* tavi_client_start_register_card_detail(
    tavi_client* client, const char* txn_id, const char* transaction_type, const char* bic,
    const char* account_no, const char* bank_ki, const char* session_key,
    const char* card_number, const char* expiry_month, const char* expiry_year, const char* cvv,
    const char* public_key, const tavi_call_options* options, tavi_completion_fn completion,
    void* user_data);
TAVI_API tavi_call* tavi_client_start_web_url(
    tavi_client* client, const char* transaction_type, const char* txn_id,
    const char* payment_instrument_type, const char* bic, const char* session_key,
    const tavi_call_options* options, tavi_completion_fn completion, void* user_data);

/* ---- Local card checks (no request is made) ----------------------------------------------- */

/** States of a (possibly partial) input. */
typedef enum tavi_card_state {
    TAVI_CARD_VALID = 0,
    TAVI_CARD_INCOMPLETE = 1,
    TAVI_CARD_INVALID = 2
} tavi_card_state;

/** The state of a card number (spaces and hyphens allowed as separators); NULL is invalid. */
TAVI_API tavi_card_state tavi_card_check_number(const char* number);
/** The brand's name ("Visa", "Mastercard", ..., "Unknown"); static, do not free. */
TAVI_API const char* tavi_card_brand(const char* number);
/** The state of an expiry month and year (2 or 4 digits) against the current month. */
TAVI_API tavi_card_state tavi_card_check_expiry(const char* month, const char* year);
/** The state of a CVV for the brand of `number`. */
TAVI_API tavi_card_state tavi_card_check_cvv(const char* cvv, const char* number);
/** Number, and when not NULL expiry (both) and CVV: TAVI_OK, or TAVI_FAILED with an error in the
 *  "CardValidationError" domain whose message names the field, never its value. */
TAVI_API tavi_result* tavi_card_verify(const char* number, const char* expiry_month,
                                       const char* expiry_year, const char* cvv);

/* ---- Store protection (added in 1.3) ------------------------------------------------------
 * How the default store keeps its data key is the configuration value "storeProtection"
 * (tavi_config_set): "auto" (default), "tpm", "secret-service", "file" (weak) or "none". Each
 * function below writes one JSON line to *json (free it with tavi_string_free): on TAVI_OK the
 * status, {"backend":…,"strength":…,"formatVersion":…,"itemCount":…,"migrated":…,…}; on
 * TAVI_FAILED {"error":{"domain":…,"code":…,"message":…}}. *json is NULL only when memory is
 * exhausted (TAVI_INTERNAL_ERROR). */

/** The installed store's protection (the default store is opened if none is installed). */
TAVI_API tavi_status tavi_store_status(char** json);
/** Starts the store over: every value deleted, a new data key; the device registers again. */
TAVI_API tavi_status tavi_store_reset(char** json);
/** Seals every value again under a new data key, and destroys the old key. */
TAVI_API tavi_status tavi_store_rekey(char** json);
/** As tavi_store_status and tavi_store_rekey, for `client`'s store (NULL: the default client's,
 *  the installed store). A client's store that is not a SQLite store has no status: TAVI_FAILED.
 */
TAVI_API tavi_status tavi_client_store_status(const tavi_client* client, char** json);
TAVI_API tavi_status tavi_client_store_rekey(const tavi_client* client, char** json);

/* ---- The journal of outcomes unknown (added in 1.3) -----------------------------------------
 * Before a state-changing request (registration, credential submission, OTP validation, card
 * validation, card registration) goes out, the library records its operation, msgId and txnId in
 * the store; the record goes once the answer has been handled. What remains after a crash, or
 * after a result with TAVI_DELIVERY_MAY_HAVE_BEEN_RECEIVED, is a request the server may have
 * acted on: find out what became of it, then settle it. `client` NULL is the default client
 * (the installed store). `error_json`, when not NULL, receives on TAVI_FAILED one line
 * {"error":{"domain":…,"code":…,"message":…}} (free it with tavi_string_free), else NULL. */

/** One record. Texts are never NULL and never a secret. */
typedef struct tavi_pending_outcome {
    const char* operation; /**< "registerDevice", "submitCredential", "validateOtp", ... */
    const char* msg_id;
    const char* txn_id;
    long long recorded_at_ms; /**< milliseconds since 1970 (UTC) */
} tavi_pending_outcome;

/** Every record: *outcomes (free it with tavi_pending_outcomes_free) and *count. TAVI_FAILED
 *  when the store cannot be read or listed. */
TAVI_API tavi_status tavi_pending_outcomes(const tavi_client* client,
                                           tavi_pending_outcome** outcomes, size_t* count,
                                           char** error_json);
/** Frees what tavi_pending_outcomes returned. NULL is ignored. */
TAVI_API void tavi_pending_outcomes_free(tavi_pending_outcome* outcomes, size_t count);
/** Removes the record of `msg_id`; *removed (when not NULL) is 1 when there was one, else 0. */
TAVI_API tavi_status tavi_settle_outcome(const tavi_client* client, const char* msg_id,
                                         int* removed, char** error_json);
/* ---- Diagnostic levels and trace hooks (added in 1.3) ---------------------------------------- */

/** How much a diagnostic line matters. */
typedef enum tavi_log_level {
    TAVI_LOG_DEBUG = 0,
    TAVI_LOG_INFO = 1,
    TAVI_LOG_WARNING = 2,
    TAVI_LOG_ERROR = 3
} tavi_log_level;

/** Receives each diagnostic line with its level (a tavi_log_level); the line as tavi_log_fn's. */
typedef void (*tavi_leveled_log_fn)(int level, const char* line, void* user_data);
/** While set (not NULL), `fn` receives every diagnostic line with its level and the sink of
 *  tavi_set_log_sink receives none; NULL goes back to that sink. */
TAVI_API void tavi_set_leveled_log_sink(tavi_leveled_log_fn fn, void* user_data);

/** Where in a call a trace event is. */
typedef enum tavi_trace_kind {
    TAVI_TRACE_CALL_START = 0,     /**< an operation began */
    TAVI_TRACE_EXCHANGE_START = 1, /**< one HTTP attempt is about to be made */
    TAVI_TRACE_EXCHANGE_END = 2,   /**< that attempt ended (an answer or a failure) */
    TAVI_TRACE_CALL_END = 3        /**< the call has its outcome */
} tavi_trace_kind;

/** One attribute of an event: `key` as OpenTelemetry's HTTP client names them
 *  ("http.request.method", "url.path", "server.address", "server.port",
 *  "http.response.status_code", "error.type") or the library's ("tavi.operation", "tavi.msg_id",
 *  "tavi.txn_id", "tavi.attempt", "tavi.delivery"); `text` its value, or NULL when the value is
 *  `number`. Never a secret. */
typedef struct tavi_trace_attribute {
    const char* key;
    const char* text;
    long long number;
} tavi_trace_attribute;

/** Receives each event: its kind (a tavi_trace_kind), the call it belongs to (the same id for a
 *  call's start, exchanges and end; never 0), the exchange's number in the call (0 for the
 *  call's own events) and `count` attributes, all valid during the call only. Called on the
 *  thread running the call, possibly from several at once; must not call back into the
 *  library. */
typedef void (*tavi_trace_fn)(int kind, uint64_t call_id, int attempt,
                              const tavi_trace_attribute* attributes, size_t count,
                              void* user_data);
/** Routes trace events to `fn` (NULL: none, the default). Set it before the first operation. */
TAVI_API void tavi_set_trace_hook(tavi_trace_fn fn, void* user_data);

#ifdef __cplusplus
}
#endif

#endif /* TAVI_TAVI_H */

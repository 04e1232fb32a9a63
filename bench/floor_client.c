/* The floor of a key retrieval: the least a program can do for the same exchange, written with
 * libcurl, OpenSSL and SQLite directly. It reads the registered session from the library's SQLite
 * store, wraps a fresh AES key with the stored server key (RSA), encrypts the payload
 * (AES-256-CTR), POSTs it over HTTPS verified with the given CA file, recovers the answer's key
 * with the same RSA key and decrypts the answer's payload.
 *
 *   tavi_floor_client URL CA_FILE STORE TXN_ID [COUNT]
 *
 * COUNT exchanges (default 1) go over one kept connection; the session is read once. Prints
 * "ok COUNT" and exits 0 when every answer opened, else names what failed and exits 1.
 * No error handling beyond what keeps it honest: it is a yardstick, not a client. */
#define _GNU_SOURCE
#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kDeviceId, kTaviKey, kPspId, kTaviId, kAppId, kImei1, kImei2, kMobile, kValues };
static const char* const kNames[kValues] = {"deviceId", "taviKey", "pspId", "taviId",
                                            "appId",    "imei1",   "imei2", "mobile"};

struct Buffer {
    char* data;
    size_t size;
    size_t capacity;
};

static void append(struct Buffer* b, const char* data, size_t size) {
    if (b->size + size + 1 > b->capacity) {
        size_t capacity = b->capacity ? b->capacity : 256;
        while (capacity < b->size + size + 1) capacity *= 2;
        char* grown = realloc(b->data, capacity);
        if (grown == NULL) abort();
        b->data = grown;
        b->capacity = capacity;
    }
    memcpy(b->data + b->size, data, size);
    b->size += size;
    b->data[b->size] = '\0';
}

static void appendText(struct Buffer* b, const char* text) {
    append(b, text, strlen(text));
}

/* A JSON string: the session's values are plain text, so only quotes, backslashes and control
 * characters need escaping. */
static void appendString(struct Buffer* b, const char* text) {
    append(b, "\"", 1);
    for (const char* p = text; *p; ++p) {
        if (*p == '"' || *p == '\\') {
            append(b, "\\", 1);
            append(b, p, 1);
        } else if ((unsigned char)*p < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", (unsigned)*p);
            appendText(b, escaped);
        } else {
            append(b, p, 1);
        }
    }
    append(b, "\"", 1);
}

static size_t onBody(char* data, size_t size, size_t count, void* user) {
    append(user, data, size * count);
    return size * count;
}

/* Standard base64 of `size` bytes (URL-safe when `url`, with its padding kept). */
static char* encode64(const unsigned char* in, size_t size, int url) {
    char* out = malloc(4 * ((size + 2) / 3) + 1);
    if (out == NULL) abort();
    EVP_EncodeBlock((unsigned char*)out, in, (int)size);
    if (url) {
        for (char* p = out; *p; ++p) {
            if (*p == '+') *p = '-';
            if (*p == '/') *p = '_';
        }
    }
    return out;
}

/* Decodes standard or URL-safe base64, padded or not; NULL when it is not base64. */
static unsigned char* decode64(const char* text, size_t length, size_t* size) {
    char* standard = malloc(length + 4);
    if (standard == NULL) abort();
    for (size_t i = 0; i < length; ++i) {
        standard[i] = text[i] == '-' ? '+' : text[i] == '_' ? '/' : text[i];
    }
    while (length % 4 != 0) standard[length++] = '=';
    size_t padding = 0;
    if (length >= 1 && standard[length - 1] == '=') ++padding;
    if (length >= 2 && standard[length - 2] == '=') ++padding;
    unsigned char* out = malloc(length / 4 * 3 + 1);
    if (out == NULL) abort();
    const int n = EVP_DecodeBlock(out, (unsigned char*)standard, (int)length);
    free(standard);
    if (n < 0) {
        free(out);
        return NULL;
    }
    *size = (size_t)n - padding;
    return out;
}

/* The text of the member `name` of the answer (its first occurrence), "\/" unescaped. */
static char* member(const char* json, const char* name) {
    char key[96];
    snprintf(key, sizeof key, "\"%s\":\"", name);
    const char* start = strstr(json, key);
    if (start == NULL) return NULL;
    start += strlen(key);
    const char* end = strchr(start, '"');
    if (end == NULL) return NULL;
    char* out = malloc((size_t)(end - start) + 1);
    if (out == NULL) abort();
    size_t n = 0;
    for (const char* p = start; p < end; ++p) {
        if (*p == '\\' && p + 1 < end) ++p;
        out[n++] = *p;
    }
    out[n] = '\0';
    return out;
}

static int aes256ctr(const unsigned char* key, const unsigned char* in, int size,
                     unsigned char* out) {
    static const unsigned char iv[16];
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    int last = 0;
    const int ok = ctx != NULL && EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), NULL, key, iv) == 1 &&
                   EVP_EncryptUpdate(ctx, out, &n, in, size) == 1 &&
                   EVP_EncryptFinal_ex(ctx, out + n, &last) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? n + last : -1;
}

/* One exchange; 0 when the answer opened. */
static int exchange(CURL* curl, EVP_PKEY* serverKey, char* const* session, const char* txnId) {
    int failed = 1;
    struct Buffer payload = {0};
    struct Buffer body = {0};
    struct Buffer answer = {0};
    unsigned char* plain = NULL;
    unsigned char* sealed = NULL;
    unsigned char* wrappedAnswerKey = NULL;
    unsigned char* answerCipher = NULL;
    char* wrapped64 = NULL;
    char* sealed64 = NULL;
    char* answerKey64 = NULL;
    char* answerPayload64 = NULL;
    EVP_PKEY_CTX* ctx = NULL;

    /* The request's key, wrapped with the server key. */
    unsigned char aesKey[32];
    unsigned char wrapped[512];
    size_t wrappedSize = sizeof wrapped;
    if (RAND_bytes(aesKey, sizeof aesKey) != 1) goto done;
    ctx = EVP_PKEY_CTX_new_from_pkey(NULL, serverKey, NULL);
    if (ctx == NULL || EVP_PKEY_encrypt_init(ctx) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx, wrapped, &wrappedSize, aesKey, sizeof aesKey) != 1) {
        fprintf(stderr, "floor: RSA wrapping failed\n");
        goto done;
    }
    EVP_PKEY_CTX_free(ctx);
    ctx = NULL;
    wrapped64 = encode64(wrapped, wrappedSize, 0);

    /* The payload, padded to whole blocks and encrypted. */
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char millis[32];
    snprintf(millis, sizeof millis, "%lld",
             (long long)now.tv_sec * 1000 + (long long)now.tv_nsec / 1000000);
    appendText(
        &payload,
        "{\"paymentInstrument\":{\"paymentInstrumentType\":\"ACCOUNT\",\"bic\":\"BANKXX01\"},"
        "\"deviceInfo\":{\"deviceId\":");
    appendString(&payload, session[kDeviceId]);
    appendText(&payload, ",\"appId\":");
    appendString(&payload, session[kAppId]);
    appendText(&payload, ",\"imei1\":");
    appendString(&payload, session[kImei1]);
    appendText(&payload, ",\"imei2\":");
    appendString(&payload, session[kImei2]);
    appendText(&payload, ",\"mobileNo\":");
    appendString(&payload, session[kMobile]);
    appendText(&payload, ",\"pspIdentifier\":");
    appendString(&payload, session[kPspId]);
    appendText(&payload, "},\"startDateTime\":");
    appendText(&payload, millis);
    appendText(&payload, ",\"resetCredentialCall\":false}");
    const size_t pad = 16 - payload.size % 16;
    for (size_t i = 0; i < pad; ++i) append(&payload, (const char[]){(char)pad}, 1);
    sealed = malloc(payload.size + 16);
    if (sealed == NULL) abort();
    const int sealedSize =
        aes256ctr(aesKey, (const unsigned char*)payload.data, (int)payload.size, sealed);
    if (sealedSize < 0) goto done;
    sealed64 = encode64(sealed, (size_t)sealedSize, 1);

    appendText(&body, "{\"commonRequest\":{\"msgId\":\"MSG-FLOOR\",\"pspIdentifier\":");
    appendString(&body, session[kPspId]);
    appendText(&body, ",\"taviIdentifier\":");
    appendString(&body, session[kTaviId]);
    appendText(&body, ",\"symmetricKey\":\"");
    appendText(&body, wrapped64);
    appendText(&body, "\",\"transactionType\":\"FINANCIAL_TXN\",\"txnId\":");
    appendString(&body, txnId);
    appendText(&body, "},\"credentialKeysRetrievalPayloadEnc\":\"");
    appendText(&body, sealed64);
    appendText(&body, "\"}");

    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)body.size);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK || status != 200 || answer.data == NULL) {
        fprintf(stderr, "floor: exchange failed (%s, HTTP %ld)\n", curl_easy_strerror(rc), status);
        goto done;
    }

    /* The answer's key, recovered with the server key; then its payload. */
    answerKey64 = member(answer.data, "symmetricKey");
    answerPayload64 = member(answer.data, "encryptionKeyRetrievalResponsePayloadEnc");
    size_t wrappedAnswerSize = 0;
    size_t cipherSize = 0;
    if (answerKey64 == NULL || answerPayload64 == NULL ||
        (wrappedAnswerKey = decode64(answerKey64, strlen(answerKey64), &wrappedAnswerSize)) ==
            NULL ||
        (answerCipher = decode64(answerPayload64, strlen(answerPayload64), &cipherSize)) == NULL ||
        cipherSize == 0 || cipherSize % 16 != 0) {
        fprintf(stderr, "floor: the answer is not a sealed key retrieval answer\n");
        goto done;
    }
    unsigned char answerKey[512];
    size_t answerKeySize = sizeof answerKey;
    ctx = EVP_PKEY_CTX_new_from_pkey(NULL, serverKey, NULL);
    if (ctx == NULL || EVP_PKEY_verify_recover_init(ctx) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(ctx, answerKey, &answerKeySize, wrappedAnswerKey,
                                wrappedAnswerSize) != 1 ||
        answerKeySize != 32) {
        fprintf(stderr, "floor: the answer's key does not recover\n");
        goto done;
    }
    plain = malloc(cipherSize + 16);
    if (plain == NULL) abort();
    const int plainSize = aes256ctr(answerKey, answerCipher, (int)cipherSize, plain);
    if (plainSize <= 0 || plain[plainSize - 1] < 1 || plain[plainSize - 1] > 16 ||
        memmem(plain, (size_t)plainSize, "\"bankKi\"", 8) == NULL) {
        fprintf(stderr, "floor: the answer's payload does not decrypt\n");
        goto done;
    }
    failed = 0;

done:
    OPENSSL_cleanse(aesKey, sizeof aesKey);
    EVP_PKEY_CTX_free(ctx);
    free(payload.data);
    free(body.data);
    free(answer.data);
    free(plain);
    free(sealed);
    free(wrappedAnswerKey);
    free(answerCipher);
    free(wrapped64);
    free(sealed64);
    free(answerKey64);
    free(answerPayload64);
    return failed;
}

/* The session's values, read in one read transaction; 0 when all are there. */
static int readSession(const char* path, char** session) {
    sqlite3* db = NULL;
    sqlite3_stmt* select = NULL;
    int missing = 0;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK ||
        sqlite3_exec(db, "BEGIN", NULL, NULL, NULL) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "SELECT data FROM items WHERE class = 0 AND name = ?1", -1, &select,
                           NULL) != SQLITE_OK) {
        fprintf(stderr, "floor: cannot read the store %s: %s\n", path, sqlite3_errmsg(db));
        sqlite3_close(db);
        return 1;
    }
    for (int i = 0; i < kValues; ++i) {
        sqlite3_bind_text(select, 1, kNames[i], -1, SQLITE_STATIC);
        if (sqlite3_step(select) == SQLITE_ROW) {
            const int size = sqlite3_column_bytes(select, 0);
            session[i] = malloc((size_t)size + 1);
            if (session[i] == NULL) abort();
            memcpy(session[i], sqlite3_column_blob(select, 0), (size_t)size);
            session[i][size] = '\0';
        } else {
            fprintf(stderr, "floor: the store has no \"%s\"\n", kNames[i]);
            missing = 1;
        }
        sqlite3_reset(select);
    }
    sqlite3_finalize(select);
    sqlite3_exec(db, "COMMIT", NULL, NULL, NULL);
    sqlite3_close(db);
    return missing;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s URL CA_FILE STORE TXN_ID [COUNT]\n", argv[0]);
        return 2;
    }
    const int count = argc > 5 ? atoi(argv[5]) : 1;
    char* session[kValues] = {0};
    if (readSession(argv[3], session) != 0) return 1;

    size_t derSize = 0;
    unsigned char* der = decode64(session[kTaviKey], strlen(session[kTaviKey]), &derSize);
    const unsigned char* cursor = der;
    EVP_PKEY* serverKey = der != NULL ? d2i_PUBKEY(NULL, &cursor, (long)derSize) : NULL;
    free(der);
    if (serverKey == NULL) {
        fprintf(stderr, "floor: the stored server key is not an RSA public key\n");
        return 1;
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    struct curl_slist* headers = curl_slist_append(NULL, "Content-Type: application/json");
    char url[1024];
    snprintf(url, sizeof url, "%s/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key", argv[1]);
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_CAINFO, argv[2]);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);

    int failures = 0;
    for (int i = 0; i < count; ++i) failures += exchange(curl, serverKey, session, argv[4]);

    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    EVP_PKEY_free(serverKey);
    for (int i = 0; i < kValues; ++i) free(session[i]);
    if (failures > 0) return 1;
    printf("ok %d\n", count);
    return 0;
}

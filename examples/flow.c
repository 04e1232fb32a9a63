/* The whole flow in C through the C interface: register, open a transaction, PIN, OTP, card,
 * web page. Arguments: SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH. */
#include <stdio.h>
#include <string.h>
#include <tavi/tavi.h>
#include <unistd.h>

/* The sandbox's documented test credentials (never real ones). */
#define SANDBOX_PIN "1234"
#define SANDBOX_OTP "123456"
#define SANDBOX_CARD "5555555555554444"
#define BIC "DEMOBIC1"

/* Prints a failed step and frees its result; returns 1. */
static int failed(const char* step, tavi_result* r) {
    const char* why = "no result";
    if (r && r->error)
        why = r->error->message;
    else if (r && tavi_result_value(r, "errorCode"))
        why = tavi_result_value(r, "errorCode");
    fprintf(stderr, "%s failed: %s\n", step, why);
    tavi_result_free(r);
    return 1;
}

static int ok(const tavi_result* r) {
    return r && r->status == TAVI_OK;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH\n", argv[0]);
        return 2;
    }
    tavi_config_set("serverURL", argv[1]);
    tavi_config_set("caFile", argv[3]);
    tavi_config_set("appId", "com.example.c");
    tavi_config_set("pspOrgId", "PSPORG-C");
    tavi_config_set("logLevel", "off");

    tavi_result* err = NULL;
    tavi_store* store = tavi_store_open_sqlite(argv[4], &err);
    if (!store) return failed("store", err);
    tavi_store_install(store);
    tavi_store_free(store);

    char txn[64]; /* one transaction per run */
    snprintf(txn, sizeof txn, "TXN-C-%ld", (long)getpid());

    tavi_result* r = tavi_register_device(argv[2], "+15550111", "REG-C-1", "com.example.c");
    if (!ok(r)) return failed("registration", r);
    tavi_result_free(r);
    tavi_preference_save("true", "IS_REGISTERED");

    r = tavi_retrieve_keys("MSG-C-1", "FINANCIAL_TXN", txn, BIC, "ACCOUNT");
    if (!ok(r)) return failed("key retrieval", r);
    char bank_ki[128], bank_key[4096], session_key[4096];
    snprintf(bank_ki, sizeof bank_ki, "%s", tavi_result_value(r, "bankKi"));
    snprintf(bank_key, sizeof bank_key, "%s", tavi_result_value(r, "publicKey"));
    snprintf(session_key, sizeof session_key, "%s", tavi_result_value(r, "sessionKey"));
    tavi_result_free(r);

    r = tavi_submit_credential(txn, "FINANCIAL_TXN", "PIN", SANDBOX_PIN, bank_ki, bank_key,
                               session_key);
    if (!ok(r)) return failed("PIN", r);
    tavi_result_free(r);

    r = tavi_fetch_otp_challenge("FINANCIAL_TXN", txn, "ACCOUNT", BIC, session_key, NULL);
    if (!ok(r)) return failed("OTP challenge", r);
    char reference[256], action[256];
    snprintf(reference, sizeof reference, "%s", tavi_result_value(r, "referenceId"));
    snprintf(action, sizeof action, "%s", tavi_result_value(r, "action"));
    tavi_result_free(r);

    r = tavi_validate_otp(txn, "FINANCIAL_TXN", SANDBOX_OTP, bank_ki, bank_key, session_key, action,
                          BIC, reference);
    if (!ok(r)) return failed("OTP validation", r);
    tavi_result_free(r);

    r = tavi_check_otp_status(txn);
    if (!ok(r) || strcmp(tavi_result_value(r, "status"), "stop") != 0)
        return failed("OTP status", r);
    tavi_result_free(r);

    r = tavi_card_verify(SANDBOX_CARD, "12", "2031", "737");
    if (!ok(r)) return failed("card check", r);
    tavi_result_free(r);
    r = tavi_register_card_detail(txn, "REGISTER_CARD_ACC_DETAIL", BIC, NULL, bank_ki, session_key,
                                  SANDBOX_CARD, "12", "2031", "737", bank_key);
    if (!ok(r) || strcmp(tavi_result_value(r, "success"), "true") != 0)
        return failed("card registration", r);
    tavi_result_free(r);

    r = tavi_web_url("SECURE_PAGE_URL", txn, "ACCOUNT", BIC, session_key);
    if (!ok(r)) return failed("web URL", r);
    printf("C flow done (%s card), secure page %s\n", tavi_card_brand(SANDBOX_CARD),
           tavi_result_value(r, "refUrl"));
    tavi_result_free(r);
    return 0;
}

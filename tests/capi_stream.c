/* An update client in C: checks the package arriving on standard input (a
 * pipe) with the public key KEY.pub, the image going to IMAGE as it passes
 * and, when OUT is given, into the file OUT by the library's output rules.
 * Prints the progress seen, the verdict's message and exits with the verdict.
 * Before that it calls every entry point with bad arguments, which must be
 * refused without a crash, and with OUT makes sure that an output that is
 * the key it protects is refused.
 *
 *   capi_stream KEY.pub IMAGE [OUT] <package
 */
#include <fwkit/fwkit.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct progress {
    fwkit_check *check;
    int reentered; /* what feeding its own handle gave the sink */
    FILE *image;
    int starts;
    uint64_t done;
    uint64_t total;
};

static int sink(void *user, const unsigned char *data, size_t size, uint64_t done,
                uint64_t total) {
    struct progress *p = user;
    if (size == 0) {
        p->starts++;
        p->reentered = fwkit_check_feed(p->check, "x", 1);
    }
    p->done = done;
    p->total = total;
    return size > 0 && fwrite(data, 1, size, p->image) != size;
}

/* Every call with a null handle, or null data with a size, is refused. */
static int refuses_bad_arguments(void) {
    fwkit_check *check = fwkit_check_new();
    int wrong = 0;
    wrong += fwkit_check_add_key_pem(NULL, "x", 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_key_pem(check, NULL, 5) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_key_pem(check, "not a key", 9) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_threshold(NULL, 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_compatible(check, NULL) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_sink(NULL, sink, NULL) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_feed(NULL, "x", 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_feed(check, NULL, 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_status(check) != FWKIT_E_ORDER;
    wrong += fwkit_check_json(check, NULL) != NULL;
    wrong += fwkit_check_feed(check, "f", 1) != FWKIT_OK;
    wrong += fwkit_check_set_min_version(check, 1) != FWKIT_E_ORDER;
    wrong += fwkit_check_finish(check) != FWKIT_NOT_A_PACKAGE;
    wrong += fwkit_check_feed(check, "x", 1) != FWKIT_E_ORDER;
    wrong += fwkit_check_finish(NULL) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_status(NULL) != FWKIT_E_ARGUMENT;
    wrong += strlen(fwkit_check_message(NULL)) == 0 || strlen(fwkit_strerror(-99)) == 0;
    fwkit_check_free(check);
    fwkit_check_free(NULL);
    return wrong;
}

/* An output that is a protected input fails the first feed, naming why. */
static int refuses_its_input(const char *key) {
    fwkit_check *check = fwkit_check_new();
    int wrong = fwkit_check_protect(check, key) != FWKIT_OK;
    wrong += fwkit_check_protect(check, NULL) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_output(check, key) != FWKIT_OK;
    wrong += fwkit_check_feed(check, "f", 1) != FWKIT_FAILED;
    wrong += strstr(fwkit_check_message(check), "itself") == NULL;
    wrong += fwkit_check_set_output(check, NULL) != FWKIT_E_ORDER;
    fwkit_check_free(check);
    return wrong;
}

static int add_key(fwkit_check *check, const char *path) {
    char pem[4096];
    FILE *file = fopen(path, "rb");
    size_t size = file != NULL ? fread(pem, 1, sizeof pem, file) : 0;
    if (file != NULL)
        fclose(file);
    return fwkit_check_add_key_pem(check, pem, size);
}

int main(int argc, char **argv) {
    struct progress p = {NULL, 0, NULL, 0, 0, 0};
    unsigned char chunk[7000];
    size_t got;
    int status;
    fwkit_check *check;
    if (argc < 3 || argc > 4 || refuses_bad_arguments() != 0 ||
        (argc == 4 && refuses_its_input(argv[1]) != 0))
        return 99;
    check = fwkit_check_new();
    p.check = check;
    p.image = fopen(argv[2], "wb");
    if (check == NULL || p.image == NULL || add_key(check, argv[1]) != FWKIT_OK ||
        fwkit_check_set_sink(check, sink, &p) != FWKIT_OK ||
        (argc == 4 && (fwkit_check_protect(check, argv[1]) != FWKIT_OK ||
                       fwkit_check_set_output(check, argv[3]) != FWKIT_OK)))
        return 98;
    while ((got = fread(chunk, 1, sizeof chunk, stdin)) > 0)
        if (fwkit_check_feed(check, chunk, got) != FWKIT_OK)
            break;
    status = ferror(stdin) ? fwkit_check_abandon(check) : fwkit_check_finish(check);
    fclose(p.image);
    if (p.starts > 0 && p.reentered != FWKIT_E_ORDER)
        return 97;
    printf("fwkit %s: starts %d, %llu of %llu: %s\n", fwkit_version(), p.starts,
           (unsigned long long)p.done, (unsigned long long)p.total, fwkit_check_message(check));
    fwkit_check_free(check);
    return status;
}

/* An update client in C: checks the package arriving on standard input (a
 * pipe) with the public key KEY.pub, the image going to IMAGE as it passes
 * and, when OUT is given, into the file OUT by the library's output rules.
 * Prints the progress seen, the verdict's message and exits with the verdict.
 * Before that it calls every entry point with bad arguments, which must be
 * refused without a crash, holds the library to each promise of fwkit.h,
 * and with OUT makes sure that an output that is the key it protects is
 * refused.
 *
 *   capi_stream KEY.pub IMAGE [OUT] <package
 *
 * With --index FILE first, FILE is handed in as the package's chunk index.
 *
 * With --install it is a device's update agent instead: installs PACKAGE by
 * the system description CONFIG with 2 tries, prints what was installed and
 * the status after it (or the refusal), and exits with the installer's
 * status.
 *
 *   capi_stream --install CONFIG PACKAGE
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
    /* Settings that would switch a check off, or that no package can meet. */
    wrong += fwkit_check_set_compatible(check, " \t") != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_compatible(check, "") != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_threshold(check, 0) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_threshold(check, 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_set_sink(NULL, sink, NULL) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_attachment(NULL, "index", "x", 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_attachment(check, NULL, "x", 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_attachment(check, "bogus", "x", 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_attachment(check, "index", NULL, 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_attachment(check, "index", "x", (10u << 20) + 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_feed(NULL, "x", 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_feed(check, NULL, 1) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_status(check) != FWKIT_E_ORDER;
    wrong += fwkit_check_json(check, NULL) != NULL;
    wrong += fwkit_check_feed(check, "f", 1) != FWKIT_OK;
    wrong += fwkit_check_set_min_version(check, 1) != FWKIT_E_ORDER;
    wrong += fwkit_check_add_attachment(check, "index", "x", 1) != FWKIT_E_ORDER;
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

/* A sink that answers as its case says, calling back into its own handle. */
struct answer {
    fwkit_check *check;
    int refuse_at, free_at; /* the call (1: the first, of size 0) refused, freeing */
    int calls, freed, order_refusals;
};

static int answering_sink(void *user, const unsigned char *data, size_t size, uint64_t done,
                          uint64_t total) {
    struct answer *a = user;
    fwkit_check *c = a->check;
    (void)data, (void)size, (void)done, (void)total;
    a->calls++;
    a->order_refusals += fwkit_check_feed(c, "x", 1) == FWKIT_E_ORDER;
    a->order_refusals += fwkit_check_finish(c) == FWKIT_E_ORDER;
    a->order_refusals += fwkit_check_abandon(c) == FWKIT_E_ORDER;
    a->order_refusals += fwkit_check_reset(c) == FWKIT_E_ORDER;
    a->order_refusals += fwkit_check_set_time(c, 0) == FWKIT_E_ORDER;
    a->order_refusals += fwkit_check_status(c) == FWKIT_E_ORDER;
    a->order_refusals += fwkit_check_json(c, NULL) == NULL;
    a->order_refusals += strcmp(fwkit_check_message(c), fwkit_strerror(FWKIT_E_ORDER)) == 0;
    if ((a->freed = a->calls == a->free_at) != 0)
        fwkit_check_free(c);
    return a->calls == a->refuse_at;
}

/* What fwkit.h promises of the sink and of the settings, one case each. */
static int keeps_the_headers_promises(void) {
    static const char package[] = "filesize: 3\nfiletype: dalm_upgrade\n"
                                  "md5: 900150983cd24fb0d6963f7d28e17f72\nversion: 7\n\nabc";
    static const struct {
        const char *what;
        int refuse_at, free_at, want, want_calls;
    } cases[] = {
        {"a sink that takes all", 0, 0, FWKIT_OK, 2},
        {"the first call refused", 1, 0, FWKIT_FAILED, 1},
        {"the image refused", 2, 0, FWKIT_FAILED, 2},
        {"freed on the first call", 0, 1, FWKIT_FAILED, 1},
        {"freed on the image", 0, 2, FWKIT_FAILED, 2},
    };
    int wrong = 0;
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        struct answer a = {NULL, 0, 0, 0, 0, 0};
        int result;
        a.check = fwkit_check_new(), a.refuse_at = cases[i].refuse_at, a.free_at = cases[i].free_at;
        fwkit_check_set_sink(a.check, answering_sink, &a);
        result = fwkit_check_feed(a.check, package, sizeof package - 1);
        if (!a.freed && result == FWKIT_OK)
            result = fwkit_check_finish(a.check);
        if (result != cases[i].want || a.calls != cases[i].want_calls ||
            a.order_refusals != 8 * a.calls) {
            fprintf(stderr, "%s: result %d, %d calls, %d refused\n", cases[i].what, result,
                    a.calls, a.order_refusals);
            wrong++;
        }
        if (!a.freed)
            fwkit_check_free(a.check);
    }
    return wrong;
}

/* A sink that stops the check with the errno value a full slot gives. */
static int full_sink(void *user, const unsigned char *data, size_t size, uint64_t done,
                     uint64_t total) {
    return (void)user, (void)data, (void)done, (void)total, size > 0 ? 28 : 0;
}

/* The verdicts' messages say why as pkgcheck does, and the header's lines and
 * the sink's answer can be read once known. */
static int says_why(void) {
    static const char package[] = "filesize: 3\nfiletype: dalm_upgrade\n"
                                  "md5: 900150983cd24fb0d6963f7d28e17f72\nversion: 7\n\nabc";
    static const struct {
        const char *what;
        size_t cut;          /* bytes left off the end */
        const char *compatible;
        int full;            /* the sink refuses the image */
        int want;
        const char *message;
    } cases[] = {
        {"cut short", 1, NULL, 0, FWKIT_CUT_SHORT, "cut short: 2 of 3 image bytes"},
        {"another board", 0, "board-x", 0, FWKIT_REFUSED,
         "refused by policy: no compatible line; this device is board-x"},
        {"a full slot", 0, NULL, 1, FWKIT_FAILED, "write error: the sink returned 28"},
    };
    int wrong = 0;
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        fwkit_check *check = fwkit_check_new();
        const char *version;
        int result;
        wrong += fwkit_check_header_line(check, "version") != NULL;
        if (cases[i].compatible != NULL)
            fwkit_check_set_compatible(check, cases[i].compatible);
        if (cases[i].full)
            fwkit_check_set_sink(check, full_sink, NULL);
        fwkit_check_feed(check, package, sizeof package - 1 - cases[i].cut);
        result = fwkit_check_finish(check);
        version = fwkit_check_header_line(check, "version");
        if (result != cases[i].want || strcmp(fwkit_check_message(check), cases[i].message) != 0 ||
            version == NULL || strcmp(version, "7") != 0 ||
            fwkit_check_header_line(check, "signature") != NULL ||
            fwkit_check_sink_status(check) != (cases[i].full ? 28 : 0))
            wrong += fprintf(stderr, "%s: %s\n", cases[i].what, fwkit_check_message(check)) > 0;
        fwkit_check_free(check);
    }
    return wrong;
}

/* Versions as text and packed, by the parser of pkgcheck --min-version. */
static int packs_versions(void) {
    uint32_t packed = 0;
    char text[16];
    int wrong = fwkit_version_pack("1.0.1", &packed) != FWKIT_OK || packed != 0x01000001u;
    wrong += fwkit_version_text(0xFF00FFFFu, text, sizeof text) != FWKIT_OK ||
             strcmp(text, "255.0.65535") != 0;
    wrong += fwkit_version_pack("1.256.0", &packed) != FWKIT_E_ARGUMENT;
    wrong += fwkit_version_text(0x01000001u, text, 5) != FWKIT_E_ARGUMENT;
    return wrong;
}

/* Every key of a PEM text of several is taken; a text of none is refused. */
static int takes_every_key(const char *path) {
    char pem[8192];
    FILE *file = fopen(path, "rb");
    size_t size = file != NULL ? fread(pem, 1, sizeof pem / 2, file) : 0, count = 0;
    fwkit_check *check = fwkit_check_new();
    int wrong;
    if (file != NULL)
        fclose(file);
    memcpy(pem + size, pem, size); /* the key twice: one distinct key */
    wrong = fwkit_check_add_keys_pem(check, pem, 2 * size, &count) != FWKIT_OK || count != 2;
    wrong += fwkit_check_set_threshold(check, 2) != FWKIT_E_ARGUMENT;
    wrong += fwkit_check_add_keys_pem(check, "no key", 6, &count) != FWKIT_E_ARGUMENT || count != 2;
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

/* Hands in the chunk index kept in the file at `path`. */
static int add_index(fwkit_check *check, const char *path) {
    static unsigned char bytes[(10u << 20) + 1];
    FILE *file = fopen(path, "rb");
    size_t size = file != NULL ? fread(bytes, 1, sizeof bytes, file) : 0;
    if (file != NULL)
        fclose(file);
    return file == NULL ? FWKIT_E_ARGUMENT : fwkit_check_add_attachment(check, "index", bytes, size);
}

static int install(const char *config, const char *package) {
    fwkit_install *install = fwkit_install_new();
    const char *status = NULL;
    int result;
    if (install == NULL || fwkit_install_set_config(install, config) != FWKIT_OK ||
        fwkit_install_set_tries(install, 2) != FWKIT_OK || fwkit_install_json(install) != NULL ||
        fwkit_install_run(NULL, package) != FWKIT_E_ARGUMENT ||
        fwkit_install_run(install, NULL) != FWKIT_E_ARGUMENT)
        return 98;
    result = fwkit_install_run(install, package);
    if (result == FWKIT_OK)
        printf("%s", fwkit_install_json(install));
    else
        printf("refused: %s\n", fwkit_install_message(install));
    if (fwkit_install_status(install, &status) == FWKIT_OK)
        printf("%s", status);
    fwkit_install_free(install);
    return result;
}

int main(int argc, char **argv) {
    struct progress p = {NULL, 0, NULL, 0, 0, 0};
    unsigned char chunk[7000];
    size_t got;
    int status;
    fwkit_check *check;
    const char *index_path = NULL;
    if (argc == 4 && strcmp(argv[1], "--install") == 0)
        return install(argv[2], argv[3]);
    if (argc > 2 && strcmp(argv[1], "--index") == 0)
        index_path = argv[2], argc -= 2, argv += 2;
    if (argc < 3 || argc > 4 || refuses_bad_arguments() != 0 ||
        keeps_the_headers_promises() != 0 || says_why() != 0 || packs_versions() != 0 ||
        takes_every_key(argv[1]) != 0 || (argc == 4 && refuses_its_input(argv[1]) != 0))
        return 99;
    check = fwkit_check_new();
    p.check = check;
    p.image = fopen(argv[2], "wb");
    if (check == NULL || p.image == NULL || add_key(check, argv[1]) != FWKIT_OK ||
        fwkit_check_set_threshold(check, 2) != FWKIT_E_ARGUMENT ||
        fwkit_check_set_threshold(check, 1) != FWKIT_OK ||
        fwkit_check_set_sink(check, sink, &p) != FWKIT_OK ||
        (index_path != NULL && add_index(check, index_path) != FWKIT_OK) ||
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

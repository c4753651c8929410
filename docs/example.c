/* An update client: checks the package arriving on standard input with the
 * public key in KEY.pem and writes the image into SLOT only once every check
 * passed (a regular file is replaced whole; a device receives the image as it
 * passes and the verdict says whether what it got is good).
 *
 *   cc example.c $(pkg-config --cflags --libs fwkit) -o example
 *   ./example release.pub slot.img <app.pkg
 */
#include <fwkit/fwkit.h>
#include <stdio.h>

/* Progress, as the image passes on to SLOT. */
static int show_progress(void *user, const unsigned char *data, size_t size, uint64_t done,
                         uint64_t total) {
    (void)user, (void)data, (void)size;
    fprintf(stderr, "\r%llu of %llu bytes", (unsigned long long)done, (unsigned long long)total);
    return 0; /* anything else stops the check */
}

static int add_key_file(fwkit_check *check, const char *path) {
    char pem[4096];
    FILE *file = fopen(path, "rb");
    size_t size;
    if (file == NULL)
        return FWKIT_E_ARGUMENT;
    size = fread(pem, 1, sizeof pem, file);
    fclose(file);
    return fwkit_check_add_key_pem(check, pem, size);
}

int main(int argc, char **argv) {
    unsigned char chunk[65536];
    size_t got;
    int verdict;
    fwkit_check *check;
    if (argc != 3) {
        fprintf(stderr, "usage: %s KEY.pem SLOT <package\n", argv[0]);
        return 1;
    }
    if ((check = fwkit_check_new()) == NULL)
        return 1;
    if (add_key_file(check, argv[1]) != FWKIT_OK) {
        fprintf(stderr, "update: %s: not a public key\n", argv[1]);
        fwkit_check_free(check);
        return 1;
    }
    fwkit_check_set_output(check, argv[2]);
    fwkit_check_set_sink(check, show_progress, NULL);
    while ((got = fread(chunk, 1, sizeof chunk, stdin)) > 0)
        if (fwkit_check_feed(check, chunk, got) != FWKIT_OK)
            break; /* the verdict is known: the package cannot pass */
    verdict = ferror(stdin) ? fwkit_check_abandon(check) : fwkit_check_finish(check);
    fprintf(stderr, "\nupdate: %s\n", fwkit_check_message(check));
    fwkit_check_free(check);
    return verdict; /* 0: SLOT holds the new image */
}

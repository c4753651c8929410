/* fwkit: check an upgrade package as it arrives, from C.
 *
 * One handle checks one package at a time. Configure it (keys, threshold,
 * policy, sink), feed it the package's bytes in chunks of any size as they
 * arrive, then finish it. The header is judged (its form, its signatures
 * against the keys given, the policy) before a byte of the image reaches the
 * sink; a header that fails stops the check at once and the sink sees
 * nothing. Memory does not grow with the image or the chunking.
 *
 *   fwkit_check *check = fwkit_check_new();
 *   fwkit_check_add_key_pem(check, pem, pem_size);
 *   fwkit_check_set_sink(check, write_to_slot, &slot);
 *   while ((n = recv(sock, buf, sizeof buf, 0)) > 0)
 *       if (fwkit_check_feed(check, buf, (size_t)n) != FWKIT_OK)
 *           break;
 *   if (fwkit_check_finish(check) == FWKIT_OK) ... mark the slot bootable ...
 *   else fprintf(stderr, "update: %s\n", fwkit_check_message(check));
 *   fwkit_check_free(check);
 *
 * A delta package (encoding zstd-delta) is applied against the base image
 * the device has, given with fwkit_check_set_base (typically the running
 * slot, read into memory: a mapping of a file that shrinks while it is used
 * kills the process with SIGBUS); the sink then gets the image it rebuilds.
 *
 * Every function is safe to call with bad arguments (a null handle, null data
 * with a size, calls out of order): it returns an error code and changes
 * nothing. No function prints, and none changes process-wide state. A handle
 * may be used from one thread at a time.
 */
#ifndef FWKIT_FWKIT_H
#define FWKIT_FWKIT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define FWKIT_API __attribute__((visibility("default")))
#else
#define FWKIT_API
#endif

/* Results. 0 and the positive values are the verdicts, the exit statuses of
 * pkgcheck; the negative ones say that a call was refused, having changed
 * nothing. */
enum {
    FWKIT_OK = 0,                /* every check passed (or: no check has failed yet) */
    FWKIT_FAILED = 1,            /* the sink refused bytes, or reading failed */
    FWKIT_NOT_A_PACKAGE = 2,     /* the header is not a package header */
    FWKIT_IMAGE_MISMATCH = 3,    /* the image's size, md5 or sha256 differ from the header */
    FWKIT_BAD_SIGNATURE = 4,     /* malformed, by none of the keys given, or not verifying */
    FWKIT_UNSIGNED = 5,          /* keys were given and the package is not signed */
    FWKIT_REFUSED = 6,           /* refused by policy */
    FWKIT_BASE_MISMATCH = 7,     /* a delta, and its base was not given, is another, or is
                                    shorter than its base-filesize */
    FWKIT_CUT_SHORT = 8,         /* the package ended before filesize image bytes had come
                                    (a cut download): only its size is checked, and the
                                    message says "cut short: N of M image bytes" */
    FWKIT_E_ARGUMENT = -1,       /* a null handle, null data with a size, a key that is not one */
    FWKIT_E_ORDER = -2,          /* not at this point: a setting while a package is fed,
                                    bytes after finish, a status before one is known */
    FWKIT_E_MEMORY = -3          /* memory or a thread could not be had */
};

typedef struct fwkit_check fwkit_check;

/* Gets each piece of the image in turn: `size` bytes at `data`, with `done`
 * image bytes handed on so far (this piece included) out of `total`, the
 * header's filesize. It is called once with size 0 (data null, done 0) when
 * the header has been accepted, so that progress can start. Return 0 to go
 * on; anything else, that first call's answer included, stops the check with
 * FWKIT_FAILED, and the sink is not called again: that answer (an errno value,
 * say) is kept for fwkit_check_sink_status, and the message says "write
 * error: the sink returned N". Never more than `total`
 * bytes are handed on. Of an encoded package, the sink gets the image it
 * rebuilds, and `total` is that image's size (its target-filesize). A sink
 * that calls a function of the handle it serves gets FWKIT_E_ORDER (null from
 * fwkit_check_json, that text from fwkit_check_message); one that calls
 * fwkit_check_free on it stops the check, and the handle is freed once the
 * call that ran the sink returns (its result is then the last use). */
typedef int (*fwkit_sink)(void *user, const unsigned char *data, size_t size, uint64_t done,
                          uint64_t total);

/* "1.1.0": the version of the library. */
FWKIT_API const char *fwkit_version(void);
/* A short text for any result above, e.g. "the signature does not verify". */
FWKIT_API const char *fwkit_strerror(int result);

/* A new handle, or null when memory is short. */
FWKIT_API fwkit_check *fwkit_check_new(void);
/* Frees the handle (null is allowed); from inside its sink, see fwkit_sink. */
FWKIT_API void fwkit_check_free(fwkit_check *check);

/* Settings, before the first byte is fed or after fwkit_check_reset. */
/* A public Ed25519 key (PEM, `size` bytes) a signature may be made with; with
 * one or more, a signature is required. FWKIT_E_ARGUMENT for anything that is
 * not a public key. */
FWKIT_API int fwkit_check_add_key_pem(fwkit_check *check, const char *pem, size_t size);
/* Every public Ed25519 key of a PEM text of one or more blocks (a keyring, as
 * pkgcheck --keyring reads it), `size` bytes; their number in `*count` (null:
 * not told). FWKIT_E_ARGUMENT, adding none, when the text holds no public key
 * or a block that is not an Ed25519 public key. */
FWKIT_API int fwkit_check_add_keys_pem(fwkit_check *check, const char *pem, size_t size,
                                       size_t *count);
/* How many distinct keys among those given must have signed (1 by default).
 * FWKIT_E_ARGUMENT for 0, or for more than the distinct keys given so far:
 * give the keys first. */
FWKIT_API int fwkit_check_set_threshold(fwkit_check *check, unsigned threshold);
/* The lowest version accepted, packed as the header's "version" line holds it
 * (fwkit_version_pack makes it from "MAJOR.MINOR.BUILD"). */
FWKIT_API int fwkit_check_set_min_version(fwkit_check *check, uint32_t packed);
/* The product or board this device is: the package must name it.
 * FWKIT_E_ARGUMENT for a name that is empty or blank (spaces and tabs alone),
 * which would name no board: the setting stays as it was. */
FWKIT_API int fwkit_check_set_compatible(fwkit_check *check, const char *name);
/* The time "expires" is judged at, in seconds since 1970 (by default: now). */
FWKIT_API int fwkit_check_set_time(fwkit_check *check, int64_t seconds);
/* Where the image goes (null: nowhere). */
FWKIT_API int fwkit_check_set_sink(fwkit_check *check, fwkit_sink sink, void *user);
/* The base image a delta is rebuilt from: `size` bytes at `data`, not copied,
 * which must stay valid and unchanged until the package is finished (null:
 * none). Its SHA-256 must be the package's base-sha256, checked before a byte
 * reaches the sink (else FWKIT_BASE_MISMATCH). A delta with a base-filesize
 * line uses the first that many bytes alone, so a whole slot larger than the
 * image it holds may be given; a base shorter than that is FWKIT_BASE_MISMATCH. A package that is not a delta
 * does not use it. Rebuilding needs one frame's buffer (at most 32 MiB) and
 * zstd's decoder state beside it, whatever the image's size. */
FWKIT_API int fwkit_check_set_base(fwkit_check *check, const void *data, size_t size);

/* Hands in signed data kept beside the package that its header may name;
 * the bytes are copied, and fwkit_check_reset forgets them (they belong to
 * the package).
 *
 * Kind "index", the chunk index (PKG.index beside a package file, at most
 * 10 MiB), before the package is fed: once the header is accepted it is
 * checked against the length and SHA-256 the header names (else
 * FWKIT_BAD_SIGNATURE, the message saying "signed data beside the package
 * does not match the header"), and the image then reaches the sink chunk by
 * chunk, each chunk only once its SHA-256 matched the index: a damaged chunk
 * gives FWKIT_IMAGE_MISMATCH before a byte of it is handed on. Without an
 * index given, a package that names one is checked as any other.
 *
 * Kind "sbom", the bill of materials (PKG.sbom, at most 64 MiB), at any time
 * before fwkit_check_finish, which judges it against the header: bytes other
 * than those it names make the verdict FWKIT_BAD_SIGNATURE (4), as data the
 * signature covers no longer is what was signed, and the image output is
 * discarded. A header that names a document none was given for is judged as
 * before, and fwkit_check_json says "checked": false of it: unlike fwkit
 * check and pkgcheck, which fail such a package (status 1), as a stream's
 * reader may not have the document; a caller that requires it looks at
 * "checked" (or fwkit_check_sbom) after finish.
 *
 * FWKIT_E_ARGUMENT for a null or unknown kind, null data with a size, or more
 * bytes than the kind holds; FWKIT_E_ORDER for an index once a package is
 * being fed, for a document once it is finished. */
FWKIT_API int fwkit_check_add_attachment(fwkit_check *check, const char *kind, const void *data,
                                         size_t size);

/* Writes the image into the file `path` (null: none) by the rules of
 * pkgcheck -o: a symbolic link is followed; a device or a FIFO receives the
 * image as it passes, so that the verdict then says whether what it got is
 * good; a regular file, or a new one, receives it in a temporary file beside
 * it that takes its place, synced, only when the package passed, and a
 * package that fails leaves the file as it was. The output is opened when the
 * first byte is fed; when it cannot be, or a write to it fails, the verdict
 * is FWKIT_FAILED and fwkit_check_message says why. The sink, when one is
 * set, gets the image after the output. */
FWKIT_API int fwkit_check_set_output(fwkit_check *check, const char *path);
/* A file the output must never be (the package file being read, the base's
 * file, a key): an output that is this file, by any name, fails with
 * FWKIT_FAILED before a byte is written. `path` is taken as it names a file
 * at this call; one that names no file protects nothing. */
FWKIT_API int fwkit_check_protect(fwkit_check *check, const char *path);

/* The next `size` bytes of the package. FWKIT_OK while the package may still
 * pass; once it cannot, its verdict (2, 4, 5, 6, or 1 when the sink refused),
 * and later bytes are ignored. */
FWKIT_API int fwkit_check_feed(fwkit_check *check, const void *data, size_t size);
/* Ends the package and returns its verdict; again the same when called again. */
FWKIT_API int fwkit_check_finish(fwkit_check *check);
/* Tells the check that the package's source failed part way: the verdict is
 * FWKIT_FAILED unless a check had failed already. Returns the verdict. */
FWKIT_API int fwkit_check_abandon(fwkit_check *check);
/* The verdict once it is known (a check failed, or finished), else FWKIT_E_ORDER. */
FWKIT_API int fwkit_check_status(const fwkit_check *check);
/* One line that says what the verdict is and why, e.g. "not a package: no md5
 * line"; valid until the handle is next used. */
FWKIT_API const char *fwkit_check_message(fwkit_check *check);
/* The whole result as the JSON document pkgcheck -j prints, naming the
 * package `name` (null: "-"); null before the verdict is known. Valid until
 * the handle is next used. */
FWKIT_API const char *fwkit_check_json(fwkit_check *check, const char *name);
/* The bill of materials given, once finish found it to be the one the header
 * names: `*size` bytes (not NUL-terminated), valid until the handle is next
 * reset or freed; null otherwise. */
FWKIT_API const char *fwkit_check_sbom(fwkit_check *check, size_t *size);
/* The answer with which the sink stopped the check (see fwkit_sink); 0 when
 * it never did. */
FWKIT_API int fwkit_check_sink_status(const fwkit_check *check);
/* The value of the header line `name` ("version", "compatible", ...) once the
 * header has been read and judged, accepted or refused by its signatures or
 * the policy, so that a client can look at it before the image comes; null
 * when the header has no such line, was not read yet, or is not a package
 * header. Valid until the handle is reset or freed. */
FWKIT_API const char *fwkit_check_header_line(fwkit_check *check, const char *name);
/* Forgets the package and the attachments handed in for it; the settings
 * stay, for the next package. */
FWKIT_API int fwkit_check_reset(fwkit_check *check);

/* Package versions, as pkgcheck --min-version reads them and as the header's
 * "version" line holds them packed (major 0-255, minor 0-255, build 0-65535).
 * fwkit_version_pack: "1.0.1" into `*packed`; FWKIT_E_ARGUMENT for text that
 * is not such a version. fwkit_version_text: "MAJOR.MINOR.BUILD" of `packed`
 * into `buffer` of `size` bytes (16 always suffice), with its NUL;
 * FWKIT_E_ARGUMENT when it does not fit. */
FWKIT_API int fwkit_version_pack(const char *text, uint32_t *packed);
FWKIT_API int fwkit_version_text(uint32_t packed, char *buffer, size_t size);

/* Installing on a device: the installer of fwkit install, status and
 * mark-good|mark-bad|mark-active, on the device's system description.
 *
 *   fwkit_install *install = fwkit_install_new();
 *   fwkit_install_set_config(install, "/etc/fwkit/system.conf");
 *   if (fwkit_install_run(install, "/tmp/update.pkg") != FWKIT_OK)
 *       fprintf(stderr, "update: %s\n", fwkit_install_message(install));
 *   fwkit_install_free(install);
 *
 * The calls return FWKIT_OK, a package's verdict (1 to 8, as above) or one of
 * the installer's own results below: the exit statuses of fwkit install. A
 * handle may be used from one thread at a time. */
enum {
    FWKIT_INSTALL_DESCRIPTION = 10,     /* the system description is refused */
    FWKIT_INSTALL_BOOTED_UNKNOWN = 11,  /* the booted slot cannot be told */
    FWKIT_INSTALL_TARGET_BOOTED = 12,   /* the slot to be written is the one running */
    FWKIT_INSTALL_NO_SLOT = 13,         /* no slot of that boot name, or for that image */
    FWKIT_INSTALL_SLOT = 14,            /* the slot cannot be opened, written or read */
    FWKIT_INSTALL_READ_BACK = 15,       /* the slot reads back other bytes than written */
    FWKIT_INSTALL_LOCKED = 16,          /* another install is running */
    FWKIT_INSTALL_HOOK = 17,            /* a pre-install or post-install hook failed */
    FWKIT_INSTALL_BOOTLOADER = 18,      /* the bootloader's environment cannot be used */
    FWKIT_INSTALL_STATE = 19            /* the state directory cannot be written */
};

typedef struct fwkit_install fwkit_install;

/* A new handle on the description /etc/fwkit/system.conf, or null when
 * memory is short. */
FWKIT_API fwkit_install *fwkit_install_new(void);
/* Frees the handle (null is allowed). */
FWKIT_API void fwkit_install_free(fwkit_install *install);
/* The system description to read (it is read anew by each call below). */
FWKIT_API int fwkit_install_set_config(fwkit_install *install, const char *path);
/* Nonzero: a version below the booted slot's is accepted. */
FWKIT_API int fwkit_install_set_allow_downgrade(fwkit_install *install, int allow);
/* The new slot's tries (0: the description's). */
FWKIT_API int fwkit_install_set_tries(fwkit_install *install, unsigned tries);

/* The settings of an install from an http:// or https:// URL, as fwkit
 * install's network options. fwkit_network_options_init fills in `version`
 * and the defaults; change what differs and hand it to
 * fwkit_install_set_network, which copies it. A field a later header adds
 * comes after these and is read only from a `version` that has it. */
#define FWKIT_NETWORK_OPTIONS_VERSION 1
typedef struct fwkit_network_options {
    unsigned version;         /* FWKIT_NETWORK_OPTIONS_VERSION */
    const char *ca_file;      /* CA certificates (PEM) to check the server with; null: the system's */
    const char *ca_path;      /* or a directory of them; null: none */
    const char *cert;         /* a client certificate (PEM) for mutual TLS; null: none */
    const char *key;          /* its private key, when not in `cert`; null: none */
    unsigned connect_timeout; /* seconds to connect, 1 to 3600 (30) */
    unsigned speed_time;      /* seconds below 1 KiB/s that cut a transfer, 1 to 3600 (30) */
    unsigned retries;         /* tries again after a failure, in all the install, 0 to 100 (3) */
} fwkit_network_options;

/* Fills `options` with FWKIT_NETWORK_OPTIONS_VERSION and the defaults. */
FWKIT_API void fwkit_network_options_init(fwkit_network_options *options);
/* The settings of the next runs from a URL (null: the defaults again);
 * FWKIT_E_ARGUMENT for an unknown version or a value out of its range, the
 * handle's settings unchanged. */
FWKIT_API int fwkit_install_set_network(fwkit_install *install,
                                        const fwkit_network_options *options);

/* Installs the package file `package` into the slot that is not running and
 * has the bootloader try it next. A package named by an http:// or https://
 * URL is read from its server with libcurl as it is written (by the settings
 * above; the proxy variables; retries resume a cut transfer);
 * the program calls curl_global_init(CURL_GLOBAL_DEFAULT) first, unless its
 * libcurl is thread-safe (curl_version_info()->features has
 * CURL_VERSION_THREADSAFE), which then initialises itself. */
FWKIT_API int fwkit_install_run(fwkit_install *install, const char *package);
/* What the last successful run installed, as the JSON document fwkit install
 * --json prints (for a package with a chunk index, the bytes "reused" from the
 * booted slot, "fetched" from the package and "present" in the target
 * already); null before one. Valid until the handle is next used. */
FWKIT_API const char *fwkit_install_json(fwkit_install *install);
/* The slots' status as the JSON document fwkit status --json prints, in
 * `*json` (valid until the handle is next used). */
FWKIT_API int fwkit_install_status(fwkit_install *install, const char **json);
/* The booted slot is confirmed: its tries are reset, the order is kept. */
FWKIT_API int fwkit_install_mark_good(fwkit_install *install);
/* The slot of boot name `slot` (null: the booted one) gets no tries, last in order. */
FWKIT_API int fwkit_install_mark_bad(fwkit_install *install, const char *slot);
/* The slot of boot name `slot` boots next, with the description's tries. */
FWKIT_API int fwkit_install_mark_active(fwkit_install *install, const char *slot);
/* Why the last call failed, as "FILE: reason"; empty after a success. */
FWKIT_API const char *fwkit_install_message(fwkit_install *install);

#ifdef __cplusplus
}
#endif

#endif

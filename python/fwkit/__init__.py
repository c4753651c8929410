"""Check fwkit upgrade packages from Python, as pkgcheck does.

A thin layer over libfwkit.so.1 (the C API) through ctypes::

    import fwkit
    result = fwkit.check("app.pkg", keys=["release.pub"], out="app.bin")
    if not result["ok"]:
        raise SystemExit(result["verdict"])

The result is the document ``pkgcheck -j`` prints, as a dict. A package given
as a file object (a download, a pipe) is read chunk by chunk and never held
whole; the header is judged before a byte of the image reaches ``out``. The
library is looked up as libfwkit.so.1, or where FWKIT_LIBRARY says.
"""

import ctypes
import json
import numbers
import os
import stat

__all__ = ["check", "version", "Error"]

CHUNK = 64 * 1024

_SINK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_ubyte),
                         ctypes.c_size_t, ctypes.c_uint64, ctypes.c_uint64)
_lib = None


class Error(ValueError):
    """A setting the library refused (a key that is not a public key, a
    threshold above the keys given, a blank compatible, ...)."""


def _library():
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(os.environ.get("FWKIT_LIBRARY", "libfwkit.so.1"))
        handle = ctypes.c_void_p
        for name, restype, argtypes in [
                ("fwkit_version", ctypes.c_char_p, []),
                ("fwkit_strerror", ctypes.c_char_p, [ctypes.c_int]),
                ("fwkit_check_new", handle, []),
                ("fwkit_check_free", None, [handle]),
                ("fwkit_check_add_key_pem", ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_size_t]),
                ("fwkit_check_add_keys_pem", ctypes.c_int,
                 [handle, ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]),
                ("fwkit_version_pack", ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint32)]),
                ("fwkit_version_text", ctypes.c_int, [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t]),
                ("fwkit_check_set_threshold", ctypes.c_int, [handle, ctypes.c_uint]),
                ("fwkit_check_set_min_version", ctypes.c_int, [handle, ctypes.c_uint32]),
                ("fwkit_check_set_compatible", ctypes.c_int, [handle, ctypes.c_char_p]),
                ("fwkit_check_set_time", ctypes.c_int, [handle, ctypes.c_int64]),
                ("fwkit_check_set_sink", ctypes.c_int, [handle, _SINK, ctypes.c_void_p]),
                ("fwkit_check_set_base", ctypes.c_int, [handle, ctypes.c_void_p, ctypes.c_size_t]),
                ("fwkit_check_feed", ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_size_t]),
                ("fwkit_check_finish", ctypes.c_int, [handle]),
                ("fwkit_check_abandon", ctypes.c_int, [handle]),
                ("fwkit_check_json", ctypes.c_char_p, [handle, ctypes.c_char_p]),
                ("fwkit_check_message", ctypes.c_char_p, [handle]),
                ("fwkit_check_set_output", ctypes.c_int, [handle, ctypes.c_char_p]),
                ("fwkit_check_protect", ctypes.c_int, [handle, ctypes.c_char_p]),
                ("fwkit_check_add_attachment", ctypes.c_int,
                 [handle, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t])]:
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        _lib = lib
    return _lib


def version():
    """The version of libfwkit, e.g. "1.1.0"."""
    return _library().fwkit_version().decode()


def _call(result, what="setting"):
    if result < 0:
        raise Error("%s: %s" % (what, _library().fwkit_strerror(result).decode()))
    return result


def _integer(name, value, low, high):
    """The value, when it is an integer from low to high; ctypes would wrap
    any other silently (2**32 as 0), so it is refused with ValueError."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError("%s=%r: not an integer" % (name, value))
    if not low <= value <= high:
        raise ValueError("%s=%d: not from %d to %d" % (name, value, low, high))
    return int(value)


def _min_version(value):
    """The packed minimum version of an integer or of "MAJOR.MINOR.BUILD"."""
    if not isinstance(value, str):
        return _integer("min_version", value, 0, 2**32 - 1)
    packed = ctypes.c_uint32()
    if _library().fwkit_version_pack(_text("min_version", value), ctypes.byref(packed)) != 0:
        raise ValueError("min_version=%r: not MAJOR.MINOR.BUILD (0-255.0-255.0-65535)" % value)
    return packed.value


def _version_text(packed):
    """"MAJOR.MINOR.BUILD" of a packed version."""
    text = ctypes.create_string_buffer(16)
    _library().fwkit_version_text(packed, text, len(text))
    return text.value.decode()


def _text(name, value):
    """The bytes of a text setting; one holding a NUL byte, which would cut it
    short in C, is refused with ValueError."""
    data = value.encode() if isinstance(value, str) else bytes(value)
    if b"\0" in data:
        raise ValueError("%s=%r: holds a NUL byte" % (name, value))
    return data


def _is_pem(key):
    """True for a key given as its PEM text (bytes, or str that starts as PEM)
    rather than as a file's path."""
    return isinstance(key, bytes) or (isinstance(key, str) and
                                      key.lstrip().startswith("-----BEGIN"))


def _pem(key):
    """The PEM text of a key given as PEM (bytes or str) or as a file's path."""
    if _is_pem(key):
        return key if isinstance(key, bytes) else key.encode()
    with open(key, "rb") as file:
        return file.read()


def _read_base(path):
    """The bytes of a base file: a regular file or a block device (a slot),
    read whole rather than mapped, so that a file cut short while it is used
    can never kill the process with SIGBUS. OSError when it is another kind
    of file, or when it changed while it was read."""
    with open(path, "rb") as file:
        before = os.fstat(file.fileno())
        if not (stat.S_ISREG(before.st_mode) or stat.S_ISBLK(before.st_mode)):
            raise OSError("%s: not a regular file or block device" % path)
        data = file.read()
        after = os.fstat(file.fileno())
    held = (before.st_ino, before.st_size, before.st_mtime_ns, before.st_ctime_ns)
    if held != (after.st_ino, after.st_size, after.st_mtime_ns, after.st_ctime_ns) or (
            stat.S_ISREG(after.st_mode) and len(data) != after.st_size):
        raise OSError("%s: changed while it was read" % path)
    return data


class _Base:
    """The base a delta is applied to: bytes as they are, or a file's read."""

    def __init__(self, base):
        if base is None:
            self.data, self.address, self.size = None, None, 0
            return
        if isinstance(base, (bytes, bytearray, memoryview)):
            self.data = bytes(base)
        else:
            self.data = _read_base(base)
        self.address = ctypes.cast(ctypes.c_char_p(self.data), ctypes.c_void_p).value
        self.size = len(self.data)


def _feed(lib, handle, package):
    """Feeds the package; returns its name for the report."""
    if isinstance(package, (bytes, bytearray, memoryview)):
        data = bytes(package)
        lib.fwkit_check_feed(handle, data, len(data))
        return "-"
    if hasattr(package, "read"):
        name, file = getattr(package, "name", "-"), package
    else:
        name, file = os.fspath(package), open(package, "rb")
    try:
        while True:
            try:
                chunk = file.read(CHUNK)
            except OSError:
                lib.fwkit_check_abandon(handle)
                raise
            if not chunk or lib.fwkit_check_feed(handle, chunk, len(chunk)) != 0:
                break
    finally:
        if file is not package:
            file.close()
    return name if isinstance(name, str) else "-"


# The most bytes the library takes of each kind of signed data kept beside a
# package: the chunk index (that of a 4 GiB image in 64 KiB chunks with the
# hints of its 4 KiB blocks) and the bill of materials.
_MAX_ATTACHMENT = {"index": (2 << 20) + (8 << 20), "sbom": 64 << 20}


def _attachment(package, given, kind):
    """The bytes of signed data of `kind` to hand in: `given` as bytes, or
    read from the path it names; by default PACKAGE.KIND beside a package
    given as a path, when there is one (None when not). A file is read up to
    a byte more than the library takes, which then refuses it."""
    if isinstance(given, (bytes, bytearray, memoryview)):
        return bytes(given)
    if given is None:
        if not isinstance(package, (str, bytes, os.PathLike)) or hasattr(package, "read"):
            return None
        given = os.fsencode(package) + b"." + kind.encode()
        if not os.path.exists(given):
            return None
    with open(given, "rb") as file:
        return file.read(_MAX_ATTACHMENT[kind] + 1)


def _inputs(package, keys, base):
    """The files the output may never be: the package's, each key file's and
    the base's, as paths the library can look at (a file object by its
    descriptor)."""
    given = [key for key in keys if not _is_pem(key)]
    if base is not None and not isinstance(base, (bytes, bytearray, memoryview)):
        given.append(base)
    if hasattr(package, "fileno"):
        try:
            given.append("/dev/fd/%d" % package.fileno())
        except (OSError, ValueError):  # a file object with no descriptor
            pass
    elif not isinstance(package, (bytes, bytearray, memoryview)):
        given.append(package)
    return [_text("input", os.fsencode(path)) for path in given]


def _write_to(lib, handle, out, inputs):
    """Has the library write the image into the file `out` by pkgcheck -o's
    rules, never into one of the inputs."""
    for path in inputs:
        _call(lib.fwkit_check_protect(handle, path), "input %r" % (path,))
    _call(lib.fwkit_check_set_output(handle, _text("out", os.fsencode(out))), "out=%r" % (out,))


def check(package, keys=(), threshold=None, min_version=None, compatible=None, out=None,
          time=None, progress=None, base=None, index=None, sbom=None):
    """Checks a package and returns the result shaped like ``pkgcheck -j``.

    package: a path, the bytes of a package, or a file object read chunk by
    chunk. keys: a list of public keys (paths or PEM text, each of one key or
    a keyring of several, every one of which is taken) a signature may be
    made with; with any, a signature is required. threshold: how many distinct
    keys of them must have signed (1 by default; from 1 to the number of keys
    given). min_version: the lowest version accepted, as "MAJOR.MINOR.BUILD"
    or packed as the header holds it (0 to 2**32-1).
    compatible: the board the package must name (neither empty nor blank).
    out: a file object, written as the image passes, or a path, written by the
    rules of ``pkgcheck -o``: a symbolic link is followed; a device or a FIFO
    receives the image as it passes (the verdict then says whether what it got
    is good); a regular file, or a new one, is replaced whole and synced only
    when every check passed, and left as it was otherwise. The path may not be
    the package, a key or the base. time: seconds since 1970 that "expires" is
    judged at (a signed 64-bit number). progress: called with (done, total).
    base: the base image a delta package is rebuilt from (bytes, or the path
    of a regular file or block device, read whole); out then gets the image
    rebuilt. index: the chunk index of a package whose header names one (bytes,
    or the path of its file; by default PACKAGE.index beside a package given as
    a path, when it exists): it must be the one the header names (else status
    4), and each chunk then reaches out only once it matched the index (a
    damaged chunk: status 3, before any of it is written).
    rebuilt. sbom: the bill of materials the header names (bytes, or a path);
    by default the file beside a package given by its path (PACKAGE.sbom).
    The result's "sbom" then says its format, subject and component count; a
    document other than the one the header names fails the check (status 4).
    When the header names one and none is at hand, the check is judged as
    before and "sbom" says "checked": False (fwkit check fails such a
    package with status 1 instead): a caller that requires the document
    looks at that.
    A callback (progress, or out's write) that raises stops the
    check, and its exception is raised again from here, OSError with its
    strerror (a full disk: ENOSPC) included.

    The result's "status" is pkgcheck's exit status: 0 every check passed, 1
    the output failed, 2 not a package, 3 the image does not match, 4 bad
    signature (or a bill of materials other than the one signed), 5 unsigned,
    6 refused by policy (its "policy" says which line and why), 7 the base of
    a delta does not match, 8 cut short (the package ended before its image
    did: a cut download, "problem" says how many of the image's bytes came).
    Its "version", when the header has one, also holds "text", the version as
    "MAJOR.MINOR.BUILD".

    A value that would switch a check off or be cut short on its way to the
    library is refused: an integer out of its range, a text holding a NUL
    byte, a blank compatible, a threshold of 0 or above the keys given all
    raise ValueError (Error, for what the library refuses). Raises OSError
    when the package or the base cannot be read, and Error naming the path
    when the output is one of the inputs or cannot be opened or written.
    """
    lib = _library()
    handle = lib.fwkit_check_new()
    if not handle:
        raise MemoryError("fwkit_check_new")
    try:
        source = _Base(base)
        _call(lib.fwkit_check_set_base(handle, source.address, source.size))
        if isinstance(keys, (str, bytes, os.PathLike)):
            raise ValueError("keys=%r: a list of keys, not one key" % (keys,))
        for key in keys:
            pem = _pem(key)
            _call(lib.fwkit_check_add_keys_pem(handle, pem, len(pem), None), "key %r" % (key,))
        if threshold is not None:
            threshold = _integer("threshold", threshold, 1, 2**32 - 1)
            _call(lib.fwkit_check_set_threshold(handle, threshold), "threshold=%d" % threshold)
        if min_version is not None:
            _call(lib.fwkit_check_set_min_version(handle, _min_version(min_version)))
        if compatible is not None:
            _call(lib.fwkit_check_set_compatible(handle, _text("compatible", compatible)),
                  "compatible=%r" % (compatible,))
        if time is not None:
            seconds = time if isinstance(time, numbers.Integral) else int(time)
            _call(lib.fwkit_check_set_time(handle, _integer("time", seconds, -2**63, 2**63 - 1)))
        for kind, given in (("index", index), ("sbom", sbom)):
            attached = _attachment(package, given, kind)
            if attached is not None:
                _call(lib.fwkit_check_add_attachment(handle, kind.encode(), attached,
                                                     len(attached)),
                      "%s of %d bytes" % (kind, len(attached)))
        stream = out if out is None or hasattr(out, "write") else None
        if out is not None and stream is None:
            _write_to(lib, handle, out, _inputs(package, keys, base))
        refused = []

        def sink(_user, data, size, done, total):
            try:
                if size and stream is not None:
                    stream.write(ctypes.string_at(data, size))
                if progress is not None:
                    progress(done, total)
                return 0
            except Exception as error:  # the check stops, and fwkit.check raises it
                refused.append(error)
                return 1

        callback = _SINK(sink)
        _call(lib.fwkit_check_set_sink(handle, callback, None))
        name = _feed(lib, handle, package)
        # Reading failures raised above, and the sink's refusals are its own:
        # any other failure is the output's.
        verdict = lib.fwkit_check_finish(handle)
        if refused:
            raise refused[0]
        if verdict == 1 and stream is None and out is not None:
            raise Error("out=%r: %s" % (out, lib.fwkit_check_message(handle).decode(
                "utf-8", "replace")))
        result = json.loads(lib.fwkit_check_json(handle, name.encode("utf-8", "replace")))
        if result.get("version"):
            result["version"]["text"] = _version_text(result["version"]["packed"])
        return result
    finally:
        lib.fwkit_check_free(handle)


# --- installing on a device ---------------------------------------------------

__all__ += ["install", "status", "mark_good", "mark_bad", "mark_active", "InstallError"]

_installer_ready = False


class InstallError(Error):
    """The installer refused: ``status`` is the exit status fwkit install
    gives (a package's verdict 1-8, or the installer's own 10-19) and the
    message says which file and why."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def _installer():
    global _installer_ready
    lib = _library()
    if not _installer_ready:
        handle = ctypes.c_void_p
        for name, restype, argtypes in [
                ("fwkit_install_new", handle, []),
                ("fwkit_install_free", None, [handle]),
                ("fwkit_install_set_config", ctypes.c_int, [handle, ctypes.c_char_p]),
                ("fwkit_install_set_allow_downgrade", ctypes.c_int, [handle, ctypes.c_int]),
                ("fwkit_install_set_tries", ctypes.c_int, [handle, ctypes.c_uint]),
                ("fwkit_install_run", ctypes.c_int, [handle, ctypes.c_char_p]),
                ("fwkit_install_json", ctypes.c_char_p, [handle]),
                ("fwkit_install_status", ctypes.c_int, [handle, ctypes.POINTER(ctypes.c_char_p)]),
                ("fwkit_install_mark_good", ctypes.c_int, [handle]),
                ("fwkit_install_mark_bad", ctypes.c_int, [handle, ctypes.c_char_p]),
                ("fwkit_install_mark_active", ctypes.c_int, [handle, ctypes.c_char_p]),
                ("fwkit_install_message", ctypes.c_char_p, [handle])]:
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        _installer_ready = True
    return lib


def _on_installer(config, work):
    """Runs work(lib, handle) on a handle for the description `config`
    (None: /etc/fwkit/system.conf); raises InstallError for a refusal."""
    lib = _installer()
    handle = lib.fwkit_install_new()
    if not handle:
        raise MemoryError("fwkit_install_new")
    try:
        if config is not None:
            _call(lib.fwkit_install_set_config(handle, os.fsencode(config)))
        result = work(lib, handle)
        if result != 0:
            _call(result)
            raise InstallError(result, lib.fwkit_install_message(handle).decode("utf-8", "replace"))
        return result
    finally:
        lib.fwkit_install_free(handle)


class _NetworkOptions(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint),
                ("ca_file", ctypes.c_char_p),
                ("ca_path", ctypes.c_char_p),
                ("cert", ctypes.c_char_p),
                ("key", ctypes.c_char_p),
                ("connect_timeout", ctypes.c_uint),
                ("speed_time", ctypes.c_uint),
                ("retries", ctypes.c_uint)]


def _set_network(lib, handle, network):
    """Hands the network keywords given (not None) to the handle."""
    given = {name: value for name, value in network.items() if value is not None}
    if not given:
        return
    lib.fwkit_network_options_init.restype = None
    lib.fwkit_network_options_init.argtypes = [ctypes.POINTER(_NetworkOptions)]
    lib.fwkit_install_set_network.restype = ctypes.c_int
    lib.fwkit_install_set_network.argtypes = [ctypes.c_void_p, ctypes.POINTER(_NetworkOptions)]
    options = _NetworkOptions()
    lib.fwkit_network_options_init(ctypes.byref(options))
    for name, field in (("cacert", "ca_file"), ("capath", "ca_path"), ("cert", "cert"),
                        ("key", "key")):
        if name in given:
            setattr(options, field, os.fsencode(given[name]))
    for name, low in (("connect_timeout", 1), ("speed_time", 1), ("retries", 0)):
        if name in given:
            setattr(options, name, _integer(name, given[name], low, 2**32 - 1))
    _call(lib.fwkit_install_set_network(handle, ctypes.byref(options)), "network options")


def install(package, config=None, allow_downgrade=False, tries=0, cacert=None, capath=None,
            cert=None, key=None, connect_timeout=None, speed_time=None, retries=None):
    """Installs the package file `package` into the slot that is not running,
    as ``fwkit install`` does, and returns what was installed as the dict
    ``fwkit install --json`` prints (with a chunk index, also the bytes
    "reused" from the booted slot, "fetched" and "present"). Raises
    InstallError when refused.

    A `package` that is an http:// or https:// URL is read from its server;
    the keywords after `tries` are fwkit install's network options (--cacert,
    --capath, --cert, --key, --connect-timeout, --speed-time, --retries)."""
    document = []

    def run(lib, handle):
        _call(lib.fwkit_install_set_allow_downgrade(handle, 1 if allow_downgrade else 0))
        _call(lib.fwkit_install_set_tries(handle, tries))
        _set_network(lib, handle, {
            "cacert": cacert, "capath": capath, "cert": cert, "key": key,
            "connect_timeout": connect_timeout, "speed_time": speed_time, "retries": retries})
        result = lib.fwkit_install_run(handle, os.fsencode(package))
        if result == 0:
            document.append(json.loads(lib.fwkit_install_json(handle)))
        return result

    _on_installer(config, run)
    return document[0]


def status(config=None):
    """The slots' status as the dict ``fwkit status --json`` prints."""
    document = []

    def run(lib, handle):
        text = ctypes.c_char_p()
        result = lib.fwkit_install_status(handle, ctypes.byref(text))
        if result == 0:
            document.append(json.loads(text.value))  # before the handle is freed
        return result

    _on_installer(config, run)
    return document[0]


def mark_good(config=None):
    """Confirms the booted slot, as ``fwkit mark-good`` does."""
    _on_installer(config, lambda lib, handle: lib.fwkit_install_mark_good(handle))


def mark_bad(slot=None, config=None):
    """Marks the slot booted as `slot` (None: the booted one) bad."""
    name = None if slot is None else slot.encode()
    _on_installer(config, lambda lib, handle: lib.fwkit_install_mark_bad(handle, name))


def mark_active(slot, config=None):
    """Has the slot booted as `slot` boot next."""
    _on_installer(config, lambda lib, handle: lib.fwkit_install_mark_active(handle, slot.encode()))

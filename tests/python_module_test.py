"""The Python module over the C API: a package streamed from a pipe, bytes
and a path, each giving pkgcheck's report; the image written only when every
check passed; a delta rebuilt against its base; an install into file-backed
slots with a script bootloader backend, and its status. Run by CTest with FWKIT_LIBRARY,
PKGSIGN, PKGSTAMP, PKGCHECK and FWKIT set to the build's library and programs,
and the module on PYTHONPATH."""

import errno
import json
import os
import subprocess
import stat
import tempfile
import threading
import unittest

import fwkit


def run(*args, **kwargs):
    return subprocess.run(args, check=False, capture_output=True, **kwargs)


class ModuleChecksAsPkgcheck(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = lambda name: os.path.join(self.dir.name, name)
        self.image = os.urandom(700 * 1024)
        with open(self.path("image"), "wb") as file:
            file.write(self.image)
        run(os.environ["PKGSIGN"], "-g", "k", cwd=self.dir.name)
        run(os.environ["PKGSTAMP"], "1", "image", "u.pkg", cwd=self.dir.name)
        run(os.environ["PKGSIGN"], "-k", "k.pem", "-o", "p.pkg", "u.pkg", cwd=self.dir.name)
        with open(self.path("p.pkg"), "rb") as file:
            self.package = file.read()

    def tearDown(self):
        self.dir.cleanup()

    def pkgcheck(self, name, *keys):
        done = run(os.environ["PKGCHECK"], "-j", *keys, name, cwd=self.dir.name)
        return json.loads(done.stdout)

    def test_pipe_bytes_and_path_give_pkgchecks_report(self):
        out = self.path("out.img")
        with subprocess.Popen(["cat", self.path("p.pkg")], stdout=subprocess.PIPE) as cat:
            seen = []
            result = fwkit.check(cat.stdout, keys=[self.path("k.pub")], out=out,
                                 progress=lambda done, total: seen.append((done, total)))
        wanted = self.pkgcheck("p.pkg", "-k", "k.pub")
        self.assertEqual(result["version"].pop("text"), "0.0.1")
        self.assertEqual(result, dict(wanted, file="-"))
        self.assertTrue(result["ok"])
        with open(out, "rb") as file:
            self.assertEqual(file.read(), self.image)
        self.assertEqual(seen[0], (0, len(self.image)))
        self.assertEqual(seen[-1], (len(self.image), len(self.image)))
        self.assertEqual(fwkit.check(self.package)["checks"], wanted["checks"])
        result = fwkit.check(self.path("p.pkg"))
        del result["version"]["text"]
        self.assertEqual(result, self.pkgcheck(self.path("p.pkg")))

    def test_damaged_or_refused_package_writes_nothing(self):
        out = self.path("out.img")
        # s.pkg has a chunk index, s.pkg.index beside it; chunked, chunk 1 damaged.
        run(os.environ["PKGSIGN"], "-k", "k.pem", "--chunk", "64K", "-o", "s.pkg", "u.pkg",
            cwd=self.dir.name)
        with open(self.path("s.pkg"), "rb") as file:
            chunked = bytearray(file.read())
        with open(self.path("s.pkg.index"), "rb") as file:
            index = file.read()
        self.assertTrue(fwkit.check(self.path("s.pkg"), out=out)["ok"])  # the index beside
        os.unlink(out)
        chunked[len(chunked) - len(self.image) + 65536 + 5] ^= 1
        cases = [(self.package[:-1], [self.path("k.pub")], 8, {}),
                 (self.package + b"x", [self.path("k.pub")], 3, {}),
                 (self.package.replace(b"version: ", b"version: 1"), [self.path("k.pub")], 4, {}),
                 (self.package[self.package.index(b"\n\n") + 2:], [], 2, {}),
                 (bytes(chunked), [], 3, dict(index=index)),
                 (self.path("s.pkg"), [], 4, dict(index=index[:-1] + b"x"))]
        for package, keys, status, extra in cases:
            with self.subTest(status=status, extra=list(extra)):
                self.assertEqual(fwkit.check(package, keys=keys, out=out, **extra)["status"],
                                 status)
                self.assertEqual([name for name in os.listdir(self.dir.name)
                                  if name.startswith((".fwkit-", "out.img"))], [])
        with self.assertRaises(OSError):
            fwkit.check(self.path("missing.pkg"))
        with self.assertRaises(fwkit.Error):
            fwkit.check(self.package, keys=[b"not a key"])
        self.assertEqual(fwkit.version(), os.environ.get("FWKIT_VERSION", fwkit.version()))

    def test_bill_of_materials_is_judged_as_pkgcheck_judges_it(self):
        bom = b'{"bomFormat": "CycloneDX", "specVersion": "1.5", "metadata": ' \
              b'{"component": {"name": "fw", "version": "1"}}, "components": []}'
        with open(self.path("bom.json"), "wb") as file:
            file.write(bom)
        run(os.environ["PKGSIGN"], "-k", "k.pem", "--sbom", "bom.json", "-o", "s.pkg", "u.pkg",
            cwd=self.dir.name)
        wanted = self.pkgcheck(self.path("s.pkg"))
        result = fwkit.check(self.path("s.pkg"))
        del result["version"]["text"]
        self.assertEqual(result, wanted)
        self.assertEqual(wanted["sbom"]["subject"], {"name": "fw", "version": "1"})
        with open(self.path("s.pkg"), "rb") as file:
            signed = file.read()
        self.assertFalse(fwkit.check(signed)["sbom"]["checked"])  # nothing beside bytes
        self.assertEqual(fwkit.check(signed, sbom=bom)["sbom"], wanted["sbom"])
        out = self.path("out.img")
        self.assertEqual(fwkit.check(signed, sbom=bom + b" ", out=out)["status"], 4)
        self.assertFalse(os.path.exists(out))

    def test_out_path_is_written_as_pkgcheck_writes_it(self):
        with open(self.path("real.img"), "wb") as file:
            file.write(b"old slot")
        os.symlink("real.img", self.path("link"))
        os.mkfifo(self.path("fifo"))
        got = []

        def drain():
            with open(self.path("fifo"), "rb") as fifo:
                got.append(fifo.read())

        # (out=, the file that must get the image, the kind it must still be)
        targets = [(self.path("new.img"), self.path("new.img"), stat.S_ISREG),
                   (self.path("real.img"), self.path("real.img"), stat.S_ISREG),
                   (self.path("link"), self.path("real.img"), stat.S_ISLNK),
                   (self.path("fifo"), None, stat.S_ISFIFO),
                   (os.devnull, None, stat.S_ISCHR)]
        for out, holder, kind in targets:
            with self.subTest(out=out):
                reader = threading.Thread(target=drain, daemon=True)
                if kind is stat.S_ISFIFO:
                    reader.start()
                self.assertTrue(fwkit.check(self.path("p.pkg"), keys=[self.path("k.pub")],
                                            out=out)["ok"])
                self.assertTrue(kind(os.lstat(out).st_mode))
                if holder is not None:
                    with open(holder, "rb") as file:
                        self.assertEqual(file.read(), self.image)
                if kind is stat.S_ISFIFO:
                    reader.join(10)
                    self.assertEqual(got, [self.image])
        for out in (self.path("p.pkg"), self.path("k.pub")):
            with self.subTest(out=out):
                with open(out, "rb") as file:
                    before = file.read()
                with self.assertRaisesRegex(fwkit.Error, "out=.*%s.*input" % os.path.basename(out)):
                    fwkit.check(self.path("p.pkg"), keys=[self.path("k.pub")], out=out)
                with open(out, "rb") as file:
                    self.assertEqual(file.read(), before)

    def test_values_that_would_wrap_or_check_nothing_are_refused(self):
        key = self.path("k.pub")
        cases = [dict(time=2**64 + 1), dict(time=-2**63 - 1), dict(time=True),
                 dict(min_version=2**32), dict(min_version=-1), dict(min_version="1.0"),
                 dict(min_version="1.256.0"),
                 dict(keys=[key], threshold=2**32 + 1), dict(keys=[key], threshold=0),
                 dict(keys=[key], threshold=2), dict(threshold=1), dict(keys=key),
                 dict(compatible=""), dict(compatible=" \t"), dict(compatible="board\0other")]
        out = self.path("out.img")
        for kwargs in cases:
            with self.subTest(**{name: repr(value) for name, value in kwargs.items()}):
                with self.assertRaises(ValueError):
                    fwkit.check(self.package, out=out, **kwargs)
                self.assertFalse(os.path.exists(out))
        edges = dict(keys=[key], threshold=1, min_version=0, time=2**63 - 1, compatible="b")
        self.assertEqual(fwkit.check(self.package, **edges)["policy"]["refused"], "compatible")

    def test_keyrings_versions_and_callbacks(self):
        run(os.environ["PKGSIGN"], "-g", "o", cwd=self.dir.name)
        with open(self.path("o.pub"), "rb") as other, open(self.path("k.pub"), "rb") as key:
            ring = other.read() + key.read()  # the signer's key second
        # (check's arguments, status, the policy line that refused)
        cases = [(dict(keys=[ring]), 0, None), (dict(keys=[ring], threshold=2), 4, None),
                 (dict(min_version="0.0.1"), 0, None), (dict(min_version="0.0.2"), 6, "version")]
        for kwargs, status, refused in cases:
            with self.subTest(**{name: repr(value)[:40] for name, value in kwargs.items()}):
                result = fwkit.check(self.package, **kwargs)
                self.assertEqual(result["status"], status)
                self.assertEqual(result["version"]["text"], "0.0.1")
                self.assertEqual((result["policy"] or {}).get("refused"), refused)

        class Refused(Exception):
            pass

        class Full:
            def write(self, data):
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        def progress(done, total):
            raise Refused("stop at %d" % done)

        with self.assertRaisesRegex(Refused, "stop at 0"):
            fwkit.check(self.package, progress=progress)
        for out in (Full(), "/dev/full"):
            with self.assertRaisesRegex(OSError if out != "/dev/full" else fwkit.Error,
                                        os.strerror(errno.ENOSPC)):
                fwkit.check(self.package, out=out)

    def test_delta_is_rebuilt_against_its_base_as_bytes_or_path(self):
        base = self.image[:300000] + os.urandom(1000) + self.image[301000:]
        with open(self.path("old.img"), "wb") as file:
            file.write(base)
        made = run(os.environ["FWKIT"], "delta", "--base", "old.img", "-o", "d.pkg", "p.pkg",
                   cwd=self.dir.name)
        self.assertEqual(made.returncode, 0, made.stderr)
        out = self.path("out.img")
        for given in (base, self.path("old.img"), base + b"rest of the slot"):
            result = fwkit.check(self.path("d.pkg"), base=given, out=out)
            self.assertTrue(result["ok"], result)
            with open(out, "rb") as file:
                self.assertEqual(file.read(), self.image)
        self.assertEqual(fwkit.check(self.path("d.pkg"), base=base[1:], out=out)["status"], 7)
        self.assertEqual(fwkit.check(self.path("d.pkg"))["status"], 7)


# A bootloader backend for the script: each variable a file in vars/.
BOOTCTL = """#!/bin/sh
mkdir -p "${0%/*}/vars" && cd "${0%/*}/vars" || exit 1
case $1 in
get) cat "$2" 2>/dev/null; exit 0 ;;
set) printf '%s' "$3" > "$2" ;;
esac
"""


class ModuleInstalls(unittest.TestCase):
    """A device of two file slots booted from A, its bootloader a script."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = lambda name: os.path.join(self.dir.name, name)
        self.image = os.urandom(50000)
        files = {"new.img": self.image, "slotA": os.urandom(4096), "slotB": b"",
                 "cmdline": b"fwkit.slot=A\n", "bootctl": BOOTCTL.encode()}
        for name, data in files.items():
            with open(self.path(name), "wb") as file:
                file.write(data)
        os.chmod(self.path("bootctl"), 0o755)
        conf = ("[system]\ncompatible = demo\nkeyring = {0}/k.pub\nbootloader = script\n"
                "cmdline = {0}/cmdline\nstate = {0}/state\n[script]\ncommand = {0}/bootctl\n"
                "[class rootfs]\nfiletype = rootfs\n[slot rootfs.A]\ndevice = {0}/slotA\n"
                "kind = file\n[slot rootfs.B]\ndevice = {0}/slotB\nkind = file\n")
        with open(self.path("system.conf"), "w") as file:
            file.write(conf.format(self.dir.name))
        for args in (["keygen", "-q", "k"], ["keygen", "-q", "other"],
                     ["stamp", "-v", "1.1.0", "-f", "rootfs", "-o", "new.pkg", "new.img"],
                     ["sign", "-q", "-k", "other.pem", "--compatible", "demo", "-o", "bad.pkg",
                      "new.pkg"],
                     ["sign", "-q", "-k", "k.pem", "--compatible", "demo", "new.pkg"]):
            done = run(os.environ["FWKIT"], *args, cwd=self.dir.name)
            self.assertEqual(done.returncode, 0, done.stderr)

    def tearDown(self):
        self.dir.cleanup()

    def test_install_writes_the_other_slot_and_status_tells_it(self):
        conf = self.path("system.conf")
        with self.assertRaises(fwkit.InstallError) as refused:
            fwkit.install(self.path("bad.pkg"), config=conf)
        self.assertEqual(refused.exception.status, 4)
        self.assertEqual(os.listdir(self.path("state")), ["lock"])
        # Network settings out of their ranges are refused before any install.
        for refused in ({"retries": 101}, {"connect_timeout": 3601}, {"speed_time": 0}):
            with self.assertRaises((fwkit.Error, ValueError), msg=refused):
                fwkit.install(self.path("new.pkg"), config=conf, **refused)
        result = fwkit.install(self.path("new.pkg"), config=conf, tries=2)
        self.assertEqual((result["slot"], result["version"]), ("rootfs.B", "1.1.0"))
        with open(self.path("slotB"), "rb") as file:
            self.assertEqual(file.read(), self.image)
        status = fwkit.status(config=conf)
        self.assertEqual((status["booted"], status["next"]), ("A", "B"))
        self.assertEqual(status["slots"][1]["sha256"], result["sha256"])
        self.assertEqual(status["slots"][1]["tries_left"], 2)
        with open(self.path("cmdline"), "w") as file:
            file.write("fwkit.slot=B\n")
        fwkit.mark_good(config=conf)
        self.assertEqual(fwkit.status(config=conf)["slots"][1]["state"], "good")
        with self.assertRaises(fwkit.InstallError) as unknown:
            fwkit.mark_active("C", config=conf)
        self.assertEqual(unknown.exception.status, 13)


if __name__ == "__main__":
    unittest.main()

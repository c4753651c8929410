#!/usr/bin/env bash
# fwkit sbom --generate on an ext4 image made here with mkfs.ext4 -d from a tree
# holding a few of this machine's own dpkg status entries and copyright files:
# the document lists what dpkg-query reports for them, the same image gives the
# same bytes, --hashes gives what sha256sum does, and the document passes the
# CycloneDX 1.5 JSON schema as the CycloneDX project ships it (npm's
# @cyclonedx/cyclonedx-library), checked by python3-jsonschema.
# Usage: sbom_generate_test.sh FWKIT; exit 77 (skipped) only outside CI when the
# schema cannot be fetched.
set -euo pipefail
FWKIT=$1
PATH=$PATH:/usr/sbin:/sbin
W=$(mktemp -d "${TMPDIR:-/tmp}/fwkit-sbom.XXXXXX")
trap 'rm -rf "$W"' EXIT
R=$W/root
mkdir -p "$R/var/lib/dpkg/info" "$R/etc" "$R/usr/bin"

# Five installed packages with a machine-readable copyright file, and bash.
names=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" {print $2}' |
    while read -r name; do
        grep -qs '^Format:' "/usr/share/doc/$name/copyright" && echo "$name"
    done | head -n 5 || true)  # head stops the loop early: not a failure
names="$names bash"
for name in $names; do
    dpkg-query -s "$name" >>"$R/var/lib/dpkg/status"
    echo >>"$R/var/lib/dpkg/status"
    if [ -f "/usr/share/doc/$name/copyright" ]; then
        mkdir -p "$R/usr/share/doc/$name"
        cp "/usr/share/doc/$name/copyright" "$R/usr/share/doc/$name/"
    fi
done
printf '/.\n/usr\n/usr/bin\n/usr/bin/bash\n' >"$R/var/lib/dpkg/info/bash.list"
# bash's licence behind a first paragraph longer than the start of a file that
# is read first, and the first package's documentation behind a link.
mkdir -p "$R/usr/share/doc/bash"
{ echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  echo "Comment: long"; for i in $(seq 300); do echo " line $i of a long comment"; done
  printf '\nFiles: *\nCopyright: none\nLicense: GPL-3+\n'; } >"$R/usr/share/doc/bash/copyright"
first=$(echo $names | cut -d" " -f1)
mv "$R/usr/share/doc/$first" "$R/usr/share/doc/$first.real"
ln -s "$first.real" "$R/usr/share/doc/$first"
cp /usr/bin/bash "$R/usr/bin/bash"
printf 'NAME="Test OS"\nVERSION_ID=7\n' >"$R/etc/os-release"
# /usr/share/doc over many blocks, and the documentation of the package that
# sorts first put in it last, its name too long for the room the others left:
# the first look into a directory reads it for the one name, to its last block.
(cd "$R/usr/share/doc" && touch $(seq -f "%04g-another-package" 600))
long=0$(printf 'a-long-name%.0s' $(seq 16))
printf 'Package: %s\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n\n' "$long" \
    >>"$R/var/lib/dpkg/status"
mkfs.ext4 -q -d "$R" "$W/rootfs.ext4" 32M
mkdir "$R/usr/share/doc/$long"
cp "$R/usr/share/doc/bash/copyright" "$R/usr/share/doc/$long/"
printf 'mkdir /usr/share/doc/%s\ncd /usr/share/doc/%s\nwrite %s copyright\n' "$long" "$long" \
    "$R/usr/share/doc/$long/copyright" | debugfs -w -f - "$W/rootfs.ext4" >/dev/null 2>&1

"$FWKIT" sbom --generate -o "$W/a.json" "$W/rootfs.ext4"
"$FWKIT" sbom -g "$W/rootfs.ext4" | cmp - "$W/a.json"
"$FWKIT" sbom -g "$R" | cmp - "$W/a.json"
SOURCE_DATE_EPOCH=86400 "$FWKIT" sbom -g --hashes -o "$W/h.json" "$W/rootfs.ext4"

# What dpkg-query says of the same packages, and the licence of each "Files: *".
for name in $names; do
    dpkg-query -W -f='${Package}\t${Version}\t${Architecture}\t${source:Package}\n' "$name"
done | sort -u >"$W/expected"
printf '%s\t1\tall\t%s\n' "$long" "$long" >>"$W/expected"
for name in $names $long; do
    awk -v n="$name" 'BEGIN {RS = ""; FS = "\n"}
        NR > 1 && $0 ~ /^Files: \*(\n|$)/ {
            for (i = 1; i <= NF; i++) if ($i ~ /^License:/) {sub(/^License: */, "", $i); print n "\t" $i; exit}
        }' "$R/usr/share/doc/$name/copyright" 2>/dev/null || true
done | sort -u >"$W/licences"

python3 - "$W" <<'PY'
import hashlib, json, sys
w = sys.argv[1]
doc = json.load(open(w + "/a.json"))
assert doc["bomFormat"] == "CycloneDX" and doc["specVersion"] == "1.5", doc
assert "timestamp" not in doc["metadata"], doc["metadata"]
assert doc["metadata"]["component"]["name"] == "Test OS"
components = doc["components"]
names = [c["name"] for c in components]
assert names == sorted(names), names
got = set()
for c in components:
    props = {p["name"]: p["value"] for p in c["properties"]}
    got.add((c["name"], c["version"], props["deb:architecture"], props["deb:source"]))
    purl = "pkg:deb/debian/%s@%s?arch=%s" % (c["name"], c["version"].replace(":", "%3A").replace("+", "%2B"),
                                            props["deb:architecture"])
    assert c["purl"] == purl, (c["purl"], purl)
expected = set(tuple(line.rstrip("\n").split("\t")) for line in open(w + "/expected"))
assert got == expected, (got ^ expected)
licences = dict(line.rstrip("\n").split("\t", 1) for line in open(w + "/licences"))
for c in components:
    found = c.get("licenses", [{}])[0].get("license", {}).get("name")
    assert found == licences.get(c["name"]), (c["name"], found, licences.get(c["name"]))
hashed = json.load(open(w + "/h.json"))
assert hashed["metadata"]["timestamp"] == "1970-01-02T00:00:00Z"
bash = [c for c in hashed["components"] if c["name"] == "bash"][0]
files = {f["name"]: f["hashes"][0]["content"] for f in bash["components"]}
assert files == {"/usr/bin/bash": hashlib.sha256(open("/usr/bin/bash", "rb").read()).hexdigest()}, files
PY

# The schema, from the CycloneDX project's own package, cached between runs.
CACHE=${FWKIT_NPM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/fwkit-npm}
SCHEMA=$CACHE/node_modules/@cyclonedx/cyclonedx-library/res/schema
if [ ! -f "$SCHEMA/bom-1.5.SNAPSHOT.schema.json" ]; then
    mkdir -p "$CACHE"
    if ! (cd "$CACHE" && timeout 300 npm install --no-audit --no-fund --ignore-scripts \
        @cyclonedx/cyclonedx-library >/dev/null 2>&1); then
        [ -n "${CI:-}" ] && { echo "npm cannot install @cyclonedx/cyclonedx-library" >&2; exit 1; }
        echo "skipped: npm cannot reach its registry for the CycloneDX schema"
        exit 77
    fi
fi
python3 - "$SCHEMA" "$W/a.json" "$W/h.json" <<'PY'
import json, os, sys
import jsonschema
from referencing import Registry, Resource
schema_dir = sys.argv[1]
base = "http://cyclonedx.org/schema/"
registry = Registry().with_resources(
    (base + name, Resource.from_contents(json.load(open(os.path.join(schema_dir, name)))))
    for name in os.listdir(schema_dir) if name.endswith(".schema.json"))
schema = json.load(open(os.path.join(schema_dir, "bom-1.5.SNAPSHOT.schema.json")))
schema["$id"] = base + "bom-1.5.SNAPSHOT.schema.json"
validator = jsonschema.Draft7Validator(schema, registry=registry)
for path in sys.argv[2:]:
    errors = list(validator.iter_errors(json.load(open(path))))
    for error in errors[:5]:
        print(path, list(error.path), error.message, file=sys.stderr)
    assert not errors, path
PY
echo "ok: $(echo $names | wc -w) packages, schema-valid"

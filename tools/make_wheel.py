"""Packs a built module into a wheel that holds what meson-python's would.

    python tools/make_wheel.py SRC MODULE TAG OUTDIR

SRC is an unpacked sdist: its PKG-INFO is the wheel's METADATA (meson-python
writes the same core metadata into both), its LICENSE goes into the
dist-info, and its src/module/quadlite.pyi and py.typed become the
quadlite-stubs package. MODULE is the extension, TAG the wheel's tag
(cp312-cp312-linux_x86_64); auditwheel then repairs it into its manylinux
tag. Prints the wheel's path.
"""
import base64
import hashlib
import os
import sys
import zipfile

# Fixed times keep the archive the same from one build to the next.
EPOCH = (2020, 1, 1, 0, 0, 0)


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    src, module, tag, outdir = sys.argv[1:5]
    metadata = read(os.path.join(src, "PKG-INFO"))
    fields = dict(line.split(": ", 1) for line in metadata.decode().splitlines()[:3]
                  if ": " in line)
    name, version = fields["Name"], fields["Version"]
    info = f"{name}-{version}.dist-info"
    wheel_info = (f"Wheel-Version: 1.0\nGenerator: quadlite tools/make_wheel.py\n"
                  f"Root-Is-Purelib: false\nTag: {tag}\n").encode()
    entries = [
        (f"{info}/METADATA", metadata, 0o644),
        (f"{info}/WHEEL", wheel_info, 0o644),
        (f"{info}/licenses/LICENSE", read(os.path.join(src, "LICENSE")), 0o644),
        (os.path.basename(module), read(module), 0o755),
        ("quadlite-stubs/__init__.pyi", read(os.path.join(src, "src/module/quadlite.pyi")), 0o644),
        ("quadlite-stubs/py.typed", read(os.path.join(src, "src/module/py.typed")), 0o644),
    ]
    record = "\n".join([record_line(n, d) for n, d, _ in entries] + [f"{info}/RECORD,,", ""])
    entries.append((f"{info}/RECORD", record.encode(), 0o644))
    os.makedirs(outdir, exist_ok=True)
    path = os.path.join(outdir, f"{name}-{version}-{tag}.whl")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for entry_name, data, mode in entries:
            zinfo = zipfile.ZipInfo(entry_name, EPOCH)
            zinfo.external_attr = (0o100000 | mode) << 16
            zinfo.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(zinfo, data)
    print(path)


if __name__ == "__main__":
    main()

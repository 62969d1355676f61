"""Checks the release files of DIST before they go anywhere.

    python tools/check_dist.py DIST VERSION... --machines x86_64 aarch64

DIST must hold the sdist and exactly one wheel for each VERSION (3.11, ...)
and machine, and each wheel must hold what meson-python's wheel holds: the
module, the quadlite-stubs package, and a dist-info whose METADATA is the
sdist's PKG-INFO, whose WHEEL tags match the file name, and whose RECORD
lists every file with its digest. In each module: an ELF file for its
machine that exports PyInit_quadlite alone, needs no glibc symbol newer than
2.28 and no library beyond glibc's and libgcc_s (the C++ library is linked
in), and holds no fused multiply-add (the fill is bit-exact only without
contraction). Uses binutils' readelf and objdump; aarch64's code is read
only where aarch64-linux-gnu-objdump is on PATH.
"""
import argparse
import base64
import csv
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "libgcc_s.so.1",
                  "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
ELF_MACHINE = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
GLIBC_CEILING = (2, 28)
# Fused multiply-add instructions: x86's FMA3 family, AArch64's scalar and
# vector forms.
FMA = {"x86_64": re.compile(r"\bvfn?m(add|sub)\w*"),
       "aarch64": re.compile(r"\b(fn?m(add|sub)|fml[as])\b")}
OBJDUMP = {"x86_64": "objdump", "aarch64": "aarch64-linux-gnu-objdump"}


def fail(message):
    sys.exit(f"check_dist: {message}")


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], check=True, capture_output=True,
                          text=True).stdout


def check_module(name, data, machine):
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(data)
        f.flush()
        if ELF_MACHINE[machine] not in readelf("-h", f.name):
            fail(f"{name} is not an ELF file for {machine}")
        symbols = readelf("--dyn-syms", f.name)
        exported = {line.split()[7].split("@")[0] for line in symbols.splitlines()
                    if len(line.split()) >= 8 and line.split()[6] != "UND"
                    and line.split()[4] in ("GLOBAL", "WEAK") and line.split()[0].endswith(":")}
        if exported != {"PyInit_quadlite"}:
            fail(f"{name} exports {sorted(exported)}, not PyInit_quadlite alone")
        versions = {tuple(int(p) for p in v.split("."))
                    for v in re.findall(r"@GLIBC_([0-9.]+)", symbols)}
        if not versions or max(versions) > GLIBC_CEILING:
            fail(f"{name} needs glibc {max(versions, default=None)}, above 2.28")
        needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]",
                                readelf("-d", f.name)))
        if needed - ALLOWED_NEEDED:
            fail(f"{name} needs {sorted(needed - ALLOWED_NEEDED)}")
        objdump = shutil.which(OBJDUMP[machine])
        if objdump:
            code = subprocess.run([objdump, "-d", "--no-show-raw-insn", f.name], check=True,
                                  capture_output=True, text=True).stdout
            fused = {m.group(0) for m in FMA[machine].finditer(code)}
            if fused:
                fail(f"{name} holds fused multiply-adds: {sorted(fused)[:5]}")
    return max(versions)


def check_wheel(path, pkg_info, machine, version):
    tag = f"cp{version.replace('.', '')}"
    base = os.path.basename(path)
    with zipfile.ZipFile(path) as wheel:
        # auditwheel's repair adds entries for the folders.
        names = {n for n in wheel.namelist() if not n.endswith("/")}
        dist_info = "-".join(base.split("-")[:2]) + ".dist-info"
        module = f"quadlite.cpython-{tag[2:]}-{machine}-linux-gnu.so"
        expected = {module, "quadlite-stubs/__init__.pyi", "quadlite-stubs/py.typed",
                    f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/RECORD",
                    f"{dist_info}/licenses/LICENSE"}
        if names != expected:
            fail(f"{base} holds {sorted(names ^ expected)} beyond or short of the expected files")
        if wheel.read(f"{dist_info}/METADATA") != pkg_info:
            fail(f"{base}: METADATA differs from the sdist's PKG-INFO")
        wheel_tags = {line.split(": ", 1)[1] for line in
                      wheel.read(f"{dist_info}/WHEEL").decode().splitlines()
                      if line.startswith("Tag: ")}
        platforms = base[:-len(".whl")].split("-")[4].split(".")
        if wheel_tags != {f"{tag}-{tag}-{p}" for p in platforms}:
            fail(f"{base}: WHEEL tags {sorted(wheel_tags)} do not match the file name")
        rows = list(csv.reader(io.StringIO(wheel.read(f"{dist_info}/RECORD").decode())))
        recorded = {row[0] for row in rows}
        if recorded != names:
            fail(f"{base}: RECORD lists {sorted(recorded ^ names)} wrongly")
        for name, digest, size in rows:
            if name.endswith("/RECORD"):
                continue
            data = wheel.read(name)
            actual = "sha256=" + base64.urlsafe_b64encode(
                hashlib.sha256(data).digest()).rstrip(b"=").decode()
            if digest != actual or int(size) != len(data):
                fail(f"{base}: RECORD's digest or size of {name} is wrong")
        glibc = check_module(f"{base}:{module}", wheel.read(module), machine)
    print(f"check_dist: {base}: {len(names)} files, module needs glibc "
          f"{'.'.join(map(str, glibc))}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dist")
    parser.add_argument("versions", nargs="+")
    parser.add_argument("--machines", nargs="+", default=["x86_64", "aarch64"])
    opts = parser.parse_args()
    files = sorted(os.listdir(opts.dist))
    sdists = [f for f in files if f.endswith(".tar.gz")]
    if len(sdists) != 1:
        fail(f"expected one sdist in {opts.dist}, found {sdists}")
    with tarfile.open(os.path.join(opts.dist, sdists[0])) as sdist:
        pkg_info = sdist.extractfile(sdists[0][:-len(".tar.gz")] + "/PKG-INFO").read()
    wheels = [f for f in files if f.endswith(".whl")]
    if len(wheels) != len(opts.versions) * len(opts.machines):
        fail(f"expected {len(opts.versions) * len(opts.machines)} wheels, found {wheels}")
    for version in opts.versions:
        tag = f"cp{version.replace('.', '')}"
        for machine in opts.machines:
            matching = [w for w in wheels if w.split("-")[2:4] == [tag, tag]
                        and w.endswith(f"_{machine}.whl")]
            if len(matching) != 1:
                fail(f"expected one {tag} wheel for {machine}, found {matching}")
            check_wheel(os.path.join(opts.dist, matching[0]), pkg_info, machine, version)


if __name__ == "__main__":
    main()

"""Checks built wheels against the tags in their names, with objdump.

    python tools/check_wheels.py SDIST WHEEL...

For every shared object in each wheel, whatever its name:
  - its ELF machine is the tag's architecture, and a module's file name ends
    with the suffix of the tag's interpreter (.cpython-313t-x86_64-linux-gnu.so
    for cp313t on x86_64, ...);
  - the symbol versions it needs (objdump -T) are no newer than the tag's
    manylinux policy allows: GLIBC up to the tag's glibc, GLIBCXX, CXXABI and
    GCC within auditwheel's list for that policy, and the libraries it needs
    (objdump -p) are on the policy's list;
  - an extension module exports nothing but its PyInit_ function, so the
    statically linked C++ runtime stays private to it.
Each wheel must also carry the license files of the sdist. Prints one line
per shared object; exits 1 naming every problem found.
"""

from __future__ import annotations

import json
import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from importlib import resources
from pathlib import Path

ELF_MACHINES = {62: "x86_64", 183: "aarch64"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}
MANYLINUX = re.compile(r"manylinux(?:_(\d+)_(\d+)|(2014))_(\w+)$")


def version_key(v: str) -> tuple[int, ...]:
    return tuple(int(p) for p in re.findall(r"\d+", v))


def policies() -> dict[str, dict]:
    text = resources.files("auditwheel").joinpath("policy/manylinux-policy.json").read_text()
    return {p["name"]: p for p in json.loads(text)}


def wheel_tag(name: str) -> tuple[str, str, str, tuple[int, int]]:
    """(python, abi, arch, oldest glibc) from a wheel's file name."""
    python, abi, platforms = name[: -len(".whl")].split("-")[-3:]
    glibcs, arches = [], set()
    for plat in platforms.split("."):
        m = MANYLINUX.match(plat)
        if not m:
            raise ValueError(f"{name}: {plat} is not a manylinux tag")
        glibcs.append((2, 17) if m[3] else (int(m[1]), int(m[2])))
        arches.add(m[4])
    if len(arches) != 1:
        raise ValueError(f"{name}: tags for several architectures {sorted(arches)}")
    return python, abi, arches.pop(), min(glibcs)


def objdump(*args: str) -> str:
    return subprocess.run(["objdump", *args], check=True, capture_output=True, text=True).stdout


def check_shared_object(path: Path, member: str, abi: str, arch: str, policy: dict) -> list[str]:
    problems = []
    data = path.read_bytes()
    machine = ELF_MACHINES.get(int.from_bytes(data[18:20], "little"), "unknown")
    if machine != arch:
        problems.append(f"{member}: built for {machine}, tagged {arch}")
    stem, _, rest = Path(member).name.partition(".")
    is_module = rest.startswith("cpython-") or rest == "so"
    if is_module:
        want = f"cpython-{abi.removeprefix('cp')}-{arch}-linux-gnu.so"
        if rest != want:
            problems.append(f"{member}: suffix .{rest}, the {abi} interpreter imports .{want}")

    needed = re.findall(r"^\s*NEEDED\s+(\S+)", objdump("-p", str(path)), re.M)
    allowed = set(policy["lib_whitelist"]) | ({LOADERS[arch]} if arch in LOADERS else set())
    problems += [f"{member}: needs {lib}, not on {policy['name']}'s list" for lib in needed
                 if lib not in allowed]

    versions: dict[str, set[str]] = {}
    exports = []
    for line in objdump("-T", str(path)).splitlines():
        fields = line.split()
        if len(fields) < 4 or not re.fullmatch(r"[0-9a-f]{8,}", fields[0]):
            continue
        m = re.fullmatch(r"\(([A-Z]+)_([^)]+)\)", fields[-2])
        if "*UND*" in fields and m:
            versions.setdefault(m[1], set()).add(m[2])
        section = next(f for f in fields[1:] if f.startswith((".", "*")))
        flags = fields[1 : fields.index(section)]
        if section != "*UND*" and any(f in ("g", "u") or f.startswith("w") for f in flags[:1]):
            exports.append(fields[-1])
    limits = policy["symbol_versions"][arch]
    for family, used in sorted(versions.items()):
        too_new = sorted(v for v in used if v not in limits.get(family, []))
        if too_new:
            problems.append(f"{member}: needs {family} {', '.join(too_new)}, newer than "
                            f"{policy['name']} allows")
    if is_module and exports != [f"PyInit_{stem}"]:
        problems.append(f"{member}: exports {sorted(exports)}, not just PyInit_{stem}")

    highest = ", ".join(f"{family} {max(used, key=version_key)}"
                        for family, used in sorted(versions.items()))
    print(f"  {member} ({len(data) // 1024} KB, {machine}): highest {highest}; "
          f"needs {', '.join(needed)}; exports {', '.join(exports)}")
    return problems


def license_files(sdist: Path) -> list[str]:
    with tarfile.open(sdist) as t:
        names = [m.name.split("/", 1)[1] for m in t.getmembers() if m.isfile() and "/" in m.name]
    return sorted(n for n in names if n in ("LICENSE", "THIRD_PARTY_NOTICES.md")
                  or n.startswith("licenses/"))


def check_wheel(wheel: Path, licenses: list[str], all_policies: dict[str, dict]) -> list[str]:
    python, abi, arch, glibc = wheel_tag(wheel.name)
    policy = all_policies[f"manylinux_{glibc[0]}_{glibc[1]}"]
    print(f"{wheel.name}: {python}-{abi}, {arch}, glibc {glibc[0]}.{glibc[1]} and newer")
    problems = []
    with zipfile.ZipFile(wheel) as z, tempfile.TemporaryDirectory() as tmp:
        names = z.namelist()
        in_wheel = sorted(n.split(".dist-info/licenses/", 1)[1] for n in names
                          if ".dist-info/licenses/" in n and not n.endswith("/"))
        if in_wheel != licenses:
            problems.append(f"{wheel.name}: license files {in_wheel}, the sdist has {licenses}")
        objects = [n for n in names if z.read(n)[:4] == b"\x7fELF"]
        if not objects:
            problems.append(f"{wheel.name}: no shared object")
        for member in objects:
            path = Path(z.extract(member, tmp))
            problems += check_shared_object(path, member, abi, arch, policy)
    return problems


def main(argv: list[str]) -> int:
    if len(argv) < 2 or not argv[0].endswith(".tar.gz") or not all(a.endswith(".whl") for a in argv[1:]):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    licenses = license_files(Path(argv[0]))
    if "LICENSE" not in licenses:
        print(f"{argv[0]}: no LICENSE", file=sys.stderr)
        return 1
    all_policies = policies()
    problems = []
    for wheel in argv[1:]:
        try:
            problems += check_wheel(Path(wheel), licenses, all_policies)
        except (ValueError, KeyError, OSError, zipfile.BadZipFile, subprocess.CalledProcessError) as e:
            problems.append(f"{wheel}: {e}")
    for p in problems:
        print(f"PROBLEM: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

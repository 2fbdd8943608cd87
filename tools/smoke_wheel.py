"""Smoke test of an installed taglex wheel, run by the interpreter it was built
for from an empty folder, so that nothing but the installed package can be
imported:

    python tools/smoke_wheel.py VERSION

Imports taglex, opens the bundled dictionary, looks up a standard and a
private tag, finds the license files and runs the command line
(`python -m taglex`). Exits non-zero with the reason on any failure.
"""

import importlib.metadata
import os
import platform
import subprocess
import sys
import sysconfig

import taglex
import taglex._taglex

version = sys.argv[1]
assert taglex.__version__ == version, (taglex.__version__, version)
assert "site-packages" in taglex.__file__, taglex.__file__
assert not os.path.exists("taglex"), "run from an empty folder"
suffix = sysconfig.get_config_var("EXT_SUFFIX")
assert taglex._taglex.__file__.endswith(suffix), (taglex._taglex.__file__, suffix)
d = taglex.open_default()
entry = d.lookup(0x0010, 0x0010)
assert entry is not None and entry["keyword"] == "PatientName", entry
private = d.lookup(0x0029, 0x10, "siemens  csa header")
assert private is not None and private["creator"] == "SIEMENS CSA HEADER", private
licenses = sorted(
    str(f) for f in importlib.metadata.files("taglex") or [] if "/licenses/" in str(f)
)
assert any(f.endswith("/LICENSE") for f in licenses), licenses
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
print(f"{platform.machine()} CPython {platform.python_version()}"
      f"{' free-threaded, GIL ' + ('on' if gil else 'off') if sysconfig.get_config_var('Py_GIL_DISABLED') else ''}")
print(f"import taglex {taglex.__version__}: {os.path.basename(taglex._taglex.__file__)}")
print(f"open_default(): {d!r}")
print(f"lookup(0x0010, 0x0010): {entry['keyword']} {entry['vr']} {entry['name']!r}")
print(f"lookup(0x0029, 0x10, 'siemens  csa header'): {private['keyword']}")
print("license files:", ", ".join(f.split("/licenses/", 1)[1] for f in licenses))
for argv, want in ((["--version"], f"taglex {version}"), (["lookup", "0010,0010"], None)):
    done = subprocess.run([sys.executable, "-m", "taglex", *argv], capture_output=True, text=True)
    print(f"$ taglex {' '.join(argv)}\n{done.stdout.rstrip()}")
    assert done.returncode == 0, done.stderr
    assert want is None or done.stdout.strip() == want, done.stdout

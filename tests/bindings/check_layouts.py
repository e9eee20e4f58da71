"""Compares a binding's structures with the header's, as Microsoft's ABI lays them out for x64
and x86 (clang's record layouts for the two Windows targets): every field's offset and every
structure's size, and no field missing or added.

    check_layouts.py CLANG SOURCE_DIR python
    check_layouts.py CLANG SOURCE_DIR command ARGUMENT...
        (the command prints lines "x64|x86 STRUCTURE FIELD OFFSET SIZE" and
        "x64|x86 STRUCTURE sizeof SIZE"; its exit status 77, a binding that cannot run here,
        is passed on)

A field's size is checked as well as its offset: a 16-bit field declared 32 bits wide can sit
at the right offset, in the padding after it, and still overwrite its neighbour.
"""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile

TARGETS = {"x64": "x86_64-pc-windows-msvc", "x86": "i686-pc-windows-msvc"}
STRUCTURES = ["VxdPortal", "VxdAttachRequest", "VxdAttachResult", "VxdDetachRequest",
              "VxdDetachResult", "VxdListTargetsRequest"]


def type_size(text, arch):
    """The size of a field's type as the dump writes it: "VxdULong", "char[8][50]", "void *"."""
    if "*" in text or text == "VxdProgressFunction":
        return 8 if arch == "x64" else 4
    element, counts = re.match(r"([^[]+)((?:\[\d+\])*)$", text).groups()
    size = {"char": 1, "unsigned short": 2, "int": 4, "VxdULong": 4}[element]
    for count in re.findall(r"\d+", counts):
        size *= int(count)
    return size


def header_layouts(clang, source):
    """{(arch, structure, field): (offset, size)} and {(arch, structure, "sizeof"): size} from
    clang's record layouts."""
    layouts = {}
    with tempfile.TemporaryDirectory() as work:
        unit = os.path.join(work, "layouts.c")
        with open(unit, "w") as out:
            out.write('#define VXDMOUNT_NO_DLLIMPORT\n#include "entry/vxdmount.h"\n')
            out.writelines("%s layout%d;\n" % (s, i) for i, s in enumerate(STRUCTURES))
        for arch, target in TARGETS.items():
            dump = subprocess.run(
                [clang, "--target=" + target, "-I" + source, "-c", "-o", os.devnull,
                 "-Xclang", "-fdump-record-layouts", unit],
                check=True, capture_output=True, text=True).stdout
            structure = None
            for line in dump.splitlines():
                top = re.match(r"\s*0 \| struct (\w+)$", line)
                member = re.match(r"\s*(\d+) \|   (\S.*) (\w+)$", line)
                size = re.match(r"\s*\| \[sizeof=(\d+),", line)
                if top:
                    structure = top.group(1) if top.group(1) in STRUCTURES else None
                elif structure and member:
                    offset, kind, field = member.groups()
                    layouts[(arch, structure, field)] = (int(offset), type_size(kind, arch))
                elif structure and size:
                    layouts[(arch, structure, "sizeof")] = int(size.group(1))
                    structure = None
    return layouts


def python_layouts(source):
    """The Python binding's own layout on this 64-bit interpreter, and the x86 one that its
    declarations give when every pointer is 4 bytes."""
    sys.path.insert(0, os.path.join(source, "bindings", "python"))
    import vxdmount

    def pointer_sized(kind):
        return (kind in (ctypes.c_char_p, ctypes.c_void_p, ctypes.c_wchar_p) or
                issubclass(kind, (ctypes._Pointer, ctypes._CFuncPtr)))

    layouts = {}
    for name in STRUCTURES:
        declared = getattr(vxdmount, name)
        narrow = type(name + "32", (ctypes.Structure,), {"_fields_": [
            (field, ctypes.c_uint32 if pointer_sized(kind) else kind)
            for field, kind in declared._fields_]})
        for arch, structure in (("x64", declared), ("x86", narrow)):
            for field, _ in structure._fields_:
                described = getattr(structure, field)
                layouts[(arch, name, field)] = (described.offset, described.size)
            layouts[(arch, name, "sizeof")] = ctypes.sizeof(structure)
    return layouts


def command_layouts(command):
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode == 77:
        print(run.stdout + run.stderr, end="")
        sys.exit(77)
    if run.returncode != 0:
        sys.exit("%s failed (%d):\n%s%s" % (" ".join(command), run.returncode, run.stdout,
                                            run.stderr))
    layouts = {}
    for line in run.stdout.splitlines():
        arch, structure, field, *values = line.split()
        numbers = tuple(int(value) for value in values)
        layouts[(arch, structure, field)] = numbers[0] if field == "sizeof" else numbers
    return layouts


def main():
    clang, source, kind = sys.argv[1:4]
    if not shutil.which(clang):
        print("%s: no clang here (make deps installs it): the layouts are not compared" % clang)
        sys.exit(77)
    expected = header_layouts(clang, source)
    if len(expected) < 2 * (len(STRUCTURES) + 40):
        sys.exit("clang's record layouts gave only %d entries" % len(expected))
    declared = python_layouts(source) if kind == "python" else command_layouts(sys.argv[4:])
    problems = []
    for key in sorted(set(expected) | set(declared)):
        want, have = expected.get(key), declared.get(key)
        if want != have:
            what = " ".join(key)
            problems.append("%s: header %s, binding %s" % (what, want, have))
    for problem in problems:
        print(problem)
    print("%d of %d offsets and sizes match" % (len(expected) - len(problems), len(expected)))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()

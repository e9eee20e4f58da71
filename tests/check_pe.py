"""Checks the hardening of Windows images: every .dll and .exe in the given zips, wherever it lies
in their folders, and every PE file given as it is.

    check_pe.py ZIP_OR_IMAGE...

Each image, by its machine (i386 or x86-64), must have:
  DYNAMIC_BASE, with base relocations that make it real (and not marked as stripped of them)
  NX_COMPAT; HIGH_ENTROPY_VA on x86-64; NO_SEH on i386
  no section both writable and executable, no shared writable section
  a load configuration whose security cookie lies in writable data and holds the documented
    default, which the loader replaces with a random value at load
  the stack protector: code that reads that cookie beyond the guard's own seeding
  no DLL of the compiler's runtime among its imports (the runtime is linked in)
One line per image says what it found; a failing image's line names each property it lacks.
Control Flow Guard is reported, not required: the toolchain cannot give it.
"""
import struct
import sys
import zipfile

import pefile

NO_SEH = 0x0400
NX_COMPAT = 0x0100
DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
RELOCS_STRIPPED = 0x0001
MEM_SHARED = 0x10000000
MEM_EXECUTE = 0x20000000
MEM_WRITE = 0x80000000
GUARD_CF_INSTRUMENTED = 0x100
I386 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
AMD64 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
BASERELOC = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
# Per machine: the cookie's default, its field's offset in the load configuration, the size of
# an address, and the field that says whether the image has Control Flow Guard.
MACHINES = {
    I386: {"name": "i386", "default": 0xBB40E64E, "cookie": 60, "word": 4, "guard": 88},
    AMD64: {"name": "x86-64", "default": 0x00002B992DDFA232, "cookie": 88, "word": 8,
            "guard": 144},
}
RUNTIME_DLLS = ("libgcc_s_", "libstdc++-", "libssp-", "libwinpthread-")
# The places where the guard's own seeding (entry/win32/stack_guard.cpp) reads or writes the
# cookie, as an image without protected code shows; each protected function adds one or two.
SEEDING_READS = 3


def section_of(pe, rva):
    for section in pe.sections:
        if section.VirtualAddress <= rva < section.VirtualAddress + max(
                section.Misc_VirtualSize, section.SizeOfRawData):
            return section
    return None


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def relocated_addresses(pe):
    """The RVAs that the loader patches when it moves the image."""
    pe.parse_data_directories(directories=[BASERELOC])
    targets = set()
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type != pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]:
                targets.add(entry.rva)
    return targets


def guard_reads(pe, cookie_va, word, relocated):
    """How many places in the code refer to the cookie: by its address (i386), or relative to
    the instruction, to it or to a pointer that holds its address (x86-64)."""
    base = pe.OPTIONAL_HEADER.ImageBase
    address = struct.pack("<I" if word == 4 else "<Q", cookie_va)
    code = [s for s in pe.sections if s.Characteristics & MEM_EXECUTE]
    count = 0
    if word == 4:
        for section in code:
            data = section.get_data()
            at = data.find(address)
            while at >= 0:
                count += section.VirtualAddress + at in relocated
                at = data.find(address, at + 1)
        return count
    targets = {cookie_va - base}
    for section in pe.sections:
        if section.Characteristics & MEM_EXECUTE:
            continue
        data = section.get_data()
        at = data.find(address)
        while at >= 0:
            if section.VirtualAddress + at in relocated:
                targets.add(section.VirtualAddress + at)
            at = data.find(address, at + 1)
    for section in code:
        data = section.get_data()
        for at in range(len(data) - 3):
            (displacement,) = struct.unpack_from("<i", data, at)
            count += section.VirtualAddress + at + 4 + displacement in targets
    return count


def check(name, data):
    """Returns the image's line and whether it passed."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        return f"FAIL {name}: not a PE image ({error})", False
    machine = MACHINES.get(pe.FILE_HEADER.Machine)
    if machine is None:
        return f"FAIL {name}: machine {pe.FILE_HEADER.Machine:#x} is neither i386 nor x86-64", False
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    found, missing = [], []

    def expect(ok, present, problem):
        (found if ok else missing).append(present if ok else problem)

    relocated = relocated_addresses(pe)
    real_relocations = bool(relocated) and not pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED
    expect(flags & DYNAMIC_BASE, "DYNAMIC_BASE", "no DYNAMIC_BASE")
    expect(real_relocations, f"{len(relocated)} relocations", "no base relocations")
    expect(flags & NX_COMPAT, "NX_COMPAT", "no NX_COMPAT")
    if machine["word"] == 8:
        expect(flags & HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA", "no HIGH_ENTROPY_VA")
    else:
        expect(flags & NO_SEH, "NO_SEH", "no NO_SEH")
    writable_code = [section_name(s) for s in pe.sections
                     if s.Characteristics & MEM_WRITE and s.Characteristics & MEM_EXECUTE]
    shared = [section_name(s) for s in pe.sections
              if s.Characteristics & MEM_WRITE and s.Characteristics & MEM_SHARED]
    expect(not writable_code, "no writable code",
           f"writable and executable: {' '.join(writable_code)}")
    expect(not shared, "no shared writable data", f"shared and writable: {' '.join(shared)}")

    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG]
    cookie_va = None
    if directory.VirtualAddress == 0 or directory.Size < machine["cookie"] + machine["word"]:
        missing.append("no load configuration with a security cookie")
    else:
        field = directory.VirtualAddress + machine["cookie"]
        read = pe.get_dword_at_rva if machine["word"] == 4 else pe.get_qword_at_rva
        cookie_va = read(field)
        cookie_section = section_of(pe, cookie_va - pe.OPTIONAL_HEADER.ImageBase)
        value = read(cookie_va - pe.OPTIONAL_HEADER.ImageBase) if cookie_section else None
        if cookie_section is None or not cookie_section.Characteristics & MEM_WRITE or \
                cookie_section.Characteristics & MEM_EXECUTE:
            missing.append("security cookie outside writable data")
        elif value != machine["default"]:
            missing.append(f"security cookie {value:#x}, not the default that the loader "
                           "randomises")
        else:
            found.append(f"load configuration ({directory.Size} bytes; cookie in "
                         f"{section_name(cookie_section)}, default)")
        guard = directory.VirtualAddress + machine["guard"]
        cfg = directory.Size >= machine["guard"] + 4 and \
            pe.get_dword_at_rva(guard) & GUARD_CF_INSTRUMENTED
        found.append("CFG" if cfg else "no CFG")
    reads = guard_reads(pe, cookie_va, machine["word"], relocated) if cookie_va else 0
    expect(reads > SEEDING_READS, f"stack protector ({reads} guard reads)",
           f"no stack protector ({reads} guard reads, the seeding alone has {SEEDING_READS})")

    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    imports = [entry.dll.decode("ascii", "replace").lower()
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    runtime = [dll for dll in imports if dll.startswith(RUNTIME_DLLS)]
    expect(not runtime, "static runtime", f"runtime DLLs imported: {' '.join(runtime)}")
    found.append("imports " + " ".join(dll.removesuffix(".dll") for dll in imports))

    if missing:
        return f"FAIL {name} ({machine['name']}): {', '.join(missing)}", False
    return f"ok   {name} ({machine['name']}): {', '.join(found)}", True


def images(path):
    """(name, bytes) of every image in a zip, or of the file itself."""
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as archive:
            members = [m for m in archive.namelist() if m.lower().endswith((".dll", ".exe"))]
            if not members:
                raise ValueError(f"{path} holds no .dll or .exe")
            for member in members:
                yield f"{path}:{member}", archive.read(member)
    else:
        with open(path, "rb") as image:
            yield path, image.read()


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: check_pe.py ZIP_OR_IMAGE...")
    failed = False
    for path in sys.argv[1:]:
        try:
            for name, data in images(path):
                line, ok = check(name, data)
                print(line)
                failed |= not ok
        except (OSError, ValueError, zipfile.BadZipFile) as error:
            print(f"FAIL {path}: {error}")
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

"""Points a linked PE's load-configuration directory at its _load_config_used record.

    pe_load_config.py IMAGE NM

Newer GNU ld fills the directory from that symbol; binutils 2.40 does not, so this does it
after the link, the same way: the directory's address is the record's, its size the record's
first field, except for an i386 console or GUI image meant for Windows XP or earlier, whose
directory says 64 bytes, as that system expects. An image whose directory is already right is
left alone; one that cannot be made right is deleted, so that the next build links it again.
"""
import os
import subprocess
import sys

import pefile

LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
XP_DIRECTORY_SIZE = 64
COOKIE_END = {pefile.OPTIONAL_HEADER_MAGIC_PE: 64, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS: 96}


def record_address(image, nm, i386):
    name = "__load_config_used" if i386 else "_load_config_used"
    symbols = subprocess.run([nm, image], check=True, capture_output=True, text=True).stdout
    for line in symbols.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] == name:
            return int(fields[0], 16)
    raise ValueError(f"no symbol {name}: the image is not linked with the stack guard")


def fill(image, nm):
    pe = pefile.PE(image)
    header = pe.OPTIONAL_HEADER
    i386 = pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    rva = record_address(image, nm, i386) - header.ImageBase
    if rva % (4 if i386 else 8) != 0:
        raise ValueError(f"the record at {rva:#x} is not aligned")
    record_size = pe.get_dword_at_rva(rva)
    if record_size is None or record_size < COOKIE_END[header.Magic]:
        raise ValueError(f"the record's size {record_size} does not cover the security cookie")
    for_xp = (header.MajorSubsystemVersion, header.MinorSubsystemVersion) <= (5, 1)
    console_or_gui = header.Subsystem in (
        pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
        pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
    size = XP_DIRECTORY_SIZE if i386 and for_xp and console_or_gui else record_size
    directory = header.DATA_DIRECTORY[LOAD_CONFIG]
    if (directory.VirtualAddress, directory.Size) == (rva, size):
        return
    if directory.VirtualAddress != 0:
        raise ValueError(f"the directory already points at {directory.VirtualAddress:#x}")
    directory.VirtualAddress = rva
    directory.Size = size
    data = pe.write()
    pe.close()
    if header.CheckSum != 0:
        # The checksum covers the whole file, the new directory included.
        patched = pefile.PE(data=data)
        patched.OPTIONAL_HEADER.CheckSum = patched.generate_checksum()
        data = patched.write()
    with open(image, "wb") as out:
        out.write(data)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: pe_load_config.py IMAGE NM")
    image, nm = sys.argv[1:]
    try:
        fill(image, nm)
    except (ValueError, OSError, subprocess.CalledProcessError, pefile.PEFormatError) as error:
        print(f"pe_load_config.py: {image}: {error}", file=sys.stderr)
        if os.path.exists(image):
            os.remove(image)
        sys.exit(1)


if __name__ == "__main__":
    main()

#!/usr/bin/env bash
# Exit status 0 when this machine executes 32-bit x86 code, 1 when it does not (a kernel
# without 32-bit emulation), 2 when it cannot tell. The answer comes from running a
# three-instruction 32-bit program, which says more than any configuration file can.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' >"$work/exit.s"
if ! as --32 -o "$work/exit.o" "$work/exit.s" || ! ld -m elf_i386 -o "$work/exit" "$work/exit.o"
then
    echo "runs_32bit_code.sh: cannot build the probe (binutils: as, ld)" >&2
    exit 2
fi
# The probe exits with 0 when it runs. A kernel without 32-bit emulation refuses to start it
# (the shell's 126, "Exec format error"); one that starts it but cannot run it kills it.
"$work/exit" 2>/dev/null || exit 1

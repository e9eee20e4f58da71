# Hardening of the Windows images that ship: what security scanners look for in a PE, as far as
# mingw-w64's GCC 12 and binutils 2.40 can give it. tests/check_pe.py checks the result.
#   vxd_harden(TARGET)       a PE that ships: its own C++ with the stack protector, the guard
#                            and its load configuration (entry/win32/stack_guard.cpp), the
#                            linker's flags below, and the load-configuration directory, which
#                            ld 2.40 leaves empty, filled after the link (cmake/pe_load_config.py);
#                            then no symbol table, as it ships
#   vxd_harden_code(TARGET)  only the stack protector, for a library that such a PE links
#
# The linker's flags:
#   --dynamicbase, --enable-reloc-section  ASLR, with the relocations that make it possible
#   --nxcompat                             data is never executable
#   --high-entropy-va                      x86-64: ASLR over the whole 64-bit address space
#   --no-seh                               i386: no SEH handler in the image may run. GCC's
#                                          32-bit code unwinds by DWARF tables and registers
#                                          no handler, so the loader can refuse them all.
#   --disable-auto-import                  every import through the import tables, none patched
#   --disable-runtime-pseudo-reloc         into data at run time
# Not available here: Control Flow Guard (GCC 12 has no -mguard=cf, ld no table for it), the
# CET shadow-stack mark (ld 2.40 has no --cetcompat), and _FORTIFY_SOURCE, whose checked
# functions mingw-w64 10 leaves to libssp, the library whose advapi32 dependency the guard avoids.

# A Python that has Debian's pefile (python3-pefile), for the step after the link and for
# tests/check_pe.py: the one in PATH, or else the system's, where Debian installs the module.
if(NOT VXD_PYTHON)
  find_program(VXD_PYTHON_IN_PATH python3)
  foreach(candidate ${VXD_PYTHON_IN_PATH} /usr/bin/python3)
    execute_process(COMMAND ${candidate} -c "import pefile"
      RESULT_VARIABLE no_pefile OUTPUT_QUIET ERROR_QUIET)
    if(no_pefile EQUAL 0)
      set(VXD_PYTHON ${candidate} CACHE FILEPATH "Python 3 with the pefile module")
      break()
    endif()
  endforeach()
  if(NOT VXD_PYTHON)
    message(FATAL_ERROR "no python3 with the pefile module (Debian: apt-get install "
                        "python3-pefile; make deps does)")
  endif()
endif()

# Never protected itself: it changes the guard.
add_library(vxd_stack_guard OBJECT ${PROJECT_SOURCE_DIR}/entry/win32/stack_guard.cpp)
target_compile_options(vxd_stack_guard PRIVATE ${VXD_WARNINGS} -fno-stack-protector)

function(vxd_harden_code target)
  # Only to the compiler: given to the driver at link time it would add libssp.
  target_compile_options(${target} PRIVATE -fstack-protector-strong)
endfunction()

function(vxd_harden target)
  vxd_harden_code(${target})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:vxd_stack_guard>)
  target_link_options(${target} PRIVATE
    -Wl,--dynamicbase -Wl,--enable-reloc-section -Wl,--nxcompat
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE -Wl,--no-seh)
  else()
    target_link_options(${target} PRIVATE -Wl,--high-entropy-va)
  endif()
  # Then the image loses its symbol table, as it ships; strip writes the time into the header
  # unless it is given one (the linker's: none).
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${VXD_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/pe_load_config.py $<TARGET_FILE:${target}>
            ${CMAKE_NM}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_STRIP} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

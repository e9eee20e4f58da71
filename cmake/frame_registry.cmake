# The 32-bit runtime unwinds exceptions through a registry of the DLL's frame tables (libgcc's
# unwind-dw2-fde.o, linked in statically). The registry's mutex owns a semaphore that nothing
# ever closes, so every unload of the DLL would leave one handle behind in the host. This puts
# a copy of that object into the link whose semaphore is created through the module's own
# function instead (entry/win32/module_entry.cpp), which closes it once the DLL has let go of it.
#   vxd_frame_registry_object(OUT_VAR)  sets OUT_VAR to the object to link, or to nothing where
#                                       the runtime keeps no such registry (x86-64 unwinds by SEH)
function(vxd_frame_registry_object out_var)
  set(${out_var} "" PARENT_SCOPE)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return()
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_eh.a
    OUTPUT_VARIABLE archive OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${archive}")
    message(FATAL_ERROR "the 32-bit runtime's libgcc_eh.a is not where the compiler says")
  endif()
  set(work ${CMAKE_CURRENT_BINARY_DIR}/frame_registry)
  set(object ${work}/frame_registry.obj)
  file(MAKE_DIRECTORY ${work})
  add_custom_command(OUTPUT ${object}
    COMMAND ${CMAKE_AR} x ${archive} unwind-dw2-fde.o
    COMMAND ${CMAKE_OBJCOPY}
            "--redefine-sym=__imp__CreateSemaphoreW@16=__imp__VxdRegistrySemaphore@16"
            unwind-dw2-fde.o ${object}
    # A runtime whose registry creates no semaphore would make the module's release a no-op.
    COMMAND sh -c "'${CMAKE_NM}' '${object}' | grep -q ' U __imp__VxdRegistrySemaphore@16'"
    DEPENDS ${archive}
    WORKING_DIRECTORY ${work}
    COMMENT "Frame registry of the 32-bit runtime, with a semaphore the module can close"
    VERBATIM)
  set(${out_var} ${object} PARENT_SCOPE)
endfunction()

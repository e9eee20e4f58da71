# The release that Windows users take: an install tree, zipped. `cmake --install` of a Windows
# build gives the tree; every build also zips it as dist/vxdmount-VERSION-ARCH.zip, checked
# below for its contents and its reproducibility.
set(VXD_DIST_ZIP ${CMAKE_BINARY_DIR}/dist/${VXD_DIST_NAME}.zip)

# bin/ (the DLL and vxdhost) comes from the targets' own rules.
install(FILES ${VXD_MSVC_IMPORT_LIBRARY} ${PROJECT_SOURCE_DIR}/entry/vxdmount.def
        DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/entry/vxdmount.h DESTINATION include)
# The bindings: one C# file that a .NET project (or PowerShell's Add-Type) takes, one Python
# module.
install(FILES ${PROJECT_SOURCE_DIR}/bindings/csharp/Vxdmount.cs DESTINATION bindings/csharp)
install(FILES ${PROJECT_SOURCE_DIR}/bindings/python/vxdmount.py DESTINATION bindings/python)

# The CMake package: find_package(vxdmount CONFIG) and the imported target vxdmount::vxdmount.
set(package ${CMAKE_BINARY_DIR}/package)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vxdmountConfig.cmake.in
               ${package}/vxdmountConfig.cmake @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vxdmountConfigVersion.cmake.in
               ${package}/vxdmountConfigVersion.cmake @ONLY)
install(FILES ${package}/vxdmountConfig.cmake ${package}/vxdmountConfigVersion.cmake
        DESTINATION lib/cmake/vxdmount)

# Windows' own editors expect CRLF line ends.
configure_file(${PROJECT_SOURCE_DIR}/tools/dist/README.txt ${package}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${package}/README.txt DESTINATION .)

# Last: the signature when one is asked for, then the checksums of everything above.
find_program(VXD_OSSLSIGNCODE osslsigncode)
install(CODE "set(VXD_SIGNTOOL \"${VXD_OSSLSIGNCODE}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/dist_finish.cmake)

# Made again on every build: its file times come from the last commit, which no file names.
add_custom_target(vxdmount_dist ALL
  COMMAND bash ${PROJECT_SOURCE_DIR}/tools/dist/make_zip.sh ${VXD_DIST_ZIP} ${CMAKE_BINARY_DIR}
          ${PROJECT_SOURCE_DIR}
  BYPRODUCTS ${VXD_DIST_ZIP}
  COMMENT "Release zip ${VXD_DIST_ZIP}"
  VERBATIM)
add_dependencies(vxdmount_dist vxdmount vxdhost vxdmount_testkit vxdmount_msvc_import)

add_test(NAME dist_contents
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_dist.sh contents ${VXD_DIST_ZIP}
          ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${CMAKE_OBJDUMP} ${VXD_DIST_ARCH})
# A second build of the same sources in another folder must give the same bytes.
add_test(NAME dist_is_reproducible
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_dist.sh reproducible ${VXD_DIST_ZIP}
          ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/dist-reproduced ${VXD_DIST_ARCH}
          ${VXD_VALIJSON_INCLUDE})
# First of all: it builds the release again, and needs no Wine prefix.
set_tests_properties(dist_is_reproducible PROPERTIES TIMEOUT 600 COST 2000)

# The zip as a CMake package, for a consumer of its own bitness and of the other one. The
# consumer it builds runs under Wine (wine.cmake_consumer).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(toolchains mingw-i686 mingw-x86_64)
else()
  set(toolchains mingw-x86_64 mingw-i686)
endif()
list(TRANSFORM toolchains PREPEND ${PROJECT_SOURCE_DIR}/cmake/)
list(TRANSFORM toolchains APPEND .cmake)
set(VXD_PACKAGE_CONSUMER ${CMAKE_BINARY_DIR}/package-consumer)
add_test(NAME package_consumer
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_package.sh ${VXD_DIST_ZIP} ${PROJECT_SOURCE_DIR}
          ${VXD_PACKAGE_CONSUMER} ${toolchains})
set_tests_properties(package_consumer PROPERTIES FIXTURES_SETUP package_consumer)

# Signing with a throwaway certificate; the signed programs run under Wine (wine.signed_release).
set(VXD_SIGNED_RELEASE ${CMAKE_BINARY_DIR}/signed-release)
add_test(NAME release_signing
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_signing.sh ${CMAKE_BINARY_DIR}
          ${VXD_SIGNED_RELEASE})
set_tests_properties(release_signing PROPERTIES FIXTURES_SETUP signed_release)

# What security scanners look for in every image the zip holds (cmake/hardening.cmake).
add_test(NAME pe_hardening
  COMMAND ${VXD_PYTHON} ${PROJECT_SOURCE_DIR}/tests/check_pe.py ${VXD_DIST_ZIP})

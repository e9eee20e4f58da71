# The release that Windows users take: dist/vxdmount-VERSION-win32.zip in the build tree, made
# on every build of the 32-bit preset, then checked for its contents and its reproducibility.
set(VXD_DIST_ZIP ${CMAKE_BINARY_DIR}/dist/vxdmount-${PROJECT_VERSION}-win32.zip)
set(VXD_DIST_FILES
  $<TARGET_FILE:vxdmount>
  ${VXD_MSVC_IMPORT_LIBRARY}
  $<TARGET_LINKER_FILE:vxdmount>
  ${PROJECT_SOURCE_DIR}/entry/vxdmount.def
  ${PROJECT_SOURCE_DIR}/entry/vxdmount.h
  $<TARGET_FILE:vxdhost>)
# Made again on every build: its file times come from the last commit, which no file names.
add_custom_target(vxdmount_dist ALL
  COMMAND bash ${PROJECT_SOURCE_DIR}/tools/dist/make_zip.sh ${VXD_DIST_ZIP} ${CMAKE_STRIP}
          ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR} ${VXD_DIST_FILES}
  DEPENDS vxdmount vxdhost vxdmount_msvc_import
  BYPRODUCTS ${VXD_DIST_ZIP}
  COMMENT "Release zip ${VXD_DIST_ZIP}"
  VERBATIM)

add_test(NAME dist_contents
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_dist.sh contents ${VXD_DIST_ZIP}
          ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${CMAKE_OBJDUMP})
# A second build of the same sources in another folder must give the same bytes.
add_test(NAME dist_is_reproducible
  COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_dist.sh reproducible ${VXD_DIST_ZIP}
          ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/dist-reproduced)
set_tests_properties(dist_is_reproducible PROPERTIES TIMEOUT 600)
# What security scanners look for in every image the zip holds (cmake/hardening.cmake).
add_test(NAME pe_hardening
  COMMAND ${VXD_PYTHON} ${PROJECT_SOURCE_DIR}/tests/check_pe.py ${VXD_DIST_ZIP})

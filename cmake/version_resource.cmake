# vxd_version_resource(TARGET NAME FILE TYPE DESCRIPTION): gives TARGET a VERSIONINFO resource
# with the project's version; TYPE is VFT_DLL or VFT_APP.
function(vxd_version_resource target name file type description)
  set(VXD_RC_NAME ${name})
  set(VXD_RC_FILE ${file})
  set(VXD_RC_TYPE ${type})
  set(VXD_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

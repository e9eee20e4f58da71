# valijson's headers, for the scenario reader: Debian's libvalijson-dev depends on Qt 5, Poco and
# every other JSON library valijson has an adapter for, so the project takes only the headers.
#   vxd_find_valijson(SOURCE_DIR)
# sets the cache variable VXD_VALIJSON_INCLUDE to a folder holding valijson/validator.hpp, the
# first of: the folder given with -DVXD_VALIJSON_INCLUDE=...; the copy unpacked into
# SOURCE_DIR/build/third_party/ by an earlier configure; an installed valijson package; else
# that copy, unpacked here by cmake/unpack_deb.sh, which checks the download against the
# package index's SHA256. A configure run by an IDE from CMakePresets.json thus needs nothing
# done before it.
function(vxd_find_valijson source_dir)
  set(VXD_VALIJSON_INCLUDE "${VXD_VALIJSON_INCLUDE}" CACHE PATH
      "The folder that holds valijson/validator.hpp")
  if(EXISTS "${VXD_VALIJSON_INCLUDE}/valijson/validator.hpp")
    return()
  endif()
  set(unpacked ${source_dir}/build/third_party/libvalijson-dev)
  set(copy ${unpacked}/usr/include)
  find_package(valijson CONFIG QUIET)
  if(TARGET valijson)
    get_target_property(installed valijson INTERFACE_INCLUDE_DIRECTORIES)
  endif()
  # Not /usr/include as such unless a package put valijson there: a mingw-w64 build must not
  # see glibc's headers, so the builds link only the valijson folder itself (json_headers).
  find_path(found valijson/validator.hpp HINTS ${copy} ${installed}
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
  if(NOT found)
    # Several presets configured at once unpack once.
    file(MAKE_DIRECTORY ${source_dir}/build/third_party)
    file(LOCK ${source_dir}/build/third_party/valijson.lock GUARD FUNCTION TIMEOUT 600)
    if(NOT EXISTS ${copy}/valijson/validator.hpp)
      message(STATUS "valijson: unpacking Debian's libvalijson-dev into ${unpacked}")
      execute_process(COMMAND bash ${source_dir}/cmake/unpack_deb.sh libvalijson-dev ${unpacked}
                      RESULT_VARIABLE unpack_failed)
    endif()
    if(EXISTS ${copy}/valijson/validator.hpp)
      set(found ${copy})
    else()
      message(FATAL_ERROR "no valijson headers: run 'bash cmake/unpack_deb.sh libvalijson-dev "
                          "build/third_party/libvalijson-dev' in ${source_dir}, then configure "
                          "again")
    endif()
  endif()
  set(VXD_VALIJSON_INCLUDE "${found}" CACHE PATH "The folder that holds valijson/validator.hpp"
      FORCE)
endfunction()

# libFLAC as one target, kvbgm_flac, on both platforms:
#   Linux    Debian's libflac-dev, found with pkg-config (the .deb then
#            depends on its runtime package through CPack's shlibdeps);
#   Windows  the static libFLAC that tools/build-flac-win.sh builds from
#            Debian's source package into build-deps/flac-ARCH/, linked into
#            the exe, so that no DLL goes beside it.
if(WIN32)
  set(KVBGM_FLAC_PREFIX "${CMAKE_CURRENT_SOURCE_DIR}/build-deps/flac-${CMAKE_SYSTEM_PROCESSOR}"
      CACHE PATH "The static libFLAC for Windows (tools/build-flac-win.sh)")
  if(NOT EXISTS "${KVBGM_FLAC_PREFIX}/lib/libFLAC.a")
    message(FATAL_ERROR "No static libFLAC in ${KVBGM_FLAC_PREFIX}: "
            "run tools/build-flac-win.sh ${CMAKE_SYSTEM_PROCESSOR} first")
  endif()
  add_library(kvbgm_flac STATIC IMPORTED GLOBAL)
  set_target_properties(kvbgm_flac PROPERTIES
    IMPORTED_LOCATION "${KVBGM_FLAC_PREFIX}/lib/libFLAC.a"
    INTERFACE_INCLUDE_DIRECTORIES "${KVBGM_FLAC_PREFIX}/include"
    # The headers declare the functions as DLL imports unless told otherwise.
    INTERFACE_COMPILE_DEFINITIONS FLAC__NO_DLL)
  # The zip carries the library's licence beside the tool's files.
  install(FILES "${KVBGM_FLAC_PREFIX}/COPYING.Xiph" DESTINATION . RENAME COPYING.libFLAC.txt)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KVBGM_FLAC REQUIRED IMPORTED_TARGET flac)
  add_library(kvbgm_flac INTERFACE)
  target_link_libraries(kvbgm_flac INTERFACE PkgConfig::KVBGM_FLAC)
endif()

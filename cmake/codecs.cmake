# The codec libraries as targets of the same names on both platforms:
#   kvbgm_flac        libFLAC
#   kvbgm_vorbis      libvorbisenc, libvorbis and libogg (the Ogg writer
#                     calls all three)
#   kvbgm_vorbisfile  libvorbisfile, for the tests, which decode what the
#                     Ogg writer encodes
#   kvbgm_ebur128     libebur128, the loudness meter of --replaygain
# Linux    Debian's -dev packages, found with pkg-config (the .deb then
#          depends on their runtime packages through CPack's shlibdeps);
# Windows  the static libraries that tools/build-codecs-win.sh builds from
#          Debian's source packages into build-deps/codecs-ARCH/, linked into
#          the exe, so that no DLL goes beside it; the zip carries their
#          licences beside the tool's files.
if(WIN32)
  set(KVBGM_CODECS_PREFIX "${CMAKE_CURRENT_SOURCE_DIR}/build-deps/codecs-${CMAKE_SYSTEM_PROCESSOR}"
      CACHE PATH "The static codec libraries for Windows (tools/build-codecs-win.sh)")
  # One imported static library, lib/lib<file>.a of the prefix, that needs
  # the targets after it.
  function(kvbgm_static_codec target file)
    set(archive "${KVBGM_CODECS_PREFIX}/lib/lib${file}.a")
    if(NOT EXISTS "${archive}")
      message(FATAL_ERROR "No ${archive}: "
              "run tools/build-codecs-win.sh ${CMAKE_SYSTEM_PROCESSOR} first")
    endif()
    add_library(${target} STATIC IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES
      IMPORTED_LOCATION "${archive}"
      INTERFACE_INCLUDE_DIRECTORIES "${KVBGM_CODECS_PREFIX}/include"
      INTERFACE_LINK_LIBRARIES "${ARGN}")
  endfunction()
  kvbgm_static_codec(kvbgm_flac FLAC)
  # The headers declare the functions as DLL imports unless told otherwise.
  set_target_properties(kvbgm_flac PROPERTIES INTERFACE_COMPILE_DEFINITIONS FLAC__NO_DLL)
  kvbgm_static_codec(kvbgm_ogg_lib ogg)
  kvbgm_static_codec(kvbgm_vorbis_lib vorbis kvbgm_ogg_lib)
  kvbgm_static_codec(kvbgm_vorbis vorbisenc kvbgm_vorbis_lib)
  kvbgm_static_codec(kvbgm_vorbisfile vorbisfile kvbgm_vorbis_lib)
  kvbgm_static_codec(kvbgm_ebur128 ebur128)
  foreach(name libFLAC libogg libvorbis libebur128)
    install(FILES "${KVBGM_CODECS_PREFIX}/COPYING.${name}.txt" DESTINATION .)
  endforeach()
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KVBGM_FLAC REQUIRED IMPORTED_TARGET flac)
  pkg_check_modules(KVBGM_VORBIS REQUIRED IMPORTED_TARGET vorbisenc vorbis ogg)
  pkg_check_modules(KVBGM_VORBISFILE REQUIRED IMPORTED_TARGET vorbisfile)
  pkg_check_modules(KVBGM_EBUR128 REQUIRED IMPORTED_TARGET libebur128)
  add_library(kvbgm_flac INTERFACE)
  target_link_libraries(kvbgm_flac INTERFACE PkgConfig::KVBGM_FLAC)
  add_library(kvbgm_vorbis INTERFACE)
  target_link_libraries(kvbgm_vorbis INTERFACE PkgConfig::KVBGM_VORBIS)
  add_library(kvbgm_vorbisfile INTERFACE)
  target_link_libraries(kvbgm_vorbisfile INTERFACE PkgConfig::KVBGM_VORBISFILE kvbgm_vorbis)
  add_library(kvbgm_ebur128 INTERFACE)
  target_link_libraries(kvbgm_ebur128 INTERFACE PkgConfig::KVBGM_EBUR128)
endif()

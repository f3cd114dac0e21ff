# KVBGM_HARDEN (the .deb's build, make deb): Debian's hardening flags, as
# dpkg-buildflags gives them for DEB_BUILD_MAINT_OPTIONS=hardening=+all
# (stack protector, fortified functions, a read-only relocation table bound
# at start, and whatever else the release counts as hardening), on every
# target. dpkg-buildflags also gives -O2 and -g: they are left out, so that
# the build type's optimisation stays what it is. Every flag kept must be a
# hardening, warning, path-mapping or linker flag; any other, one that could
# change what the fade computes, stops the configure.
if(NOT KVBGM_HARDEN)
  return()
endif()
if(WIN32)
  message(FATAL_ERROR "KVBGM_HARDEN is for the Debian package's build")
endif()
find_program(KVBGM_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
set(KVBGM_HARDEN_KEEP
  "^-f(stack-protector(-strong|-all)?|stack-clash-protection|cf-protection(=.*)?|PIE|pie|PIC|pic|(file|debug|macro)-prefix-map=.*)$"
  "^-D_FORTIFY_SOURCE=[0-9]$" "^-U_FORTIFY_SOURCE$"
  "^-W(date-time|format(=.*)?|error=format-security)$"
  "^-Wl,.*$" "^-pie$")
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${KVBGM_DPKG_BUILDFLAGS} --get ${kind}
    WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(kept)
  foreach(flag IN LISTS flags)
    if(flag MATCHES "^-(O|g)")
      continue()
    endif()
    set(known FALSE)
    foreach(keep IN LISTS KVBGM_HARDEN_KEEP)
      if(flag MATCHES "${keep}")
        set(known TRUE)
      endif()
    endforeach()
    if(NOT known)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} gives ${flag}, not a known hardening flag")
    endif()
    list(APPEND kept "${flag}")
  endforeach()
  set(KVBGM_HARDEN_${kind} ${kept})
endforeach()
string(JOIN " " shown ${KVBGM_HARDEN_CPPFLAGS} ${KVBGM_HARDEN_CXXFLAGS} ${KVBGM_HARDEN_LDFLAGS})
message(STATUS "Debian's hardening flags: ${shown}")
add_compile_options(${KVBGM_HARDEN_CPPFLAGS} ${KVBGM_HARDEN_CXXFLAGS})
add_link_options(${KVBGM_HARDEN_LDFLAGS})

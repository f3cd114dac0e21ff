# The documents a packaged kvbgm2wav carries beside the program: on Linux the
# manual page, the README, the user guide and the changelog compressed as Debian wants them
# (gzip -9n: no file name, no time stamp), in the package and in a plain
# cmake --install alike, and the licence as a copyright file in Debian's
# machine-readable format; on Windows the README, the guide and the licence as they
# are, and cmake/windows-notices.cmake's README.txt and notices.

file(STRINGS doc/changelog KVBGM_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT KVBGM_CHANGELOG_TOP MATCHES "^kvbgm2wav \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog: the first entry is not version ${PROJECT_VERSION}")
endif()

if(WIN32)
  install(FILES README.md doc/guide.md LICENSE DESTINATION .)
  include(cmake/windows-notices.cmake)
  return()
endif()

# LICENSE: a title, "Copyright (c) YEARS HOLDER", then the licence text.
file(READ LICENSE KVBGM_LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${KVBGM_LICENSE}")
set(KVBGM_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" KVBGM_LICENSE_TEXT "${KVBGM_LICENSE}")
string(STRIP "${KVBGM_LICENSE_TEXT}" KVBGM_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" KVBGM_LICENSE_TEXT "${KVBGM_LICENSE_TEXT}")
string(REPLACE "\n" "\n " KVBGM_LICENSE_TEXT " ${KVBGM_LICENSE_TEXT}")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: kvbgm2wav\n"
     "\n"
     "Files: *\n"
     "Copyright: ${KVBGM_COPYRIGHT}\n"
     "License: Expat\n"
     "${KVBGM_LICENSE_TEXT}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)

configure_file(doc/changelog changelog COPYONLY)
configure_file(README.md README.md COPYONLY)
configure_file(doc/guide.md guide.md COPYONLY)
find_program(KVBGM_GZIP gzip REQUIRED)
set(KVBGM_COMPRESSED)
foreach(doc kvbgm2wav.1 README.md guide.md changelog)
  add_custom_command(OUTPUT ${doc}.gz
    COMMAND ${KVBGM_GZIP} -9nkf ${doc}
    DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/${doc}"
    WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
  list(APPEND KVBGM_COMPRESSED "${CMAKE_CURRENT_BINARY_DIR}/${doc}.gz")
endforeach()
add_custom_target(package_docs ALL DEPENDS ${KVBGM_COMPRESSED})

install(FILES "${CMAKE_CURRENT_BINARY_DIR}/kvbgm2wav.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/README.md.gz" "${CMAKE_CURRENT_BINARY_DIR}/guide.md.gz"
              "${CMAKE_CURRENT_BINARY_DIR}/copyright"
              "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz"
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The zip's documents for Windows users: README.txt, what a Windows user
# does first, with Windows' CRLF line ends, made from doc/README-windows.txt;
# and the notices that the libraries linked into the exe ask to go with it,
# taken at configure time from the copyright file of the Debian package
# that provides them:
#   COPYING.mingw-w64.txt    all of MinGW-w64's runtime (the start-up code,
#                            libmingwex and the rest of the C runtime)
#   COPYING.winpthreads.txt  its POSIX threads library, winpthreads
#   COPYING.gdtoa.txt        its number conversions, from gdtoa
# (The codecs' COPYING files come from cmake/codecs.cmake.) GCC's own libgcc and
# libstdc++ are linked in under the GCC Runtime Library Exception, which
# asks for no notice.

configure_file(doc/README-windows.txt README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/README.txt" DESTINATION .)

find_library(KVBGM_WINPTHREAD NAMES libwinpthread.a NO_CACHE REQUIRED)
execute_process(COMMAND dpkg-query -S "${KVBGM_WINPTHREAD}"
  OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE ":.*" "" owner "${owner}")
execute_process(COMMAND dpkg-query -W -f=\${Version} "${owner}"
  OUTPUT_VARIABLE owner_version COMMAND_ERROR_IS_FATAL ANY)
set(copyright "/usr/share/doc/${owner}/copyright")
if(NOT EXISTS "${copyright}")
  message(FATAL_ERROR "${owner} has no copyright file ${copyright}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${copyright}")
set(origin "From Debian's copyright file of ${owner} ${owner_version}\n(${copyright}).")

file(READ "${copyright}" text)
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/COPYING.mingw-w64.txt"
  "kvbgm2wav.exe has MinGW-w64's runtime built in. ${origin}\n\n${text}")

find_program(KVBGM_AWK NAMES awk REQUIRED)
foreach(part "winpthreads|winpthreads/|tests_pthread|POSIX threads library, winpthreads,"
             "gdtoa|gdtoa/||number conversions from gdtoa")
  string(REPLACE "|" ";" part "${part}")
  list(GET part 0 name)
  list(GET part 1 files)
  list(GET part 2 skip)
  list(GET part 3 what)
  execute_process(COMMAND "${KVBGM_AWK}" -v "files=${files}" -v "skip=${skip}"
      -f "${CMAKE_CURRENT_LIST_DIR}/copyright-part.awk" "${copyright}"
    OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  if(text STREQUAL "")
    message(FATAL_ERROR "${copyright} names no files of ${name}")
  endif()
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/COPYING.${name}.txt"
    "kvbgm2wav.exe has MinGW-w64's ${what} built in. ${origin}\n\n${text}")
endforeach()
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/COPYING.mingw-w64.txt"
              "${CMAKE_CURRENT_BINARY_DIR}/COPYING.winpthreads.txt"
              "${CMAKE_CURRENT_BINARY_DIR}/COPYING.gdtoa.txt"
        DESTINATION .)

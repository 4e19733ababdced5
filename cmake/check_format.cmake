# The format check: every tracked C and C++ file must be laid out exactly as
# the committed .clang-format says, by Debian's clang-format 14 (other
# versions lay some constructs out differently). Run as a CTest test:
#   cmake -DSOURCE_DIR=<tree> -P cmake/check_format.cmake
# A missing clang-format is a failure, not a skip: the check would be silent.
cmake_minimum_required(VERSION 3.20)
find_program(CLANG_FORMAT NAMES clang-format-14 clang-format)
if(NOT CLANG_FORMAT)
  message(FATAL_ERROR "format check: clang-format not found; install clang-format 14 (Debian: apt install clang-format)")
endif()
execute_process(COMMAND ${CLANG_FORMAT} --version OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT version MATCHES "version 14\\.")
  message(FATAL_ERROR "format check: needs clang-format 14, found '${version}' at ${CLANG_FORMAT}")
endif()

# The files git tracks; outside a git checkout, the sources of the tree.
execute_process(COMMAND git ls-files -- *.c *.cc *.h WORKING_DIRECTORY ${SOURCE_DIR}
                RESULT_VARIABLE git_status OUTPUT_VARIABLE listed ERROR_QUIET)
if(git_status EQUAL 0)
  string(REPLACE "\n" ";" files "${listed}")
else()
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/src/*.[ch] ${SOURCE_DIR}/src/*.cc ${SOURCE_DIR}/tests/*.[ch] ${SOURCE_DIR}/tests/*.cc
       ${SOURCE_DIR}/tools/*.cc ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/fuzz/*.cc ${SOURCE_DIR}/bench/*.cc)
  list(FILTER files EXCLUDE REGEX "node_modules/")
endif()
list(FILTER files EXCLUDE REGEX "^$")
list(LENGTH files count)
if(count EQUAL 0)
  message(FATAL_ERROR "format check: no C or C++ files found under ${SOURCE_DIR}")
endif()

execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${files} WORKING_DIRECTORY ${SOURCE_DIR}
                RESULT_VARIABLE status ERROR_VARIABLE report)
if(NOT status EQUAL 0)
  message("${report}")
  message(FATAL_ERROR "format check: the files above differ from .clang-format; run: clang-format -i <file>")
endif()
message(STATUS "format check: ${count} files laid out as .clang-format says")

# Turns a binary file into a C array initialiser list ("0x12, 0x34, ...") at build time.
#   cmake -DIN=<file> -DOUT=<file> [-DRECORDS=ON] -P embed_bytes.cmake
# RECORDS=ON checks that the file is a stream of firmware records (kvfx2records.cmake), as the
# configure step did: the file may have changed since.
if(NOT IN OR NOT OUT)
  message(FATAL_ERROR "embed_bytes.cmake needs -DIN=<file> and -DOUT=<file>")
endif()
if(NOT EXISTS "${IN}")
  message(FATAL_ERROR "embed_bytes.cmake: ${IN} does not exist")
endif()

if(RECORDS)
  include(${CMAKE_CURRENT_LIST_DIR}/kvfx2records.cmake)
  kv_check_firmware_records("${IN}" "embed_bytes.cmake")
endif()

file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexLength)
if(hexLength EQUAL 0)
  message(FATAL_ERROR "embed_bytes.cmake: ${IN} is empty")
endif()

string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " body "${hex}")
string(REPEAT "0x.., " 16 row)
string(REGEX REPLACE "(${row})" "\\1\n" body "${body}")
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; do not edit.\n${body}\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
file(REMOVE "${OUT}.tmp")

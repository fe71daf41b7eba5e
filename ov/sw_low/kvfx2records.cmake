# Checks an FX2 firmware file: a stream of firmware records (count, address high, address low,
# count data bytes) that ends exactly at the end of a record. Stops with a message that names
# `what` (the option or script that gave the file) otherwise. Used at configure time on
# KV_FX2_FIRMWARE and again when the file is embedded.
#
# kv_check_firmware_records(<file> <what>)

# The 8051's address space is 64 KiB; a record stream far beyond it is no firmware (and reading
# it record by record would take long).
set(KV_FIRMWARE_MAX_BYTES 131072)

function(kv_check_firmware_records file what)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${what}: ${file} does not exist")
  endif()
  if(IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${what}: ${file} is a folder, not a firmware file")
  endif()
  file(SIZE "${file}" size)
  if(size EQUAL 0)
    message(FATAL_ERROR "${what}: ${file} is empty")
  endif()
  if(size GREATER KV_FIRMWARE_MAX_BYTES)
    message(FATAL_ERROR "${what}: ${file} holds ${size} bytes, more than ${KV_FIRMWARE_MAX_BYTES}: "
      "no firmware of the FX2's 64 KiB address space is that long")
  endif()

  # Text only (tabs, line breaks and printable ASCII): a hex listing or a note, not records.
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "(..)" "\\1;" bytes "${hex}")
  string(REGEX REPLACE "(0[9ad]|[2-6][0-9a-f]|7[0-9a-e]);" "" binary "${bytes}")
  if(binary STREQUAL "")
    message(FATAL_ERROR "${what}: ${file} is text, not binary firmware records (count, address "
      "high, address low, data bytes); a firmware given as hex text must be converted to binary "
      "records first")
  endif()

  set(pos 0)
  set(records 0)
  set(prefix "${what}: ${file} is not a whole stream of firmware records:")
  while(pos LESS size)
    math(EXPR left "${size} - ${pos}")
    if(left LESS 3)
      message(FATAL_ERROR "${prefix} record ${records} at byte ${pos} is cut short (${left} bytes left)")
    endif()
    math(EXPR hexPos "${pos} * 2")
    string(SUBSTRING "${hex}" ${hexPos} 2 countHex)
    math(EXPR count "0x${countHex}")
    if(count EQUAL 0)
      message(FATAL_ERROR "${prefix} record ${records} at byte ${pos} has no data bytes")
    endif()
    math(EXPR pos "${pos} + 3 + ${count}")
    if(pos GREATER size)
      message(FATAL_ERROR "${prefix} record ${records} runs past the end of the file")
    endif()
    math(EXPR records "${records} + 1")
  endwhile()
endfunction()

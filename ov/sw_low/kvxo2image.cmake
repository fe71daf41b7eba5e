# Chooses the FPGA row file and its checksum, and refuses a real image without the real FX2
# firmware or the reverse: placeholder rows must never reach a real probe's FPGA.
#
# kv_select_fpga_image(<firmware> <image> <checksum> <placeholder> <placeholder checksum>
#                      <file var> <checksum var>)
function(kv_select_fpga_image firmware image checksum placeholder placeholderChecksum fileVar checksumVar)
  if(firmware AND NOT image)
    message(FATAL_ERROR "KV_FX2_FIRMWARE is set but KV_FPGA_IMAGE is not: the real firmware would "
      "program the placeholder FPGA image into the probe. Set KV_FPGA_IMAGE and KV_FPGA_CHECKSUM too.")
  endif()
  if(image AND NOT firmware)
    message(FATAL_ERROR "KV_FPGA_IMAGE is set but KV_FX2_FIRMWARE is not: the placeholder firmware "
      "cannot program a real probe. Set KV_FX2_FIRMWARE too.")
  endif()
  if(image)
    if(NOT EXISTS "${image}" OR IS_DIRECTORY "${image}")
      message(FATAL_ERROR "KV_FPGA_IMAGE: ${image} is not a file")
    endif()
    string(LENGTH "${checksum}" length)
    if(NOT checksum MATCHES "^0[xX][0-9a-fA-F]+$" OR length GREATER 10)
      message(FATAL_ERROR "KV_FPGA_CHECKSUM must be the image's 32-bit checksum in hex, e.g. "
        "0x12345678 (got '${checksum}')")
    endif()
    set(file "${image}")
  else()
    if(checksum)
      message(FATAL_ERROR "KV_FPGA_CHECKSUM is set without KV_FPGA_IMAGE")
    endif()
    set(file "${placeholder}")
    set(checksum "${placeholderChecksum}")
  endif()
  file(SIZE "${file}" size)
  math(EXPR rest "${size} % 16")
  if(size EQUAL 0 OR NOT rest EQUAL 0)
    message(FATAL_ERROR "${file} holds ${size} bytes, not whole 16-byte rows")
  endif()
  set(${fileVar} "${file}" PARENT_SCOPE)
  set(${checksumVar} "${checksum}" PARENT_SCOPE)
endfunction()

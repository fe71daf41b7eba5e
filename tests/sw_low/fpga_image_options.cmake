# Runs the FPGA image choice of the build with the options given as -D, and prints the result.
#   cmake -DMODULE=<kvxo2image.cmake> -DPLACEHOLDER=<file> [-DFIRMWARE=..] [-DIMAGE=..] [-DCHECKSUM=..] -P
include(${MODULE})
kv_select_fpga_image("${FIRMWARE}" "${IMAGE}" "${CHECKSUM}" "${PLACEHOLDER}" 0x1D5E0257 file checksum)
message(STATUS "selected ${file} ${checksum}")

# Checks libvexacore's dynamic symbol table (exactly the 27 C functions, unversioned) and soname.
# cmake -DLIB=<library> -DNM=<nm> -DREADELF=<readelf> -P check_exports.cmake
set(expected
  version versionX sniffInit sniffEnd setConnect setRun setStop getRun getStop getCaptureDone
  getHardwareChanged setNeeded getCaptureCount getHardwareStatus getSerial getSerialX startDecode
  getDecodeDone getDecodedCount getPacketDataRowCount getPacketDataRow getPacketDataRowX
  getBoxStrX linix2rowptr sampleFileRead loh exh)
list(LENGTH expected n)
if(NOT n EQUAL 27)
  message(FATAL_ERROR "the expected list holds ${n} names")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>": every export is a function in the text section, without version.
  if(NOT line MATCHES "^[0-9a-f]+ T ([A-Za-z0-9_]+)$")
    message(SEND_ERROR "not a plain exported function: '${line}'")
    continue()
  endif()
  list(APPEND found ${CMAKE_MATCH_1})
endforeach()
set(missing ${expected})
list(REMOVE_ITEM missing ${found})
set(extra ${found})
list(REMOVE_ITEM extra ${expected})
list(LENGTH found nfound)
if(missing OR extra OR NOT nfound EQUAL 27)
  message(FATAL_ERROR "exports differ: missing '${missing}', extra '${extra}', ${nfound} found")
endif()

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT dyn MATCHES "\\(SONAME\\)[^\n]*\\[libvexacore\\.so\\]")
  message(FATAL_ERROR "soname is not libvexacore.so:\n${dyn}")
endif()
if(dyn MATCHES "VERDEF")
  message(FATAL_ERROR "the library defines symbol versions:\n${dyn}")
endif()
message(STATUS "27 exports, soname libvexacore.so")

# Fails unless LIBRARY's dynamic symbol table defines exactly the factory
# IFfMpegFacade::Create(bool) as its one function, plus at most the type
# information and vtables of the three public exception classes.
#   cmake -DNM=<nm> -DLIBRARY=<libmpegexporter.so> -P CheckExports.cmake

cmake_minimum_required(VERSION 3.25)

if(NOT NM OR NOT LIBRARY)
  message(FATAL_ERROR "usage: cmake -DNM=<nm> -DLIBRARY=<shared library> -P CheckExports.cmake")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()

set(namespace "N7Halvaro3Oru6Shared6Export4Mpeg")
set(factory "_ZN7Halvaro3Oru6Shared6Export4Mpeg13IFfMpegFacade6CreateEb")
set(allowed ${factory})
foreach(class 21MpegExporterException 21FfMpegFacadeException 11AvException)
  foreach(kind _ZTI _ZTS _ZTV) # type information, its name, vtable
    list(APPEND allowed "${kind}${namespace}${class}E")
  endforeach()
endforeach()

string(REPLACE "\n" ";" lines "${listing}")
set(functions "")
set(unexpected "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) (.+)$")
    list(APPEND unexpected "unreadable: ${line}")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  string(REGEX REPLACE "@.*$" "" name "${name}") # version suffix, if any
  if(type MATCHES "^[TtWwi]$")
    list(APPEND functions "${name}")
  endif()
  if(NOT name IN_LIST allowed)
    list(APPEND unexpected "${type} ${name}")
  endif()
endforeach()

set(failures "")
if(NOT functions STREQUAL factory)
  list(APPEND failures "exported functions are [${functions}], expected only ${factory}")
endif()
if(unexpected)
  list(JOIN unexpected "\n  " shown)
  list(APPEND failures "unexpected exports:\n  ${shown}")
endif()
if(failures)
  list(JOIN failures "\n" shown)
  message(FATAL_ERROR "${LIBRARY}:\n${shown}")
endif()
message(STATUS "${LIBRARY} exports only the factory and the exception type information")

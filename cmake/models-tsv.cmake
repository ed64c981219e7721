# SPDX-License-Identifier: Apache-2.0
# Reads the product list for the generators of the model tables
# (cmake/generate-models.cmake) and of the PPDs (ppd/generate-drv.cmake):
#
#   include(models-tsv.cmake)
#   mirelops_read_models(<list file> <prefix>)
#   foreach(model family maker IN ZIP_LISTS <prefix>_MODELS <prefix>_FAMILIES <prefix>_MAKERS)
#
# The list has one model a line: model name, family (plain, finch or Heron)
# and manufacturer, separated by tabs; lines starting with "#", empty lines
# and the header line are skipped. The three lists hold the rows' fields in
# the order of the list. A row stops the run with an error when it does not
# have three fields, when a field holds a semicolon (a CMake list's
# separator) or its name or maker a double quote or a backslash (both are
# written into C++ and ppdc strings), when its name is
# not "<maker> <series><number><variant>" or when its family is unknown.

function(mirelops_read_models file prefix)
  file(STRINGS "${file}" lines ENCODING UTF-8)
  set(header_seen FALSE)
  set(models "")
  set(families "")
  set(makers "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^#" OR line STREQUAL "")
      continue()
    endif()
    if(NOT header_seen)
      set(header_seen TRUE)
      continue()
    endif()
    if(NOT line MATCHES "^([^\t\";\\\\]+)\t([^\t;]+)\t([^\t\";\\\\]+)$")
      message(FATAL_ERROR "${file}: not three tab-separated fields: '${line}'")
    endif()
    set(model "${CMAKE_MATCH_1}")
    set(family "${CMAKE_MATCH_2}")
    set(maker "${CMAKE_MATCH_3}")
    if(NOT model MATCHES "^${maker} ([A-Z]+)([0-9]+)([A-Z]*)$")
      message(FATAL_ERROR "${file}: model '${model}' is not '${maker} <series><number><variant>'")
    endif()
    if(NOT family MATCHES "^(plain|finch|Heron)$")
      message(FATAL_ERROR "${file}: '${model}' has the unknown family '${family}'")
    endif()
    list(APPEND models "${model}")
    list(APPEND families "${family}")
    list(APPEND makers "${maker}")
  endforeach()
  set(${prefix}_MODELS "${models}" PARENT_SCOPE)
  set(${prefix}_FAMILIES "${families}" PARENT_SCOPE)
  set(${prefix}_MAKERS "${makers}" PARENT_SCOPE)
endfunction()

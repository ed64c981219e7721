# SPDX-License-Identifier: Apache-2.0
# Writes the driver-information file for ppdc from the product list.
#
#   cmake -DMODELS=data/models.tsv -DTEMPLATE=ppd/mirelo.drv.in
#         -DOUTPUT=build/ppd/mirelo.drv -DVERSION=1.0.0 -P ppd/generate-drv.cmake
#
# The list has one model a line: model name, family (plain, finch or Heron)
# and manufacturer, separated by tabs; lines starting with "#" and the header
# line are skipped. Every model gets one block after the shared head of
# mirelo.drv.in, and ppdc turns each block into one PPD.
#
# What a block says, and why:
#
# - ShortNickName "<model> Series PS". mirelops identifies the printer by this
#   text when the backend gives no device ID (a whole-text comparison that
#   ignores letter case), so it is written exactly so. The 1284DeviceID holds
#   the items the filter looks for in a device ID, and lets CUPS match the
#   PPD to a printer it finds.
#
# - The last filter. Plain and finch models take PostScript: CUPS's pstops
#   runs before mirelops and wraps the job in the PJL of the JCL keywords.
#   Heron models take PDF: pdftopdf runs before mirelops, which converts the
#   PDF to PostScript itself.
#
# - Who makes the copies. Exactly one stage of the chain must make them,
#   whether the job asks for collated copies or not:
#   * plain: mirelops passes the job through as it is, so pstops makes the
#     copies (cupsManualCopies True: pstops's copy limit is 1, and it repeats
#     the pages, collated when asked).
#   * finch: when the options ask for collation, mirelops makes the collated
#     copies itself from the copy count and drops the job's NumCopies block.
#     So pstops must leave copies to the device: cupsManualCopies False, and a
#     Collate option that pstops can mark, so that it does not collate by
#     replaying the pages itself. Uncollated, the NumCopies block that pstops
#     writes reaches the printer and the printer makes the copies.
#   * Heron: mirelops runs pdftops with the copy count 1, so a copy count
#     left to the device would be lost. cupsManualCopies True makes pdftopdf
#     write every copy into the PDF (collated when asked).
#
# - Duplex (None, DuplexNoTumble, DuplexTumble; default None) on the models
#   that have a duplex unit: those whose name has a D in the letters after the
#   model number (D, DN, DW). Every finch and Heron model has one; mirelops
#   turns the back sides of a Heron job when the Duplex choice (the job's, or
#   else the PPD default) is DuplexNoTumble.
#
# - FeedEdge (ShortEdge, LongEdge) on finch models only, default LongEdge:
#   an A5 job fed long edge first gets the A5 long-edge paper by PJL, and a
#   queue that says nothing counts as long edge, so the default keeps that.

cmake_minimum_required(VERSION 3.20)

foreach(var MODELS TEMPLATE OUTPUT VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "generate-drv.cmake: -D${var}=... is required")
  endif()
endforeach()

set(MIRELOPS_VERSION "${VERSION}")
configure_file("${TEMPLATE}" "${OUTPUT}.tmp" @ONLY)
file(READ "${OUTPUT}.tmp" drv)
file(REMOVE "${OUTPUT}.tmp")

include("${CMAKE_CURRENT_LIST_DIR}/../cmake/models-tsv.cmake")
mirelops_read_models("${MODELS}" list)
set(count 0)
set(pc_names "")
foreach(model family maker IN ZIP_LISTS list_MODELS list_FAMILIES list_MAKERS)
  # The model number is the last word of the name: letters, digits, and the
  # letters of the variant (D duplex, N network, W wireless).
  string(REGEX MATCH "^${maker} ([A-Z]+)([0-9]+)([A-Z]*)$" unused "${model}")
  set(series "${CMAKE_MATCH_1}")
  set(number "${CMAKE_MATCH_2}")
  set(variant "${CMAKE_MATCH_3}")

  set(nick "${model} Series PS")
  string(LENGTH "${nick}" nick_len)
  if(nick_len GREATER 31)
    message(FATAL_ERROR "ShortNickName '${nick}' is longer than 31 characters")
  endif()

  # An 8.3 name for systems that want one: maker initial and model number.
  string(SUBSTRING "${maker}" 0 1 initial)
  string(TOLOWER "${initial}${series}${number}${variant}" pc_base)
  string(LENGTH "${pc_base}" pc_len)
  if(pc_len GREATER 8)
    message(FATAL_ERROR "PCFileName base '${pc_base}' of '${model}' is longer than 8 characters")
  endif()
  if(pc_base IN_LIST pc_names)
    message(FATAL_ERROR "'${model}' gives the PCFileName '${pc_base}.ppd' a second time")
  endif()
  list(APPEND pc_names "${pc_base}")

  string(REPLACE " " "-" file_name "${model}")

  if(family STREQUAL "plain")
    set(filter "application/vnd.cups-postscript application/vnd.cups-postscript 0 mirelops")
    set(manual_copies True)
  elseif(family STREQUAL "finch")
    set(filter "application/vnd.cups-postscript application/vnd.cups-postscript 0 mirelops")
    set(manual_copies False)
  else()  # Heron
    set(filter "application/vnd.cups-pdf application/vnd.cups-postscript 0 mirelops")
    set(manual_copies True)
  endif()

  string(APPEND drv "
// ${model} (${family})
{
  Manufacturer \"${maker}\"
  ModelName \"${model}\"
  PCFileName \"${pc_base}.ppd\"
  FileName \"${file_name}.ppd\"
  Attribute Product \"\" \"(${model})\"
  Attribute ShortNickName \"\" \"${nick}\"
  Attribute NickName \"\" \"${nick}, mirelops ${VERSION}\"
  Attribute 1284DeviceID \"\" \"MFG:${maker};MDL:${model} series;CLS:PRINTER;\"
  Attribute cupsFilter2 \"\" \"${filter}\"
  Attribute cupsManualCopies \"\" ${manual_copies}
")
  if(variant MATCHES "D")
    string(APPEND drv "  Duplex normal\n")
  endif()
  if(family STREQUAL "finch")
    string(APPEND drv [[
  Option "Collate/Collate" Boolean AnySetup 25
    *Choice "False/Off" "<</Collate false>>setpagedevice"
    Choice "True/On" "<</Collate true>>setpagedevice"
  Option "FeedEdge/Feed Edge" PickOne AnySetup 30
    Choice "ShortEdge/Short Edge First" ""
    *Choice "LongEdge/Long Edge First" ""
]])
  endif()
  string(APPEND drv "}\n")
  math(EXPR count "${count} + 1")
endforeach()

if(count EQUAL 0)
  message(FATAL_ERROR "${MODELS}: no models")
endif()

file(WRITE "${OUTPUT}" "${drv}")

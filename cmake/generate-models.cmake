# SPDX-License-Identifier: Apache-2.0
# Writes the model tables of printer identification from the product list.
#
#   cmake -DMODELS=data/models.tsv -DOUTPUT_DIR=build/generated/identify
#         [-DAPP_OUTPUT=build/app/models.inc] -P cmake/generate-models.cmake
#
# The list has one model a line: model name, family (plain, finch or Heron)
# and manufacturer, separated by tabs; lines starting with "#" and the header
# line are skipped. Two files are written (each only when its text changes,
# so that an unchanged list rebuilds nothing):
#
# - model-counts.h: the number of rows of each table;
# - models.cpp: the tables, in the orders that the identification rules and
#   existing log readers have always seen:
#   * support_printerinfo: every model's PPD nickname, "<model> Series PS",
#     in the order of the list;
#   * SupportDeviceID: every model's three device ID items, "MFG:<maker>;",
#     "MDL:<model> series;", "CLS:PRINTER;", listed by family: finch, Heron,
#     then the plain models, each in the order of the list;
#   * finch_printerinfo: the bare names of the finch models; the names in
#     kRepeatedFinch stand twice in a row (the table has always carried them
#     so; the first hit ends every search, so a repeat changes no result);
#   * Heron_printerinfo (ended by a null entry) and Heron_1284info: the
#     nicknames and device ID items of the Heron models, in the same order.
#
# With APP_OUTPUT, the same pass also writes the Printer Application's model
# table there: one initializer a model, in the order of the list: driver
# name, model name, the IEEE 1284 device ID the model's PPD carries, the PPD's
# file name, the family, and whether the model has a duplex unit (a D in the
# letters after the model number, the rule the PPDs follow).

cmake_minimum_required(VERSION 3.20)

foreach(var MODELS OUTPUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "generate-models.cmake: -D${var}=... is required")
  endif()
endforeach()

set(kRepeatedFinch "Mirelo F5100DN")

include("${CMAKE_CURRENT_LIST_DIR}/models-tsv.cmake")
mirelops_read_models("${MODELS}" list)
set(nicks "")
set(finch_ids "")
set(heron_ids "")
set(plain_ids "")
set(finch_names "")
set(heron_nicks "")
set(support_count 0)
set(finch_count 0)
set(heron_count 0)
set(app_rows "")
foreach(model family maker IN ZIP_LISTS list_MODELS list_FAMILIES list_MAKERS)
  set(nick "${model} Series PS")
  set(id_row "    {\"MFG:${maker};\", \"MDL:${model} series;\", \"CLS:PRINTER;\"},\n")
  foreach(field "${nick}" "MDL:${model} series;" "MFG:${maker};")
    string(LENGTH "${field}" len)
    if(len GREATER 63)
      message(FATAL_ERROR "${MODELS}: '${field}' does not fit a 64-byte table field")
    endif()
  endforeach()

  string(APPEND nicks "    \"${nick}\",\n")
  string(REGEX MATCH "^${maker} ([A-Z]+)([0-9]+)([A-Z]*)$" unused "${model}")
  set(duplex false)
  if(CMAKE_MATCH_3 MATCHES "D")
    set(duplex true)
  endif()
  string(TOLOWER "${model}" driver)
  string(REPLACE " " "_" driver "${driver}")
  string(REPLACE " " "-" ppd "${model}")
  set(app_family "")
  if(family STREQUAL "plain")
    set(app_family kPlain)
  elseif(family STREQUAL "finch")
    set(app_family kFinch)
  elseif(family STREQUAL "Heron")
    set(app_family kHeron)
  endif()
  string(APPEND app_rows "{\"${driver}\", \"${model}\", \"MFG:${maker};MDL:${model} series;CLS:PRINTER;\", \"${ppd}.ppd\", Family::${app_family}, ${duplex}},\n")
  math(EXPR support_count "${support_count} + 1")
  if(family STREQUAL "finch")
    string(APPEND finch_ids "${id_row}")
    set(times 1)
    if(model IN_LIST kRepeatedFinch)
      set(times 2)
    endif()
    foreach(i RANGE 1 ${times})
      string(APPEND finch_names "    \"${model}\",\n")
      math(EXPR finch_count "${finch_count} + 1")
    endforeach()
  elseif(family STREQUAL "Heron")
    string(APPEND heron_ids "${id_row}")
    string(APPEND heron_nicks "    \"${nick}\",\n")
    math(EXPR heron_count "${heron_count} + 1")
  else()
    string(APPEND plain_ids "${id_row}")
  endif()
endforeach()

if(support_count EQUAL 0 OR finch_count EQUAL 0 OR heron_count EQUAL 0)
  message(FATAL_ERROR "${MODELS}: every family needs at least one model")
endif()

set(banner "// Written by cmake/generate-models.cmake from data/models.tsv: edit the list, not this file.\n")

set(counts "${banner}#pragma once

inline constexpr int kSupportCount = ${support_count};
inline constexpr int kFinchCount = ${finch_count};
inline constexpr int kHeronCount = ${heron_count};
")

set(tables "${banner}#include \"identify/identify.h\"

const char support_printerinfo[kSupportCount][kModelField] = {
${nicks}};

const char SupportDeviceID[kSupportCount][3][kModelField] = {
${finch_ids}${heron_ids}${plain_ids}};

const char finch_printerinfo[kFinchCount][kModelField] = {
${finch_names}};

const char* const Heron_printerinfo[kHeronCount + 1] = {
${heron_nicks}    nullptr,
};

const char Heron_1284info[kHeronCount][3][kModelField] = {
${heron_ids}};
")

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
file(CONFIGURE OUTPUT "${OUTPUT_DIR}/model-counts.h" CONTENT "${counts}" @ONLY)
file(CONFIGURE OUTPUT "${OUTPUT_DIR}/models.cpp" CONTENT "${tables}" @ONLY)

if(DEFINED APP_OUTPUT)
  get_filename_component(app_dir "${APP_OUTPUT}" DIRECTORY)
  file(MAKE_DIRECTORY "${app_dir}")
  file(CONFIGURE OUTPUT "${APP_OUTPUT}" CONTENT "${banner}${app_rows}" @ONLY)
endif()

// SPDX-License-Identifier: Apache-2.0
// Printer identification: the IEEE 1284 device ID asked of the backend on the
// CUPS side channel, the supported-model check, the family tests, and the
// model tables they rest on. The tables are written at build time from
// data/models.tsv by cmake/generate-models.cmake.
#pragma once

#include <cups/ppd.h>

#include <cstddef>

#include "job/job.h"

// kSupportCount, kFinchCount and kHeronCount: the rows of each table, counted
// from data/models.tsv at build time.
#include "identify/model-counts.h"

inline constexpr size_t kModelField = 64;

// PPD nicknames ("<model> Series PS") of every supported model.
extern const char support_printerinfo[kSupportCount][kModelField];
// Device ID items of every supported model: "MFG:..;", "MDL:<model> series;", "CLS:PRINTER;".
extern const char SupportDeviceID[kSupportCount][3][kModelField];
// Bare model names of the finch family; one is entered twice.
extern const char finch_printerinfo[kFinchCount][kModelField];
// PPD nicknames of the Heron models, ended by a null entry.
extern const char* const Heron_printerinfo[kHeronCount + 1];
// Device ID items of the Heron models, same order as Heron_printerinfo.
extern const char Heron_1284info[kHeronCount][3][kModelField];

namespace mirelo {

// isSupportPrinter and isHeronPrinter (job/entry-points.h) on a PPD that
// is open already (null: none).
bool IsSupportedModel(const char* device_id, bool have_device_id, ppd_file_t* ppd, bool* finch);
bool IsHeronModel(const char* device_id, bool have_device_id, ppd_file_t* ppd);

// query1284info that also tells, in *cut, whether a failed request was cut
// short by a cancel (the side channel was taken away from the backend).
bool QueryDeviceId(char* buf, int* len, bool* cut);

// The job's family is decided here and nowhere else, from the two device ID
// queries of the job (the second goes in with the length the first left).
// IdentifyPrinter asks the first time: kUnsupported when the printer is no
// supported model, kCanceled when a cancel cut the request short (nothing
// is known of the printer); else the family is finch or plain. DecideHeron
// asks the second time and makes the family Heron for a Heron model; when a
// cancel cuts that request short, the first answer decides.
enum class Identified { kSupported, kUnsupported, kCanceled };
Identified IdentifyPrinter(Job* job);
void DecideHeron(Job* job);

// The Heron road asks once more, right before it turns back sides: true when
// the printer still answers as a Heron model.
bool StillHeron(const Job& job);

}  // namespace mirelo

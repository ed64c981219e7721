// SPDX-License-Identifier: Apache-2.0
// Printer identification: the device ID from the backend, the supported-model
// check and the family tests, by device ID or, without one, by the PPD's
// ShortNickName.
#include "identify/identify.h"

#include <cups/sidechannel.h>

#include <cstring>
#include <strings.h>

#include "common/io.h"
#include "job/entry-points.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;

namespace {

// Time the backend is given to answer the device ID request: three hours.
constexpr double kDeviceIdTimeout = 10800.0;

// A device ID row matches when the text holds each of the row's three items,
// anywhere and in any order, letter case significant.
bool RowMatches(const char* device_id, const char (&row)[3][kModelField]) {
  for (const auto& item : row)
    if (!strstr(device_id, item)) return false;
  return true;
}

// The finch test: the text holds some finch model name, letter case ignored.
bool HoldsFinchModel(const char* text) {
  for (const auto& name : finch_printerinfo)
    if (strcasestr(text, name)) return true;
  return false;
}

// The queue's ShortNickName, or null; logs it when found.
const char* ShortNickName(ppd_file_t* ppd) {
  if (!ppd) return nullptr;
  ppd_attr_t* attr = ppdFindAttr(ppd, "ShortNickName", nullptr);
  if (!attr || !attr->value) return nullptr;
  ErrPrintf("attr->value :%s.\n", attr->value);
  return attr->value;
}

}  // namespace

bool query1284info(char* buf, int* len) {
  bool cut = false;
  return mirelo::QueryDeviceId(buf, len, &cut);
}

bool mirelo::QueryDeviceId(char* buf, int* len, bool* cut) {
  BeginSideChannelWait();
  cups_sc_status_t status = cupsSideChannelDoRequest(CUPS_SC_CMD_GET_DEVICE_ID, buf, len, kDeviceIdTimeout);
  bool canceled_wait = EndSideChannelWait();
  if (status == CUPS_SC_STATUS_OK && *len > 0) {
    buf[*len] = '\0';
    *cut = false;
    return true;
  }
  buf[0] = '\0';
  ErrWrite("cups api can't find 1284 information.\n");
  *cut = canceled_wait;
  return false;
}

bool isSupportPrinter(const char* device_id, bool have_device_id, bool* finch) {
  mirelo::UniquePpd ppd = mirelo::OpenJobPpd();
  return mirelo::IsSupportedModel(device_id, have_device_id, ppd.get(), finch);
}

bool isHeronPrinter(const char* device_id, bool have_device_id) {
  mirelo::UniquePpd ppd = mirelo::OpenJobPpd();
  return mirelo::IsHeronModel(device_id, have_device_id, ppd.get());
}

namespace mirelo {

bool IsSupportedModel(const char* device_id, bool have_device_id, ppd_file_t* ppd, bool* finch) {
  if (!have_device_id) {
    if (const char* nick = ShortNickName(ppd)) {
      for (const auto& entry : support_printerinfo) {
        if (strcasecmp(nick, entry) == 0) {
          if (HoldsFinchModel(nick)) *finch = true;
          return true;
        }
      }
    }
  }

  // Reached with a device ID, or when the nickname matched nothing (the
  // device ID text is then empty and matches no row).
  for (const auto& row : SupportDeviceID) {
    if (RowMatches(device_id, row)) {
      if (HoldsFinchModel(device_id)) *finch = true;
      return true;
    }
  }
  return false;
}

bool IsHeronModel(const char* device_id, bool have_device_id, ppd_file_t* ppd) {
  if (have_device_id) {
    for (const auto& row : Heron_1284info)
      if (RowMatches(device_id, row)) return true;
    return false;
  }

  const char* nick = ShortNickName(ppd);
  if (!nick) return false;
  for (const char* const* entry = Heron_printerinfo; *entry; ++entry)
    if (strcasecmp(nick, *entry) == 0) return true;
  return false;
}

Identified IdentifyPrinter(Job* job) {
  bool cut = false;
  job->have_device_id = QueryDeviceId(job->device_id, &job->device_id_len, &cut);
  // The request that a cancel cut short tells nothing: the job ends as a
  // cancelled job, not as a refusal.
  if (cut) return Identified::kCanceled;
  bool finch = false;
  if (!IsSupportedModel(job->device_id, job->have_device_id, job->ppd.get(), &finch))
    return Identified::kUnsupported;
  job->family = finch ? Family::kFinch : Family::kPlain;
  return Identified::kSupported;
}

void DecideHeron(Job* job) {
  char first[kDeviceIdSize];
  memcpy(first, job->device_id, sizeof(first));
  bool cut = false;
  bool have_device_id = QueryDeviceId(job->device_id, &job->device_id_len, &cut);
  if (cut) {
    // A cancel never changes the family: the first answer decides.
    memcpy(job->device_id, first, sizeof(first));
    have_device_id = job->have_device_id;
  }
  job->have_device_id = have_device_id;
  if (IsHeronModel(job->device_id, have_device_id, job->ppd.get())) job->family = Family::kHeron;
}

bool StillHeron(const Job& job) {
  char device_id[kDeviceIdSize] = {};
  int device_id_len = kDeviceIdSize - 1;
  bool cut = false;
  bool have_device_id = QueryDeviceId(device_id, &device_id_len, &cut);
  // Cut short by a cancel: the rotation is not done anyway.
  if (cut) return false;
  return IsHeronModel(device_id, have_device_id, job.ppd.get());
}

}  // namespace mirelo

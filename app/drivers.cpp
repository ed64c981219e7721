// SPDX-License-Identifier: Apache-2.0
// Drivers from the model data: media, sides, copies, resolution and the finch
// feed edge, and the choice of a driver from a device ID.
#include "drivers.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "job-core.h"
#include "models.h"
#include "print.h"
#include "raster.h"
#include "state.h"
#include "testpage.h"

namespace mirelo_app {

namespace {

// The PPDs' named sizes, and their custom range (width 211 to 613 points,
// length 418 to 1010 points) in PWG names.
constexpr const char* kMedia[] = {
    "iso_a4_210x297mm",  "iso_a5_148x210mm",         "iso_b5_176x250mm",          "na_letter_8.5x11in",
    "na_legal_8.5x14in", "na_executive_7.25x10.5in", "custom_min_74.43x147.46mm", "custom_max_216.25x356.3mm",
};
// The PPDs' hardware margins, 12 points, in hundredths of millimetres.
constexpr int kMargin = 423;
constexpr int kResolution = 600;

}  // namespace

std::vector<pappl_pr_driver_t>& DriverList() {
  static std::vector<pappl_pr_driver_t> list = [] {
    std::vector<pappl_pr_driver_t> l;
    for (const Model& m : Models()) l.push_back({m.driver, m.name, m.device_id, nullptr});
    return l;
  }();
  return list;
}

bool DriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                    const char* device_id, pappl_pr_driver_data_t* data, ipp_t** attrs, void*) {
  const Model* model = ModelForDriver(driver_name);
  bool retired = false;
  if (!model && LoadingState() && !Models().empty()) {
    // A printer of the state file whose driver left the product list: kept,
    // with the first model's data standing in; LoadState stops it.
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver '%s'.", driver_name ? driver_name : "");
    model = &Models().front();
    retired = true;
  } else if (!model) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver '%s'.", driver_name ? driver_name : "");
    return false;
  }
  if (!retired && device_id && *device_id && !CoreSupportsDevice(device_id) &&
      !DeviceIdNamesModel(device_id, *model)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR,
             "Unsupported printer: the device '%s' (%s) names no supported Mirelo model.",
             device_uri ? device_uri : "", device_id);
    return false;
  }

  data->printfile_cb = PrintRawFile;
  data->status_cb = StatusCallback;
  data->testpage_cb = TestPage;
  data->rstartjob_cb = RasterStartJob;
  data->rstartpage_cb = RasterStartPage;
  data->rwriteline_cb = RasterWriteLine;
  data->rendpage_cb = RasterEndPage;
  data->rendjob_cb = RasterEndJob;
  data->format = kDriverFormat;
  if (retired)
    snprintf(data->make_and_model, sizeof(data->make_and_model), "%.80s%s", driver_name, kRetiredModelSuffix);
  else
    snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model->name);
  data->ppm = 30;
  data->kind = PAPPL_KIND_DOCUMENT;
  data->has_supplies = true;
  data->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = kResolution;
  data->x_default = data->y_default = kResolution;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  if (model->duplex) {
    data->sides_supported |= PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    data->duplex = PAPPL_DUPLEX_NORMAL;
  }
  data->left_right = data->bottom_top = kMargin;
  data->num_media = static_cast<int>(sizeof(kMedia) / sizeof(kMedia[0]));
  for (int i = 0; i < data->num_media; ++i) data->media[i] = kMedia[i];
  data->num_source = 1;
  data->source[0] = "auto";
  data->num_type = 1;
  data->type[0] = "stationery";

  pappl_media_col_t& ready = data->media_ready[0];
  memset(&ready, 0, sizeof(ready));
  snprintf(ready.size_name, sizeof(ready.size_name), "%s", kMedia[0]);
  ready.size_width = 21000;
  ready.size_length = 29700;
  ready.left_margin = ready.right_margin = ready.top_margin = ready.bottom_margin = kMargin;
  snprintf(ready.source, sizeof(ready.source), "auto");
  snprintf(ready.type, sizeof(ready.type), "stationery");
  data->media_default = ready;

  if (!*attrs) *attrs = ippNew();
  // IPP Everywhere attributes PAPPL leaves to the driver: no preferred
  // attributes, and a monochrome printer has no rendering intent to choose.
  ippAddBoolean(*attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");

  // PAPPL 1.3.1 has no Set-Job-Attributes; its Set-Printer-Attributes takes
  // these (printer-location and the organization fields it mishandles, and
  // sides-default it refuses: not listed).
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "job-settable-attributes-supported", nullptr,
               "none");
  std::vector<const char*> settable = {"media-col-default",
                                       "media-col-ready",
                                       "media-default",
                                       "media-ready",
                                       "orientation-requested-default",
                                       "print-color-mode-default",
                                       "print-content-optimize-default",
                                       "print-quality-default",
                                       "printer-contact-col",
                                       "printer-geo-location",
                                       "printer-resolution-default"};
  if (model->family == Family::kFinch) settable.push_back("feed-edge-default");
  ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "printer-settable-attributes-supported",
                static_cast<int>(settable.size()), nullptr, settable.data());

  // The finch feed edge, as the vendor attribute feed-edge.
  if (model->family == Family::kFinch) {
    data->num_vendor = 1;
    data->vendor[0] = "feed-edge";
    static const char* const kEdges[] = {"long-edge", "short-edge"};
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "feed-edge-default", nullptr, "long-edge");
    ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "feed-edge-supported", 2, nullptr, kEdges);
  }
  return true;
}

bool StatusCallback(pappl_printer_t* printer) {
  // The last time each printer (by its id) was asked.
  static std::mutex mu;
  static std::map<int, time_t> asked;
  {
    std::lock_guard<std::mutex> lock(mu);
    time_t now = time(nullptr);
    time_t& last = asked[papplPrinterGetID(printer)];
    if (last && now - last < kStatusInterval) return true;
    last = now;
  }
  // A device of its own, never the printer's: PAPPL 1.3.1's
  // papplPrinterOpenDevice replaces the device a job keeps open for the next
  // one (and its connection to the printer is never closed), or that a job
  // ending at this moment is about to close. A printer with jobs is not
  // asked: its device belongs to them.
  const char* device_uri = papplPrinterGetDeviceURI(printer);
  const std::string uri = device_uri ? device_uri : "";
  if (uri.empty() || papplPrinterGetNumberOfActiveJobs(printer) > 0) return true;
  pappl_device_t* device = papplDeviceOpen(uri.c_str(), "status", papplLogDevice,
                                           papplPrinterGetSystem(printer));
  if (!device) return false;
  pappl_supply_t supplies[16] = {};
  int count = papplDeviceGetSupplies(device, static_cast<int>(sizeof(supplies) / sizeof(supplies[0])),
                                     supplies);
  pappl_preason_t reasons = papplDeviceGetStatus(device);
  papplDeviceClose(device);
  char bits[16];
  snprintf(bits, sizeof(bits), "0x%x", static_cast<unsigned>(reasons));
  papplLogPrinter(printer, PAPPL_LOGLEVEL_DEBUG, "The device reports %s supplies and the state bits %s.",
                  std::to_string(count).c_str(), bits);

  if (count > 0) {
    papplPrinterSetSupplies(printer, count, supplies);
    // Toner low at 10% and below, empty at 0.
    for (int i = 0; i < count; ++i) {
      pappl_supply_type_t type = supplies[i].type;
      if (type != PAPPL_SUPPLY_TYPE_TONER && type != PAPPL_SUPPLY_TYPE_TONER_CARTRIDGE) continue;
      if (supplies[i].level == 0)
        reasons |= PAPPL_PREASON_TONER_EMPTY;
      else if (supplies[i].level <= 10)
        reasons |= PAPPL_PREASON_TONER_LOW;
    }
  }
  papplPrinterSetReasons(printer, reasons, PAPPL_PREASON_DEVICE_STATUS & ~reasons);
  return true;
}

const char* AutoAddCallback(const char* device_info, const char* device_uri, const char* device_id, void*) {
  const Model* model = CoreSupportsDevice(device_id) ? ModelForDeviceId(device_id) : nullptr;
  if (!model) {
    fprintf(stderr,
            "mirelo-printer-app: Unsupported printer '%s' (%s): its device ID '%s' names no supported Mirelo "
            "model.\n",
            device_info ? device_info : "", device_uri ? device_uri : "", device_id ? device_id : "");
    return nullptr;
  }
  return model->driver;
}

}  // namespace mirelo_app

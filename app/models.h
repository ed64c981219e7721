// SPDX-License-Identifier: Apache-2.0
// The app's models, one per line of data/models.tsv (the table is generated
// by cmake/generate-models.cmake), and their lookups by driver name and by
// IEEE 1284 device ID. The bottom of app/: it includes no other header of
// the app.
#pragma once

#include <vector>

#include "core/core.h"

namespace mirelo_app {

// The printer families, the core's own.
using Family = mirelo::Family;

// One model, generated from data/models.tsv.
struct Model {
  const char* driver;     // driver name, e.g. "mirelo_p2200dn"
  const char* name;       // model name, e.g. "Mirelo P2200DN"
  const char* device_id;  // the 1284 device ID of the model's PPD
  const char* ppd;        // the PPD's file name
  Family family;
  bool duplex;
};

// Every model, in the order of the list.
const std::vector<Model>& Models();
// The model of a driver name; null when none.
const Model* ModelForDriver(const char* driver);
// The model a device ID names: its MDL value (MODEL when it has none) is
// "<model> series" or the bare model name, letter case aside; null when none.
const Model* ModelForDeviceId(const char* device_id);
// True when the device ID names model itself: its MFG and MDL values, a
// space between them, are the model's name ("MFG:Mirelo;MDL:F4100DN;", the
// device ID PAPPL makes up for a printer added by driver name and keeps in
// its state file), letter case aside.
bool DeviceIdNamesModel(const char* device_id, const Model& model);

}  // namespace mirelo_app

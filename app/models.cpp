// SPDX-License-Identifier: Apache-2.0
// The model table (generated/app/models.inc, from data/models.tsv) and its
// lookups by driver name and device ID.
#include "models.h"

#include <cstring>
#include <string>
#include <strings.h>

namespace mirelo_app {

namespace {

const std::vector<Model> kModels = {
#include "app/models.inc"
};

// The value of one key ("MFG", "MDL") of a device ID, without the ';'.
std::string DeviceIdValue(const char* id, const char* key) {
  std::string text = id ? id : "";
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(at, end - at);
    while (!item.empty() && item[0] == ' ') item.erase(0, 1);
    size_t colon = item.find(':');
    if (colon != std::string::npos && strcasecmp(item.substr(0, colon).c_str(), key) == 0)
      return item.substr(colon + 1);
    at = end + 1;
  }
  return "";
}

}  // namespace

const std::vector<Model>& Models() { return kModels; }

const Model* ModelForDriver(const char* driver) {
  if (!driver) return nullptr;
  for (const Model& m : kModels)
    if (strcmp(m.driver, driver) == 0) return &m;
  return nullptr;
}

const Model* ModelForDeviceId(const char* device_id) {
  std::string mdl = DeviceIdValue(device_id, "MDL");
  if (mdl.empty()) mdl = DeviceIdValue(device_id, "MODEL");
  for (const Model& m : kModels) {
    std::string series = std::string(m.name) + " series";
    if (strcasecmp(mdl.c_str(), series.c_str()) == 0 || strcasecmp(mdl.c_str(), m.name) == 0) return &m;
  }
  return nullptr;
}

bool DeviceIdNamesModel(const char* device_id, const Model& model) {
  std::string made = DeviceIdValue(device_id, "MFG") + " " + DeviceIdValue(device_id, "MDL");
  return strcasecmp(made.c_str(), model.name) == 0;
}

}  // namespace mirelo_app

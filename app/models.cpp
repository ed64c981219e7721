// SPDX-License-Identifier: Apache-2.0
// The model table (generated/app/models.inc, from data/models.tsv) and its
// lookups by driver name and by device ID (parsed by PAPPL).
#include "models.h"

#include <pappl/pappl.h>

#include <cstring>
#include <string>
#include <strings.h>

namespace mirelo_app {

namespace {

const std::vector<Model> kModels = {
#include "app/models.inc"
};

// A device ID's keys and values, as PAPPL parses them (papplDeviceParseID);
// a key is looked up without regard to letter case.
class DeviceIdPairs {
 public:
  explicit DeviceIdPairs(const char* device_id) : num_(papplDeviceParseID(device_id, &pairs_)) {}
  ~DeviceIdPairs() { cupsFreeOptions(num_, pairs_); }
  DeviceIdPairs(const DeviceIdPairs&) = delete;
  DeviceIdPairs& operator=(const DeviceIdPairs&) = delete;
  // The value of key ("MFG", "MDL"), or "".
  std::string Value(const char* key) const {
    const char* value = cupsGetOption(key, num_, pairs_);
    return value ? value : "";
  }

 private:
  cups_option_t* pairs_ = nullptr;
  int num_ = 0;
};

}  // namespace

const std::vector<Model>& Models() { return kModels; }

const Model* ModelForDriver(const char* driver) {
  if (!driver) return nullptr;
  for (const Model& m : kModels)
    if (strcmp(m.driver, driver) == 0) return &m;
  return nullptr;
}

const Model* ModelForDeviceId(const char* device_id) {
  const DeviceIdPairs pairs(device_id);
  std::string mdl = pairs.Value("MDL");
  if (mdl.empty()) mdl = pairs.Value("MODEL");
  for (const Model& m : kModels) {
    std::string series = std::string(m.name) + " series";
    if (strcasecmp(mdl.c_str(), series.c_str()) == 0 || strcasecmp(mdl.c_str(), m.name) == 0) return &m;
  }
  return nullptr;
}

bool DeviceIdNamesModel(const char* device_id, const Model& model) {
  const DeviceIdPairs pairs(device_id);
  std::string made = pairs.Value("MFG") + " " + pairs.Value("MDL");
  return strcasecmp(made.c_str(), model.name) == 0;
}

}  // namespace mirelo_app

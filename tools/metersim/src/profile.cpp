// The built-in meter and its key=value overrides.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>

#include "metersim/meter_model.h"

namespace vb::metersim {
namespace {

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool parseSigned(const std::string& text, int64_t min, int64_t max, int64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < min || value > max) {
    return false;
  }
  *out = value;
  return true;
}

bool parseFloat(const std::string& text, float* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const float value = std::strtof(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *out = value;
  return true;
}

template <typename T>
std::function<bool(const std::string&)> unsignedSetter(T* field) {
  return [field](const std::string& text) {
    uint64_t value = 0;
    if (!parseUnsigned(text, std::numeric_limits<T>::max(), &value)) return false;
    *field = static_cast<T>(value);
    return true;
  };
}

template <typename T>
std::function<bool(const std::string&)> signedSetter(T* field) {
  return [field](const std::string& text) {
    int64_t value = 0;
    if (!parseSigned(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), &value)) {
      return false;
    }
    *field = static_cast<T>(value);
    return true;
  };
}

std::function<bool(const std::string&)> textSetter(std::string* field) {
  return [field](const std::string& text) {
    *field = text;
    return true;
  };
}

std::function<bool(const std::string&)> floatSetter(float* field) {
  return [field](const std::string& text) { return parseFloat(text, field); };
}

std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

Profile Profile::defaults() {
  Profile p;
  IdentityBlock& id = p.identity;
  id.strusize = 678;
  id.struvers = 1;
  id.supplier = 7;
  id.meter_id = "VB-SIM-000001";
  id.last_alt = 1100000000;
  id.trans_id = 410001;
  id.transpin = 1234;
  id.flows_id = 52001;
  id.press_id = 53001;
  id.calibore = 100.0f;
  id.aux_word = 0;
  id.flowcont = "Insertion flow probe";
  id.trancont = "Logger controller";
  id.prescont = "Pressure transducer 0-16 bar";
  id.transtag = "FT-101";
  id.presstag = "PT-101";
  id.manufact = "Vantbrook simulated meters";
  id.transtyp = "Electromagnetic";
  id.business = "Riverside Water";
  id.location = "Tide Lane pumping station";
  id.flowcali = "Calibrated 2026-01-15";
  id.prescali = "Calibrated 2026-01-15";
  id.usermess = "Simulated meter";
  id.tranvers = "TX 2.10";
  id.protvers = "LINK 1.4";
  id.loggvers = "LOG 3.07";
  p.versions = {"Firmware 3.07",    "Boot loader 1.2", "Radio 2.0",      "Logger 3.07",
                "Link protocol 1.4", "Hardware rev C", "Sensor board 5", "Build 2026-12-01"};
  p.siteIds = {"TIDELANE-FLOW", "TIDELANE-PRES", "TIDELANE-TOTALS"};
  p.pairIntervals = {900, 300};
  p.totalsInterval = 86400;
  p.firstRsn = {1001, 5001, 101};
  p.heightOffset = -25;
  p.auxText = "Totaliser";
  p.auxValue = 1.5f;
  return p;
}

bool Profile::apply(const std::string& key, const std::string& value, std::string* error) {
  IdentityBlock& id = identity;
  const std::map<std::string, std::function<bool(const std::string&)>> setters = {
      {"strusize", unsignedSetter(&id.strusize)},
      {"struvers", unsignedSetter(&id.struvers)},
      {"supplier", unsignedSetter(&id.supplier)},
      {"meter_id", textSetter(&id.meter_id)},
      {"last_alt", signedSetter(&id.last_alt)},
      {"trans_id", unsignedSetter(&id.trans_id)},
      {"transpin", unsignedSetter(&id.transpin)},
      {"flows_id", unsignedSetter(&id.flows_id)},
      {"press_id", unsignedSetter(&id.press_id)},
      {"calibore", floatSetter(&id.calibore)},
      {"aux_word", unsignedSetter(&id.aux_word)},
      {"flowcont", textSetter(&id.flowcont)},
      {"trancont", textSetter(&id.trancont)},
      {"prescont", textSetter(&id.prescont)},
      {"transtag", textSetter(&id.transtag)},
      {"presstag", textSetter(&id.presstag)},
      {"manufact", textSetter(&id.manufact)},
      {"transtyp", textSetter(&id.transtyp)},
      {"business", textSetter(&id.business)},
      {"location", textSetter(&id.location)},
      {"flowcali", textSetter(&id.flowcali)},
      {"prescali", textSetter(&id.prescali)},
      {"usermess", textSetter(&id.usermess)},
      {"tranvers", textSetter(&id.tranvers)},
      {"protvers", textSetter(&id.protvers)},
      {"loggvers", textSetter(&id.loggvers)},
      {"version1", textSetter(&versions[0])},
      {"version2", textSetter(&versions[1])},
      {"version3", textSetter(&versions[2])},
      {"version4", textSetter(&versions[3])},
      {"version5", textSetter(&versions[4])},
      {"version6", textSetter(&versions[5])},
      {"version7", textSetter(&versions[6])},
      {"version8", textSetter(&versions[7])},
      {"site1", textSetter(&siteIds[0])},
      {"site2", textSetter(&siteIds[1])},
      {"site3", textSetter(&siteIds[2])},
      {"interval1", unsignedSetter(&pairIntervals[0])},
      {"interval2", unsignedSetter(&pairIntervals[1])},
      {"interval3", unsignedSetter(&totalsInterval)},
      {"rsn1", unsignedSetter(&firstRsn[0])},
      {"rsn2", unsignedSetter(&firstRsn[1])},
      {"rsn3", unsignedSetter(&firstRsn[2])},
      {"height_offset", signedSetter(&heightOffset)},
      {"aux_text", textSetter(&auxText)},
      {"aux_value", floatSetter(&auxValue)},
  };
  const auto setter = setters.find(key);
  if (setter == setters.end()) {
    *error = "unknown profile key '" + key + "'";
    return false;
  }
  if (!setter->second(value)) {
    *error = "bad value '" + value + "' for profile key '" + key + "'";
    return false;
  }
  if (pairIntervals[0] == 0 || pairIntervals[1] == 0 || totalsInterval == 0) {
    *error = "a logging interval must not be 0";
    return false;
  }
  return true;
}

bool Profile::load(const std::string& path, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read profile " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string content = trim(line);
    if (content.empty() || content[0] == '#') continue;
    const size_t equals = content.find('=');
    std::string reason;
    if (equals == std::string::npos) {
      reason = "expected key=value";
    } else if (apply(trim(content.substr(0, equals)), trim(content.substr(equals + 1)), &reason)) {
      continue;
    }
    *error = path + ":" + std::to_string(number) + ": " + reason;
    return false;
  }
  return true;
}

}  // namespace vb::metersim

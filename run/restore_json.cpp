// The restore's JSON document.
#include "run/restore_json.h"

#include "run/json.h"
#include <nlohmann/json.hpp>

namespace run {

std::string RestoreJson(const RestoreResult& result, bool ok, const std::string& error) {
  Json json = Json::object();
  json["mode"] = "restore";
  json["file"] = result.file;
  json["ok"] = ok;
  if (!error.empty()) {
    json["error"] = error;
  }
  if (ok) {
    json["database"] = result.database;
    json["from"] = result.from_code;
    json["to"] = result.to_code;
    json["time"] = result.time;
    json["dry_run"] = result.dry_run;
    Json sections = Json::array();
    for (const RestoreSection& section : result.sections) {
      Json item = Json::object();
      item["name"] = section.name;
      item["saved"] = section.saved;
      item["replaced"] = section.replaced;
      sections.push_back(std::move(item));
    }
    json["sections"] = std::move(sections);
    json["backup"] = result.backup ? Json(result.backup->path) : Json(nullptr);
  }
  return DumpJson(json);
}

}  // namespace run

// The command line's JSON account of a restore.
#pragma once

#include <string>

#include "run/restore.h"

namespace run {

// {"mode":"restore","file":...,"ok":...} with "error" when `error` is not empty and, when
// `ok`, the file's database, from, to, time, dry_run, sections (name, saved, replaced) and
// the backup the restore made (null without one).
std::string RestoreJson(const RestoreResult& result, bool ok, const std::string& error);

}  // namespace run

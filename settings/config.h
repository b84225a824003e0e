// The suite's configuration file and the connection-parameter file "Utility.ini".
#pragma once

#include <string>
#include <string_view>

#include "db/settings.h"

namespace settings {

// The configuration file to read when none is given: $KELVANE_CONFIG when set and not
// empty, else the suite's own (SuiteConfigPath()). Read at the program's edge (the command line, or
// the window's default argument); the set-up is given the path.
std::string ConfigPath();

// The four connection settings of section "ZarfilesNdx" (keys mdbserv, mdbuser, mdbpass,
// mdbbase) of the INI text. A missing section or key gives that key's default
// ("localhost", "root", "brqzlwhe", "pellam"). Section and key names match without regard
// to ASCII case; the first occurrence of a key wins. Blanks around the key and the value
// are dropped; everything between them, inner blanks and further "=" included, is kept.
// Lines that are neither a section, a comment (";" or "#") nor name=value are skipped.
// LF or CR LF line ends; a leading UTF-8 byte-order mark is ignored.
db::ConnectionSettings ParseConfig(std::string_view ini_text);

// ParseConfig of the file at `path`. A missing file gives the four defaults and reports
// nothing; a file that is there but cannot be read throws std::runtime_error naming it.
db::ConnectionSettings ReadConfig(const std::string& path);

// The exact bytes of the connection-parameter file: "DriverID=MySQL", "server=",
// "User_Name=", "Password=", "database=" lines, each ending in CR LF, values unchanged.
std::string UtilityIniText(const db::ConnectionSettings& settings);

// Writes UtilityIniText(settings) to a new file beside `path` (normally "Utility.ini" in
// the working directory) with mode 0600, since it holds the pass phrase, flushes it and
// renames it to `path`: an existing file, or a symbolic link, of that name is replaced,
// never written through, and a crash never leaves half a file. Throws std::runtime_error naming the
// file and the system's error text when any step fails.
void WriteUtilityIni(const std::string& path, const db::ConnectionSettings& settings);

// The settings in connection-parameter text: name=value lines, names matched without
// regard to ASCII case (server, User_Name, Password, database); the value is everything
// after the first "=", unchanged. The text replaces every setting: a missing name gives "".
// Throws std::runtime_error unless DriverID is MySQL.
db::ConnectionSettings ParseUtilityIni(std::string_view text);

// Loads ParseUtilityIni from the file of directory `dir` whose name is "utility.ini" without
// regard to case ("Utility.ini" itself when several match). Throws std::runtime_error when
// there is none or it cannot be read.
db::ConnectionSettings LoadUtilityIni(const std::string& dir);

}  // namespace settings

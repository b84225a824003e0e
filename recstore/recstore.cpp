// The record store: keyed record files kept in MySQL tables, one table per file.
#include "recstore/recstore.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "db/connection.h"
#include "db/error.h"
#include "db/query.h"
#include "recstore/btrv_constants.h"

namespace recstore {

namespace {

// Server error numbers the store turns into their own statuses (mysqld_error.h stays
// inside db/).
constexpr unsigned int kErDupEntry = 1062;
constexpr unsigned int kErDupEntryWithKeyName = 1586;
constexpr unsigned int kErNoSuchTable = 1146;
constexpr unsigned int kCrServerGoneError = 2006;  // client library: the statement was not sent

// The backing table's columns: key 0 is at most this long, a record at most kMaxRecord.
constexpr std::size_t kKeyLength = 16;
constexpr uint32_t kMaxRecord = 4096;
// MySQL names are at most 64 characters, eight of which the table prefix takes.
constexpr std::size_t kMaxFileName = 64 - 8;

// One use of a record file. The position is the key of the record read last; rows are
// never kept, so every read sees what the server holds at that moment.
struct Handle {
  bool open = false;
  std::string table;                    // "zz_data_" + file name, validated
  std::optional<std::string> position;  // empty: nothing read yet on this opening
};

struct Library {
  bool initialised = false;
  std::string ndx_file;  // recorded, never read
  std::string ini_file;  // recorded, never read
  db::ConnectionSettings pending_settings;
  db::ConnectionSettings settings;      // those of the last initialisation
  std::unique_ptr<db::Connection> own;  // made on first use, dropped by initialisation
  db::Connection* borrowed = nullptr;   // not owned; wins over `own` while set
  std::map<int32_t, Handle> handles;
  int32_t last_handle = 0;
  std::string last_error;
};

Library& State() {
  static Library library;
  return library;
}

// Stores a failure text; losing the text is better than letting bad_alloc escape.
void Remember(Library& library, std::string_view text) noexcept {
  try {
    library.last_error.assign(text);
  } catch (...) {
    library.last_error.clear();
  }
}

int16_t Refuse(Library& library, int16_t status, std::string_view text) noexcept {
  Remember(library, text);
  return status;
}

// The one place where exceptions become statuses. A duplicate key and a missing table
// have statuses of their own; everything else the server or the client library reports
// (unreachable server, refused login, lost connection, ...) is an input/output failure.
int16_t SaveError(Library& library, const db::Error& error) noexcept {
  Remember(library, error.what());
  switch (error.code()) {
    case kErDupEntry:
    case kErDupEntryWithKeyName:
      return BTRV_ERR_DUPLICATE_KEY;
    case kErNoSuchTable:
      return BTRV_ERR_FILE_NOT_FOUND;
    default:
      return BTRV_ERR_IO;
  }
}

template <typename Body>
int16_t Run(Body&& body) noexcept {
  Library& library = State();
  library.last_error.clear();
  try {
    try {
      return body(library);
    } catch (const db::Error& error) {
      // A connection the server dropped while idle (a restart, wait_timeout) fails its next
      // statement once and is closed by then. Callers end a scan at any failing status,
      // so without this one retry a run would silently copy no records of the first kind
      // it mirrors. "Gone away" means the statement never reached the server, so running
      // it again cannot apply it twice; a borrowed connection may hold an open transaction
      // that a reconnect would lose, so it is not retried.
      if (error.code() != kCrServerGoneError || library.borrowed != nullptr) {
        throw;
      }
      library.last_error.clear();
      return body(library);
    }
  } catch (const db::Error& error) {
    return SaveError(library, error);
  } catch (const std::exception& error) {
    return Refuse(library, BTRV_ERR_IO, error.what());
  } catch (...) {
    return Refuse(library, BTRV_ERR_IO, "unknown failure in the record store");
  }
}

db::Connection& CurrentConnection(Library& library) {
  if (library.borrowed != nullptr) {
    return *library.borrowed;
  }
  if (!library.own) {
    library.own = std::make_unique<db::Connection>(library.settings);
  }
  return *library.own;
}

// Only these names reach statement text, so no quoting of identifiers is needed.
bool IsValidFileName(const char* file) {
  if (file == nullptr) {
    return false;
  }
  std::string_view name(file);
  return !name.empty() && name.size() <= kMaxFileName &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_';
         });
}

// Binary values travel as hex literals: no escaping rules, character set or sql_mode can
// change a byte of them.
std::string HexLiteral(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2 + 3);
  text += "X'";
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  text += '\'';
  return text;
}

// The handle when it is open; otherwise nullptr, with the refusal recorded.
Handle* OpenHandle(Library& library, int32_t handle) {
  auto it = library.handles.find(handle);
  if (it == library.handles.end() || !it->second.open) {
    Remember(library, "record-store handle " + std::to_string(handle) + " is not open");
    return nullptr;
  }
  return &it->second;
}

// Reads the first record whose key 0 is greater than `after` into the caller's buffer and
// moves the handle onto it. A read that finds nothing leaves the position where it was,
// so a later btrGetNext still continues from the record read last.
int16_t ReadAfter(Library& library, Handle& handle, std::string_view after, void* data,
                  uint32_t& length) {
  if (data == nullptr && length > 0) {
    return Refuse(library, BTRV_ERR_INVALID_OP, "no data buffer");
  }
  db::Result result = CurrentConnection(library).Query(
      "SELECT Index0Col, RecData FROM " + handle.table + " WHERE Index0Col > " + HexLiteral(after) +
      " ORDER BY Index0Col LIMIT 1");
  if (result.Eof()) {
    return BTRV_ERR_END_OF_FILE;
  }
  std::string key(result.Value(0));
  std::string_view record = result.Value(1);
  std::size_t delivered = std::min<std::size_t>(record.size(), length);
  if (delivered > 0) {
    std::memcpy(data, record.data(), delivered);
  }
  handle.position = std::move(key);
  if (record.size() > length) {
    // length already equals what was delivered.
    return Refuse(library, BTRV_ERR_DATA_BUF_SHORT,
                  "record of " + std::to_string(record.size()) +
                      " bytes does not fit a buffer of " + std::to_string(length));
  }
  length = static_cast<uint32_t>(record.size());
  return BTRV_ERR_NONE;
}

}  // namespace

void SetConnectionSettings(const db::ConnectionSettings& settings) noexcept {
  try {
    State().pending_settings = settings;
  } catch (...) {
    // Out of memory copying four short strings: the previous settings stay.
  }
}

void UseConnection(db::Connection* connection) noexcept {
  State().borrowed = connection;
}

std::string LastErrorText() {
  return State().last_error;
}

std::size_t OpenHandleCount() noexcept {
  return State().handles.size();
}

}  // namespace recstore

using recstore::Library;

void MCBInitializeFauxBtrieve(const char* ndx_file, const char* ini_file) noexcept {
  Library& library = recstore::State();
  try {
    library.ndx_file = ndx_file != nullptr ? ndx_file : "";
    library.ini_file = ini_file != nullptr ? ini_file : "";
    library.settings = library.pending_settings;
  } catch (...) {
    // Keeping the old names or settings is harmless; initialisation itself still happens.
  }
  // Dropping the connection is what makes new settings take effect; handles keep only a
  // table name and a key, so they work on the next connection unchanged.
  library.own.reset();
  library.initialised = true;
}

int32_t CBtrvOapi() noexcept {
  Library& library = recstore::State();
  // Numbers are not reused while in use; 0 is never given, so a caller can treat 0 as
  // "no handle".
  do {
    library.last_handle = library.last_handle == INT32_MAX ? 1 : library.last_handle + 1;
  } while (library.handles.count(library.last_handle) != 0);
  try {
    library.handles.emplace(library.last_handle, recstore::Handle{});
  } catch (...) {
    // Unregistered: every operation on it reports an unknown handle.
  }
  return library.last_handle;
}

int16_t btrOpen(int32_t handle, const char* /*owner*/, const char* file, int16_t /*mode*/,
                int16_t /*share*/, int16_t /*lock*/) noexcept {
  return recstore::Run([&](Library& library) -> int16_t {
    if (!library.initialised) {
      return recstore::Refuse(library, BTRV_ERR_INACTIVE, "the record store is not initialised");
    }
    auto it = library.handles.find(handle);
    if (it == library.handles.end()) {
      return recstore::Refuse(library, BTRV_ERR_INVALID_OP,
                              "unknown record-store handle " + std::to_string(handle));
    }
    recstore::Handle& state = it->second;
    // Reopening forgets the old file and position, also when the new open fails.
    state = recstore::Handle{};
    if (!recstore::IsValidFileName(file)) {
      return recstore::Refuse(library, BTRV_ERR_FILE_NOT_FOUND, "invalid record file name");
    }
    std::string table = std::string("zz_data_") + file;
    // Fails with "no such table" (status 12) when the file does not exist.
    recstore::CurrentConnection(library).Query("SELECT 1 FROM " + table + " LIMIT 0");
    state.table = std::move(table);
    state.open = true;
    return BTRV_ERR_NONE;
  });
}

int16_t btrGetGreater(int32_t handle, void* data, uint32_t& length, const void* key,
                      int16_t key_number, int16_t /*lock*/) noexcept {
  return recstore::Run([&](Library& library) -> int16_t {
    recstore::Handle* state = recstore::OpenHandle(library, handle);
    if (state == nullptr) {
      return BTRV_ERR_FILE_NOT_OPEN;
    }
    if (key_number != 0) {
      return recstore::Refuse(library, BTRV_ERR_INVALID_KEY_NUM, "only key 0 exists");
    }
    std::string_view after = key != nullptr ? static_cast<const char*>(key) : "";
    return recstore::ReadAfter(library, *state, after, data, length);
  });
}

int16_t btrGetNext(int32_t handle, void* data, uint32_t& length, int16_t /*lock*/) noexcept {
  return recstore::Run([&](Library& library) -> int16_t {
    recstore::Handle* state = recstore::OpenHandle(library, handle);
    if (state == nullptr) {
      return BTRV_ERR_FILE_NOT_OPEN;
    }
    if (!state->position) {
      return recstore::Refuse(library, BTRV_ERR_INVALID_POSITION,
                              "the handle has read no record yet");
    }
    // A copy: the read replaces the position it starts from.
    std::string after = *state->position;
    return recstore::ReadAfter(library, *state, after, data, length);
  });
}

int16_t btrInsert(int32_t handle, const void* data, uint32_t& length, int16_t /*lock*/) noexcept {
  return recstore::Run([&](Library& library) -> int16_t {
    recstore::Handle* state = recstore::OpenHandle(library, handle);
    if (state == nullptr) {
      return BTRV_ERR_FILE_NOT_OPEN;
    }
    if (length == 0 || length > recstore::kMaxRecord) {
      return recstore::Refuse(library, BTRV_ERR_INVALID_REC_LEN,
                              "invalid record length " + std::to_string(length));
    }
    if (data == nullptr) {
      return recstore::Refuse(library, BTRV_ERR_INVALID_OP, "no data buffer");
    }
    std::string_view record(static_cast<const char*>(data), length);
    std::string_view key = record.substr(0, recstore::kKeyLength);
    recstore::CurrentConnection(library).Execute(
        "INSERT INTO " + state->table + " (Index0Col, RecData) VALUES (" +
        recstore::HexLiteral(key) + ", " + recstore::HexLiteral(record) + ")");
    return BTRV_ERR_NONE;
  });
}

int16_t btrClose(int32_t handle) noexcept {
  return recstore::Run([&](Library& library) -> int16_t {
    if (library.handles.erase(handle) == 0) {
      return recstore::Refuse(library, BTRV_ERR_FILE_NOT_OPEN,
                              "unknown record-store handle " + std::to_string(handle));
    }
    return BTRV_ERR_NONE;
  });
}

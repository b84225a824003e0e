// A record store: keyed record files kept in MySQL tables, one table per file.
#include "recstore/store.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "db/connection.h"
#include "db/error.h"
#include "db/sql_text.h"
#include "recstore/btrv_constants.h"
#include "recstore/file_table.h"

namespace recstore {

namespace {

// The one piece of process-wide state: the store the C-style operations act on.
Store* current_store = nullptr;

// MySQL names are at most 64 characters, some of which the table prefix takes.
constexpr std::size_t kMaxFileName = 64 - kFileTablePrefix.size();
// On a borrowed connection: records fetched per read. A round trip costs far more than a
// record; past a few hundred rows a longer answer saves nothing measurable.
constexpr std::size_t kReadAhead = 200;
// Records a scan of one key prefix fetches at once: the batch holds nothing past the prefix
// but the record that ends the scan, so a long one costs no wasted rows.
constexpr std::size_t kScanBatch = 1000;

using db::HexLiteral;  // binary values travel as hex literals

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

// The least key above every key that starts with `prefix`; "" when there is none (an empty
// prefix, or one of 0xFF bytes only).
std::string PastPrefix(std::string_view prefix) {
  std::string past(prefix);
  while (!past.empty() && static_cast<unsigned char>(past.back()) == 0xFF) {
    past.pop_back();
  }
  if (!past.empty()) {
    past.back() = static_cast<char>(static_cast<unsigned char>(past.back()) + 1);
  }
  return past;
}

}  // namespace

Store::Store() noexcept : previous_(current_store) {
  current_store = this;
}

// Stores need not go in the reverse order of their making (a session replaced by the next
// one goes after that one is made), so a store that is not current is taken out of the
// chain where it stands, and none is ever left pointing at a store that went.
Store::~Store() {
  if (current_store == this) {
    current_store = previous_;
    return;
  }
  for (Store* store = current_store; store != nullptr; store = store->previous_) {
    if (store->previous_ == this) {
      store->previous_ = previous_;
      return;
    }
  }
}

Store* Store::Current() noexcept {
  return current_store;
}

// Stores a failure text; losing the text is better than letting bad_alloc escape.
void Store::Remember(std::string_view text) noexcept {
  try {
    last_error_.assign(text);
  } catch (...) {
    last_error_.clear();
  }
}

int16_t Store::Refuse(int16_t status, std::string_view text) noexcept {
  Remember(text);
  return status;
}

// The one place where exceptions become statuses. A duplicate key and a missing table
// have statuses of their own; everything else the server or the client library reports
// (unreachable server, refused login, lost connection, ...) is an input/output failure.
int16_t Store::SaveError(const db::Error& error) noexcept {
  Remember(error.what());
  if (error.IsDuplicateKey()) {
    return BTRV_ERR_DUPLICATE_KEY;
  }
  if (error.IsNoSuchTable()) {
    return BTRV_ERR_FILE_NOT_FOUND;
  }
  return BTRV_ERR_IO;
}

template <typename Body>
int16_t Store::Run(Body&& body) noexcept {
  last_error_.clear();
  try {
    try {
      return body();
    } catch (const db::Error& error) {
      // A connection the server dropped while idle (a restart, wait_timeout) fails its next
      // statement once and is closed by then. Callers end a scan at any failing status,
      // so without this one retry a run would silently copy no records of the first kind
      // it mirrors. "Gone away" means the statement never reached the server, so running
      // it again cannot apply it twice; a borrowed connection may hold an open transaction
      // that a reconnect would lose, so it is not retried.
      if (!error.IsGoneBeforeSending() || borrowed_ != nullptr) {
        throw;
      }
      last_error_.clear();
      return body();
    }
  } catch (const db::Error& error) {
    return SaveError(error);
  } catch (const std::exception& error) {
    return Refuse(BTRV_ERR_IO, error.what());
  } catch (...) {
    return Refuse(BTRV_ERR_IO, "unknown failure in the record store");
  }
}

// Read-ahead is only sound while nothing but this connection's own statements changes the
// records, so every change of connection, file or handle forgets it.
void Store::DropReadAhead() noexcept {
  for (auto& [number, handle] : handles_) {
    handle.ahead.clear();
    handle.ahead_end.reset();
  }
  provided_.reset();
}

db::Connection& Store::CurrentConnection() {
  if (borrowed_ != nullptr) {
    return *borrowed_;
  }
  if (!own_) {
    own_ = std::make_unique<db::Connection>(settings_);
  }
  return *own_;
}

// Inserts are queued on the borrowed connection alone, so this never makes a connection.
void Store::SendQueue() {
  if (queue_.empty()) {
    return;
  }
  try {
    queue_.Send(CurrentConnection());
  } catch (...) {
    DropReadAhead();
    throw;
  }
}

// The handle when it is open; otherwise nullptr, with the refusal recorded.
Store::Handle* Store::OpenHandle(int32_t handle) {
  auto it = handles_.find(handle);
  if (it == handles_.end() || !it->second.open) {
    Remember("record-store handle " + std::to_string(handle) + " is not open");
    return nullptr;
  }
  return &it->second;
}

// Copies `record` into the caller's buffer and moves the handle onto `key`.
int16_t Store::Deliver(Handle& handle, std::string key, std::string_view record, void* data,
                       uint32_t& length) {
  std::size_t delivered = std::min<std::size_t>(record.size(), length);
  if (delivered > 0) {
    std::memcpy(data, record.data(), delivered);
  }
  handle.position = std::move(key);
  if (record.size() > length) {
    // length already equals what was delivered.
    return Refuse(BTRV_ERR_DATA_BUF_SHORT, "record of " + std::to_string(record.size()) +
                                               " bytes does not fit a buffer of " +
                                               std::to_string(length));
  }
  length = static_cast<uint32_t>(record.size());
  return BTRV_ERR_NONE;
}

// The statement that reads the first record whose key 0 is greater than `after` on `handle`,
// and how many of the records it returns the read keeps (`limit`).
std::string Store::ReadStatement(const Handle& handle, std::string_view after,
                                 std::size_t& limit) const {
  const bool read_ahead = borrowed_ != nullptr || handle.scanning;
  std::string statement =
      "SELECT Index0Col, RecData FROM " + handle.table + " WHERE Index0Col > " + HexLiteral(after);
  // A scan that named its prefix takes the prefix's records a thousand at a time and the
  // first record past them; both parts are ranges of the key. Should the first part fill
  // its limit, the second one's record is not the next and is dropped, so a batch is
  // always every record from `after` up to its last one.
  const std::string past = handle.scanning ? PastPrefix(handle.scan_prefix) : "";
  const bool bounded = !past.empty() && after < std::string_view(past);
  limit = read_ahead ? kReadAhead : 1;
  if (bounded) {
    limit = kScanBatch;
    return "(" + statement + " AND Index0Col < " + HexLiteral(past) + " ORDER BY Index0Col LIMIT " +
           std::to_string(kScanBatch) + ") UNION ALL (SELECT Index0Col, RecData FROM " +
           handle.table + " WHERE Index0Col >= " + HexLiteral(past) +
           " ORDER BY Index0Col LIMIT 1) ORDER BY Index0Col";
  }
  return statement + " ORDER BY Index0Col LIMIT " + std::to_string(limit);
}

// Reads the first record whose key 0 is greater than `after` into the caller's buffer and
// moves the handle onto it; on a borrowed connection and during a scan the records after it
// are kept as the handle's read-ahead. A read that finds nothing leaves the position where
// it was, so a later GetNext still continues from the record read last.
int16_t Store::ReadAfter(Handle& handle, std::string_view after, void* data, uint32_t& length) {
  if (data == nullptr && length > 0) {
    return Refuse(BTRV_ERR_INVALID_OP, "no data buffer");
  }
  handle.ahead.clear();
  handle.ahead_end.reset();
  std::size_t limit = 0;
  const std::string statement = ReadStatement(handle, after, limit);
  std::optional<ProvidedRead> provided = std::move(provided_);
  provided_.reset();
  db::Result result;
  // An answer fetched before the caller queued inserts may lack them.
  if (provided && provided->statement == statement && queue_.empty()) {
    result = std::move(provided->result);
  } else {
    // The server must hold every record the caller inserted before it is asked.
    SendQueue();
    result = CurrentConnection().Query(statement);
  }
  if (result.Eof()) {
    return BTRV_ERR_END_OF_FILE;
  }
  std::string key(result.Value(0));
  std::string record(result.Value(1));
  std::size_t taken = 1;
  for (result.Next(); !result.Eof() && taken < limit; result.Next(), ++taken) {
    std::string next_key(result.Value(0));
    handle.ahead_end = next_key;
    handle.ahead.emplace(std::move(next_key), std::string(result.Value(1)));
  }
  return Deliver(handle, std::move(key), record, data, length);
}

// The next record from the handle's read-ahead; nullopt when it holds none and the server
// must be asked.
std::optional<int16_t> Store::ReadAhead(Handle& handle, void* data, uint32_t& length) {
  if (handle.ahead.empty()) {
    return std::nullopt;
  }
  if (data == nullptr && length > 0) {
    return Refuse(BTRV_ERR_INVALID_OP, "no data buffer");
  }
  auto node = handle.ahead.extract(handle.ahead.begin());
  if (handle.ahead.empty()) {
    handle.ahead_end.reset();
  }
  return Deliver(handle, std::move(node.key()), node.mapped(), data, length);
}

// Adds a record the store inserted (or queued) to the read-ahead of every handle on the same
// file whose range it falls in: without it a scan would miss a record inserted after its
// position and before the end of its batch, which a fresh read would find. A key already
// read ahead stays as it was fetched.
void Store::JoinReadAhead(const std::string& table, std::string_view key, std::string_view record) {
  for (auto& [number, handle] : handles_) {
    if (handle.open && handle.table == table && handle.ahead_end && handle.position &&
        key > *handle.position && key <= *handle.ahead_end) {
      handle.ahead.emplace(std::string(key), std::string(record));
    }
  }
}

// Queues an insert on the borrowed connection. The record joins the read-ahead of every
// handle on the same file whose range it falls in, so those handles read what a fresh read
// would find once the queue is sent.
int16_t Store::QueueInsert(const std::string& table, std::string_view key,
                           std::string_view record) {
  if (queue_.Holds(table, key)) {
    return Refuse(BTRV_ERR_DUPLICATE_KEY,
                  "a record with key " + HexLiteral(key) + " is already queued for " + table);
  }
  const bool full = queue_.Add(table, key, record, CurrentConnection());
  // A key already read ahead is a duplicate the send will report; the stored one stays.
  JoinReadAhead(table, key, record);
  if (full) {
    SendQueue();
  }
  return BTRV_ERR_NONE;
}

void Store::SetConnectionSettings(const db::ConnectionSettings& settings) noexcept {
  try {
    pending_settings_ = settings;
  } catch (...) {
    // Out of memory copying four short strings: the previous settings stay.
  }
}

void Store::Initialize(const char* ndx_file, const char* ini_file) noexcept {
  try {
    ndx_file_ = ndx_file != nullptr ? ndx_file : "";
    ini_file_ = ini_file != nullptr ? ini_file : "";
    settings_ = pending_settings_;
  } catch (...) {
    // Keeping the old names or settings is harmless; initialisation itself still happens.
  }
  // Queued inserts go to the connection they were queued for, before it may be dropped.
  Flush();
  DropReadAhead();
  // Dropping the connection is what makes new settings take effect; handles keep only a
  // table name and a key, so they work on the next connection unchanged.
  own_.reset();
  found_tables_.clear();
  initialised_ = true;
}

int32_t Store::NewHandle() noexcept {
  // Numbers are not reused while in use; 0 is never given, so a caller can treat 0 as
  // "no handle".
  do {
    last_handle_ = last_handle_ == INT32_MAX ? 1 : last_handle_ + 1;
  } while (handles_.count(last_handle_) != 0);
  try {
    handles_.emplace(last_handle_, Handle{});
  } catch (...) {
    // Unregistered: every operation on it reports an unknown handle.
  }
  return last_handle_;
}

int16_t Store::Open(int32_t handle, const char* file) noexcept {
  return Run([&]() -> int16_t {
    if (!initialised_) {
      return Refuse(BTRV_ERR_INACTIVE, "the record store is not initialised");
    }
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
      return Refuse(BTRV_ERR_INVALID_OP, "unknown record-store handle " + std::to_string(handle));
    }
    Handle& state = it->second;
    // Reopening forgets the old file and position, also when the new open fails.
    state = Handle{};
    DropReadAhead();
    SendQueue();
    if (!IsValidFileName(file)) {
      return Refuse(BTRV_ERR_FILE_NOT_FOUND, "invalid record file name");
    }
    std::string table = std::string(kFileTablePrefix) + file;
    if (borrowed_ == nullptr || found_tables_.count(table) == 0) {
      // Fails with "no such table" (status 12) when the file does not exist.
      CurrentConnection().Query("SELECT 1 FROM " + table + " LIMIT 0");
      if (borrowed_ != nullptr) {
        found_tables_.insert(table);
      }
    }
    state.table = std::move(table);
    state.open = true;
    return BTRV_ERR_NONE;
  });
}

int16_t Store::GetGreater(int32_t handle, void* data, uint32_t& length, const void* key,
                          int16_t key_number) noexcept {
  return Run([&]() -> int16_t {
    Handle* state = OpenHandle(handle);
    if (state == nullptr) {
      return BTRV_ERR_FILE_NOT_OPEN;
    }
    if (key_number != 0) {
      return Refuse(BTRV_ERR_INVALID_KEY_NUM, "only key 0 exists");
    }
    std::string_view after = key != nullptr ? static_cast<const char*>(key) : "";
    return ReadAfter(*state, after, data, length);
  });
}

int16_t Store::GetNext(int32_t handle, void* data, uint32_t& length) noexcept {
  return Run([&]() -> int16_t {
    Handle* state = OpenHandle(handle);
    if (state == nullptr) {
      return BTRV_ERR_FILE_NOT_OPEN;
    }
    if (!state->position) {
      return Refuse(BTRV_ERR_INVALID_POSITION, "the handle has read no record yet");
    }
    if (std::optional<int16_t> status = ReadAhead(*state, data, length)) {
      return *status;
    }
    // A copy: the read replaces the position it starts from.
    std::string after = *state->position;
    return ReadAfter(*state, after, data, length);
  });
}

int16_t Store::Insert(int32_t handle, const void* data, uint32_t& length) noexcept {
  return Run([&]() -> int16_t {
    Handle* state = OpenHandle(handle);
    if (state == nullptr) {
      return BTRV_ERR_FILE_NOT_OPEN;
    }
    if (length == 0 || length > kMaxRecordLength) {
      return Refuse(BTRV_ERR_INVALID_REC_LEN, "invalid record length " + std::to_string(length));
    }
    if (data == nullptr) {
      return Refuse(BTRV_ERR_INVALID_OP, "no data buffer");
    }
    std::string_view record(static_cast<const char*>(data), length);
    std::string_view key = record.substr(0, kKeyLength);
    // An answer fetched before this insert may lack its record.
    provided_.reset();
    if (borrowed_ != nullptr && queue_inserts_) {
      return QueueInsert(state->table, key, record);
    }
    CurrentConnection().Execute(InsertHead(state->table) + "(" + RowValues(key, record) + ")");
    JoinReadAhead(state->table, key, record);
    return BTRV_ERR_NONE;
  });
}

int16_t Store::Close(int32_t handle) noexcept {
  return Run([&]() -> int16_t {
    const bool known = handles_.erase(handle) != 0;
    DropReadAhead();
    SendQueue();
    if (!known) {
      return Refuse(BTRV_ERR_FILE_NOT_OPEN,
                    "unknown record-store handle " + std::to_string(handle));
    }
    return BTRV_ERR_NONE;
  });
}

void Store::UseConnection(db::Connection* connection, bool queue_inserts) noexcept {
  queue_.ClearLost();
  // Inserts queued on the connection being left belong to its transaction.
  Flush();
  DropReadAhead();
  borrowed_ = connection;
  queue_inserts_ = queue_inserts;
  queue_.ForgetStatementBound();
  found_tables_.clear();
}

int16_t Store::Flush() noexcept {
  // Nothing queued (always so on the store's own connection): nothing to do, and the last
  // operation's error text stays.
  if (queue_.empty()) {
    return BTRV_ERR_NONE;
  }
  return Run([this]() -> int16_t {
    SendQueue();
    return BTRV_ERR_NONE;
  });
}

void Store::StartScan(int32_t handle, std::string_view prefix) noexcept {
  auto it = handles_.find(handle);
  if (it == handles_.end()) {
    return;
  }
  it->second.scanning = true;
  try {
    it->second.scan_prefix.assign(prefix);
  } catch (...) {
    // Without the prefix the scan reads smaller batches, and reads the same records.
    it->second.scan_prefix.clear();
  }
}

// What was fetched for the scan is not kept for later reads, which may come after others
// changed the file.
void Store::EndScan(int32_t handle) noexcept {
  auto it = handles_.find(handle);
  if (it == handles_.end()) {
    return;
  }
  it->second.scanning = false;
  it->second.scan_prefix.clear();
  if (borrowed_ == nullptr) {
    it->second.ahead.clear();
    it->second.ahead_end.reset();
  }
}

std::string Store::ScanStartStatement(int32_t handle, std::string_view prefix) noexcept {
  try {
    const auto it = handles_.find(handle);
    if (it == handles_.end() || !it->second.open) {
      return "";
    }
    Handle scan;
    scan.open = true;
    scan.table = it->second.table;
    scan.scanning = true;
    scan.scan_prefix.assign(prefix);
    std::size_t limit = 0;
    return ReadStatement(scan, prefix, limit);
  } catch (...) {
    return "";  // the scan then asks the server itself
  }
}

void Store::ProvideRead(std::string statement, db::Result result) noexcept {
  provided_ = ProvidedRead{std::move(statement), std::move(result)};
}

}  // namespace recstore

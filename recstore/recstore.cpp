// The record store: keyed record files kept in MySQL tables, one table per file.
#include "recstore/recstore.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "db/bulk_insert.h"
#include "db/connection.h"
#include "db/error.h"
#include "db/multi_row_insert.h"
#include "db/query.h"
#include "db/sql_text.h"
#include "recstore/ap_file.h"
#include "recstore/btrv_constants.h"

namespace recstore {

namespace {

// The backing table's columns: key 0 is at most kKeyLength long, a record at most kMaxRecord.
constexpr uint32_t kMaxRecord = 4096;
// MySQL names are at most 64 characters, eight of which the table prefix takes.
constexpr std::size_t kMaxFileName = 64 - 8;
// On a borrowed connection: records fetched per read, and inserts sent per round trip (in
// one statement per file). A round trip costs far more than a record; past a few
// hundred rows a longer statement saves nothing measurable.
constexpr int kReadAhead = 200;
// Records a scan of one key prefix fetches at once: the batch holds nothing past the prefix
// but the record that ends the scan, so a long one costs no wasted rows.
constexpr std::size_t kScanBatch = 1000;
constexpr std::size_t kQueueLimit = 1000;
// The longest row of an insert, with its parentheses: "(" X'key' ", " X'record' ")".
constexpr std::size_t kLongestRow = 1 + (3 + 2 * kKeyLength) + 2 + (3 + 2 * kMaxRecord) + 1;
// What joins a row's values to the row before in a multi-row statement.
constexpr std::size_t kRowJoin = 4;

// One use of a record file. The position is the key of the record read last. On the
// library's own connection rows are normally never kept, so every read sees what the server
// holds at that moment. On a borrowed connection the caller's transaction is the only writer
// the handle has to follow, and during a scan (ScanReadAhead) the caller accepts seeing
// others' changes a batch late, so a read fetches the records after it too (`ahead`, key 0 to
// record): they are the records after `position` up to `ahead_end` as the server held them at
// the fetch, with every insert the store makes into that range since added to them.
struct Handle {
  bool open = false;
  bool scanning = false;                // inside a ScanReadAhead
  std::string scan_prefix;              // the keys that scan wants, "" when it did not say
  std::string table;                    // "zz_data_" + file name, validated
  std::optional<std::string> position;  // empty: nothing read yet on this opening
  std::map<std::string, std::string> ahead;
  std::optional<std::string> ahead_end;  // empty: nothing read ahead
};

// An insert waiting on the borrowed connection: its file's table, key 0 and the values of
// its row, "X'<key>', X'<record>'".
struct QueuedInsert {
  std::string table;
  std::string key;
  std::string record;
};

struct Library {
  bool initialised = false;
  std::string ndx_file;  // recorded, never read
  std::string ini_file;  // recorded, never read
  db::ConnectionSettings pending_settings;
  db::ConnectionSettings settings;      // those of the last initialisation
  std::unique_ptr<db::Connection> own;  // made on first use, dropped by initialisation
  db::Connection* borrowed = nullptr;   // not owned; wins over `own` while set
  bool queue_inserts = true;            // on the borrowed connection (see UseConnection)
  std::map<int32_t, Handle> handles;
  int32_t last_handle = 0;
  std::string last_error;
  // Inserts waiting to be sent on the borrowed connection, in order, and their (table,
  // key 0); queued_bytes is the length of their rows' texts with separators.
  std::vector<QueuedInsert> queue;
  std::set<std::pair<std::string, std::string>> queued_keys;
  std::size_t queued_bytes = 0;
  // Bound of one statement on the borrowed connection, read from the server with the first
  // queued insert after UseConnection (0 until then).
  std::size_t statement_bytes = 0;
  bool queue_lost = false;  // a send of the queue failed since the last UseConnection
  // Tables of record files btrOpen found on the borrowed connection since it was borrowed:
  // the caller's transaction being the only change to the files meanwhile, a file found
  // once is there for the next open too, which then costs no round trip.
  std::set<std::string> found_tables;

  // A read's answer the caller fetched in a request of its own (ProvideRead), for the next
  // read, if that read sends this very statement.
  struct ProvidedRead {
    std::string statement;
    db::Result result;
  };

  std::optional<ProvidedRead> provided;
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
  if (error.IsDuplicateKey()) {
    return BTRV_ERR_DUPLICATE_KEY;
  }
  if (error.IsNoSuchTable()) {
    return BTRV_ERR_FILE_NOT_FOUND;
  }
  return BTRV_ERR_IO;
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
      if (!error.IsGoneBeforeSending() || library.borrowed != nullptr) {
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

// Read-ahead is only sound while nothing but this connection's own statements changes the
// records, so every change of connection, file or handle forgets it.
void DropReadAhead(Library& library) noexcept {
  for (auto& [number, handle] : library.handles) {
    handle.ahead.clear();
    handle.ahead_end.reset();
  }
  library.provided.reset();
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

using db::HexLiteral;  // binary values travel as hex literals

// An insert into a record file's table is its head, up to the "(" of the first row, then the
// values of each row. The single-row statement btrInsert sends is
// InsertHead(table) + RowValues(key, record) + ")".
std::string InsertHead(const std::string& table) {
  return "INSERT INTO " + table + " (Index0Col, RecData) VALUES (";
}

std::string RowValues(std::string_view key, std::string_view record) {
  return HexLiteral(key) + ", " + HexLiteral(record);
}

// The length of RowValues(key, record), without making it.
std::size_t RowBytes(std::string_view key, std::string_view record) {
  return (3 + 2 * key.size()) + 2 + (3 + 2 * record.size());
}

// The failure of one queued record's own insert, naming its key and file.
db::Error RecordFailure(const QueuedInsert& insert, const db::Error& error) {
  return db::Error("the record with key " + HexLiteral(insert.key) + " was not written to " +
                       insert.table + ": " + error.what(),
                   error.code(), error.sqlstate(), error.statement());
}

// Sends the queued inserts, one statement per run of inserts into the same table (and
// within the statement bound): a prepared insert with the records as arrays of bytes where
// the server takes it, a multi-row statement otherwise. The queue is emptied before the send: a
// failure loses every record of it that the server had not applied, which is remembered
// (queue_lost) so that a caller who saw status 0 for those inserts can find out.
void SendQueue(Library& library) {
  if (library.queue.empty()) {
    return;
  }
  std::vector<QueuedInsert> queue = std::move(library.queue);
  library.queue.clear();
  library.queued_keys.clear();
  library.queued_bytes = 0;
  try {
    db::Connection& connection = CurrentConnection(library);
    // Where the server takes them, the records go as arrays of bytes: nothing to write out
    // in hex on this side, nothing to parse on the server's.
    const bool arrays = queue.size() > 1 && connection.TakesBulkInserts();
    for (std::size_t first = 0; first < queue.size();) {
      const std::string& table = queue[first].table;
      db::MultiRowInsert text(InsertHead(table), ")", library.statement_bytes, "recstore_queue");
      db::BulkInsert bulk(
          InsertHead(table),
          {db::InsertValue{db::ParamType::kBinary}, db::InsertValue{db::ParamType::kBinary}}, ")",
          library.statement_bytes, "recstore_queue");
      std::size_t last = first;
      for (; last < queue.size() && queue[last].table == table; ++last) {
        const QueuedInsert& insert = queue[last];
        if (arrays) {
          if (!bulk.Fits(insert.key.size() + insert.record.size())) {
            break;
          }
          bulk.Add({insert.key, insert.record});
        } else {
          const std::string values = RowValues(insert.key, insert.record);
          if (!text.Fits(values)) {
            break;
          }
          text.Add(values);
        }
      }
      try {
        if (arrays) {
          bulk.Send(connection);
        } else {
          text.Send(connection);
        }
      } catch (const db::RowError& error) {
        throw RecordFailure(queue[first + error.row()], error);
      }
      first = last;
    }
  } catch (const db::Error& error) {
    library.queue_lost = true;
    DropReadAhead(library);
    throw db::Error("queued record inserts were not all written: " + std::string(error.what()),
                    error.code(), error.sqlstate(), error.statement());
  } catch (...) {
    library.queue_lost = true;
    DropReadAhead(library);
    throw;
  }
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

// Copies `record` into the caller's buffer and moves the handle onto `key`.
int16_t Deliver(Library& library, Handle& handle, std::string key, std::string_view record,
                void* data, uint32_t& length) {
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

// The statement that reads the first record whose key 0 is greater than `after` on `handle`,
// and how many of the records it returns the read keeps (`limit`).
std::string ReadStatement(const Library& library, const Handle& handle, std::string_view after,
                          std::size_t& limit) {
  const bool read_ahead = library.borrowed != nullptr || handle.scanning;
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
// it was, so a later btrGetNext still continues from the record read last.
int16_t ReadAfter(Library& library, Handle& handle, std::string_view after, void* data,
                  uint32_t& length) {
  if (data == nullptr && length > 0) {
    return Refuse(library, BTRV_ERR_INVALID_OP, "no data buffer");
  }
  handle.ahead.clear();
  handle.ahead_end.reset();
  std::size_t limit = 0;
  const std::string statement = ReadStatement(library, handle, after, limit);
  std::optional<Library::ProvidedRead> provided = std::move(library.provided);
  library.provided.reset();
  db::Result result;
  // An answer fetched before the caller queued inserts may lack them.
  if (provided && provided->statement == statement && library.queue.empty()) {
    result = std::move(provided->result);
  } else {
    // The server must hold every record the caller inserted before it is asked.
    SendQueue(library);
    result = CurrentConnection(library).Query(statement);
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
  return Deliver(library, handle, std::move(key), record, data, length);
}

// The next record from the handle's read-ahead; nullopt when it holds none and the server
// must be asked.
std::optional<int16_t> ReadAhead(Library& library, Handle& handle, void* data, uint32_t& length) {
  if (handle.ahead.empty()) {
    return std::nullopt;
  }
  if (data == nullptr && length > 0) {
    return Refuse(library, BTRV_ERR_INVALID_OP, "no data buffer");
  }
  auto node = handle.ahead.extract(handle.ahead.begin());
  if (handle.ahead.empty()) {
    handle.ahead_end.reset();
  }
  return Deliver(library, handle, std::move(node.key()), node.mapped(), data, length);
}

// Adds a record the store inserted (or queued) to the read-ahead of every handle on the same
// file whose range it falls in: without it a scan would miss a record inserted after its
// position and before the end of its batch, which a fresh read would find. A key already
// read ahead stays as it was fetched.
void JoinReadAhead(Library& library, const std::string& table, std::string_view key,
                   std::string_view record) {
  for (auto& [number, handle] : library.handles) {
    if (handle.open && handle.table == table && handle.ahead_end && handle.position &&
        key > *handle.position && key <= *handle.ahead_end) {
      handle.ahead.emplace(std::string(key), std::string(record));
    }
  }
}

// Queues an insert on the borrowed connection. The record joins the read-ahead of every
// handle on the same file whose range it falls in, so those handles read what a fresh read
// would find once the queue is sent.
int16_t QueueInsert(Library& library, const std::string& table, std::string_view key,
                    std::string_view record) {
  auto entry = std::make_pair(table, std::string(key));
  if (library.queued_keys.count(entry) != 0) {
    return Refuse(library, BTRV_ERR_DUPLICATE_KEY,
                  "a record with key " + HexLiteral(key) + " is already queued for " + table);
  }
  if (library.statement_bytes == 0) {
    library.statement_bytes = db::MultiRowLimit(CurrentConnection(library));
  }
  library.queued_bytes += RowBytes(key, record) + kRowJoin;
  library.queue.push_back({table, std::string(key), std::string(record)});
  library.queued_keys.insert(std::move(entry));
  // A key already read ahead is a duplicate the send will report; the stored one stays.
  JoinReadAhead(library, table, key, record);
  // Sent while the next record, however long, still fits the statement.
  if (library.queue.size() >= kQueueLimit ||
      library.queued_bytes + kLongestRow > library.statement_bytes) {
    SendQueue(library);
  }
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

void UseConnection(db::Connection* connection, bool queue_inserts) noexcept {
  Library& library = State();
  library.queue_lost = false;
  // Inserts queued on the connection being left belong to its transaction.
  Flush();
  DropReadAhead(library);
  library.borrowed = connection;
  library.queue_inserts = queue_inserts;
  library.statement_bytes = 0;
  library.found_tables.clear();
}

BorrowedConnection::BorrowedConnection(db::Connection& connection, bool queue_inserts) noexcept
    : previous_(State().borrowed), previous_queue_inserts_(State().queue_inserts) {
  UseConnection(&connection, queue_inserts);
}

BorrowedConnection::~BorrowedConnection() {
  UseConnection(previous_, previous_queue_inserts_);
}

int16_t Flush() noexcept {
  // Nothing queued (always so on the library's own connection): nothing to do, and the
  // last operation's error text stays.
  if (State().queue.empty()) {
    return BTRV_ERR_NONE;
  }
  return Run([](Library& library) -> int16_t {
    SendQueue(library);
    return BTRV_ERR_NONE;
  });
}

ScanReadAhead::ScanReadAhead(int32_t handle, std::string_view prefix) noexcept : handle_(handle) {
  auto it = State().handles.find(handle);
  if (it != State().handles.end()) {
    it->second.scanning = true;
    try {
      it->second.scan_prefix.assign(prefix);
    } catch (...) {
      // Without the prefix the scan reads smaller batches, and reads the same records.
      it->second.scan_prefix.clear();
    }
  }
}

// What was fetched for the scan is not kept for later reads, which may come after others
// changed the file.
ScanReadAhead::~ScanReadAhead() {
  auto it = State().handles.find(handle_);
  if (it != State().handles.end()) {
    it->second.scanning = false;
    it->second.scan_prefix.clear();
    if (State().borrowed == nullptr) {
      it->second.ahead.clear();
      it->second.ahead_end.reset();
    }
  }
}

std::string ScanStartStatement(int32_t handle, std::string_view prefix) noexcept {
  try {
    Library& library = State();
    const auto it = library.handles.find(handle);
    if (it == library.handles.end() || !it->second.open) {
      return "";
    }
    Handle scan;
    scan.open = true;
    scan.table = it->second.table;
    scan.scanning = true;
    scan.scan_prefix.assign(prefix);
    std::size_t limit = 0;
    return ReadStatement(library, scan, prefix, limit);
  } catch (...) {
    return "";  // the scan then asks the server itself
  }
}

void ProvideRead(std::string statement, db::Result result) noexcept {
  State().provided = Library::ProvidedRead{std::move(statement), std::move(result)};
}

bool QueuedInsertsLost() noexcept {
  return State().queue_lost;
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
  // Queued inserts go to the connection they were queued for, before it may be dropped.
  recstore::Flush();
  recstore::DropReadAhead(library);
  // Dropping the connection is what makes new settings take effect; handles keep only a
  // table name and a key, so they work on the next connection unchanged.
  library.own.reset();
  library.found_tables.clear();
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
    recstore::DropReadAhead(library);
    recstore::SendQueue(library);
    if (!recstore::IsValidFileName(file)) {
      return recstore::Refuse(library, BTRV_ERR_FILE_NOT_FOUND, "invalid record file name");
    }
    std::string table = std::string("zz_data_") + file;
    if (library.borrowed == nullptr || library.found_tables.count(table) == 0) {
      // Fails with "no such table" (status 12) when the file does not exist.
      recstore::CurrentConnection(library).Query("SELECT 1 FROM " + table + " LIMIT 0");
      if (library.borrowed != nullptr) {
        library.found_tables.insert(table);
      }
    }
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
    if (std::optional<int16_t> status = recstore::ReadAhead(library, *state, data, length)) {
      return *status;
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
    // An answer fetched before this insert may lack its record.
    library.provided.reset();
    if (library.borrowed != nullptr && library.queue_inserts) {
      return recstore::QueueInsert(library, state->table, key, record);
    }
    recstore::CurrentConnection(library).Execute(recstore::InsertHead(state->table) +
                                                 recstore::RowValues(key, record) + ")");
    recstore::JoinReadAhead(library, state->table, key, record);
    return BTRV_ERR_NONE;
  });
}

int16_t btrClose(int32_t handle) noexcept {
  return recstore::Run([&](Library& library) -> int16_t {
    const bool known = library.handles.erase(handle) != 0;
    recstore::DropReadAhead(library);
    recstore::SendQueue(library);
    if (!known) {
      return recstore::Refuse(library, BTRV_ERR_FILE_NOT_OPEN,
                              "unknown record-store handle " + std::to_string(handle));
    }
    return BTRV_ERR_NONE;
  });
}

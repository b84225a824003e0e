// The record store: keyed record files kept in MySQL tables, with the operations and
// calling shapes of the suite's record-store library.
//
// Record file NAME lives in a table of the configured database, one row per record, key 0
// being the record's first 16 bytes (fewer when the record is shorter); recstore/file_table.h
// spells the layout.
//
// Every operation acts on the current store (recstore::Store, recstore/store.h): the one the
// program's session owns, or a test's own. With none alive, each answers as a store never
// initialised and holding no handle would (CBtrvOapi gives 0).
//
// Every operation is noexcept and returns a status (0 success, otherwise the published
// numbering of recstore/btrv_constants.h). Lengths are in and out: on input the size of
// the caller's buffer (reads) or of the record (inserts), on output the record's length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/settings.h"

namespace db {
class Connection;
class Result;
}  // namespace db

namespace recstore {
class Store;
}  // namespace recstore

// (Re)initialises the store. The two names are its set-up files; they are recorded but
// nothing is read from them (the connection comes from recstore::SetConnectionSettings).
// Closes the store's own connection so the next operation reconnects with the settings
// given last. Open handles stay valid. Sends inserts queued on a borrowed connection first
// (see recstore::UseConnection).
void MCBInitializeFauxBtrieve(const char* ndx_file, const char* ini_file) noexcept;

// A fresh handle, not yet open on any file. Never 0 while a store is current.
int32_t CBtrvOapi() noexcept;

// Opens record file `file` on `handle`: 0 when table zz_data_<file> exists; 12 when it does
// not; 20 before MCBInitializeFauxBtrieve; 2 when the server cannot be reached; 1 for an
// unknown handle. `owner` and the three small arguments are accepted and not used. A name
// other than letters, digits and underscores never reaches the server and gives 12.
// Opening an open handle again forgets its file and position first. On a borrowed connection
// (recstore::UseConnection) a file is asked for once: opening it again finds it unasked.
int16_t btrOpen(int32_t handle, const char* owner, const char* file, int16_t mode, int16_t share,
                int16_t lock) noexcept;

// Reads the first record whose key 0 is greater, in byte order, than the zero-terminated
// key text into `data` (capacity `length`) and positions the handle on it. 9 when there
// is none; 22 when the record is longer than `length` (the first `length` bytes are
// delivered and the handle is positioned on it); 3 when the handle is not open or unknown;
// 6 for a key number other than 0. A read that finds no record leaves the position as it was.
// Every read asks the server, so rows deleted by others are never seen. (During a scan, see
// recstore::ScanReadAhead, and on a borrowed connection, see recstore::UseConnection, it also
// fetches the records that follow.)
int16_t btrGetGreater(int32_t handle, void* data, uint32_t& length, const void* key,
                      int16_t key_number, int16_t lock) noexcept;

// Reads the record that follows, in key-0 order, the record this handle read last.
// Statuses as btrGetGreater; 8 when the handle has no position yet. On the store's own
// connection it asks the server every time, except during a scan (recstore::ScanReadAhead);
// on a borrowed one see recstore::UseConnection.
int16_t btrGetNext(int32_t handle, void* data, uint32_t& length, int16_t lock) noexcept;

// Adds a record of `length` bytes. 5 when a record with the same key 0 exists; 28 when
// the length is 0 or above 4096; 3 when the handle is not open or unknown. Never moves any
// handle's position. On a borrowed connection the insert is queued (see
// recstore::UseConnection), so an existing key is only reported when the queue is sent.
int16_t btrInsert(int32_t handle, const void* data, uint32_t& length, int16_t lock) noexcept;

// Closes and frees the handle (open or not). 3 for an unknown handle. Sends queued inserts
// first; a failing send returns its status (the handle is freed all the same).
int16_t btrClose(int32_t handle) noexcept;

namespace recstore {

// The settings the store's own connection uses from the next MCBInitializeFauxBtrieve
// (the program passes the same four it read from its configuration).
void SetConnectionSettings(const db::ConnectionSettings& settings) noexcept;

// Makes every operation run on `connection` (borrowed; the caller keeps it alive) instead
// of the store's own, so that record operations join the caller's transaction. nullptr
// returns to the store's own connection.
//
// While a connection is borrowed, the caller's transaction is taken to be the only change
// to the record files, and the store saves round trips:
// - btrGetGreater fetches up to 200 records at once; btrGetNext serves the rest of them
//   and asks the server again when they are used up. Inserts the store queues into a
//   handle's fetched range join it, so reads return what a fresh read would.
// - btrInsert checks the length, refuses with 5 a key already queued for the same file,
//   queues the insert and returns 0. The queue is sent when it holds 1000 records or as
//   many bytes as one statement may take (half the connection's max_allowed_packet, at most
//   2 MiB; read with the first queued insert after this call), before any other statement
//   the store sends, by Flush, btrClose, MCBInitializeFauxBtrieve and by this function before
//   it switches. It goes as one statement per file: where the server takes it, one prepared
//   "INSERT INTO zz_data_<file> (Index0Col, RecData) VALUES (?, ?)" with the keys and records
//   as arrays of bytes (db::BulkInsert); otherwise one multi-row statement
//   (db::MultiRowInsert), "INSERT INTO zz_data_<file> (Index0Col, RecData) VALUES " and a
//   row per record, each the values of the record's single-row insert. A statement that fails is
//   sent again one record at a time inside a savepoint, so the rows before the failing record go in
//   and the failure is that record's own. A send that fails returns its status (5 for a duplicate
//   key, 2 otherwise) from the operation that sent it, with LastErrorText naming the failure and,
//   when one record's insert failed, its key (as a hex literal) and table; the records of that
//   queue not yet applied are lost, which QueuedInsertsLost reports. A deadlock or a lost
//   connection, which end the caller's transaction, is reported as it came, with nothing sent
//   again.
// With `queue_inserts` false, btrInsert sends each insert at once, as on the store's own
// connection (a refusal is that record's own, and the rest of the kind still goes in), and
// only the reads and the retry rule above differ: for a caller outside any transaction that
// wants the store on its connection, such as a run whose steps each stand on their own.
// Clears QueuedInsertsLost, then sends the queue (which may set it again).
void UseConnection(db::Connection* connection, bool queue_inserts = true) noexcept;

// A scan on `handle` for as long as the object lives: a btrGetGreater and the btrGetNext that
// follow it, as the ap copy reads. During it, reads on the store's own connection fetch up
// to 200 records at once, as reads on a borrowed connection do, and btrGetNext serves the rest
// of them before it asks the server again; a read costs a round trip per batch instead of one
// per record. A scan that names the key `prefix` of the records it wants (and stops at the
// first record without it) fetches up to 1000 of them at once and nothing past the first
// record after them. Records the store inserts (through any handle) into the range fetched
// join it, so the scan reads what reading one record at a time would read while only this
// program changes the file. What others change in that range while the scan goes on is seen
// at the next fetch, not at the next read: a scan returns what one-at-a-time reads return
// when those changes commit just after the scan has passed them. Every btrGetGreater asks the
// server afresh, so a change made before the scan starts is always seen. Opening the handle
// again ends the scan too. The scan is on the store current when the object is made.
class ScanReadAhead {
 public:
  explicit ScanReadAhead(int32_t handle, std::string_view prefix = {}) noexcept;
  ~ScanReadAhead();
  ScanReadAhead(const ScanReadAhead&) = delete;
  ScanReadAhead& operator=(const ScanReadAhead&) = delete;

 private:
  Store* store_;  // the store current at the start; nullptr when none was
  int32_t handle_;
};

// The record store current when this is made works on `connection` for as long as this
// lives (UseConnection), and on the connection it used before (its own, or an outer borrow)
// again afterwards, however the scope is left: inserts still queued are then sent on the
// borrowed connection, inside whatever transaction it has open.
class BorrowedConnection {
 public:
  explicit BorrowedConnection(db::Connection& connection, bool queue_inserts = true) noexcept;
  ~BorrowedConnection();
  BorrowedConnection(const BorrowedConnection&) = delete;
  BorrowedConnection& operator=(const BorrowedConnection&) = delete;

 private:
  Store* store_;  // the store current at the start; nullptr when none was
  db::Connection* previous_;
  bool previous_queue_inserts_;
};

// The statement the first read of a scan of `prefix` on `handle` sends (btrGetGreater with
// the prefix as its key, inside ScanReadAhead(handle, prefix), on the connection in use
// then); "" when the handle is not open.
std::string ScanStartStatement(int32_t handle, std::string_view prefix) noexcept;

// The answer to a read's statement, which the caller sent in a request of its own together
// with statements of its own (one round trip for all). The store's next read takes it
// instead of asking the server, if that read sends this very statement while no insert is
// queued; an insert, a change of connection or any other read drops it unused.
void ProvideRead(std::string statement, db::Result result) noexcept;

// Sends the inserts queued on the borrowed connection now. 0 when none were queued (always
// so on the store's own connection) or all were written; otherwise the status of the
// failure (see UseConnection), and QueuedInsertsLost() becomes true.
int16_t Flush() noexcept;

// True when a send of queued inserts failed since the start of the last UseConnection:
// some inserts that returned 0 never reached the file. A transaction in which this
// happened is missing records and should be rolled back.
bool QueuedInsertsLost() noexcept;

// Text of the failure behind the status of the last btrOpen, read, insert or close (the
// server's message when it came from the server); "" after success or end of file.
std::string LastErrorText();

// Number of handles allocated and not yet closed; tests check it is 0 at the end.
std::size_t OpenHandleCount() noexcept;

}  // namespace recstore

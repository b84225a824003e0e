// A record store: the handles, the connection its operations run on, the inserts it queues
// and the records it reads ahead. The C-style operations of recstore/recstore.h act on the
// current one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "db/query.h"
#include "db/settings.h"
#include "recstore/insert_queue.h"

namespace db {
class Connection;
class Error;
}  // namespace db

namespace recstore {

// One record store. A store is current from its construction to its destruction, except
// while a store made after it lives: the operations of recstore/recstore.h act on the store
// made last of those alive, and on none (refusing) when none is. The program's session owns
// one (run::Session); tests make their own. Destruction frees the handles and the store's own
// connection and sends nothing: queued inserts go with Flush or Close before. Not copyable,
// and never declared const: the operations change it through the current-store pointer.
//
// The methods are those operations on this store, with the contracts given there: Initialize
// is MCBInitializeFauxBtrieve, NewHandle CBtrvOapi, Open btrOpen, GetGreater btrGetGreater,
// GetNext btrGetNext, Insert btrInsert, Close btrClose; the others keep their names.
class Store {
 public:
  Store() noexcept;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The current store; nullptr when none lives.
  static Store* Current() noexcept;

  void SetConnectionSettings(const db::ConnectionSettings& settings) noexcept;
  void Initialize(const char* ndx_file, const char* ini_file) noexcept;
  int32_t NewHandle() noexcept;
  int16_t Open(int32_t handle, const char* file) noexcept;
  int16_t GetGreater(int32_t handle, void* data, uint32_t& length, const void* key,
                     int16_t key_number) noexcept;
  int16_t GetNext(int32_t handle, void* data, uint32_t& length) noexcept;
  int16_t Insert(int32_t handle, const void* data, uint32_t& length) noexcept;
  int16_t Close(int32_t handle) noexcept;

  void UseConnection(db::Connection* connection, bool queue_inserts) noexcept;

  db::Connection* borrowed() const { return borrowed_; }  // nullptr: the store's own

  bool queue_inserts() const { return queue_inserts_; }

  // The scan of recstore::ScanReadAhead on `handle` starts and ends; an unknown handle is
  // ignored.
  void StartScan(int32_t handle, std::string_view prefix) noexcept;
  void EndScan(int32_t handle) noexcept;

  std::string ScanStartStatement(int32_t handle, std::string_view prefix) noexcept;
  void ProvideRead(std::string statement, db::Result result) noexcept;
  int16_t Flush() noexcept;

  bool QueuedInsertsLost() const noexcept { return queue_.lost(); }

  const std::string& LastErrorText() const { return last_error_; }

  std::size_t OpenHandleCount() const noexcept { return handles_.size(); }

 private:
  // One use of a record file. The position is the key of the record read last. On the
  // store's own connection rows are normally never kept, so every read sees what the server
  // holds at that moment. On a borrowed connection the caller's transaction is the only
  // writer the handle has to follow, and during a scan (ScanReadAhead) the caller accepts
  // seeing others' changes a batch late, so a read fetches the records after it too (`ahead`,
  // key 0 to record): they are the records after `position` up to `ahead_end` as the server
  // held them at the fetch, with every insert the store makes into that range since added.
  struct Handle {
    bool open = false;
    bool scanning = false;                // inside a ScanReadAhead
    std::string scan_prefix;              // the keys that scan wants, "" when it did not say
    std::string table;                    // kFileTablePrefix + file name, validated
    std::optional<std::string> position;  // empty: nothing read yet on this opening
    std::map<std::string, std::string> ahead;
    std::optional<std::string> ahead_end;  // empty: nothing read ahead
  };

  // A read's answer the caller fetched in a request of its own (ProvideRead), for the next
  // read, if that read sends this very statement.
  struct ProvidedRead {
    std::string statement;
    db::Result result;
  };

  template <typename Body>
  int16_t Run(Body&& body) noexcept;
  void Remember(std::string_view text) noexcept;
  int16_t Refuse(int16_t status, std::string_view text) noexcept;
  int16_t SaveError(const db::Error& error) noexcept;
  db::Connection& CurrentConnection();
  Handle* OpenHandle(int32_t handle);
  void DropReadAhead() noexcept;
  std::string ReadStatement(const Handle& handle, std::string_view after, std::size_t& limit) const;
  int16_t ReadAfter(Handle& handle, std::string_view after, void* data, uint32_t& length);
  std::optional<int16_t> ReadAhead(Handle& handle, void* data, uint32_t& length);
  int16_t Deliver(Handle& handle, std::string key, std::string_view record, void* data,
                  uint32_t& length);
  void JoinReadAhead(const std::string& table, std::string_view key, std::string_view record);
  int16_t QueueInsert(const std::string& table, std::string_view key, std::string_view record);
  void SendQueue();

  bool initialised_ = false;
  std::string ndx_file_;  // recorded, never read
  std::string ini_file_;  // recorded, never read
  db::ConnectionSettings pending_settings_;
  db::ConnectionSettings settings_;      // those of the last initialisation
  std::unique_ptr<db::Connection> own_;  // made on first use, dropped by initialisation
  db::Connection* borrowed_ = nullptr;   // not owned; wins over `own_` while set
  bool queue_inserts_ = true;            // on the borrowed connection (see UseConnection)
  std::map<int32_t, Handle> handles_;
  int32_t last_handle_ = 0;
  std::string last_error_;
  InsertQueue queue_;  // empty but on a borrowed connection
  // Tables of record files Open found on the borrowed connection since it was borrowed:
  // the caller's transaction being the only change to the files meanwhile, a file found
  // once is there for the next open too, which then costs no round trip.
  std::set<std::string> found_tables_;
  std::optional<ProvidedRead> provided_;
  // The store that was current when this one was made (or, after it went, the one before
  // it): current again when this one goes.
  Store* previous_;
};

}  // namespace recstore

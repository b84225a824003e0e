// The record store's operations, as the suite's record-store library names them, on the
// current store (recstore/store.h).
#include "recstore/recstore.h"

#include <utility>

#include "db/query.h"
#include "recstore/btrv_constants.h"
#include "recstore/store.h"

namespace recstore {

namespace {

// With no store alive there is nothing to act on: every operation answers as a store that
// was never initialised and holds no handle would.
constexpr const char* kNoStore = "no record store is current";

}  // namespace

void SetConnectionSettings(const db::ConnectionSettings& settings) noexcept {
  if (Store* store = Store::Current()) {
    store->SetConnectionSettings(settings);
  }
}

void UseConnection(db::Connection* connection, bool queue_inserts) noexcept {
  if (Store* store = Store::Current()) {
    store->UseConnection(connection, queue_inserts);
  }
}

BorrowedConnection::BorrowedConnection(db::Connection& connection, bool queue_inserts) noexcept
    : store_(Store::Current()),
      previous_(store_ != nullptr ? store_->borrowed() : nullptr),
      previous_queue_inserts_(store_ != nullptr ? store_->queue_inserts() : true) {
  if (store_ != nullptr) {
    store_->UseConnection(&connection, queue_inserts);
  }
}

BorrowedConnection::~BorrowedConnection() {
  if (store_ != nullptr) {
    store_->UseConnection(previous_, previous_queue_inserts_);
  }
}

ScanReadAhead::ScanReadAhead(int32_t handle, std::string_view prefix) noexcept
    : store_(Store::Current()), handle_(handle) {
  if (store_ != nullptr) {
    store_->StartScan(handle, prefix);
  }
}

ScanReadAhead::~ScanReadAhead() {
  if (store_ != nullptr) {
    store_->EndScan(handle_);
  }
}

std::string ScanStartStatement(int32_t handle, std::string_view prefix) noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->ScanStartStatement(handle, prefix) : "";
}

void ProvideRead(std::string statement, db::Result result) noexcept {
  if (Store* store = Store::Current()) {
    store->ProvideRead(std::move(statement), std::move(result));
  }
}

int16_t Flush() noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->Flush() : BTRV_ERR_NONE;
}

bool QueuedInsertsLost() noexcept {
  Store* store = Store::Current();
  return store != nullptr && store->QueuedInsertsLost();
}

std::string LastErrorText() {
  Store* store = Store::Current();
  return store != nullptr ? store->LastErrorText() : kNoStore;
}

std::size_t OpenHandleCount() noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->OpenHandleCount() : 0;
}

}  // namespace recstore

using recstore::Store;

void MCBInitializeFauxBtrieve(const char* ndx_file, const char* ini_file) noexcept {
  if (Store* store = Store::Current()) {
    store->Initialize(ndx_file, ini_file);
  }
}

int32_t CBtrvOapi() noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->NewHandle() : 0;
}

int16_t btrOpen(int32_t handle, const char* /*owner*/, const char* file, int16_t /*mode*/,
                int16_t /*share*/, int16_t /*lock*/) noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->Open(handle, file) : BTRV_ERR_INACTIVE;
}

int16_t btrGetGreater(int32_t handle, void* data, uint32_t& length, const void* key,
                      int16_t key_number, int16_t /*lock*/) noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->GetGreater(handle, data, length, key, key_number)
                          : BTRV_ERR_FILE_NOT_OPEN;
}

int16_t btrGetNext(int32_t handle, void* data, uint32_t& length, int16_t /*lock*/) noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->GetNext(handle, data, length) : BTRV_ERR_FILE_NOT_OPEN;
}

int16_t btrInsert(int32_t handle, const void* data, uint32_t& length, int16_t /*lock*/) noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->Insert(handle, data, length) : BTRV_ERR_FILE_NOT_OPEN;
}

int16_t btrClose(int32_t handle) noexcept {
  Store* store = Store::Current();
  return store != nullptr ? store->Close(handle) : BTRV_ERR_FILE_NOT_OPEN;
}

// Copy of one kind of ap records from one agency to another.
#pragma once

#include <cstdint>
#include <string>

namespace recstore {

struct ApCopyStats {
  std::size_t copied = 0;   // records inserted with status 0
  std::size_t refused = 0;  // inserts that returned a non-zero status (record missing)
  // Inserts queued on a borrowed connection were lost (recstore::QueuedInsertsLost), so
  // records counted as copied may be missing; `error` says why. Never set on the store's
  // own connection, where nothing is queued.
  bool incomplete = false;
  std::string error;
};

// Scans `read_handle` in key-0 order from record type + "000" + from_code and inserts,
// through `write_handle`, every record whose first eight bytes equal that text, with bytes
// 7 and 8 replaced by to_code. `size` is the process-wide length variable: it is set to the
// buffer's full length before every read, and each insert passes the length the read
// returned. Reports nothing and throws nothing: a failed read ends the scan, a refused
// insert is counted and the scan goes on. Ends with recstore::Flush, so on a borrowed
// connection every insert has reached the server (or `incomplete` is set) on return.
ApCopyStats CopyApRecords(int32_t read_handle, int32_t write_handle, uint32_t& size,
                          const std::string& from_code, const std::string& to_code,
                          const std::string& record_type) noexcept;

}  // namespace recstore

// Copy of one kind of ap records from one agency to another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace recstore {

// One record whose insert the store refused.
struct RefusedRecord {
  std::string key;  // key 0 of the record as it was to be inserted (destination code)
  int16_t status = 0;
  std::string reason;  // the store's text for the refusal
};

struct ApCopyStats {
  std::size_t copied = 0;   // records inserted with status 0
  std::size_t refused = 0;  // inserts that returned a non-zero status (record missing)
  // The first refused records (at most 20), in scan order.
  std::vector<RefusedRecord> refused_records;
  // The status of a read that ended the scan with neither a record nor end of file (a lost
  // connection, a record longer than the buffer, ...), 0 when the scan ended normally;
  // `read_error` is the store's text for it. The kind is then not completely copied.
  int16_t read_status = 0;
  std::string read_error;
  // Key 0 of the source record read last (""; none was read).
  std::string last_key;
  // The kind was not completely copied for a reason other than a read, which `error` gives:
  // inserts queued on a borrowed connection were lost (recstore::QueuedInsertsLost), so
  // records counted as copied may be missing, or the destination code was too short to
  // copy anything into.
  bool incomplete = false;
  std::string error;
};

// Scans `read_handle` in key-0 order from the ap key prefix of record_type and from_code and
// inserts, through `write_handle`, every record whose first eight bytes equal that text, with bytes
// 7 and 8 replaced by to_code (its first two characters; a shorter code copies nothing and
// sets `incomplete`). `size` is the process-wide length variable: it is set to the
// buffer's full length before every read, and each insert passes the length the read
// returned. Throws nothing: a failed read ends the scan and is kept in read_status, a
// refused insert is counted and kept and the scan goes on. Ends with recstore::Flush, so on a
// borrowed connection every insert has reached the server (or `incomplete` is set) on return.
ApCopyStats CopyApRecords(int32_t read_handle, int32_t write_handle, uint32_t& size,
                          const std::string& from_code, const std::string& to_code,
                          const std::string& record_type) noexcept;

}  // namespace recstore

// Copy of one kind of ap records from one agency to another.
#include "recstore/ap_copy.h"

#include <array>

#include "recstore/ap_file.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"

namespace recstore {

ApCopyStats CopyApRecords(int32_t read_handle, int32_t write_handle, uint32_t& size,
                          const std::string& from_code, const std::string& to_code,
                          const std::string& record_type) noexcept {
  ApCopyStats stats;
  // A loss before this scan already means the transaction lacks records.
  if (QueuedInsertsLost()) {
    stats.incomplete = true;
    stats.error = "record inserts queued earlier in this transaction were lost";
  }
  // On a borrowed connection the store queues inserts, and any operation that sends the
  // queue may report the loss of records whose inserts returned 0; the first such failure
  // is the one to name.
  const auto note_loss = [&stats] {
    if (!stats.incomplete && QueuedInsertsLost()) {
      stats.incomplete = true;
      stats.error = LastErrorText();
    }
  };
  // Both bytes of the agency code are overwritten; a shorter code would leave a byte of
  // the source agency behind and file the copy under a third agency.
  if (to_code.size() < 2) {
    return stats;
  }
  try {
    const std::string key = ApKeyPrefix(record_type, from_code);
    std::array<unsigned char, kApRecordLength> record{};
    // The full buffer length before every read: a record longer than the length passed is
    // refused by the store, which would end the scan early (or, delivered cut short, be
    // inserted cut short).
    size = kApRecordLength;
    int16_t status = btrGetGreater(read_handle, record.data(), size, key.c_str(), 0, 0);
    while (status == BTRV_ERR_NONE) {
      // Records of one type and agency lie together in key order, so the first record
      // with another prefix ends the scan. A key shorter than eight bytes never matches.
      if (!ApRecordHasPrefix(record.data(), size, record_type, from_code)) {
        break;
      }
      record[6] = static_cast<unsigned char>(to_code[0]);
      record[7] = static_cast<unsigned char>(to_code[1]);
      // A refused insert (typically a duplicate already at the destination) loses only
      // that record; the rest of the kind is still worth copying.
      if (btrInsert(write_handle, record.data(), size, 0) == BTRV_ERR_NONE) {
        ++stats.copied;
      } else {
        ++stats.refused;
        note_loss();
      }
      size = kApRecordLength;
      status = btrGetNext(read_handle, record.data(), size, 0);
    }
    note_loss();
    if (Flush() != BTRV_ERR_NONE) {
      note_loss();
    }
  } catch (...) {
    // Only building the key or the test text can throw (out of memory); the counts so
    // far are still true.
  }
  return stats;
}

}  // namespace recstore

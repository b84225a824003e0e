// Copy of one kind of ap records from one agency to another.
#include "recstore/ap_copy.h"

#include <algorithm>
#include <array>

#include "recstore/ap_file.h"
#include "recstore/btrv_constants.h"
#include "recstore/recstore.h"

namespace recstore {

namespace {

// How many refused records a copy names; the count covers the rest.
constexpr std::size_t kRefusedKept = 20;

std::string RecordKey(const unsigned char* record, uint32_t length) {
  return std::string(reinterpret_cast<const char*>(record),
                     std::min<std::size_t>(length, kKeyLength));
}

// Keeps a refused insert: counted, and the first few named with the store's reason.
void KeepRefusal(ApCopyStats& stats, const unsigned char* record, uint32_t length, int16_t status) {
  ++stats.refused;
  if (stats.refused_records.size() < kRefusedKept) {
    stats.refused_records.push_back({RecordKey(record, length), status, LastErrorText()});
  }
}

// Both bytes of the agency code are overwritten; a shorter code would leave a byte of the
// source agency behind and file the copy under a third agency. Nothing is copied, and the
// caller must not take that for a kind without records.
void RefuseShortCode(ApCopyStats& stats, const std::string& to_code) {
  if (!stats.incomplete) {
    stats.incomplete = true;
    stats.error = "the destination code \"" + to_code + "\" is shorter than " +
                  std::to_string(kApAgencyLength) + " characters";
  }
}

}  // namespace

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
  try {
    if (to_code.size() < kApAgencyLength) {
      RefuseShortCode(stats, to_code);
      return stats;
    }
    const std::string key = ApKeyPrefix(record_type, from_code);
    std::array<unsigned char, kApRecordLength> record{};
    // The full buffer length before every read: a record longer than the length passed is
    // refused by the store, which would end the scan early (or, delivered cut short, be
    // inserted cut short).
    size = kApRecordLength;
    // The scan reads records in batches, also on the store's own connection.
    const ScanReadAhead scan(read_handle, key);
    int16_t status = btrGetGreater(read_handle, record.data(), size, key.c_str(), 0, 0);
    while (status == BTRV_ERR_NONE || status == BTRV_ERR_DATA_BUF_SHORT) {
      // Records of one type and agency lie together in key order, so the first record
      // with another prefix ends the scan. A key shorter than eight bytes never matches.
      // A long record of another prefix ends it too: it is not ours to copy.
      if (!ApRecordHasPrefix(record.data(), size, record_type, from_code)) {
        status = BTRV_ERR_NONE;
        break;
      }
      if (status != BTRV_ERR_NONE) {
        // Inserting the part that fitted would file a record cut short.
        stats.last_key = RecordKey(record.data(), size);
        break;
      }
      stats.last_key = RecordKey(record.data(), size);
      ApSetAgency(record.data(), to_code);
      // A refused insert (typically a duplicate already at the destination) loses only
      // that record; the rest of the kind is still worth copying, but the refusal is kept
      // so the run cannot end as a success.
      const int16_t insert_status = btrInsert(write_handle, record.data(), size, 0);
      if (insert_status == BTRV_ERR_NONE) {
        ++stats.copied;
      } else {
        KeepRefusal(stats, record.data(), size, insert_status);
        note_loss();
      }
      size = kApRecordLength;
      status = btrGetNext(read_handle, record.data(), size, 0);
    }
    // End of file ends every scan that reaches the last record; anything else is a failure
    // that would otherwise leave the kind silently short.
    if (status != BTRV_ERR_NONE && status != BTRV_ERR_END_OF_FILE) {
      stats.read_status = status;
      stats.read_error = LastErrorText();
    }
    note_loss();
    if (Flush() != BTRV_ERR_NONE) {
      note_loss();
    }
  } catch (...) {
    // Only building the key or the texts can throw (out of memory); the counts so far
    // are still true, and the scan did not finish.
    stats.read_status = BTRV_ERR_IO;
    stats.read_error = "out of memory";
  }
  return stats;
}

}  // namespace recstore

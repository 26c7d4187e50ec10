// TBlobStream: the stream a TTavBaseTable hands out for a BLOB field. It is a
// memory stream loaded from the active record's BLOB when opened for reading
// (or reading and writing), served from the dataset's BLOB cache where it
// can be, and stored back into the active record buffer when a stream that
// was written to is freed; the table writes it at the next post.
//
// Callers must keep: the stream is freed before the dataset leaves the
// record (post, cancel, scroll); the write-back happens only when it is
// freed.
#pragma once

#include <cstdint>

#include "host/db/data_set.h"
#include "host/rtl/streams.h"

namespace host {
class TField;
}

namespace tav {

class TTavBaseTable;

class TBlobStream : public host::TMemoryStream {
 public:
  TBlobStream(host::TField* field, host::TBlobStreamMode mode);
  ~TBlobStream() override;

  int32_t Write(const void* buffer, int32_t count) override;

  bool Modified() const { return modified_; }
  bool Cached() const { return cached_; }
  bool Opened() const { return opened_; }

 private:
  host::TField* field_;       // borrowed
  TTavBaseTable* data_set_;   // borrowed
  host::TBlobStreamMode mode_;
  bool modified_ = false;
  host::TRecordBuffer record_buffer_ = nullptr;  // the dataset's, borrowed
  bool cached_ = false;
  bool opened_ = false;
};

}  // namespace tav

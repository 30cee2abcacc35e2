// What owns I/O records: every completion of a record goes to its owner, which
// runs its own state machine. The loop only waits and dispatches.
#pragma once

#include "platform/io_port.h"

namespace lattice {

class IoObject {
 public:
  IoObject() = default;
  virtual ~IoObject() = default;
  IoObject(const IoObject&) = delete;
  IoObject& operator=(const IoObject&) = delete;

  // Every completion of one of this object's records, also after it closed:
  // then it only settles the count of its transfers in flight.
  virtual void OnCompletion(const platform::Completion& completion) = 0;
};

// Records are prepared with their owner as an IoObject, so this cast is exact
// whatever else the owner derives from.
inline void PrepareOwnedRecord(platform::IoRecord* record, platform::IoTag tag, IoObject* owner) {
  platform::PrepareRecord(record, tag, owner);
}

inline IoObject* OwnerOfRecord(const platform::IoRecord* record) {
  return static_cast<IoObject*>(platform::OwnerOf(record));
}

}  // namespace lattice

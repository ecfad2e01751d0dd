// Repair of record files at load: what a crash in the middle of a change leaves behind is taken
// out before the server writes to the file again.
//
// A killed server can leave three things in a record file keyed by identifier:
//  - a partial record at the end (an append cut short);
//  - a second copy of a record at the end (a removal stopped between moving the last record
//    into the hole and truncating). Lookups take the first copy, so the file reads as before,
//    but an edit changes only the first copy and a later removal can move the stale one in
//    front of it: the copy must go before anything is written;
//  - records whose owner is gone (a change spanning several files stopped half-way: the owner's
//    record is removed first and written last, so these are the records of a removal or an
//    insertion that did not complete).
// The loaders walk their files through record_load_repair, which drops the first two kinds; a
// second walk once every owner is loaded drops the third.
#ifndef ORVANE_OBJECTS_RECORD_REPAIR_H_
#define ORVANE_OBJECTS_RECORD_REPAIR_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/filedb_fixed.h"
#include "objects/record.h"

namespace orvane {

// Decides for one record whether it stays in the file (true) or is dropped.
using record_keep_fn = std::function<bool(const record& rec)>;

// Walks a record file keyed by identifier like record_list (every key is noted as in use), but
// passes only the first record of each key to keep. When a key repeats, keep drops a record or
// the file ends in a partial record, the file is rewritten with the records kept, in their
// order. A missing file reads as empty and is not created. Returns 0, or the store's result
// when the file can't be read (nothing is rewritten then); a failed rewrite is logged and
// leaves the file as it was.
int record_load_repair(const kt::filedb_fixed& db, const record_keep_fn& keep);

// Replaces the file by one holding only the records at the byte offsets not listed in drop
// (the whole records before a partial tail). The new content goes to "<path>.repair", is
// synced and renamed over the file, so a crash leaves the old file or the new one. The file's
// mode is kept. Returns 0 or -1.
int record_file_rewrite(const kt::filedb_fixed& db, const std::vector<uint64_t>& drop);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_RECORD_REPAIR_H_

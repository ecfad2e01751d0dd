// Helpers shared by the files of the groups module (records, membership, commands). Not for
// other modules.
#ifndef ORVANE_OBJECTS_GROUPS_GROUP_INTERNAL_H_
#define ORVANE_OBJECTS_GROUPS_GROUP_INTERNAL_H_

#include <cstdint>

#include "objects/groups/group_records.h"

namespace orvane {

class domain;

// Writes a new record under an identifier drawn beforehand, so that the member records of a new
// group in its parents' files can be written before its own record: 0, or 0x13 (also when the
// identifier is in the file).
uint32_t _group_db_add_id(domain& d, group& gr, uint64_t id);
// Deletes both member files of the group (missing files are no error).
void _group_member_files_unlink(const domain& d, uint64_t group_id);

// True when child is parent itself or one of parent's ancestors (through member_of): linking
// child below parent would close a loop.
bool _group_is_ancestor(group& parent, const group& child);

// Whether gr may take the listed groups as parents: 0x604 when one of them is gr, 0x603 when gr
// is already an ancestor of one of them (a loop), else 0. The first failing entry decides.
uint32_t _group_validate_memberof(domain& d, group& gr, const group_list& list);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_GROUPS_GROUP_INTERNAL_H_

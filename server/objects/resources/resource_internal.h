// Helpers shared by the files of the resources module (records, commands). Not for other
// modules.
#ifndef ORVANE_OBJECTS_RESOURCES_RESOURCE_INTERNAL_H_
#define ORVANE_OBJECTS_RESOURCES_RESOURCE_INTERNAL_H_

#include <cstdint>

#include "objects/resources/resource.h"

namespace orvane {

class domain;

// Writes a new record under an identifier drawn beforehand, so that the permission records of a
// new resource can be written before its own record: 0, or 0x13 (also when the identifier is in
// the file).
uint32_t _resource_db_add_id(domain& d, resource& r, uint64_t id);

// Removes r and its whole subtree, depth first: for each resource the record, its permissions
// (record and member-table entry), its attributes (records) and its entries in the domain's
// tables. A record the store refuses ends that resource's removal with 0x13: for r itself
// nothing changes; a child that can't be removed stays (with its own subtree), the others go,
// and the result is that of the first refusal. *removed (when given) tells whether r itself
// went; the caller then takes r out of its parent's children table.
uint32_t _resource_remove(domain& d, resource& r, bool* removed = nullptr);

// 1 when r or one of its ancestors has the identifier, else 0.
int _resource_trace_id(const resource& r, uint64_t id);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_RESOURCES_RESOURCE_INTERNAL_H_

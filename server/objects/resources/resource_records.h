// Resource records: the "resources" file, the start-up loader that links the resource tree and
// finds the domain's six system resources, removal of a resource with its subtree, and the
// commands resourceInsert, resourceEdit, resourceRemove and resourceSearch.
#ifndef ORVANE_OBJECTS_RESOURCES_RESOURCE_RECORDS_H_
#define ORVANE_OBJECTS_RESOURCES_RESOURCE_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "objects/resources/resource.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

class domain;

// A new empty resource.
kt::ref_ptr<resource> resource_create();

// Reads the domain's resources into d.resources_by_name/by_id, links the tree and fills
// d.sys_res[] in sys_resource order. A resource whose parent is missing (or whose parent chain
// would loop) is removed with its subtree. Duplicate identifiers or names are skipped; repeated
// records and a partial tail left by a crash are dropped from the file. Returns
// 0; -1 when "ORVANE" is missing, -2 when one of the five others is; or the store's result when
// the file can't be read.
int resources_load(domain& d);

// Writes a new record under a fresh identifier (the parent identifier is taken from r.parent)
// and stores identifier and parent identifier in r on success. On failure r is unchanged and
// the result is 0x13.
uint32_t resource_db_add(domain& d, resource& r);
// Rewrites the record of r.id (type, parent identifier from r.parent, flags, name): 0 or 0x13.
uint32_t resource_db_edit(domain& d, const resource& r);
uint32_t resource_db_remove(domain& d, const resource& r);

// Empties the resource's attributes, permissions and children tables and drops its parent
// link.
void resource_flush(resource& r);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<resource> resource_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<resource> resource_get_by_name(domain& d, std::string_view name);

// The longest resource name the record keeps whole.
constexpr size_t RESOURCE_NAME_MAX = 127;

}  // namespace orvane

#endif  // ORVANE_OBJECTS_RESOURCES_RESOURCE_RECORDS_H_

// Resource records: the "resources" file, the start-up loader that links the resource tree and
// finds the domain's six system resources, removal of a resource with its subtree, and the
// commands resourceInsert, resourceEdit, resourceRemove and resourceSearch.
#ifndef ORVANE_OBJECTS_RESOURCES_RESOURCES_H_
#define ORVANE_OBJECTS_RESOURCES_RESOURCES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "objects/resources/resource.h"
#include "utils/refobj.h"

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

struct client;
struct globals;
struct processor_result;
class domain;
class token;

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
// the store's result is returned.
int resource_db_add(domain& d, resource& r);
// The same under an identifier drawn beforehand, so that the permission records of a new
// resource can be written before its own record. -2 when the identifier is in the file.
int _resource_db_add_id(domain& d, resource& r, uint64_t id);
// Rewrites the record of r.id (type, parent identifier from r.parent, flags, name).
int resource_db_edit(domain& d, const resource& r);
int resource_db_del(domain& d, const resource& r);

// Empties the resource's attributes, permissions and children tables and drops its parent
// link.
void resource_flush(resource& r);

// Removes r and its whole subtree, depth first: for each resource the record, its permissions
// (record and member-table entry), its attributes (records) and its entries in the domain's
// tables. A record the store refuses ends that resource's removal with the store's result; a
// child that can't be removed stays. The caller takes r out of its parent's children table.
int _resource_remove(domain& d, resource& r);

// 1 when r or one of its ancestors has the identifier, else 0.
int _resource_trace_id(const resource& r, uint64_t id);

// Lookups in the domain's tables (read lock held only for the lookup).
kt::ref_ptr<resource> resource_get_by_id(domain& d, uint64_t id);
kt::ref_ptr<resource> resource_get_by_name(domain& d, std::string_view name);

// The longest resource name the record keeps whole.
constexpr size_t RESOURCE_NAME_MAX = 127;

// The work of the commands on their "r" element, after the rights check. Each returns 0 with the
// resource concerned in *out, or a result code; every check runs before anything changes, so a
// refused request changes nothing. Add and edit also put back their records when the store
// refuses one.
//   add:    "name", "type", "parentId" (0: top level) and an optional "permissions" child.
//   edit:   "id" and the full new state; a "permissions" child replaces the permission list.
//   remove: "id"; the resource goes with its subtree (see _resource_remove).
uint32_t resource_xml_add(domain& d, const kt::xmldoc_node& rn, kt::ref_ptr<resource>* out);
uint32_t resource_xml_edit(domain& d, const kt::xmldoc_node& rn, kt::ref_ptr<resource>* out);
uint32_t resource_xml_remove(domain& d, const kt::xmldoc_node& rn, kt::ref_ptr<resource>* out);

// Command handlers: resourceInsert, resourceEdit, resourceRemove, resourceSearch.
uint32_t processor_resource_insert(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                   processor_result& r);
uint32_t processor_resource_edit(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                 processor_result& r);
uint32_t processor_resource_remove(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                   processor_result& r);
uint32_t processor_resource_search(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                   processor_result& r);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_RESOURCES_RESOURCES_H_

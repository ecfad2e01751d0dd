// The commands on the domain tree: domainInsert, domainEdit, domainRemove and domainSearch.
//
// Locking: the dispatcher holds the current domain's lock (for writing for the first three).
// Every change of the tree holds g.global_lock for writing; a command that changes another
// domain D (edit, remove) also holds D's lock for writing, so that nothing runs in D while its
// name or parent changes or its tables are emptied. The parent links (domain::parent,
// domain::parent_id) change only under both locks; whoever walks them without D's lock holds
// g.global_lock for reading. A holder of g.global_lock never blocks on a domain lock (it tries
// and backs off), since the dispatcher takes a domain lock before any handler asks for
// g.global_lock.
#ifndef ORVANE_OBJECTS_DOMAINS_DOMAIN_COMMANDS_H_
#define ORVANE_OBJECTS_DOMAINS_DOMAIN_COMMANDS_H_

#include <cstdint>
#include <string_view>

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
class user;

// Domain-name validation (validate_domain_name), also refusing names that do not fit the
// record's name field (0x309): the stored name must be the name in use.
int domain_name_check(std::string_view name);

// The work of the commands on the tree, for the caller's user u in the current domain d. Each
// hands back the domain it added, changed or removed (with a reference) in *out on success.
// Return 0 or the command's result code.
int domain_xml_add(globals& g, domain& d, const user& u, const kt::xmldoc_node& cmd,
                   kt::ref_ptr<domain>* out);
int domain_xml_edit(globals& g, domain& d, const user& u, const kt::xmldoc_node& cmd,
                    kt::ref_ptr<domain>* out);
int domain_xml_remove(globals& g, domain& d, const user& u, const kt::xmldoc_node& cmd,
                      kt::ref_ptr<domain>* out);

uint32_t processor_domain_insert(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                 processor_result& r);
uint32_t processor_domain_edit(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                               processor_result& r);
uint32_t processor_domain_remove(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                 processor_result& r);
uint32_t processor_domain_search(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                 processor_result& r);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_DOMAINS_DOMAIN_COMMANDS_H_

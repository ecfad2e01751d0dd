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

namespace orvane {

class command;

uint32_t processor_domain_insert(command& cmd);
uint32_t processor_domain_edit(command& cmd);
uint32_t processor_domain_remove(command& cmd);
uint32_t processor_domain_search(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_DOMAINS_DOMAIN_COMMANDS_H_

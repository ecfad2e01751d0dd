// The attribute commands: attrInsert, attrEdit and attrRemove (WRITE on the system resource of
// the target's kind: ORVANE for the domain's own, OrvaneUsers, OrvaneGroups, OrvaneNetClients, or
// OrvaneResources or the resource itself), attrSearch (the target's attributes; a user's with
// those it inherits) and getAttributes (attributes by path). Without a token a domain shows only
// its system settings.
#ifndef ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_COMMANDS_H_
#define ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_COMMANDS_H_

#include <cstdint>

namespace orvane {

class command;

uint32_t processor_attributes_insert(command& cmd);
uint32_t processor_attributes_edit(command& cmd);
uint32_t processor_attributes_remove(command& cmd);
uint32_t processor_attributes_search(command& cmd);
uint32_t processor_attributes_get_attributes(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_ATTRIBUTES_ATTRIBUTE_COMMANDS_H_

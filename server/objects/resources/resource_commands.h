// The resource commands: resourceInsert, resourceEdit, resourceRemove (WRITE on OrvaneResources)
// and resourceSearch (READ on OrvaneResources). The permission lists of the system resources
// change only by an administrator of the domain.
#ifndef ORVANE_OBJECTS_RESOURCES_RESOURCE_COMMANDS_H_
#define ORVANE_OBJECTS_RESOURCES_RESOURCE_COMMANDS_H_

#include <cstdint>

namespace orvane {

class command;

uint32_t processor_resource_insert(command& cmd);
uint32_t processor_resource_edit(command& cmd);
uint32_t processor_resource_remove(command& cmd);
uint32_t processor_resource_search(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_RESOURCES_RESOURCE_COMMANDS_H_

// The group commands: groupInsert, groupEdit, groupRemove (WRITE on OrvaneGroups) and
// groupSearch (READ on OrvaneGroups). Changing the membership of Administrators, or of a group
// nested in it, takes an administrator of the domain.
#ifndef ORVANE_OBJECTS_GROUPS_GROUP_COMMANDS_H_
#define ORVANE_OBJECTS_GROUPS_GROUP_COMMANDS_H_

#include <cstdint>

namespace orvane {

class command;

uint32_t processor_group_insert(command& cmd);
uint32_t processor_group_edit(command& cmd);
uint32_t processor_group_remove(command& cmd);
uint32_t processor_group_search(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_GROUPS_GROUP_COMMANDS_H_

// The user management commands: userInsert, userEdit, userRemove (WRITE on OrvaneUsers),
// userChangePwd (the user's own password with the old one; another's with WRITE on OrvaneUsers)
// and userSearch (READ on OrvaneUsers).
#ifndef ORVANE_OBJECTS_USERS_USER_COMMANDS_H_
#define ORVANE_OBJECTS_USERS_USER_COMMANDS_H_

#include <cstdint>

namespace orvane {

class command;

uint32_t processor_user_insert(command& cmd);
uint32_t processor_user_edit(command& cmd);
uint32_t processor_user_remove(command& cmd);
uint32_t processor_user_password(command& cmd);
uint32_t processor_user_search(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_USER_COMMANDS_H_

// The backup commands: backupCreate, backupRestore, backupDestroy (WRITE on the domain's ORVANE
// resource) and backupSearch (READ on it).
#ifndef ORVANE_OBJECTS_BACKUP_BACKUP_COMMANDS_H_
#define ORVANE_OBJECTS_BACKUP_BACKUP_COMMANDS_H_

#include <cstdint>

namespace orvane {

class command;

uint32_t processor_backup_create(command& cmd);
uint32_t processor_backup_restore(command& cmd);
uint32_t processor_backup_destroy(command& cmd);
uint32_t processor_backup_search(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_BACKUP_BACKUP_COMMANDS_H_

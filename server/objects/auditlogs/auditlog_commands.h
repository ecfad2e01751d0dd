// The audit log commands: getAuditLog (the entries of a time range, filtered, as XML or as a CSV
// file) and clearAuditLog. Both need a right on the domain's ORVANE resource: READ and WRITE.
#ifndef ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_COMMANDS_H_
#define ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_COMMANDS_H_

#include <cstdint>

namespace orvane {

class command;

uint32_t processor_get_auditlog(command& cmd);
uint32_t processor_clear_auditlog(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_AUDITLOGS_AUDITLOG_COMMANDS_H_

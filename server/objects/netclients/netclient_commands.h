// The net-client commands: netClientInsert, netClientEdit, netClientRemove, netClientSearch and
// netClientGetPfx. Each needs the caller's right on the domain's OrvaneNetClients resource
// (WRITE, READ for the search).
#ifndef ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_COMMANDS_H_
#define ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_COMMANDS_H_

#include <cstdint>

namespace orvane {

class command;

uint32_t processor_netclient_insert(command& cmd);
uint32_t processor_netclient_edit(command& cmd);
uint32_t processor_netclient_remove(command& cmd);
uint32_t processor_netclient_search(command& cmd);
uint32_t processor_netclient_get_pfx(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_NETCLIENTS_NETCLIENT_COMMANDS_H_

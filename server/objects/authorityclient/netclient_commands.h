// The net-client commands: netClientInsert, netClientEdit, netClientRemove, netClientSearch and
// netClientGetPfx. Each needs the caller's right on the domain's OrvaneNetClients resource
// (WRITE, READ for the search).
#ifndef ORVANE_OBJECTS_AUTHORITYCLIENT_NETCLIENT_COMMANDS_H_
#define ORVANE_OBJECTS_AUTHORITYCLIENT_NETCLIENT_COMMANDS_H_

#include <cstdint>

#include "xmldoc/xmldoc.h"

namespace orvane {

struct client;
struct globals;
struct processor_result;
class domain;
class token;

// The longest address string a record slot keeps whole.
constexpr size_t NETCLIENT_ADDRESS_MAX = 127;

// <netc name="..."><v4>..</v4><v6>..</v6></netc>: a new net client with its address lists and a
// client certificate; answers "insertedId".
uint32_t processor_netclient_insert(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result& r);
// <netc id="..." [name="..."]>..</netc>: renames the net client and replaces both address lists
// (no address children leave it without addresses).
uint32_t processor_netclient_edit(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                  processor_result& r);
// <netc id="..."/>: removes the net client, its attributes and its certificate files.
uint32_t processor_netclient_remove(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result& r);
// <s opt="...">pattern</s>: answers "netclients" with a "netc" element per matching name.
uint32_t processor_netclient_search(client& c, globals& g, domain* d, token* t,
                                    kt::xmldoc_node& cmd, processor_result& r);
// <netc id="..."/>: answers "netc" with the base64 of the net client's PKCS#12 bundle in "pfx".
uint32_t processor_netclient_get_pfx(client& c, globals& g, domain* d, token* t,
                                     kt::xmldoc_node& cmd, processor_result& r);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_AUTHORITYCLIENT_NETCLIENT_COMMANDS_H_

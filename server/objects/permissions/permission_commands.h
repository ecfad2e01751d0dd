// The rights queries getPermissions and getUserPermissions: a subject's rights on the resources
// a path names.
#ifndef ORVANE_OBJECTS_PERMISSIONS_PERMISSION_COMMANDS_H_
#define ORVANE_OBJECTS_PERMISSIONS_PERMISSION_COMMANDS_H_

#include <cstdint>
#include <string_view>

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

class command;
class domain;
class user;

// Fills result (a "permissions" element) with the subject's rights on the resources a path
// names: "" is the domain's ORVANE resource (reported as "/"), "/*" lists the top-level
// resources, "/ORVANE/OrvaneUsers" one resource, "/ORVANE/*" the children of one. Each "p"
// element has the attribute "p" (the name) and the flags in decimal as text ("0" without an
// entry). Returns 0 (also, with no element, for a walk beyond 32 resources), 0x11 for "*" before
// the last component, 0x401 for an unknown name or when nothing is reached, 0x402 for names out
// of parent order.
uint32_t permission_path_get(domain& d, const user& subject, std::string_view path,
                             kt::xmldoc_node& result);

// getPermissions and getUserPermissions: child "path"; optional attribute "user" (a nonzero
// decimal id, else a name) names the subject, which needs READ on OrvaneUsers. Without a token
// 0x101; an unknown user 0x108.
uint32_t processor_permissions_get_permissions(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_PERMISSIONS_PERMISSION_COMMANDS_H_

// What the resource and permission commands share: a resource's full state, which
// resourceEdit takes whole, and its permission list.
#ifndef ORVANE_CTL_RESOURCES_H_
#define ORVANE_CTL_RESOURCES_H_

#include <string>
#include <vector>

#include "objects.h"

namespace ctl {

struct permission_entry {
  std::string id;           // "0" for a new entry
  std::string member_type;  // "0" user, "1" group
  std::string member_id;
  uint32_t flags = 0;
};

std::vector<permission_entry> permissions_of(const kt::xmldoc_node* r);

// A resourceEdit command repeating the resource's state, with name, parent and type replaced
// where given (empty: unchanged) and, when perms is not null, the permission list.
std::unique_ptr<kt::xmldoc_node> resource_edit(context& c, const kt::xmldoc_node* r,
                                               const std::string& name,
                                               const std::string& parent_id,
                                               const std::string& type,
                                               const std::vector<permission_entry>* perms);

}  // namespace ctl

#endif  // ORVANE_CTL_RESOURCES_H_

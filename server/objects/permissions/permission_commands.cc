// The rights queries getPermissions and getUserPermissions.
#include "objects/permissions/permission_commands.h"

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "utils/logger.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

std::unique_ptr<kt::xmldoc_node> path_element(const user& subject, const resource& r,
                                              const std::string& label) {
  auto p = kt::xmldoc_node::create("p");
  p->attr_addval("p", label);
  p->set_value(std::to_string(permission_get(subject, PERMISSION_TARGET_RESOURCE, r.id)));
  return p;
}

// Appends one element per resource of d whose parent is parent_id, in the table's order.
void list_children(domain& d, const user& subject, uint64_t parent_id, kt::xmldoc_node& result) {
  std::vector<kt::ref_ptr<resource>> found;
  {
    std::shared_lock lock(d.resources_by_id.rwlock());
    d.resources_by_id.for_each([&](uint64_t, kt::ref_ptr<resource>& r) {
      if (r && r->parent_id == parent_id) found.push_back(r);
    });
  }
  for (const kt::ref_ptr<resource>& r : found) {
    result.add_child(path_element(subject, *r, r->name));
  }
}

// The user an attribute value names: a nonzero decimal number is an identifier, anything else
// a name.
kt::ref_ptr<user> user_named(domain& d, const std::string& value) {
  uint64_t id = 0;
  if (kt::decimal_parse(value, UINT64_MAX, &id) && id != 0) return d.users_by_id.get_rw(id);
  return d.users_by_name.get_rw(value);
}

}  // namespace

uint32_t permission_path_get(domain& d, const user& subject, std::string_view path,
                             kt::xmldoc_node& result) {
  if (path.empty()) {
    const kt::ref_ptr<resource> top = d.resources_by_id.get_rw(d.sys_res[SYS_RES_ORVANE]);
    if (!top) return E_RESOURCE_NOT_FOUND;
    result.add_child(path_element(subject, *top, "/"));
    return E_OK;
  }
  if (path == "/*") {
    list_children(d, subject, 0, result);
    return E_OK;
  }

  std::vector<kt::ref_ptr<resource>> walk;
  bool star = false;
  size_t pos = path.find('/');
  while (pos != std::string_view::npos) {
    const size_t start = pos + 1;
    pos = path.find('/', start);
    const std::string_view part =
        path.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start);
    if (part.empty()) continue;
    if (star) return E_INVALID_PATH;  // "*" must be the last component
    if (part == "*") {
      star = true;
      continue;
    }
    if (walk.size() == RESOURCE_MAX_PATH) return E_INVALID_REQUEST;
    kt::ref_ptr<resource> r = d.resources_by_name.get_rw(part);
    if (!r) return E_RESOURCE_NOT_FOUND;
    const uint64_t expected = walk.empty() ? 0 : walk.back()->id;
    if (r->parent_id != expected) return E_RESOURCE_PARENT_NOT_FOUND;
    walk.push_back(std::move(r));
  }
  if (walk.empty()) return E_RESOURCE_NOT_FOUND;
  if (star) {
    list_children(d, subject, walk.back()->id, result);
  } else {
    result.add_child(path_element(subject, *walk.back(), walk.back()->name));
  }
  return E_OK;
}

uint32_t processor_permissions_get_permissions(command& cmd) {
  // getUserPermissions needs no token from the dispatcher, but a subject all the same.
  if (cmd.who() == nullptr) return E_TOKEN_NOT_FOUND;
  domain& d = cmd.dom();
  kt::ref_ptr<user> subject(cmd.who());
  if (const kt::xmldoc_attr* who = cmd.element.attr_get("user");
      who != nullptr && !who->value.empty()) {
    // The right comes first, so that a caller without it learns nothing about user names.
    if (const uint32_t rc = cmd.require(SYS_RES_USERS, PERM_READ); rc != 0) return rc;
    subject = user_named(d, who->value);
    if (!subject) return E_USER_NOT_FOUND;
  }
  const kt::xmldoc_node* path = cmd.element.get("path");
  if (path == nullptr) return E_INVALID_REQUEST;
  auto result = kt::xmldoc_node::create("permissions");
  const uint32_t rc = permission_path_get(d, *subject, path->value(), *result);
  if (rc == E_OK) cmd.answer(std::move(result));
  return rc;
}

}  // namespace orvane

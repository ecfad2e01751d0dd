// The attribute queries: attrSearch (with the attributes a user inherits from its groups) and
// getAttributes (attributes by path), and the variables of inherited string values.
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "errors.h"
#include "objects/attributes/attribute_commands.h"
#include "objects/attributes/attribute_internal.h"
#include "objects/attributes/attribute_records.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource.h"
#include "objects/resources/resource_records.h"
#include "objects/search.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// The system resource whose READ right attrSearch needs for a target type.
constexpr int kSearchRight[] = {-1, SYS_RES_RESOURCES, SYS_RES_GROUPS, SYS_RES_USERS,
                                SYS_RES_NETCLIENTS};

// Appends a's element with its value; the short form for getAttributes.
kt::xmldoc_node* add_element(kt::xmldoc_node& out, const attribute& a, bool full) {
  kt::xmldoc_node* n = attribute_xml_add(out, a, full);
  if (!a.value.empty()) n->set_value(attribute_value_text(a));
  return n;
}

// What a caller without a token reads of a domain: its system settings (the token lifetime, the
// password policy, the portal), which a login page needs. Every other attribute needs a token
// of the domain.
bool visible(const attribute& a, bool with_token) {
  return with_token || (a.flags & ATTR_FLAG_SYSTEM) != 0;
}

// Every attribute of the table whose name matches (full form).
void list_matching(attribute_table& table, const regex_holder& re, bool with_token,
                   kt::xmldoc_node& out) {
  std::shared_lock lock(table.rwlock());
  table.for_each([&](const std::string& name, kt::ref_ptr<attribute>& a) {
    if (a && visible(*a, with_token) && re.match(name.c_str())) add_element(out, *a, true);
  });
}

// The attributes a user inherits: those of its direct groups (in the order of its membership
// list), then those of AllUsers, that match and that the user does not hold itself.
void list_inherited(domain& d, user& u, const regex_holder& re, kt::xmldoc_node& out) {
  std::unordered_set<std::string> own;
  {
    std::shared_lock lock(u.attributes.rwlock());
    u.attributes.for_each(
        [&](const std::string& name, kt::ref_ptr<attribute>&) { own.insert(name); });
  }
  std::vector<kt::ref_ptr<group>> groups;
  {
    std::shared_lock lock(u.groups.rwlock());
    u.groups.for_each([&](const uint64_t&, kt::ref_ptr<group>& gr) {
      if (gr && gr.get() != d.all_users.get()) groups.push_back(gr);
    });
  }
  if (d.all_users) groups.push_back(d.all_users);

  for (const kt::ref_ptr<group>& gr : groups) {
    std::shared_lock lock(gr->attributes.rwlock());
    gr->attributes.for_each([&](const std::string& name, kt::ref_ptr<attribute>& a) {
      if (!a || own.count(name) != 0 || !re.match(name.c_str())) return;
      kt::xmldoc_node* n = attribute_xml_add(out, *a, true);
      if (kt::xmldoc_attr* flags = n->attr_get("flags"); flags != nullptr) {
        flags->value = std::to_string(static_cast<unsigned>(a->flags) + ATTR_FLAG_INHERITED);
      }
      if (a->value.empty()) return;
      n->set_value(a->type == ATTR_TYPE_STRING ? attribute_replace_variables(a->value, d, u, *gr)
                                               : attribute_value_text(*a));
    });
  }
}

// The attributes of one table: all of them, or the one named (when name is given).
void list_path(attribute_table& table, const std::string* name, kt::xmldoc_node& out,
               bool with_token = true) {
  if (name != nullptr) {
    const kt::ref_ptr<attribute> a = table.get_rw(*name);
    if (a && visible(*a, with_token)) add_element(out, *a, false);
    return;
  }
  std::shared_lock lock(table.rwlock());
  table.for_each([&](const std::string&, kt::ref_ptr<attribute>& a) {
    if (a && visible(*a, with_token)) add_element(out, *a, false);
  });
}

bool is_name_part(std::string_view part) {
  return !part.empty() && part[0] == '=';
}

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    parts.push_back(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) return parts;
    start = slash + 1;
  }
}

// "@user[/.../=name]": the caller's own attributes, or another user's with READ on OrvaneUsers.
uint32_t path_user(const command& cmd, std::string_view uname, const std::string* name,
                   kt::xmldoc_node& out) {
  domain& d = cmd.dom();
  kt::ref_ptr<user> u(cmd.who());
  if (!uname.empty() && uname != u->uname) {
    if (const uint32_t rc = cmd.require(SYS_RES_USERS, PERM_READ); rc != 0) return rc;
    u = d.users_by_name.get_rw(std::string(uname));
    if (!u) return E_USER_NOT_FOUND;
  }
  list_path(u->attributes, name, out);
  return E_OK;
}

// "#group[/.../=name]": for a direct member of the group, or with READ on OrvaneGroups.
uint32_t path_group(const command& cmd, std::string_view gname, const std::string* name,
                    kt::xmldoc_node& out) {
  const kt::ref_ptr<group> gr = cmd.dom().groups_by_name.get_rw(std::string(gname));
  if (!gr) return E_GROUP_NOT_FOUND;
  if (!gr->member_users.get_rw(cmd.who()->id)) {
    if (const uint32_t rc = cmd.require(SYS_RES_GROUPS, PERM_READ); rc != 0) return rc;
  }
  list_path(gr->attributes, name, out);
  return E_OK;
}

// "/r1/.../rn[/=name]": the resources named from the top of the tree down; READ on rn or on
// OrvaneResources.
uint32_t path_resource(const command& cmd, const std::vector<std::string_view>& parts,
                       const std::string* name, kt::xmldoc_node& out) {
  domain& d = cmd.dom();
  const size_t end = parts.size() - (name != nullptr ? 1 : 0);
  for (size_t i = 1; i < end; ++i) {
    if (is_name_part(parts[i])) return E_INVALID_PATH;
  }
  if (end <= 1) return E_RESOURCE_NOT_FOUND;
  if (end - 1 > RESOURCE_MAX_PATH) return E_INVALID_REQUEST;
  kt::ref_ptr<resource> r;
  for (size_t i = 1; i < end; ++i) {
    kt::ref_ptr<resource> next = resource_get_by_name(d, parts[i]);
    if (!next) return E_RESOURCE_NOT_FOUND;
    // Each resource is the child of the one before; the first one is at the top.
    if (next->parent_id != (r ? r->id : 0)) return E_RESOURCE_PARENT_NOT_FOUND;
    r = std::move(next);
  }
  if (permission_check(*cmd.who(), PERMISSION_TARGET_RESOURCE, r->id, PERM_READ) != 0 &&
      cmd.require(SYS_RES_RESOURCES, PERM_READ) != 0) {
    return E_ACCESS_VIOLATION;
  }
  list_path(r->attributes, name, out);
  return E_OK;
}

uint32_t attributes_path_get(const command& cmd, std::string_view path, kt::xmldoc_node& out) {
  domain& d = cmd.dom();
  const bool with_token = cmd.who() != nullptr;
  if (path.empty() || path == "/") {
    list_path(d.attributes, nullptr, out, with_token);
    return E_OK;
  }
  const std::vector<std::string_view> parts = split_path(path);
  std::string name_text;
  const std::string* name = nullptr;
  if (parts.size() > 1 && is_name_part(parts.back())) {
    name_text = parts.back().substr(1);
    name = &name_text;
  }
  const char first = path[0];
  if (first == '/' && parts.size() == 2 && name != nullptr) {
    list_path(d.attributes, name, out, with_token);
    return E_OK;
  }
  if (first != '/' && first != '@' && first != '#') return E_INVALID_REQUEST;
  if (!with_token) return E_ACCESS_VIOLATION;
  if (first == '/') return path_resource(cmd, parts, name, out);
  if (parts.size() == 2 && name == nullptr) return E_INVALID_PATH;
  const std::string_view object = parts[0].substr(1);
  return first == '@' ? path_user(cmd, object, name, out) : path_group(cmd, object, name, out);
}

}  // namespace

std::string attribute_replace_variables(std::string_view text, const domain& d, const user& u,
                                        const group& gr) {
  const std::pair<std::string_view, std::string> variables[] = {
      {"${USERNAME}", u.uname}, {"${USERID}", std::to_string(u.id)},
      {"${DOMAIN}", d.name()},  {"${DOMAINID}", std::to_string(d.id)},
      {"${GROUP}", gr.name},    {"${GROUPID}", std::to_string(gr.id)},
  };
  std::string out(text);
  for (const auto& [variable, value] : variables) {
    const size_t pos = out.find(variable);
    if (pos != std::string::npos) out.replace(pos, variable.size(), value);
  }
  return out;
}

uint32_t processor_attributes_search(command& cmd) {
  domain& d = cmd.dom();
  uint8_t ttype = ATTR_TARGET_DOMAIN;
  if (const uint32_t rc = attribute_target_type(cmd.element, &ttype); rc != 0) return rc;
  if (ttype != ATTR_TARGET_DOMAIN) {
    if (const uint32_t rc = cmd.require(kSearchRight[ttype], PERM_READ); rc != 0) return rc;
  }
  // Only attributes of the addressed domain's objects: a domain target that names another
  // domain, by name or by identifier, is refused.
  attribute_target target;
  const std::string& target_text = cmd.element.attr_get("target")->value;
  if (ttype == ATTR_TARGET_DOMAIN && kt::decimal_prefix(target_text) == 0) {
    if (target_text != d.name()) return E_ACCESS_VIOLATION;
    target.table = &d.attributes;
  } else if (const uint32_t rc = attribute_target_resolve(d, cmd.element, ttype, &target);
             rc != 0) {
    return ttype == ATTR_TARGET_DOMAIN ? E_ACCESS_VIOLATION : rc;
  }
  regex_holder re;
  if (const uint32_t rc = search_pattern_compile(cmd.element, re); rc != 0) return rc;

  std::unique_ptr<kt::xmldoc_node> out = kt::xmldoc_node::create("attributes");
  list_matching(*target.table, re, cmd.who() != nullptr, *out);
  if (ttype == ATTR_TARGET_USER) {
    list_inherited(d, static_cast<user&>(*target.object), re, *out);
  }
  cmd.answer(std::move(out));
  return E_OK;
}

uint32_t processor_attributes_get_attributes(command& cmd) {
  std::unique_ptr<kt::xmldoc_node> out = kt::xmldoc_node::create("attributes");
  const kt::xmldoc_node* path = cmd.element.get("path");
  const uint32_t rc =
      path != nullptr ? attributes_path_get(cmd, path->value(), *out) : E_INVALID_REQUEST;
  cmd.answer(std::move(out));
  return rc;
}

}  // namespace orvane

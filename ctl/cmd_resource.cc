// resource add|list|show|edit|rm
#include "commands.h"
#include "resources.h"

namespace ctl {

std::vector<permission_entry> permissions_of(const kt::xmldoc_node* r) {
  std::vector<permission_entry> out;
  if (const kt::xmldoc_node* list = r != nullptr ? r->get("permissions") : nullptr) {
    for (const auto& p : list->children()) {
      uint64_t flags = 0;
      parse_number(attr(p.get(), "flags"), &flags);
      out.push_back({attr(p.get(), "id"), attr(p.get(), "memberType"), attr(p.get(), "memberId"),
                     static_cast<uint32_t>(flags)});
    }
  }
  return out;
}

std::unique_ptr<kt::xmldoc_node> resource_edit(context& c, const kt::xmldoc_node* r,
                                               const std::string& name,
                                               const std::string& parent_id,
                                               const std::string& type,
                                               const std::vector<permission_entry>* perms) {
  auto cmd = c.command("resourceEdit");
  kt::xmldoc_node* e = cmd->add_child(kt::xmldoc_node::create("r"));
  e->attr_addval("id", attr(r, "id"));
  e->attr_addval("name", name.empty() ? attr(r, "name") : name);
  e->attr_addval("type", type.empty() ? attr(r, "type") : type);
  e->attr_addval("parentId", parent_id.empty() ? attr(r, "parentId") : parent_id);
  if (perms != nullptr) {
    kt::xmldoc_node* list = e->add_child(kt::xmldoc_node::create("permissions"));
    for (const permission_entry& p : *perms) {
      kt::xmldoc_node* pe = list->add_child(kt::xmldoc_node::create("p"));
      pe->attr_addval("id", p.id);
      pe->attr_addval("memberType", p.member_type);
      pe->attr_addval("memberId", p.member_id);
      pe->attr_addval("flags", std::to_string(p.flags));
    }
  }
  return cmd;
}

namespace {

// The identifier of the parent named by --parent ("" for none given, "0" for --top).
bool parent_option(context& c, std::string* id, answer* failed) {
  if (c.args.has("top")) {
    *id = "0";
    return true;
  }
  if (!c.args.has("parent")) return true;
  found p = find(c, kResources, c.args.get("parent"));
  if (!p.a.ok()) {
    *failed = std::move(p.a);
    return false;
  }
  *id = attr(p.item, "id");
  return true;
}

int list(context& c, const std::vector<std::string>& w) {
  const answer a = search(c, kResources, w.empty() ? "" : w[0], c.args.has("case"));
  if (!a.ok()) return c.fail(a);
  name_index names;
  for (const kt::xmldoc_node* r : items(a, kResources)) {
    names.entries.emplace_back(attr(r, "id"), attr(r, "name"));
  }
  table t{{"id", "name", "parent", "type", "flags", "permissions"}, {}};
  for (const kt::xmldoc_node* r : items(a, kResources)) {
    const std::string parent = attr(r, "parentId");
    t.add({attr(r, "id"), attr(r, "name"), parent == "0" ? "-" : names.name_of(parent),
           attr(r, "type"), attr(r, "flags"), std::to_string(permissions_of(r).size())});
  }
  c.print(t);
  return 0;
}

int show(context& c, const std::vector<std::string>& w) {
  found f = find(c, kResources, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  record r;
  r.add("id", attr(f.item, "id"));
  r.add("name", attr(f.item, "name"));
  r.add("parent_id", attr(f.item, "parentId"));
  r.add("type", attr(f.item, "type"));
  r.add("flags", attr(f.item, "flags"));
  std::vector<std::string> children;
  if (const kt::xmldoc_node* m = f.item->get("members")) {
    for (const auto& cr : m->children()) children.push_back(attr(cr.get(), "id"));
  }
  r.add("children", join(children));
  std::vector<std::string> perms;
  for (const permission_entry& p : permissions_of(f.item)) {
    perms.push_back((p.member_type == "1" ? "group:" : "user:") + p.member_id + "=" +
                    rights_text(p.flags));
  }
  r.add("permissions", join(perms, " "));
  c.print(r);
  return 0;
}

int add(context& c, const std::vector<std::string>& w) {
  std::string parent;
  answer failed;
  if (!parent_option(c, &parent, &failed)) return c.fail(failed);
  auto cmd = c.command("resourceInsert");
  kt::xmldoc_node* r = cmd->add_child(kt::xmldoc_node::create("r"));
  r->attr_addval("name", w[0]);
  r->attr_addval("type", c.args.get("type", "0"));
  r->attr_addval("parentId", parent.empty() ? "0" : parent);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  record rec;
  rec.add("id", id != nullptr ? id->value() : "");
  rec.add("name", w[0]);
  return c.done(a, "resource " + w[0] + " added (id " + rec.fields[0].second + ")", rec);
}

int edit(context& c, const std::vector<std::string>& w) {
  found f = find(c, kResources, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  std::string parent;
  answer failed;
  if (!parent_option(c, &parent, &failed)) return c.fail(failed);
  const answer a =
      c.call(resource_edit(c, f.item, c.args.get("rename"), parent, c.args.get("type"), nullptr));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "resource " + c.args.get("rename", w[0]) + " changed");
}

int remove(context& c, const std::vector<std::string>& w) {
  found f = find(c, kResources, w[0]);
  if (!f.a.ok()) return c.fail(f.a);
  auto cmd = c.command("resourceRemove");
  cmd->add_child(kt::xmldoc_node::create("r"))->attr_addval("id", attr(f.item, "id"));
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "resource " + w[0] + " removed with everything below it");
}

constexpr verb kVerbs[] = {
    {"add", "NAME [--parent RESOURCE] [--type N]",
     "Adds a resource, at the top level or below --parent. The type is a number of the\n"
     "application's choosing (default 0).",
     "parent type", 1, 1, add},
    {"list", "[PATTERN] [--case]", "Lists the resources whose names match PATTERN.", "case", 0, 1,
     list},
    {"show", "NAME", "Shows a resource with its children and permissions.", "", 1, 1, show},
    {"edit", "NAME [--rename NEW] [--parent RESOURCE | --top] [--type N]",
     "Renames, moves or retypes a resource; its permissions stay.", "rename parent top type", 1, 1,
     edit},
    {"rm", "NAME", "Removes a resource and its whole subtree.", "", 1, 1, remove},
};

}  // namespace

const family kResourceFamily{"resource", "the resource tree", kVerbs, std::size(kVerbs)};

}  // namespace ctl

// attr list|get|add|set|rm: typed attributes of the domain, users, groups, resources and net
// clients.
#include "commands.h"
#include "objects.h"

namespace ctl {

namespace {

constexpr const char* kTypeNames[] = {"", "boolean", "number", "decimal", "string", "binary"};
constexpr const char* kTargetNames[] = {"domain", "resource", "group", "user", "netclient"};

std::string type_name(const std::string& code) {
  uint64_t v = 0;
  return parse_number(code, &v) && v >= 1 && v <= 5 ? kTypeNames[v] : code;
}

int type_code(const std::string& name) {
  for (int i = 1; i <= 5; ++i) {
    if (name == kTypeNames[i] || name == std::to_string(i)) return i;
  }
  return -1;
}

// The target of --on (domain, user:NAME, group:NAME, resource:NAME, netclient:NAME): its type
// code and identifier.
bool target_option(context& c, int* type, std::string* id, answer* failed, int* usage) {
  const std::string on = c.args.get("on", "domain");
  const size_t colon = on.find(':');
  const std::string kind = on.substr(0, colon);
  const std::string name = colon == std::string::npos ? "" : on.substr(colon + 1);
  const object_kind* k = nullptr;
  if (kind == "domain" && name.empty()) {
    k = &kDomains;
    *type = 0;
  } else if (kind == "resource") {
    k = &kResources;
    *type = 1;
  } else if (kind == "group") {
    k = &kGroups;
    *type = 2;
  } else if (kind == "user") {
    k = &kUsers;
    *type = 3;
  } else if (kind == "netclient") {
    k = &kNetclients;
    *type = 4;
  }
  if (k == nullptr || (*type != 0 && name.empty())) {
    *usage = c.usage_error(
        "--on takes domain, user:NAME, group:NAME, resource:NAME or "
        "netclient:NAME");
    return false;
  }
  found f = find(c, *k, *type == 0 ? c.domain : name);
  if (!f.a.ok()) {
    *failed = std::move(f.a);
    return false;
  }
  *id = attr(f.item, "id");
  return true;
}

template <typename Fill>
int with_target(context& c, const char* command, Fill fill, answer* out) {
  int type = 0;
  std::string id;
  answer failed;
  int usage = 0;
  if (!target_option(c, &type, &id, &failed, &usage)) {
    if (usage != 0) return usage;
    *out = std::move(failed);
    return -1;
  }
  auto cmd = c.command(command);
  cmd->attr_addval("targettype", std::to_string(type));
  cmd->attr_addval("target", id);
  fill(*cmd);
  *out = c.call(std::move(cmd));
  return -1;
}

table attributes_table(const answer& a) {
  table t{{"id", "name", "type", "flags", "target", "value"}, {}};
  if (const kt::xmldoc_node* list = a.find("attributes")) {
    for (const auto& n : list->children()) {
      uint64_t target = 0;
      parse_number(attr(n.get(), "ttype"), &target);
      const std::string tt = attr(n.get(), "ttype");
      t.add({attr(n.get(), "id"), attr(n.get(), "name"), type_name(attr(n.get(), "type")),
             attr(n.get(), "flags"), tt.empty() ? "" : (target <= 4 ? kTargetNames[target] : tt),
             n->value()});
    }
  }
  return t;
}

int list(context& c, const std::vector<std::string>& w) {
  answer a;
  const std::string pattern = w.empty() ? "" : w[0];
  const int rc = with_target(
      c, "attrSearch",
      [&](kt::xmldoc_node& cmd) {
        kt::xmldoc_node* s = cmd.add_child(kt::xmldoc_node::create("s"));
        s->set_value(pattern);
        s->attr_addval("opt", c.args.has("case") ? "1" : "0");
      },
      &a);
  if (rc >= 0) return rc;
  if (!a.ok()) return c.fail(a);
  c.print(attributes_table(a));
  return 0;
}

int get(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("getAttributes");
  cmd->add_child(kt::xmldoc_node::create("path"))->set_value(w.empty() ? "" : w[0]);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  c.print(attributes_table(a));
  return 0;
}

int write(context& c, const std::vector<std::string>& w, const char* command) {
  const bool insert = std::string(command) == "attrInsert";
  int type = type_code(c.args.get("type", insert ? "string" : ""));
  if (c.args.has("type") && type < 0) {
    return c.usage_error("--type is boolean, number, decimal, string or binary");
  }
  answer a;
  const int rc = with_target(
      c, command,
      [&](kt::xmldoc_node& cmd) {
        kt::xmldoc_node* e = cmd.add_child(kt::xmldoc_node::create("a"));
        e->attr_addval("name", w[0]);
        if (type > 0) e->attr_addval("type", std::to_string(type));
        if (c.args.has("flags")) e->attr_addval("flags", c.args.get("flags"));
        if (w.size() > 1) e->set_value(w[1]);
      },
      &a);
  if (rc >= 0) return rc;
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  record r;
  if (id != nullptr) r.add("id", id->value());
  r.add("name", w[0]);
  return c.done(a,
                "attribute " + w[0] + (insert ? " added" : " set") +
                    (id != nullptr ? " (id " + id->value() + ")" : ""),
                r);
}

int add(context& c, const std::vector<std::string>& w) {
  return write(c, w, "attrInsert");
}
int set(context& c, const std::vector<std::string>& w) {
  return write(c, w, "attrEdit");
}

int remove(context& c, const std::vector<std::string>& w) {
  answer a;
  const int rc = with_target(
      c, "attrRemove",
      [&](kt::xmldoc_node& cmd) {
        cmd.add_child(kt::xmldoc_node::create("a"))->attr_addval("name", w[0]);
      },
      &a);
  if (rc >= 0) return rc;
  if (!a.ok()) return c.fail(a);
  return c.done(a, "attribute " + w[0] + " removed");
}

constexpr verb kVerbs[] = {
    {"list", "[PATTERN] [--on TARGET] [--case]",
     "Lists the attributes of a target whose names match PATTERN. TARGET is domain\n"
     "(default), user:NAME, group:NAME, resource:NAME or netclient:NAME; a user's list\n"
     "also shows what it inherits from its groups (flag 16 added).",
     "on case", 0, 1, list},
    {"get", "[PATH]",
     "Reads attributes by path as applications do: '' or / (domain), /=NAME, @USER,\n"
     "@USER/=NAME, #GROUP, /RES1/RES2, /RES1/=NAME.",
     "", 0, 1, get},
    {"add", "NAME [VALUE] [--on TARGET] [--type TYPE] [--flags N]",
     "Adds an attribute. TYPE: boolean, number, decimal, string (default) or binary\n"
     "(VALUE in base64). Flags: 4 keeps it from removal.",
     "on type flags", 1, 2, add},
    {"set", "NAME [VALUE] [--on TARGET] [--type TYPE] [--flags N]",
     "Changes an attribute's value (type and flags when given). Domain settings such\n"
     "as expireTokenSec or passwordMinLength take effect at once.",
     "on type flags", 1, 2, set},
    {"rm", "NAME [--on TARGET]", "Removes an attribute.", "on", 1, 1, remove},
};

}  // namespace

const family kAttrFamily{"attr", "typed attributes and domain settings", kVerbs, std::size(kVerbs)};

}  // namespace ctl

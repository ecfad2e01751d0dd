// backup create|list|restore|rm
#include "commands.h"
#include "objects.h"

namespace ctl {

namespace {

int create(context& c, const std::vector<std::string>& w) {
  auto cmd = c.command("backupCreate");
  cmd->set_value(w[0]);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* id = a.find("insertedId");
  record r;
  r.add("id", id != nullptr ? id->value() : "");
  r.add("name", w[0]);
  return c.done(a, "backup " + w[0] + " of " + c.domain + " made (id " + r.fields[0].second + ")",
                r);
}

int list(context& c, const std::vector<std::string>&) {
  const answer a = c.call(c.command("backupSearch"));
  if (!a.ok()) return c.fail(a);
  table t{{"id", "name", "time", "user_id"}, {}};
  if (const kt::xmldoc_node* list = a.find("backups")) {
    for (const auto& b : list->children()) {
      t.add({attr(b.get(), "id"), b->value(), time_text(attr(b.get(), "time")),
             attr(b.get(), "user")});
    }
  }
  c.print(t);
  return 0;
}

int by_id(context& c, const std::vector<std::string>& w, const char* command, const char* done) {
  uint64_t id = 0;
  if (!parse_number(w[0], &id)) return c.usage_error("a backup is named by its identifier");
  auto cmd = c.command(command);
  cmd->attr_addval("id", w[0]);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  return c.done(a, "backup " + w[0] + " " + done);
}

int restore(context& c, const std::vector<std::string>& w) {
  return by_id(c, w, "backupRestore", "restored");
}
int remove(context& c, const std::vector<std::string>& w) {
  return by_id(c, w, "backupDestroy", "removed");
}

constexpr verb kVerbs[] = {
    {"create", "NAME", "Archives the domain's objects and audit log under a name.", "", 1, 1,
     create},
    {"list", "", "Lists the domain's backups.", "", 0, 0, list},
    {"restore", "ID",
     "Replaces the domain's objects with a backup's; the domain's tokens end (log in\n"
     "again afterwards).",
     "", 1, 1, restore},
    {"rm", "ID", "Deletes a backup archive.", "", 1, 1, remove},
};

}  // namespace

const family kBackupFamily{"backup", "backups of the domain", kVerbs, std::size(kVerbs)};

}  // namespace ctl

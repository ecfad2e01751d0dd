// Test support for the resource and permission commands: request builders and groups made
// directly through the groups module (for memberships the commands don't set up).
#ifndef ORVANE_TESTS_SERVER_RESOURCES_RESOURCE_TEST_SUPPORT_H_
#define ORVANE_TESTS_SERVER_RESOURCES_RESOURCE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "support/server_fixture.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {

// One permission entry of a "permissions" element.
inline std::string perm(uint64_t id, uint32_t member_type, uint64_t member_id, uint32_t flags) {
  return "<p id=\"" + std::to_string(id) + "\" memberType=\"" + std::to_string(member_type) +
         "\" memberId=\"" + std::to_string(member_id) + "\" flags=\"" + std::to_string(flags) +
         "\"/>";
}

class resource_commands_fixture : public server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    admin = admin_token();
  }

  // Tokens live in memory only: a restart needs a new one.
  void restart() {
    holder_.reset();
    server_fixture::restart();
    admin = admin_token();
  }

  orvane::domain& dom() {
    holder_ = domain_named("ORVANE");
    return *holder_;
  }
  void TearDown() override {
    holder_.reset();
    server_fixture::TearDown();
  }

  // A command of the ORVANE domain with a token, its attributes and its body.
  static std::string request(const std::string& command, const std::string& tok,
                             const std::string& body, const std::string& attrs = "") {
    std::string doc = "<orvane><" + command + " domain=\"ORVANE\"";
    if (!tok.empty()) doc += " token=\"" + tok + "\"";
    return doc + attrs + ">" + body + "</" + command + "></orvane>";
  }

  // resourceInsert; the new id goes to *id on success.
  uint32_t insert(const std::string& name, uint64_t parent, const std::string& perms = "",
                  uint64_t* id = nullptr, const std::string& tok = "") {
    std::string r =
        "<r name=\"" + name + "\" type=\"5\" parentId=\"" + std::to_string(parent) + "\">";
    if (!perms.empty()) r += "<permissions>" + perms + "</permissions>";
    const uint32_t code = run(request("resourceInsert", tok.empty() ? admin : tok, r + "</r>"));
    if (code == 0 && id != nullptr) {
      const kt::xmldoc_node* a = answer("insertedId");
      *id = a != nullptr ? std::stoull(a->value()) : 0;
    }
    return code;
  }

  // resourceEdit with the full state; perms_element is a whole "permissions" element or "".
  uint32_t edit(uint64_t id, const std::string& name, uint16_t type, uint64_t parent,
                const std::string& perms_element = "", const std::string& tok = "") {
    const std::string r = "<r id=\"" + std::to_string(id) + "\" name=\"" + name + "\" type=\"" +
                          std::to_string(type) + "\" parentId=\"" + std::to_string(parent) + "\">" +
                          perms_element + "</r>";
    return run(request("resourceEdit", tok.empty() ? admin : tok, r));
  }

  uint32_t remove(uint64_t id, const std::string& tok = "") {
    return run(request("resourceRemove", tok.empty() ? admin : tok,
                       "<r id=\"" + std::to_string(id) + "\"/>"));
  }

  // getPermissions for a path; the answer's "p" elements go to *out (name -> text).
  uint32_t get_permissions(const std::string& path, std::map<std::string, std::string>* out,
                           const std::string& tok = "", const std::string& attrs = "",
                           const std::string& command = "getPermissions") {
    const uint32_t code = run(request(command, tok, "<path>" + path + "</path>", attrs));
    if (out != nullptr) {
      out->clear();
      if (const kt::xmldoc_node* a = answer("permissions")) {
        for (const auto& p : a->children())
          (*out)[std::string(p->attr_get_value("p"))] = p->value();
      }
    }
    return code;
  }

  kt::ref_ptr<orvane::resource> resource_named(const std::string& name) {
    return dom().resources_by_name.get_rw(name);
  }
  uint64_t system_id(int which) { return dom().sys_res[which]; }
  uint64_t administrators_id() { return dom().administrators->id; }

  // A group stored and listed in the ORVANE domain.
  kt::ref_ptr<orvane::group> make_group(const std::string& name) {
    orvane::domain& d = dom();
    kt::ref_ptr<orvane::group> gr = orvane::group_create();
    gr->name = name;
    gr->dom = kt::ref_ptr<orvane::domain>(&d);
    EXPECT_EQ(orvane::group_db_add(d, *gr), 0);
    d.groups_by_name.insert_rw(gr->name, gr);
    d.groups_by_id.insert_rw(gr->id, gr);
    return gr;
  }
  void join_user(orvane::group& gr, uint64_t user_id) {
    orvane::domain& d = dom();
    EXPECT_EQ(orvane::group_member_db_add(d, gr, orvane::MEMBER_USER, user_id), 0);
    orvane::group_link_user(gr, *d.users_by_id.get_rw(user_id));
  }
  void join_group(orvane::group& parent, orvane::group& child) {
    EXPECT_EQ(orvane::group_member_db_add(dom(), parent, orvane::MEMBER_GROUP, child.id), 0);
    orvane::group_link_group(parent, child);
  }

  // The permissions element of an edit that keeps Administrators at full rights and adds more.
  std::string system_permissions(const std::string& more) {
    return "<permissions>" + perm(0, orvane::MEMBER_GROUP, administrators_id(), 7) + more +
           "</permissions>";
  }

  std::string admin;

 private:
  kt::ref_ptr<orvane::domain> holder_;
};

}  // namespace orvane_test

#endif  // ORVANE_TESTS_SERVER_RESOURCES_RESOURCE_TEST_SUPPORT_H_

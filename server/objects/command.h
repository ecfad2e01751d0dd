// One command of a request document as its handler sees it: who sent it, the domain it
// addresses, the token it quotes, its element and where its answer goes; with the rights checks
// every handler uses and the audit entry and change notification that follow a change.
//
// The dispatcher builds one for every command element and holds references on the domain and
// the token (and the domain's lock) while the handler runs.
#ifndef ORVANE_OBJECTS_COMMAND_H_
#define ORVANE_OBJECTS_COMMAND_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "utils/ipv4.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

struct globals;
class domain;
class token;
class user;

// The kinds of change a notification tells.
constexpr int CHANGE_INSERT = 1;
constexpr int CHANGE_EDIT = 2;
constexpr int CHANGE_REMOVE = 3;

// Who sent a request: the peer's address and the identity its client certificate carries.
struct caller {
  kt::ipv4_address peer{};         // prefix 32
  uint64_t cert_domain_id = 0;     // 0 without a certificate
  uint64_t cert_netclient_id = 0;  // 0 without a certificate
  bool on_loop = false;            // a network loop runs the command: domain locks are only tried
};

// Where the commands of one request document leave their answers.
struct answer_slot {
  // The answer element; a later command of the same document replaces it.
  std::unique_ptr<kt::xmldoc_node> element;
  // The response document's root, to which a handler may append elements of its own.
  kt::xmldoc_node* response_root = nullptr;
};

// What the body of an insert, edit or removal tells the handler shape (command::change).
struct change_report {
  std::string name;  // the object's name and identifier, once the change knows them
  uint64_t id = 0;
  bool changed = false;  // the object changed (also when a later step then failed): notify
  bool audit = false;    // audit even though nothing changed (a refusal of a known object)
};

class command {
 public:
  command(globals& g, const caller& from, domain* d, token* t, kt::xmldoc_node& element,
          answer_slot& out)
      : g(g), from(from), element(element), d_(d), t_(t), out_(out) {}
  command(const command&) = delete;
  command& operator=(const command&) = delete;

  globals& g;
  const caller& from;
  kt::xmldoc_node& element;

  // The addressed domain. Every command whose table entry requires a domain has one.
  domain& dom() const { return *d_; }
  domain* dom_or_null() const { return d_; }
  // The quoted token (a token of this domain), or none; and its user.
  token* tok() const { return t_; }
  user* who() const;

  // The rights check of the handlers: the token user's right (PERM_* flags) on one of the
  // domain's system resources (SYS_RES_*). 0, or 0x102 when refused or without a token.
  uint32_t require(int sys_res, uint32_t rights) const;
  // Whether the caller administers the domain (permission_check_admin): 0 or 0x102.
  uint32_t require_admin() const;

  // The answer element (replacing one an earlier command of the document left).
  void answer(std::unique_ptr<kt::xmldoc_node> element_out);
  // <insertedId>id</insertedId>, the answer of every insert.
  void answer_inserted_id(uint64_t id);
  // Appends an element to the response root itself.
  void append(std::unique_ptr<kt::xmldoc_node> element_out);

  // The text of the command's "audit" child, or "".
  const char* audit_text() const;
  // An audit entry in the domain's log: now, the code, the caller's address, the command's name,
  // the token user's name (or username), the audit code of the "audit" child and the text
  // formatted from format (cut to 1,499 bytes). Nothing when the domain has no log.
  void audit(uint32_t code, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  void audit_as(const char* username, uint32_t code, const char* format, ...) const
      __attribute__((format(printf, 4, 5)));
  // The entry "<kind> <name> (<id>) <verb> / <audit text>", written whatever the code.
  void audit_change(uint32_t code, const char* kind, std::string_view name, uint64_t id,
                    const char* verb) const;
  // Queues the change notification of a successful change (CHANGE_INSERT, CHANGE_EDIT or
  // CHANGE_REMOVE); obj_type is the notification's object type.
  void notify(const char* obj_type, uint64_t id, int change_type) const;
  // Both, after a successful change: the notification, then the audit entry with code 0.
  void changed(const char* kind, std::string_view name, uint64_t id, int change_type) const;

  // The shape every insert, edit and removal shares once its rights are checked: body parses the
  // request, writes the records and changes memory, and reports what it touched; then, when the
  // object changed, the change notification of type kind goes out; the audit entry "<kind>
  // <name> (<id>) added|edited|removed / ..." is written with body's result when the object
  // changed or body asked for it; and a successful insert answers the new identifier. Returns
  // body's result. notify_kind false leaves the notification out (attributes send none).
  template <class Body>
  uint32_t change(const char* kind, int change_type, Body&& body, bool notify_kind = true) {
    change_report report;
    const uint32_t rc = body(report);
    finish_change(kind, change_type, report, rc, notify_kind);
    return rc;
  }

 private:
  void finish_change(const char* kind, int change_type, const change_report& report, uint32_t rc,
                     bool notify_kind);

  domain* d_;
  token* t_;
  answer_slot& out_;
};

// The handler of a command: returns its result code.
using command_handler = uint32_t (*)(command& cmd);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_COMMAND_H_

// The command dispatcher. A request document (root "orvane") is run command by command: for each
// child element the dispatcher resolves the quoted token and the addressed domain, checks the
// command table's requirements, the domain's net-client restrictions and the certificate
// identity, counts the request, refreshes the token's expiry, locks the domain and calls the
// handler. The response gets at most one answer element and one "res" element with the last
// result code and its message.
#ifndef ORVANE_PROCESSOR_H_
#define ORVANE_PROCESSOR_H_

#include <cstdint>
#include <memory>
#include <string>

#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

struct globals;
struct client;
class domain;
class token;

// Bits of processor_function::flags.
constexpr uint16_t PROCESSOR_TOKEN = 0x1;      // the command must quote an existing token
constexpr uint16_t PROCESSOR_DOMAIN = 0x2;     // the command must address an existing domain
constexpr uint16_t PROCESSOR_EXCLUSIVE = 0x4;  // nothing else may run on the domain meanwhile
constexpr uint16_t PROCESSOR_AUDIT = 0x8;      // the command belongs to the audited API

// What a handler hands back besides its result code.
struct processor_result {
  static constexpr uint32_t kMessageCapacity = 512;

  std::string msg;  // the message of the result (at most 511 characters)
  uint32_t msg_size = kMessageCapacity;
  // The answer slot: a handler that answers with an element stores it here; a later command of
  // the same document replaces it.
  std::unique_ptr<kt::xmldoc_node>* answer = nullptr;
  // The response document's root; a handler may append elements to it directly.
  kt::xmldoc_node* response_root = nullptr;

  void set_answer(std::unique_ptr<kt::xmldoc_node> node) {
    if (answer != nullptr) *answer = std::move(node);
  }
  // Answers an insert with the new object's identifier: <insertedId>id</insertedId>.
  void set_answer_inserted_id(uint64_t id) {
    auto node = kt::xmldoc_node::create("insertedId");
    node->set_value(std::to_string(id));
    set_answer(std::move(node));
  }
};

// A command handler: (connection, server context, domain or none, token or none, command
// element, result) -> result code. The dispatcher holds a reference on the domain and the token
// for the duration of the call and holds the domain's lock.
using processor_handler = uint32_t (*)(client& c, globals& g, domain* d, token* t,
                                       kt::xmldoc_node& cmd, processor_result& r);

struct processor_function {
  const char* name;    // nullptr closes the table
  uint16_t flags;      // PROCESSOR_* bits
  uint16_t api_class;  // 0, or one of API_MANAGEMENT .. API_NSS_PROFILES
  processor_handler handler;
  // The command changes objects of its domain: the dispatcher takes the domain lock for writing,
  // so that no other command of the domain reads the objects while they change.
  bool modifies;
};

// The command table, in its fixed order, closed by an entry whose name is nullptr.
extern const processor_function processor_functions[];
// Looks a command up by its exact name (linear, in table order); nullptr when unknown.
const processor_function* processor_find(const char* name, size_t length);

// Runs the connection's request document and appends the answer and the "res" element to its
// response document. Returns 0.
int client_process(client& c);
// Runs every command of the request document; returns the result code of the last command that
// matched the table and leaves its message in r.msg.
uint32_t processor_process(client& c, globals& g, processor_result& r);

// The token quoted by a command element (its "token" attribute, else the text of its first
// "token" child), with a reference taken, or none.
kt::ref_ptr<token> processor_xml_get_token(globals& g, const kt::xmldoc_node& cmd);
// The domain addressed by a command element's "domain" attribute (an identifier when it starts
// with a digit, else a name), with a reference taken, or none.
kt::ref_ptr<domain> processor_xml_get_domain(globals& g, const kt::xmldoc_node& cmd);

// isValidToken: 0 when the dispatcher resolved a token for the command, else 0x101.
uint32_t processor_is_valid_token(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                                  processor_result& r);

}  // namespace orvane

#endif  // ORVANE_PROCESSOR_H_

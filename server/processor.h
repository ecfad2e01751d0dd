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

#include "objects/command.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

struct globals;
class client;
class domain;
class token;

// Bits of processor_function::flags.
constexpr uint16_t PROCESSOR_TOKEN = 0x1;      // the command must quote an existing token
constexpr uint16_t PROCESSOR_DOMAIN = 0x2;     // the command must address an existing domain
constexpr uint16_t PROCESSOR_EXCLUSIVE = 0x4;  // nothing else may run on the domain meanwhile
constexpr uint16_t PROCESSOR_AUDIT = 0x8;      // the command belongs to the audited API
// The command never waits (lookups under the domain's shared lock, no disk, a small answer): a
// request of it alone may be answered on the network loop that read it.
constexpr uint16_t PROCESSOR_INSTANT = 0x10;

// What the dispatcher hands back for a request document besides the last result code: that
// code's message (at most 511 characters).
struct processor_result {
  static constexpr uint32_t kMessageCapacity = 512;
  std::string msg;
  // On a network loop only: the domain's lock was taken, so nothing ran and the request must go
  // to a worker.
  bool would_wait = false;
};

// A command handler (see objects/command.h): called with the command, the domain's lock held in
// the mode of the table entry, the domain and token referenced for the duration of the call.
using processor_handler = command_handler;

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
// response document. Returns 0; on_loop (the caller is a network loop): 1 when the request
// must wait for a domain's lock instead, with nothing run or appended.
int client_process(client& c, bool on_loop = false);
// A request a network loop may answer itself: a single command flagged PROCESSOR_INSTANT.
bool processor_is_instant(const kt::xmldoc& request);
// Runs every command of a request document sent by from; returns the result code of the last
// command that matched the table and leaves its message in r.msg. Answers go to out.
uint32_t processor_process(globals& g, const caller& from, const kt::xmldoc& request,
                           answer_slot& out, processor_result& r);
// The caller a connection stands for: its peer address and certificate identity.
caller client_caller(const client& c);

// The token quoted by a command element (its "token" attribute, else the text of its first
// "token" child), with a reference taken, or none.
kt::ref_ptr<token> processor_xml_get_token(globals& g, const kt::xmldoc_node& cmd);
// The domain addressed by a command element's "domain" attribute (an identifier when it starts
// with a digit, else a name), with a reference taken, or none.
kt::ref_ptr<domain> processor_xml_get_domain(globals& g, const kt::xmldoc_node& cmd);

// isValidToken: 0 when the dispatcher resolved a token for the command, else 0x101.
uint32_t processor_is_valid_token(command& cmd);

}  // namespace orvane

#endif  // ORVANE_PROCESSOR_H_

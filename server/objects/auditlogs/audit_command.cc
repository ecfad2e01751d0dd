// The audit entry of a command: the one place where handlers' entries are built.
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <ctime>

#include "client.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "utils/logger.h"

namespace orvane {

int auditlog_info_from_xml(const kt::xmldoc_node& cmd, auditlog_info& info) {
  info = auditlog_info{};
  const kt::xmldoc_node* audit = cmd.get("audit");
  if (audit == nullptr || !audit->has_value() || audit->value().empty()) return 1;
  const std::string_view code = audit->attr_get_value("code");
  uint32_t value = 0;
  const auto res = std::from_chars(code.data(), code.data() + code.size(), value);
  info.code = res.ec == std::errc() ? value : 0;
  info.text = audit->value();
  info.present = true;
  return 0;
}

const char* audit_text(const kt::xmldoc_node& cmd) {
  const kt::xmldoc_node* audit = cmd.get("audit");
  return audit != nullptr && audit->has_value() ? audit->value().c_str() : "";
}

std::string audit_untrusted(std::string_view text) {
  return std::string(text.substr(0, kAuditUntrustedMax));
}

namespace {

void audit_vcommand(const client& c, domain& d, const char* username, const kt::xmldoc_node& cmd,
                    uint32_t code, const char* format, va_list args)
    __attribute__((format(printf, 6, 0)));

void audit_vcommand(const client& c, domain& d, const char* username, const kt::xmldoc_node& cmd,
                    uint32_t code, const char* format, va_list args) {
  if (!d.log) return;
  auditlog_info info;
  auditlog_info_from_xml(cmd, info);
  const time_t now = time(nullptr);
  auto e = auditlog_create_entry_v4_vfmt(now < 0 ? 0 : static_cast<uint32_t>(now), code, &c.peer,
                                         cmd.name().c_str(), username, info.present ? info.code : 0,
                                         format, args);
  if (!e) return;
  if (auditlog_enque_entry(*d.log, std::move(e)) != 0) {
    KT_LOG_ERR("auditlog_enque_entry failed (%s)", cmd.name().c_str());
  }
}

}  // namespace

void audit_command(const client& c, domain& d, const token* t, const kt::xmldoc_node& cmd,
                   uint32_t code, const char* format, ...) {
  // Copied now: the entry must not depend on the user after the call.
  std::string name;
  const bool has_user = t != nullptr && t->usr;
  if (has_user) name = t->usr->uname;
  va_list args;
  va_start(args, format);
  audit_vcommand(c, d, has_user ? name.c_str() : nullptr, cmd, code, format, args);
  va_end(args);
}

void audit_command_as(const client& c, domain& d, const char* username, const kt::xmldoc_node& cmd,
                      uint32_t code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  audit_vcommand(c, d, username, cmd, code, format, args);
  va_end(args);
}

}  // namespace orvane

// The audit entry of a command: the one place where handlers' entries are built.
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <ctime>

#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
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

void audit_vcommand(domain& d, const kt::ipv4_address& peer, const kt::xmldoc_node& cmd,
                    const char* username, uint32_t code, const char* format, va_list args) {
  if (!d.log) return;
  auditlog_info info;
  auditlog_info_from_xml(cmd, info);
  const time_t now = time(nullptr);
  auto e = auditlog_create_entry_v4_vfmt(now < 0 ? 0 : static_cast<uint32_t>(now), code, &peer,
                                         cmd.name().c_str(), username, info.present ? info.code : 0,
                                         format, args);
  if (!e) return;
  if (auditlog_enqueue_entry(*d.log, std::move(e)) != 0) {
    KT_LOG_ERR("auditlog_enqueue_entry failed (%s)", cmd.name().c_str());
  }
}

}  // namespace orvane

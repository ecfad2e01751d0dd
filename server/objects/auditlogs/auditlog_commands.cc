// getAuditLog and clearAuditLog.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string_view>

#include "config.h"
#include "errors.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/auditlogs/auditlog_commands.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission_records.h"
#include "utils/base64.h"
#include "utils/ipv4.h"
#include "utils/numbers.h"

namespace orvane {

namespace {

// Leading decimal digits as a number after blanks and a '+' (no digits gives 0);
// saturates.
uint64_t parse_decimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  return kt::decimal_prefix(text.substr(i));
}

bool contains_nocase(std::string_view hay, std::string_view needle) {
  if (needle.size() > hay.size()) return false;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
    size_t j = 0;
    while (j < needle.size() && std::tolower(static_cast<unsigned char>(hay[i + j])) ==
                                    std::tolower(static_cast<unsigned char>(needle[j]))) {
      ++j;
    }
    if (j == needle.size()) return true;
  }
  return false;
}

// The child filters of getAuditLog; a filter applies when its child has a non-empty value.
struct entry_filter {
  std::string info;
  std::string username;
  std::optional<uint64_t> response_code;
  std::optional<uint64_t> audit_code;
  bool by_address = false;
  bool address_valid = false;
  kt::ipv4_address network{};

  explicit entry_filter(const kt::xmldoc_node& cmd) {
    auto value = [&cmd](const char* name) -> std::string_view {
      const std::string* v = cmd.get_value(name);
      return v != nullptr ? std::string_view(*v) : std::string_view();
    };
    info = value("auditInfo");
    username = value("username");
    if (!value("responseCode").empty()) response_code = parse_decimal(value("responseCode"));
    if (!value("auditCode").empty()) audit_code = parse_decimal(value("auditCode"));
    const std::string_view addr = value("remoteAddr");
    if (!addr.empty()) {
      by_address = true;
      address_valid = kt::ipv4_parse_addr(addr, network) == 0;
    }
  }

  bool pass(const auditlog_entry& e) const {
    if (!info.empty() && e.has_info() && !contains_nocase(e.info(), info)) return false;
    if (!username.empty() && e.has_username() && !contains_nocase(e.username(), username)) {
      return false;
    }
    if (response_code && *response_code != e.response_code()) return false;
    if (audit_code && *audit_code != e.audit_code()) return false;
    if (by_address && e.has_address()) {
      if (!address_valid || e.address_kind() != AUDITLOG_ADDRESS_IPV4) return false;
      if (!kt::ipv4_address_in_network(e.address_v4(), network.address, network.prefix)) {
        return false;
      }
    }
    return true;
  }
};

std::string dotted(uint32_t address) {
  kt::ipv4_address a;
  a.address = address;
  a.prefix = 32;
  return kt::ipv4_to_string(a, false);
}

std::unique_ptr<kt::xmldoc_node> entry_xml(const auditlog_entry& e) {
  auto node = kt::xmldoc_node::create("e");
  node->attr_addval("ts", std::to_string(e.timestamp()));
  node->attr_addval("api", e.api());
  node->attr_addval("resCode", std::to_string(e.response_code()));
  node->attr_addval("auditCode", std::to_string(e.audit_code()));
  if (e.has_address() && e.address_kind() == AUDITLOG_ADDRESS_IPV4) {
    node->attr_addval("remoteAddr4", dotted(e.address_v4()));
  }
  if (e.has_username()) {
    auto u = kt::xmldoc_node::create("u");
    u->set_value(e.username());
    node->add_child(std::move(u));
  }
  if (e.has_info()) {
    auto i = kt::xmldoc_node::create("i");
    i->set_value(e.info());
    node->add_child(std::move(i));
  }
  return node;
}

constexpr char kCsvHeader[] =
    "Timestamp,API,\"Remote Address\",Username,\"Response Code\",\"Audit Code\",\"Audit "
    "Info\"\r\n";

// One text field of the CSV export, always quoted with quotes doubled, so that no text can end
// the field or the row. A text that a spreadsheet would read as a formula gets a leading single
// quote.
void csv_text(std::string_view text, std::string& out) {
  out += '"';
  if (!text.empty() && text[0] != '\0' && std::strchr("=+-@\t\r", text[0]) != nullptr) out += '\'';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void entry_csv(const auditlog_entry& e, std::string& out) {
  const time_t ts = e.timestamp();
  struct tm tm {};
  localtime_r(&ts, &tm);
  char line[64];
  std::snprintf(line, sizeof line, "\"%04u-%02u-%02u %02u:%02u:%02u\",",
                static_cast<unsigned>(tm.tm_year + 1900), static_cast<unsigned>(tm.tm_mon + 1),
                static_cast<unsigned>(tm.tm_mday), static_cast<unsigned>(tm.tm_hour),
                static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec));
  out += line;
  if (e.has_api()) csv_text(e.api(), out);
  out += ',';
  if (e.has_address() && e.address_kind() == AUDITLOG_ADDRESS_IPV4) out += dotted(e.address_v4());
  out += ',';
  if (e.has_username()) csv_text(e.username(), out);
  out += ',';
  out += std::to_string(e.response_code());
  out += ',';
  out += std::to_string(e.audit_code());
  out += ',';
  if (e.has_info()) csv_text(e.info(), out);
  out += "\r\n";
}

}  // namespace

uint32_t processor_get_auditlog(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_READ); rc != 0) return rc;
  const domain& d = cmd.dom();
  const kt::xmldoc_node& el = cmd.element;
  const kt::xmldoc_attr* from_attr = el.attr_get("from");
  const kt::xmldoc_attr* to_attr = el.attr_get("to");
  const kt::xmldoc_attr* api_attr = el.attr_get("api");
  if (from_attr == nullptr || to_attr == nullptr || api_attr == nullptr) return E_INVALID_REQUEST;
  constexpr uint64_t kMaxTime = std::numeric_limits<uint32_t>::max();
  const uint64_t from = std::min(parse_decimal(from_attr->value), kMaxTime);
  const uint64_t to = std::min(parse_decimal(to_attr->value), kMaxTime);
  const std::string& api = api_attr->value;
  const bool csv = el.attr_get("export") != nullptr;
  const entry_filter filter(el);

  // A handle of its own: its shared locks keep the writer out while an entry is read.
  auto log = auditlog_open(d.log ? d.log->dir : path_auditlog_dir(d.id), true);
  if (!log) return E_GENERIC;

  auto answer = kt::xmldoc_node::create("auditlog");
  std::string text;
  if (csv) text = kCsvHeader;
  auditlog_read_begin(*log, static_cast<time_t>(from), static_cast<time_t>(to));
  for (;;) {
    std::unique_ptr<auditlog_entry> e;
    const int rc = auditlog_read_entry(*log, &e);
    // A damaged or unreadable day file: the entries behind the damage can't be reached, so a
    // partial answer would pass for the whole range.
    if (rc < 0) return E_GENERIC;
    if (rc == 0) break;
    if (e->timestamp() < from || e->timestamp() > to) continue;
    if (!api.empty() && e->api() != api) continue;
    if (!filter.pass(*e)) continue;
    if (csv) {
      entry_csv(*e, text);
    } else {
      answer->add_child(entry_xml(*e));
    }
  }
  log.reset();

  if (csv) {
    auto file = kt::xmldoc_node::create("file");
    file->set_value(kt::base64encode_(text));
    answer->add_child(std::move(file));
  }
  cmd.answer(std::move(answer));
  return E_OK;
}

uint32_t processor_clear_auditlog(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_ORVANE, PERM_WRITE); rc != 0) return rc;
  domain& d = cmd.dom();
  if (!d.log || auditlog_clear(*d.log) != 0) return E_GENERIC;
  cmd.audit(E_OK, "audit log cleared. / %s", cmd.audit_text());
  return E_OK;
}

}  // namespace orvane

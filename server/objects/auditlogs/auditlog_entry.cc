// Building entries and setting their views.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "objects/auditlogs/auditlog.h"
#include "objects/auditlogs/auditlog_io.h"
#include "utils/logger.h"

namespace orvane {

using auditlog_io::get_u32;
using auditlog_io::put_u16;
using auditlog_io::put_u32;

uint32_t auditlog_entry::timestamp() const {
  return body.size() >= 12 ? get_u32(body.data()) : 0;
}
uint32_t auditlog_entry::response_code() const {
  return body.size() >= 12 ? get_u32(body.data() + 4) : 0;
}
uint32_t auditlog_entry::audit_code() const {
  return body.size() >= 12 ? get_u32(body.data() + 8) : 0;
}
uint32_t auditlog_entry::address_v4() const {
  if (address_ == nullptr) return 0;
  return (static_cast<uint32_t>(address_[1]) << 24) | (static_cast<uint32_t>(address_[2]) << 16) |
         (static_cast<uint32_t>(address_[3]) << 8) | address_[4];
}

std::string_view auditlog_entry::field(const uint8_t* p, size_t len) {
  if (p == nullptr) return {};
  const char* s = reinterpret_cast<const char*>(p);
  return std::string_view(s, strnlen(s, len));
}

int _auditlog_entry_fixptr(auditlog_entry& e) {
  e.address_ = e.api_ = e.user_ = e.info_ = nullptr;
  if (e.addr_len != 0 && e.addr_len != AUDITLOG_ADDRESS_SIZE) return -1;
  const size_t total =
      AUDITLOG_ENTRY_FIXED + e.addr_len + e.api_len + e.user_len + size_t{e.info_len};
  if (total != e.total_len || e.body.size() != total - AUDITLOG_ENTRY_HEAD) return -1;
  const uint8_t* p = e.body.data() + 12;
  if (e.addr_len != 0) e.address_ = p;
  p += e.addr_len;
  if (e.api_len != 0) e.api_ = p;
  p += e.api_len;
  if (e.user_len != 0) e.user_ = p;
  p += e.user_len;
  if (e.info_len != 0) e.info_ = p;
  return 0;
}

namespace {

// Bytes of s to store (without the zero byte), at most max; cut at a character boundary.
size_t stored_length(const char* s, size_t max) {
  const size_t n = strnlen(s, max + 1);
  return n <= max ? n : auditlog_io::utf8_cut(s, max);
}

}  // namespace

std::unique_ptr<auditlog_entry> auditlog_create_entry_v4(uint32_t timestamp, uint32_t response_code,
                                                         const kt::ipv4_address* remote,
                                                         const char* api, const char* username,
                                                         uint32_t audit_code, const char* info) {
  const size_t api_n = api != nullptr ? stored_length(api, AUDITLOG_NAME_MAX) : 0;
  const size_t user_n = username != nullptr ? stored_length(username, AUDITLOG_NAME_MAX) : 0;
  const size_t addr_len = remote != nullptr ? AUDITLOG_ADDRESS_SIZE : 0;
  const size_t api_len = api != nullptr ? api_n + 1 : 0;
  const size_t user_len = username != nullptr ? user_n + 1 : 0;
  // What is left for the info text and its zero byte (at least 65,535 - 19 - 5 - 2 x 255).
  const size_t room = AUDITLOG_RECORD_MAX - AUDITLOG_ENTRY_FIXED - addr_len - api_len - user_len;
  const size_t info_n = info != nullptr ? stored_length(info, room - 1) : 0;
  const size_t info_len = info != nullptr ? info_n + 1 : 0;
  const size_t total = AUDITLOG_ENTRY_FIXED + addr_len + api_len + user_len + info_len;

  std::unique_ptr<auditlog_entry> e;
  try {
    e = std::make_unique<auditlog_entry>();
    e->body.assign(total - AUDITLOG_ENTRY_HEAD, 0);
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "calloc", auditlog_io::err_text(ENOMEM).c_str());
    return nullptr;
  }
  e->total_len = static_cast<uint16_t>(total);
  e->addr_len = static_cast<uint8_t>(addr_len);
  e->api_len = static_cast<uint8_t>(api_len);
  e->user_len = static_cast<uint8_t>(user_len);
  e->info_len = static_cast<uint16_t>(info_len);

  uint8_t* p = e->body.data();
  put_u32(p, timestamp);
  put_u32(p + 4, response_code);
  put_u32(p + 8, audit_code);
  p += 12;
  if (remote != nullptr) {
    p[0] = AUDITLOG_ADDRESS_IPV4;
    p[1] = static_cast<uint8_t>(remote->address >> 24);
    p[2] = static_cast<uint8_t>(remote->address >> 16);
    p[3] = static_cast<uint8_t>(remote->address >> 8);
    p[4] = static_cast<uint8_t>(remote->address);
  }
  p += addr_len;
  if (api_n != 0) std::memcpy(p, api, api_n);
  p += api_len;
  if (user_n != 0) std::memcpy(p, username, user_n);
  p += user_len;
  if (info_n != 0) std::memcpy(p, info, info_n);
  _auditlog_entry_fixptr(*e);
  return e;
}

std::unique_ptr<auditlog_entry> auditlog_create_entry_v4_vfmt(
    uint32_t timestamp, uint32_t response_code, const kt::ipv4_address* remote, const char* api,
    const char* username, uint32_t audit_code, const char* format, va_list args) {
  // One byte beyond the kept text shows whether the cut falls inside a character.
  char info[AUDITLOG_FMT_INFO_MAX + 2];
  const int n = format != nullptr ? std::vsnprintf(info, sizeof info, format, args) : -1;
  if (n < 0) {
    info[0] = '\0';
  } else if (static_cast<size_t>(n) > AUDITLOG_FMT_INFO_MAX) {
    info[auditlog_io::utf8_cut(info, AUDITLOG_FMT_INFO_MAX)] = '\0';
  }
  return auditlog_create_entry_v4(timestamp, response_code, remote, api, username, audit_code,
                                  info);
}

std::unique_ptr<auditlog_entry> auditlog_create_entry_v4_fmt(
    uint32_t timestamp, uint32_t response_code, const kt::ipv4_address* remote, const char* api,
    const char* username, uint32_t audit_code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  auto e = auditlog_create_entry_v4_vfmt(timestamp, response_code, remote, api, username,
                                         audit_code, format, args);
  va_end(args);
  return e;
}

}  // namespace orvane

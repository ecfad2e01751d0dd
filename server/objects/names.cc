#include "objects/names.h"

#include "errors.h"

namespace orvane {

namespace {

constexpr size_t kMaxNameLength = 255;

bool is_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The shared shape of the three validators: 1 to 255 bytes, each alphanumeric or one of "-._"
// (and '@' when allowed).
uint32_t validate_name(std::string_view name, bool allow_at, uint32_t too_long,
                       uint32_t not_valid) {
  if (name.size() > kMaxNameLength) return too_long;
  if (name.empty()) return not_valid;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_alnum(c) || c == '-' || c == '.' || c == '_' || (allow_at && c == '@')) continue;
    return not_valid;
  }
  return E_OK;
}

uint32_t fits(uint32_t valid, std::string_view name, size_t stored_max, uint32_t too_long) {
  if (valid != E_OK) return valid;
  return name.size() > stored_max ? too_long : E_OK;
}

}  // namespace

uint32_t validate_user_username(std::string_view name) {
  return validate_name(name, true, E_USERNAME_TOO_LONG, E_USERNAME_INVALID);
}

uint32_t validate_domain_name(std::string_view name) {
  return validate_name(name, false, E_DOMAIN_NAME_TOO_LONG, E_DOMAIN_NAME_INVALID);
}

uint32_t validate_generic_name(std::string_view name) {
  return validate_name(name, false, E_NAME_TOO_LONG, E_NAME_INVALID);
}

uint32_t check_user_name(std::string_view name, size_t stored_max) {
  return fits(validate_user_username(name), name, stored_max, E_USERNAME_TOO_LONG);
}

uint32_t check_domain_name(std::string_view name, size_t stored_max) {
  return fits(validate_domain_name(name), name, stored_max, E_DOMAIN_NAME_TOO_LONG);
}

uint32_t check_generic_name(std::string_view name, size_t stored_max) {
  return fits(validate_generic_name(name), name, stored_max, E_NAME_TOO_LONG);
}

}  // namespace orvane

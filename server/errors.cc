#include "errors.h"

#include <cstdio>

namespace orvane {

const error_entry errors[] = {
    {0x00000000, "no error."},
    {0x00000010, "invalid request."},
    {0x00000011, "invalid path."},
    {0x00000012, "invalid regular expression."},
    {0x00000013, "generic error."},
    {0x00000014, "name is to long."},
    {0x00000015, "name is not valid."},
    {0x00000016, "object not found."},
    {0x00000017, "no free memory available."},
    {0x00000018, "value is not valid."},
    {0x00000101, "token not found."},
    {0x00000102, "access violation."},
    {0x00000103, "domain not found."},
    {0x00000104, "invalid credentials."},
    {0x00000105, "nss profile not found."},
    {0x00000106, "in use within other resources"},
    {0x00000107, "network client not found."},
    {0x00000108, "user not found."},
    {0x00000109, "connection not allowed for domain."},
    {0x00000201, "invalid old password."},
    {0x00000202, "removing your own account is not allowed."},
    {0x00000203,
     "changing own password, without old password is not permitted. (use userEdit instead)."},
    {0x00000204, "new password cannot be the same as old password."},
    {0x00000301, "root domain cannot be deleted."},
    {0x00000302, "domain must not contain any subdomains."},
    {0x00000303, "domain parent not found."},
    {0x00000304, "domain with this name already exists."},
    {0x00000305, "domain cannot become child of his child."},
    {0x00000306, "domain cannot become child of his self."},
    {0x00000307, "domain initialization failed."},
    {0x00000308, "domain cannot be deleted from account within the domain."},
    {0x00000309, "domain name is to long."},
    {0x00000310, "domain name is not valid."},
    {0x00000401, "resource not found."},
    {0x00000402, "resource parent not found."},
    {0x00000403, "resource with this name already exists."},
    {0x00000404, "system resource cannot be deleted, renamed or change parent."},
    {0x00000405, "resource cannot become child of his child."},
    {0x00000406, "resource cannot become child of his self."},
    {0x00000407,
     "system resource MUST contain permission READ/WRITE/EXEC for Administrators group."},
    {0x00000408, "dublicated permissions for user or group."},
    {0x00000501, "user with this username already exists."},
    {0x00000502, "username is too long."},
    {0x00000503, "username is not valid."},
    {0x00000504, "user password does not match password policy. (need more complex password)."},
    {0x00000505, "user password is required for new user."},
    {0x00000506, "user password has expired."},
    {0x00000507, "Administrator user must be a member of Administrators group."},
    {0x00000508, "Administrator account cannot be removed."},
    {0x00000509, "user have invalid flags set."},
    {0x00000510, "user account is locked."},
    {0x00000511, "user password must be changed."},
    {0x00000601, "group not found."},
    {0x00000602, "group with that name already exists."},
    {0x00000603,
     "group A cannot become member of group B becouse group B is already a member of group A. "
     "(loop)"},
    {0x00000604, "group cannot become member of his self."},
    {0x00000605, "group member not found."},
    {0x00000606, "system group cannot be renamed or deleted."},
    {0x00000607, "AllUsers group cannot be a member of other groups."},
    {0x00000608, "AllUsers group cannot be used as a group for membership."},
    {0x00000701, "nss profile with this name already exists."},
    {0x00000702,
     "NSS profile A cannot become member of NSS profile B becouse B is already member of A. "
     "(loop)"},
    {0x00000801, "attribute not found."},
    {0x00000802, "attribute whit this name already exists."},
    {0x00000803, "attribute is immune for deletion."},
    {0x00000804, "system attribute cannot be renamed or type changed."},
    {0x00000901, "system netclient is immune for deletion."},
    {0x00000902, "netclient is marked as read-only and cannot be modified."},
    {0x00000903, "netclient with this name already exists."},
    {0xFFFFFFFF, nullptr},
};

const char* error_message(uint32_t code) {
  for (const error_entry* e = errors; e->msg != nullptr; ++e) {
    if (e->code == code) return e->msg;
  }
  return nullptr;
}

void error2str(uint32_t code, char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  if (const char* msg = error_message(code)) {
    std::snprintf(buffer, capacity, "%s", msg);
  } else {
    std::snprintf(buffer, capacity, "unknown error code:%08x", code);
  }
}

std::string error2str(uint32_t code) {
  char text[512];
  error2str(code, text, sizeof text);
  return text;
}

}  // namespace orvane

// The names of the directory's objects: the three validators every module uses, and the check
// that a name also fits the record field it is stored in (so that it comes back unchanged after
// a restart).
//   user names:   [-._@a-zA-Z0-9]{1,255}  0x502 too long / 0x503 not valid
//   domain names: [-._a-zA-Z0-9]{1,255}   0x309 / 0x310
//   other names:  [-._a-zA-Z0-9]{1,255}   0x14 / 0x15
#ifndef ORVANE_OBJECTS_NAMES_H_
#define ORVANE_OBJECTS_NAMES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvane {

// 0 when valid; otherwise the too-long code (more than 255 bytes) or the not-valid code (empty,
// or a byte outside the allowed set).
uint32_t validate_user_username(std::string_view name);
uint32_t validate_domain_name(std::string_view name);
uint32_t validate_generic_name(std::string_view name);

// The same, and the name fits a record field that keeps stored_max bytes of it: else the
// too-long code.
uint32_t check_user_name(std::string_view name, size_t stored_max);
uint32_t check_domain_name(std::string_view name, size_t stored_max);
uint32_t check_generic_name(std::string_view name, size_t stored_max);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_NAMES_H_

// Helpers shared by the files of the users module (records, commands, authentication). Not for
// other modules.
#ifndef ORVANE_OBJECTS_USERS_USERS_INTERNAL_H_
#define ORVANE_OBJECTS_USERS_USERS_INTERNAL_H_

#include <cstdint>
#include <string_view>

namespace orvane {

class domain;
class record;

// Seconds since the Epoch as the unsigned 32-bit value the records hold.
uint32_t user_now();

// Unsigned decimal at the start of text (digits up to the first other byte); saturates at
// UINT64_MAX. 0 for an empty text or one that does not start with a digit.
uint64_t user_parse_decimal(std::string_view text);

// Overwrites the record with the same id in the domain's users file. Returns the store's
// result (1 when there is no such record).
int user_record_edit(domain& d, const record& rec);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_USERS_INTERNAL_H_

// Helpers shared by the files of the users module (records, commands, authentication). Not for
// other modules.
#ifndef ORVANE_OBJECTS_USERS_USER_INTERNAL_H_
#define ORVANE_OBJECTS_USERS_USER_INTERNAL_H_

#include <cstdint>
#include <string_view>

namespace orvane {

class domain;
class record;

// Seconds since the Epoch as the unsigned 32-bit value the records hold.
uint32_t user_now();

// Overwrites the record with the same id in the domain's users file: 0, or 0x13.
uint32_t user_record_edit(domain& d, const record& rec);

// Writes a new record under an identifier drawn beforehand, so that the records naming a new
// user (its member records) can be written before its own: a crash in between leaves only
// records whose owner is missing, which the next load drops. 0, or 0x13 (also when the
// identifier is in the file).
uint32_t _user_db_add_id(domain& d, user& u, uint64_t id);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_USERS_USER_INTERNAL_H_

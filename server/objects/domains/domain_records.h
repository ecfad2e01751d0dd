// The domain tree on disk and in memory: the "domains" file, the start-up load, the contents of a
// new domain, and the emptying of a domain's tables.
#ifndef ORVANE_OBJECTS_DOMAINS_DOMAIN_RECORDS_H_
#define ORVANE_OBJECTS_DOMAINS_DOMAIN_RECORDS_H_

#include <cstdint>
#include <string_view>

#include "objects/domains/domain.h"
#include "utils/refobj.h"

namespace orvane {

struct globals;
class record;

// The root domain's name and its administrator's password in a new database.
constexpr const char* ROOT_DOMAIN_NAME = "ORVANE";
constexpr const char* ROOT_ADMIN_PASSWORD = "tolbrine";

// A new empty domain (domain_create).
kt::ref_ptr<domain> domain_create();

void domain_ptr_to_file(const domain& d, record& r);
void domain_file_to_ptr(domain& d, const record& r);

// Writes a new record for the domain with a fresh identifier and creates its directory.
// Returns 0, or 0x13 (the domain keeps no identifier then).
uint32_t domain_db_add(domain& d);
// Rewrites or removes the domain's record: 0 or 0x13.
uint32_t domain_db_edit(const domain& d);
uint32_t domain_db_remove(const domain& d);

// Empties every object table of the domain, breaking the references between its objects.
void domain_flush(domain& d);

// Holds the read locks of all the domain's object tables, so that the whole domain can be copied
// consistently (_domain_lockall_read / _domain_lockall_unlock).
class domain_tables_read_lock {
 public:
  explicit domain_tables_read_lock(domain& d);  // _domain_lockall_read
  ~domain_tables_read_lock();                   // _domain_lockall_unlock
  domain_tables_read_lock(const domain_tables_read_lock&) = delete;
  domain_tables_read_lock& operator=(const domain_tables_read_lock&) = delete;

 private:
  domain& d_;
};

// domains_load: the domains file holds records, but none of them could be loaded as the root.
constexpr int DOMAINS_ROOT_NOT_LOADED = -4;

// Loads every domain at start-up; initialises a new database when the domains file holds no
// record. Returns 0; -1 / -2 / -3 when the new root domain cannot be initialised, added or given
// its audit log (-1 also when the domains file can't be read); DOMAINS_ROOT_NOT_LOADED (logged)
// when the file holds records but no root domain loads from them.
int domains_load(globals& g);

// Fills a new domain with its system objects: the Administrator user with the given password,
// the Administrators and AllUsers groups, the domain settings, the net client "localhost" and the
// six system resources with their permissions. Returns 0 or the first failure.
int _domain_init(domain& d, std::string_view admin_password);

// Loads the domain's objects from its files and takes its settings from its attributes. What
// the files allow is loaded; a file that can't be read is logged, and the result is then -1
// (else 0).
int _domain_load_objects(domain& d);

// Opens the domain's audit log in writer mode. Returns 0 or -1.
int domain_open_auditlog(domain& d);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_DOMAINS_DOMAIN_RECORDS_H_

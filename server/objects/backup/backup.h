// Backups: compressed archives of one domain's directory under <current>/backup, the list of
// backups in the record file <current>/backups, the restore that puts an archived directory back
// in place of the domain's, the resumption at start-up of a restore a crash interrupted, and the
// commands backupCreate, backupRestore, backupDestroy and backupSearch.
//
// Archive layout: "<base>.tar.gz" holds the directory "<base>" with the file "domains" (the
// domain's record) and the directory "<base>/<domain id>" (the domain's record files and its
// audit log). <base> is "<name>_<domain id>_<creation time>".
//
// No shell is involved: tar runs from an argument vector, copies and removals are done in
// process, so a backup name is never interpreted. Every step is checked; a failed create leaves
// no archive, working directory or record, and a failed restore leaves the domain's directory as
// it was.
//
// Locking: backupRestore runs with the domain lock held for writing, the other commands with it
// held for reading. The backups file is serialised by its file lock.
#ifndef ORVANE_OBJECTS_BACKUP_BACKUP_H_
#define ORVANE_OBJECTS_BACKUP_BACKUP_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kt {
class xmldoc_node;
}  // namespace kt

namespace orvane {

struct globals;
class domain;
class record;

// Record of the backups file: 160 bytes, keyed by the identifier.
constexpr uint32_t BACKUP_RECORD_SIZE = 160;
constexpr size_t BACKUP_REC_ID = 0;
constexpr size_t BACKUP_REC_DOMAIN = 8;
constexpr size_t BACKUP_REC_USER = 16;
constexpr size_t BACKUP_REC_CREATED = 24;
constexpr size_t BACKUP_REC_FLAGS = 28;
constexpr size_t BACKUP_REC_NAME = 32;
constexpr size_t BACKUP_NAME_FIELD = 128;
// The longest name the record keeps whole.
constexpr size_t BACKUP_NAME_MAX = BACKUP_NAME_FIELD - 1;

// Backup flags.
constexpr uint32_t BACKUP_FLAG_RESTORING = 0x1;  // a restore from this backup is in progress

struct backup {
  uint64_t id = 0;
  uint64_t domain_id = 0;
  uint64_t user_id = 0;
  uint32_t created = 0;
  uint32_t flags = 0;
  std::string name;
};

void backup_to_record(const backup& b, record& r);
void backup_from_record(const record& r, backup& b);

// "<name>_<domain id>_<created>".
std::string backup_base_name(const backup& b);
// <current>/backup/<base>.tar.gz
std::string backup_archive_path(const backup& b);

// 0 when the name can be one path component of at most BACKUP_NAME_MAX bytes; otherwise
// E_NAME_INVALID (empty, ".", "..", a '/' or a NUL byte, or too long).
uint32_t validate_backup_name(std::string_view name);

// Record functions. backup_db_add gives b a new identifier (stored in b on success only); the
// others work on b.id. Results are the store's (1: no such record). The file is created
// readable by its owner only.
int backup_db_add(backup& b);
int backup_db_edit(const backup& b);
int backup_db_remove(const backup& b);
// 0 with *out filled, 1 when there is no such record, or the store's failure.
int backup_db_find(uint64_t id, backup* out);

// Backs the domain up under the given name for the user. Returns 0 with the new record in *out,
// E_NAME_INVALID for a name validate_backup_name refuses, or E_GENERIC when any step fails (the
// backup directory is missing and can't be made or is no directory, an archive of the same base
// name exists, a copy, tar or the record write fails); a failure leaves nothing behind.
uint32_t backup_create(globals& g, domain& d, uint64_t user_id, std::string_view name, backup* out);

// Replaces the domain's directory with the backup's and reloads the domain. The caller holds the
// domain lock for writing. Returns 0 with the record in *out; E_OBJECT_NOT_FOUND when there is
// no such backup, it belongs to another domain or its restoring flag can't be set; E_GENERIC
// when the archive can't be extracted or holds no directory for the domain, or the swap fails:
// the domain keeps its directory and its objects are loaded from it again.
uint32_t backup_restore(globals& g, domain& d, uint64_t backup_id, backup* out);

// Removes a backup of the domain: its record, then its archive. Returns 0 with the removed
// record in *out; E_OBJECT_NOT_FOUND when there is no such backup in this domain; the store's
// result when the record can't be removed; E_NAME_INVALID when the archive can't be deleted.
uint32_t backup_destroy(globals& g, const domain& d, uint64_t backup_id, backup* out);

// The backups of the domain, in file order, appended to *out. 0, or the store's failure
// (logged; *out then holds what was read).
int backups_of_domain(uint64_t domain_id, std::vector<backup>* out);

// Removes every backup of a domain that is being removed: records and archives. Failures are
// logged and the others still go. Returns the number of backups removed.
int backups_remove_domain(uint64_t domain_id);

// Appends one "backup" element per backup of the domain to element, in file order: attributes
// id, user, time, the name as value.
void backups_to_xml(const domain& d, kt::xmldoc_node& element);
// The same into a new "backups" element.
std::unique_ptr<kt::xmldoc_node> backups_to_xml(const domain& d);

// At start-up, before any domain is opened: clears what a restore cut short by a crash left in
// its stage. A crash between the two renames of the swap leaves the domain without its directory
// and that directory in the stage: it is put back first, so that the domain keeps its state
// whatever the restore that is resumed next does.
void backup_recover_stages();

// At start-up, after the domain records are read and before any domain's objects are loaded:
// every backup with the restoring flag set is restored again. The domain's restoring flag keeps the
// ordinary load away from it meanwhile. Both flags are cleared afterwards and the ordinary load
// reads the domain's directory: the restored one, or, when the restore fails (a damaged or missing
// archive; logged), the one the domain had before. Returns 0, or -1 when the backups file can't
// be read.
int backup_restoring_domains(globals& g);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_BACKUP_BACKUP_H_

// Creating, restoring and destroying backups, and resuming interrupted restores at start-up.
#include "objects/backup/backup.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/backup/backup_archive.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_records.h"
#include "objects/record.h"
#include "objects/tokens/tokens.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "utils/numbers.h"

namespace orvane {

namespace {

// Restores are extracted below this directory of the backup directory. No backup file or
// working directory can have this name: their names all hold a '_'.
constexpr const char* kStageDir = ".restore";

uint32_t now_u32() {
  return static_cast<uint32_t>(::time(nullptr));
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Makes sure the backup directory exists. 0 or -1 (logged).
int backup_dir_ensure(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    KT_LOG_ERR("%s: not a directory", dir.c_str());
    return -1;
  }
  if (errno != ENOENT || ::mkdir(dir.c_str(), 0755) != 0) {
    KT_LOG_ERR("mkdir(%s): %s", dir.c_str(), std::strerror(errno));
    return -1;
  }
  return 0;
}

void remove_logged(const std::string& path) {
  if (exists(path) && kt::path_remove(path.c_str()) != 0) {
    KT_LOG_ERR("can not remove %s", path.c_str());
  }
}

// A private directory below <backup>/.restore, removed with its contents when it goes.
class stage_dir {
 public:
  stage_dir() = default;
  ~stage_dir() {
    if (path_.empty()) return;
    remove_logged(path_);
    ::rmdir(parent().c_str());  // fails while another restore uses it
  }
  stage_dir(const stage_dir&) = delete;
  stage_dir& operator=(const stage_dir&) = delete;

  // The stage's name begins with the domain's identifier, so that a start after a crash knows
  // whose directory a stage holds.
  int create(uint64_t domain_id) {
    // Another restore may remove the parent between the two steps: then try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (::mkdir(parent().c_str(), 0700) != 0 && errno != EEXIST) {
        KT_LOG_ERR("mkdir(%s): %s", parent().c_str(), std::strerror(errno));
        return -1;
      }
      std::string tmpl = parent() + "/" + std::to_string(domain_id) + "-XXXXXX";
      if (::mkdtemp(tmpl.data()) != nullptr) {
        path_ = tmpl;
        return 0;
      }
      if (errno != ENOENT) break;
    }
    KT_LOG_ERR("mkdtemp(%s/XXXXXX): %s", parent().c_str(), std::strerror(errno));
    return -1;
  }
  const std::string& path() const { return path_; }

  static std::string parent() { return path_backup_dir() + "/" + kStageDir; }

 private:
  std::string path_;
};

// _backup_create: the domain record into <work>/domains, the domain's record files into
// <work>/<id> while no table of the domain changes, and its audit log after the log's writer
// has written everything queued. 0 or -1.
int copy_domain(domain& d, const std::string& work) {
  record r(DOMAIN_RECORD_SIZE);
  domain_ptr_to_file(d, r);
  const std::string rec(reinterpret_cast<const char*>(r.data()), r.size());
  if (kt::write_file((work + "/domains").c_str(), rec, 0600) != 0) {
    KT_LOG_ERR("%s/domains: can not be written", work.c_str());
    return -1;
  }
  const std::string dst = work + "/" + std::to_string(d.id);
  int rc = 0;
  {
    // Every change of the domain's objects is written through to these files, so under the
    // tables' read locks they are the domain's state in memory.
    domain_tables_read_lock lock(d);
    rc = backup_copy_tree(path_domain_dir(d.id), dst, true, {"auditlogs"});
  }
  if (rc != 0) return -1;
  const std::string logs = path_auditlog_dir(d.id);
  const std::string logs_copy = dst + "/auditlogs";
  auto copy_logs = [&]() { return backup_copy_tree(logs, logs_copy, false); };
  if (d.log) return auditlog_backup_flush(*d.log, copy_logs) == 0 ? 0 : -1;
  return is_directory(logs) ? copy_logs() : 0;
}

// Takes the domain's objects out of memory: the net clients' addresses from the indexes, every
// table, and every token issued in the domain.
void unload_domain(globals& g, domain& d) {
  std::vector<kt::ref_ptr<netclient>> clients;
  {
    std::shared_lock lock(d.netclients_by_id.rwlock());
    d.netclients_by_id.for_each(
        [&](uint64_t, kt::ref_ptr<netclient>& nc) { clients.push_back(nc); });
  }
  for (const auto& nc : clients) _netclient_addrlist_remove(g, d, *nc);
  domain_flush(d);
  token_remove_by_domain(g, d);
}

// Where a stage keeps the domain directory a restore replaces.
std::string previous_in(const std::string& stage) {
  return stage + "/previous";
}

// Puts `restored` in place of the domain directory; the directory it replaces goes into the
// stage. On failure the domain directory is as it was. 0 or -1.
int swap_directory(const std::string& restored, const std::string& domain_dir,
                   const std::string& stage) {
  const std::string previous = previous_in(stage);
  const bool had_previous = exists(domain_dir);
  if (had_previous && ::rename(domain_dir.c_str(), previous.c_str()) != 0) {
    KT_LOG_ERR("rename(%s): %s", domain_dir.c_str(), std::strerror(errno));
    return -1;
  }
  if (::rename(restored.c_str(), domain_dir.c_str()) != 0) {
    KT_LOG_ERR("rename(%s): %s", restored.c_str(), std::strerror(errno));
    if (had_previous && ::rename(previous.c_str(), domain_dir.c_str()) != 0) {
      KT_LOG_ERR("rename(%s): %s", previous.c_str(), std::strerror(errno));
    }
    return -1;
  }
  return 0;
}

// Extracts the backup into a stage and, when that holds the domain's directory, swaps it in.
// With `loaded`, the domain's objects are unloaded before the swap and loaded again after it
// (from whichever directory is then in place). The audit log is closed for the swap and opened
// again. 0 or -1.
int restore_directory(globals& g, domain& d, const backup& b, bool loaded) {
  stage_dir stage;
  if (stage.create(d.id) != 0) return -1;
  if (backup_archive_extract(backup_archive_path(b), stage.path()) != 0) return -1;
  const std::string restored =
      stage.path() + "/" + backup_base_name(b) + "/" + std::to_string(b.domain_id);
  if (!is_directory(restored)) {
    KT_LOG_ERR("backup %lu holds no directory for domain %lu", static_cast<unsigned long>(b.id),
               static_cast<unsigned long>(b.domain_id));
    return -1;
  }
  if (loaded) unload_domain(g, d);
  d.log.reset();
  const int rc = swap_directory(restored, path_domain_dir(d.id), stage.path());
  if (loaded) _domain_load_objects(d);
  if (domain_open_auditlog(d) != 0) {
    KT_LOG_ERR("auditlog_open(%lu): %s", static_cast<unsigned long>(d.id), std::strerror(errno));
  }
  return rc;
}

}  // namespace

void backup_recover_stages() {
  const std::string parent = stage_dir::parent();
  if (!exists(parent)) return;
  std::vector<std::string> stages;
  if (DIR* dir = ::opendir(parent.c_str())) {
    while (const struct dirent* de = ::readdir(dir)) stages.emplace_back(de->d_name);
    ::closedir(dir);
  }
  for (const std::string& name : stages) {
    const size_t dash = name.find('-');
    uint64_t id = 0;
    if (dash == std::string::npos ||
        !kt::decimal_parse(std::string_view(name).substr(0, dash), UINT64_MAX, &id) || id == 0) {
      continue;
    }
    const std::string previous = previous_in(parent + "/" + name);
    const std::string domain_dir = path_domain_dir(id);
    if (is_directory(previous) && !exists(domain_dir)) {
      if (::rename(previous.c_str(), domain_dir.c_str()) != 0) {
        KT_LOG_ERR("rename(%s): %s", previous.c_str(), std::strerror(errno));
      } else {
        KT_LOG_WARN("domain %lu: directory put back from an interrupted restore",
                    static_cast<unsigned long>(id));
      }
    }
  }
  remove_logged(parent);
}

uint32_t backup_create(globals&, domain& d, uint64_t user_id, std::string_view name, backup* out) {
  if (validate_backup_name(name) != 0) return E_NAME_INVALID;
  backup b;
  b.domain_id = d.id;
  b.user_id = user_id;
  b.created = now_u32();
  b.name = std::string(name);

  const std::string dir = path_backup_dir();
  if (backup_dir_ensure(dir) != 0) return E_GENERIC;
  const std::string base = backup_base_name(b);
  const std::string work = dir + "/" + base;
  const std::string archive = work + ".tar.gz";
  // The working directory is made exclusively and removed only once the archive is complete,
  // so two backups of one base name can't both pass this point and the check below.
  if (::mkdir(work.c_str(), 0700) != 0) {
    KT_LOG_ERR("mkdir(%s): %s", work.c_str(), std::strerror(errno));
    return E_GENERIC;
  }
  int rc = 0;
  if (exists(archive)) {
    KT_LOG_ERR("%s exists", archive.c_str());
    rc = -1;
  }
  if (rc == 0) rc = copy_domain(d, work);
  if (rc == 0) rc = backup_archive_create(archive, dir, base);
  remove_logged(work);
  if (rc != 0) return E_GENERIC;
  if (const int db = backup_db_add(b); db != 0) {
    KT_LOG_ERR("%s: backup record not written (%d)", path_backups_file().c_str(), db);
    ::unlink(archive.c_str());
    return E_GENERIC;
  }
  if (out != nullptr) *out = b;
  return E_OK;
}

uint32_t backup_restore(globals& g, domain& d, uint64_t backup_id, backup* out) {
  backup b;
  if (backup_db_find(backup_id, &b) != 0 || b.domain_id != d.id) return E_OBJECT_NOT_FOUND;
  if ((b.flags & BACKUP_FLAG_RESTORING) == 0) {
    b.flags |= BACKUP_FLAG_RESTORING;
    if (backup_db_edit(b) != 0) {
      KT_LOG_ERR("failed to set restoring flag for backup %lu", static_cast<unsigned long>(b.id));
      return E_OBJECT_NOT_FOUND;
    }
  }
  const uint32_t begin = now_u32();
  KT_LOG_INFO("restoring backup %lu for domain %lu begin:%u.", static_cast<unsigned long>(b.id),
              static_cast<unsigned long>(d.id), begin);
  const int rc = restore_directory(g, d, b, true);
  const uint32_t end = now_u32();
  KT_LOG_INFO("restoring backup %lu for domain %lu end:%u (%u sec.).",
              static_cast<unsigned long>(b.id), static_cast<unsigned long>(d.id), end, end - begin);
  // Done either way: on failure the domain still has its own directory.
  b.flags &= ~BACKUP_FLAG_RESTORING;
  if (backup_db_edit(b) != 0) {
    KT_LOG_ERR("failed to unset restoring flag for backup %lu", static_cast<unsigned long>(b.id));
  }
  if (rc != 0) return E_GENERIC;
  if (out != nullptr) *out = b;
  return E_OK;
}

uint32_t backup_destroy(globals&, const domain& d, uint64_t backup_id, backup* out) {
  backup b;
  if (backup_db_find(backup_id, &b) != 0 || b.domain_id != d.id) return E_OBJECT_NOT_FOUND;
  if (const int rc = backup_db_remove(b); rc != 0) {
    KT_LOG_ERR("%s: backup record not removed (%d)", path_backups_file().c_str(), rc);
    return rc == 1 ? E_OBJECT_NOT_FOUND : E_GENERIC;
  }
  if (out != nullptr) *out = b;
  const std::string archive = backup_archive_path(b);
  if (::unlink(archive.c_str()) != 0 && errno != ENOENT) {
    KT_LOG_ERR("unlink(%s): %s", archive.c_str(), std::strerror(errno));
    return E_NAME_INVALID;
  }
  return E_OK;
}

int backups_remove_domain(uint64_t domain_id) {
  if (!exists(path_backups_file())) return 0;
  std::vector<backup> list;
  backups_of_domain(domain_id, &list);
  int removed = 0;
  for (const backup& b : list) {
    if (const int rc = backup_db_remove(b); rc != 0 && rc != 1) {
      KT_LOG_ERR("%s: backup record %lu not removed (%d)", path_backups_file().c_str(),
                 static_cast<unsigned long>(b.id), rc);
      continue;
    }
    ++removed;
    if (validate_backup_name(b.name) != 0) continue;  // a damaged record names no archive
    const std::string archive = backup_archive_path(b);
    if (::unlink(archive.c_str()) != 0 && errno != ENOENT) {
      KT_LOG_ERR("unlink(%s): %s", archive.c_str(), std::strerror(errno));
    }
  }
  return removed;
}

int backup_restoring_domains(globals& g) {
  const std::string file = path_backups_file();
  if (!exists(file)) return 0;

  // record_list also keeps new backup identifiers clear of the stored ones.
  std::vector<backup> pending;
  const int rc = record_list(record_file(file, BACKUP_RECORD_SIZE, 0600),
                             [&](const uint8_t* bytes, uint32_t size) {
                               backup b;
                               backup_from_record(record(bytes, size), b);
                               if (b.id != 0 && (b.flags & BACKUP_FLAG_RESTORING) != 0) {
                                 pending.push_back(b);
                               }
                               return 0;
                             });
  if (rc != 0 && rc != -4) {
    KT_LOG_ERR("%s: can not be read (%d)", file.c_str(), rc);
    return -1;
  }
  for (backup& b : pending) {
    const kt::ref_ptr<domain> d = g.domains_by_id.get_rw(b.domain_id);
    if (!d) {
      KT_LOG_ERR("domain %lu not found.", static_cast<unsigned long>(b.domain_id));
      continue;
    }
    d->flags.fetch_or(DOMAIN_FLAG_RESTORING);
    const uint32_t begin = now_u32();
    KT_LOG_INFO("restoring backup %lu for domain %lu begin:%u.", static_cast<unsigned long>(b.id),
                static_cast<unsigned long>(d->id), begin);
    if (restore_directory(g, *d, b, false) != 0) {
      // The failed restore kept the domain's own directory. The domain loads from it, and both
      // flags go: a damaged archive would otherwise keep the domain unloaded at every start.
      KT_LOG_ERR(
          "failed to restore backup %lu for domain %lu: the domain keeps its state from "
          "before the restore",
          static_cast<unsigned long>(b.id), static_cast<unsigned long>(d->id));
    } else {
      const uint32_t end = now_u32();
      KT_LOG_INFO("restoring backup %lu for domain %lu end:%u (%u sec.).",
                  static_cast<unsigned long>(b.id), static_cast<unsigned long>(d->id), end,
                  end - begin);
    }
    d->flags.fetch_and(~DOMAIN_FLAG_RESTORING);
    b.flags &= ~BACKUP_FLAG_RESTORING;
    if (backup_db_edit(b) != 0) {
      KT_LOG_ERR("failed to unset restoring flag for backup %lu", static_cast<unsigned long>(b.id));
    }
  }
  return 0;
}

}  // namespace orvane

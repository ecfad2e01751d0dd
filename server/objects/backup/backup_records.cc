// The backups file and the backup record.
#include <cstdio>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "objects/backup/backup.h"
#include "objects/domains/domain.h"
#include "objects/record.h"
#include "utils/logger.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

kt::filedb_fixed backups_file() {
  return record_file(path_backups_file(), BACKUP_RECORD_SIZE, 0600);
}

}  // namespace

void backup_to_record(const backup& b, record& r) {
  r.put_u64(BACKUP_REC_ID, b.id);
  r.put_u64(BACKUP_REC_DOMAIN, b.domain_id);
  r.put_u64(BACKUP_REC_USER, b.user_id);
  r.put_u32(BACKUP_REC_CREATED, b.created);
  r.put_u32(BACKUP_REC_FLAGS, b.flags);
  r.put_str(BACKUP_REC_NAME, BACKUP_NAME_FIELD, b.name);
}

void backup_from_record(const record& r, backup& b) {
  b.id = r.get_u64(BACKUP_REC_ID);
  b.domain_id = r.get_u64(BACKUP_REC_DOMAIN);
  b.user_id = r.get_u64(BACKUP_REC_USER);
  b.created = r.get_u32(BACKUP_REC_CREATED);
  b.flags = r.get_u32(BACKUP_REC_FLAGS);
  b.name = r.get_str(BACKUP_REC_NAME, BACKUP_NAME_FIELD);
}

std::string backup_base_name(const backup& b) {
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, "_%lu_%u", static_cast<unsigned long>(b.domain_id),
                b.created);
  return b.name + suffix;
}

std::string backup_archive_path(const backup& b) {
  return path_backup_dir() + "/" + backup_base_name(b) + ".tar.gz";
}

uint32_t validate_backup_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > BACKUP_NAME_MAX) {
    return E_NAME_INVALID;
  }
  if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
    return E_NAME_INVALID;
  }
  return E_OK;
}

int backup_db_add(backup& b) {
  backup staged = b;
  staged.id = kt::uid_time_seq();
  record r(BACKUP_RECORD_SIZE);
  backup_to_record(staged, r);
  if (const int rc = backups_file().insert(0, r.data(), r.data()); rc != 0) return rc;
  b.id = staged.id;
  return 0;
}

int backup_db_edit(const backup& b) {
  record r(BACKUP_RECORD_SIZE);
  backup_to_record(b, r);
  return backups_file().edit(0, &b.id, r.data());
}

int backup_db_remove(const backup& b) {
  return backups_file().remove(0, &b.id);
}

int backup_db_find(uint64_t id, backup* out) {
  record r(BACKUP_RECORD_SIZE);
  const int rc = backups_file().find(0, &id, r.data());
  if (rc == 0 && out != nullptr) backup_from_record(r, *out);
  return rc;
}

int backups_of_domain(uint64_t domain_id, std::vector<backup>* out) {
  const int rc = backups_file().list(0, [&](const uint8_t* bytes, uint32_t size) {
    backup b;
    backup_from_record(record(bytes, size), b);
    if (b.domain_id == domain_id && b.id != 0) out->push_back(std::move(b));
    return 0;
  });
  if (rc != 0) KT_LOG_WARN("%s: can not be read (%d)", path_backups_file().c_str(), rc);
  return rc;
}

void backups_to_xml(const domain& d, kt::xmldoc_node& element) {
  std::vector<backup> list;
  backups_of_domain(d.id, &list);
  for (const backup& b : list) {
    auto node = kt::xmldoc_node::create("backup");
    node->attr_addval("id", std::to_string(b.id));
    node->attr_addval("user", std::to_string(b.user_id));
    node->attr_addval("time", std::to_string(b.created));
    node->set_value(b.name);
    element.add_child(std::move(node));
  }
}

std::unique_ptr<kt::xmldoc_node> backups_to_xml(const domain& d) {
  auto element = kt::xmldoc_node::create("backups");
  backups_to_xml(d, *element);
  return element;
}

}  // namespace orvane

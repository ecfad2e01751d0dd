#include "objects/record.h"

#include "config.h"
#include "errors.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

uint32_t record_result(int store_rc, const char* what) {
  if (store_rc == 0) return E_OK;
  KT_LOG_ERR("%s: the record store refused (%d)", what, store_rc);
  return E_GENERIC;
}

int record_db_remove(const kt::filedb_fixed& db, uint64_t id) {
  record key(8);
  key.put_u64(0, id);
  return db.remove(0, key.data());
}

int record_list(const kt::filedb_fixed& db, const kt::filedb_fixed::list_fn& cb) {
  return db.list(0, [&](const uint8_t* bytes, uint32_t size) {
    if (size >= 8) {
      uint64_t id = 0;
      for (int i = 7; i >= 0; --i) id = id << 8 | bytes[i];
      kt::uid_observe(id);
    }
    return cb(bytes, size);
  });
}

int record_load_result(const kt::filedb_fixed& db, int rc) {
  if (rc == -4) {
    KT_LOG_ERR("%s: damaged tail ignored", db.path().c_str());
  } else if (rc != 0) {
    KT_LOG_ERR("%s: can not be read (%d)", db.path().c_str(), rc);
    return rc;
  }
  return 0;
}

kt::filedb_fixed record_file(const std::string& path, uint32_t record_size, mode_t create_mode) {
  kt::filedb_fixed db;
  db.init(path, record_size, RECORD_KEY_ID, 0, create_mode);
  db.set_indexed(true);  // the server is the only writer of its files
  return db;
}

kt::filedb_fixed domain_record_file(uint64_t domain_id, const std::string& name,
                                    uint32_t record_size, mode_t create_mode) {
  return record_file(path_domain_file(domain_id, name.c_str()), record_size, create_mode);
}

}  // namespace orvane

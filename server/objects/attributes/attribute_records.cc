#include "objects/attributes/attribute_records.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>

#include "config.h"
#include "errors.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/netclients/netclient.h"
#include "objects/record.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "utils/base64.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

constexpr size_t kRecId = 0;
constexpr size_t kRecTargetType = 8;
constexpr size_t kRecTargetId = 9;
constexpr size_t kRecType = 17;
constexpr size_t kRecFlags = 21;
constexpr size_t kRecName = 22;
constexpr size_t kNameField = 128;
constexpr size_t kRecValueLen = 150;
constexpr size_t kRecValue = 154;

constexpr mode_t kSecretFileMode = 0600;

// Largest value file read at load beyond the length its record announces.
constexpr size_t kMaxValueFile = size_t{64} << 20;

kt::filedb_fixed attributes_file(const domain& d) {
  // Attribute values may be secrets: the files are their owner's alone.
  return domain_record_file(d.id, "attributes", ATTRIBUTE_RECORD_SIZE, kSecretFileMode);
}

// Tightens a file that an older version created readable by others.
void tighten(const std::string& path) {
  if (::chmod(path.c_str(), kSecretFileMode) != 0 && errno != ENOENT) {
    KT_LOG_WARN("chmod(%s): %s", path.c_str(), std::strerror(errno));
  }
}

std::string value_file_path(const domain& d, uint64_t id) {
  return path_domain_file(d.id, ("attribute_" + std::to_string(id)).c_str());
}

void attribute_to_record(const attribute& a, uint64_t id, record& rec) {
  rec.put_u64(kRecId, id);
  rec.put_u8(kRecTargetType, a.ttype);
  rec.put_u64(kRecTargetId, a.target_id);
  rec.put_u32(kRecType, a.type);
  rec.put_u8(kRecFlags, a.flags);
  rec.put_str(kRecName, kNameField, a.name);
  rec.put_u32(kRecValueLen, static_cast<uint32_t>(a.value.size()));
  if (a.value.size() <= ATTRIBUTE_INLINE_VALUE) {
    rec.put_bytes(kRecValue, a.value.data(), a.value.size());
  }
}

// Writes the value file of a long value (mode 0600, replaced atomically).
int write_value_file(const domain& d, uint64_t id, const std::string& value) {
  const std::string path = value_file_path(d, id);
  if (kt::write_file(path.c_str(), value, kSecretFileMode) != 0) {
    KT_LOG_ERR("%s write(%s): %s", __func__, path.c_str(), std::strerror(errno));
    KT_LOG_ERR("save attribute %lu failed.", id);
    return -1;
  }
  return 0;
}

void remove_value_file(const domain& d, uint64_t id) {
  const std::string path = value_file_path(d, id);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    KT_LOG_WARN("unlink(%s): %s", path.c_str(), std::strerror(errno));
  }
}

// A setting taken from a domain attribute: a number field, or a bit of a flags field.
struct setting {
  const char* name;
  std::atomic<uint32_t> domain::*number;
  std::atomic<uint32_t> domain::*policy_bits;
  std::atomic<uint16_t> domain::*api_bits;
  uint32_t bit;
  int64_t min;  // smallest value an edit may set (numbers)
  int64_t max;  // largest value an edit may set, and the most a stored value counts for
};

// Ten years: a token lifetime beyond it would wrap the 32-bit expiry time.
constexpr int64_t kMaxExpireTokenSec = 315360000;
// The request size limit is this many mebibytes plus a little: 4,095 keeps it in 32 bits.
constexpr int64_t kMaxAttrValueLenMB = 4095;
constexpr int64_t kNoMax = std::numeric_limits<uint32_t>::max();

constexpr setting kSettings[] = {
    {"passwordExpireDays", &domain::password_expire_days, nullptr, nullptr, 0, 1, kNoMax},
    {"passwordMinLength", &domain::password_min_length, nullptr, nullptr, 0, 1, kNoMax},
    {"passwordMustLetter", nullptr, &domain::password_policy, nullptr, PASSWORD_MUST_LETTER, 0, 0},
    {"passwordMustDigit", nullptr, &domain::password_policy, nullptr, PASSWORD_MUST_DIGIT, 0, 0},
    {"passwordMustCapital", nullptr, &domain::password_policy, nullptr, PASSWORD_MUST_CAPITAL, 0,
     0},
    {"passwordMustSpecSymbol", nullptr, &domain::password_policy, nullptr,
     PASSWORD_MUST_SPEC_SYMBOL, 0, 0},
    {"expireTokenSec", &domain::expire_token_sec, nullptr, nullptr, 0, 60, kMaxExpireTokenSec},
    {"maxAttrValueLenMB", &domain::max_attr_value_len_mb, nullptr, nullptr, 0, 1,
     kMaxAttrValueLenMB},
    {"managementApiNcOnly", nullptr, nullptr, &domain::nc_only, API_MANAGEMENT, 0, 0},
    {"authenticationApiNcOnly", nullptr, nullptr, &domain::nc_only, API_AUTHENTICATION, 0, 0},
    {"authorizationApiNcOnly", nullptr, nullptr, &domain::nc_only, API_AUTHORIZATION, 0, 0},
    {"nssProfilesApiNcOnly", nullptr, nullptr, &domain::nc_only, API_NSS_PROFILES, 0, 0},
};

const setting* find_setting(std::string_view name) {
  for (const setting& s : kSettings) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

// A number setting's value as the unsigned 32-bit field holds it (0 when a has another type). A
// value stored above the setting's largest counts as the largest.
uint32_t setting_number(const setting& s, const attribute& a) {
  if (a.type != ATTR_TYPE_NUMBER || a.v_number < 0) return 0;
  if (a.v_number > s.max) {
    KT_LOG_WARN("domain setting %s: %ld is above %ld, %ld used", s.name,
                static_cast<long>(a.v_number), static_cast<long>(s.max), static_cast<long>(s.max));
    return static_cast<uint32_t>(s.max);
  }
  return static_cast<uint32_t>(a.v_number);
}

bool setting_flag(const attribute& a) {
  return a.type == ATTR_TYPE_BOOLEAN && a.v_bool;
}

// Builds the attribute of one record; nullptr (logged) when the record can't be used.
kt::ref_ptr<attribute> attribute_from_record(domain& d, const record& rec) {
  kt::ref_ptr<attribute> a = attribute_create();
  a->id = rec.get_u64(kRecId);
  a->ttype = rec.get_u8(kRecTargetType);
  a->target_id = rec.get_u64(kRecTargetId);
  a->type = rec.get_u32(kRecType);
  a->flags = rec.get_u8(kRecFlags);
  a->name = rec.get_str(kRecName, kNameField);
  a->dom = &d;
  if (a->id == 0 || a->name.empty() || a->name.size() >= kNameField ||
      a->type < ATTR_TYPE_BOOLEAN || a->type > ATTR_TYPE_BINARY) {
    KT_LOG_ERR("%s: damaged attribute record id:%lu skipped", __func__, a->id);
    return {};
  }
  const uint32_t length = rec.get_u32(kRecValueLen);
  if (length <= ATTRIBUTE_INLINE_VALUE) {
    a->value.resize(length);
    rec.get_bytes(kRecValue, a->value.data(), length);
  } else {
    const std::string path = value_file_path(d, a->id);
    tighten(path);
    if (kt::read_file(path.c_str(), a->value, std::max<size_t>(length, kMaxValueFile)) != 0) {
      KT_LOG_ERR("%s read(%s): %s", __func__, path.c_str(), std::strerror(errno));
      KT_LOG_ERR("%s: failed to load value data for attribute id:%lu", __func__, a->id);
      return {};
    }
    if (a->value.size() != length) {
      KT_LOG_WARN("attribute id:%lu: value file holds %zu bytes, record says %u", a->id,
                  a->value.size(), length);
    }
  }
  _attribute_value_set(*a);
  return a;
}

}  // namespace

kt::ref_ptr<attribute> attribute_create() {
  return kt::make_ref<attribute>();
}

attribute_table* attribute_target_table(domain& d, uint8_t ttype, uint64_t target_id,
                                        kt::ref_ptr<kt::ref_object>* target) {
  kt::ref_ptr<kt::ref_object> found;
  attribute_table* table = nullptr;
  switch (ttype) {
    case ATTR_TARGET_DOMAIN:
      table = &d.attributes;
      break;
    case ATTR_TARGET_RESOURCE:
      if (kt::ref_ptr<resource> r = d.resources_by_id.get_rw(target_id)) {
        table = &r->attributes;
        found = r;
      }
      break;
    case ATTR_TARGET_GROUP:
      if (kt::ref_ptr<group> gr = d.groups_by_id.get_rw(target_id)) {
        table = &gr->attributes;
        found = gr;
      }
      break;
    case ATTR_TARGET_USER:
      if (kt::ref_ptr<user> u = d.users_by_id.get_rw(target_id)) {
        table = &u->attributes;
        found = u;
      }
      break;
    case ATTR_TARGET_NETCLIENT:
      if (kt::ref_ptr<netclient> nc = d.netclients_by_id.get_rw(target_id)) {
        table = &nc->attributes;
        found = nc;
      }
      break;
    default:
      break;
  }
  if (target != nullptr) *target = std::move(found);
  return table;
}

int attributes_load(domain& d) {
  static const char* const kTargetNames[] = {nullptr, "resource", "group", "user",
                                             "authorityclient"};
  const kt::filedb_fixed db = attributes_file(d);
  tighten(db.path());
  std::unordered_set<uint64_t> ids;
  const int rc = record_list(db, [&](const uint8_t* bytes, uint32_t size) {
    const record rec(bytes, size);
    kt::ref_ptr<attribute> a = attribute_from_record(d, rec);
    if (!a) return 0;
    if (ids.count(a->id) != 0) {
      KT_LOG_ERR("%s: duplicate attribute id:%lu skipped", __func__, a->id);
      return 0;
    }
    if (a->ttype > ATTR_TARGET_NETCLIENT) {
      KT_LOG_ERR("%s: attribute id:%lu has unknown target type %u", __func__, a->id,
                 static_cast<unsigned>(a->ttype));
      return 0;
    }
    attribute_table* table = attribute_target_table(d, a->ttype, a->target_id, &a->target);
    if (table == nullptr) {
      KT_LOG_ERR("%s: no %s found with id:%lu", __func__, kTargetNames[a->ttype], a->target_id);
      return 0;
    }
    {
      std::unique_lock lock(table->rwlock());
      if (table->find_nl(a->name) != nullptr) {
        KT_LOG_ERR("%s: attribute %s already set on its target; id:%lu skipped", __func__,
                   a->name.c_str(), a->id);
        return 0;
      }
      table->insert_l(a->name, a);
    }
    ids.insert(a->id);
    KT_LOG_INFO("ATTRIBUTE: id:%lu, name:%s, type:%02x, ttype:%02x, idt:%lu, vlen:%u", a->id,
                a->name.c_str(), a->type, static_cast<unsigned>(a->ttype), a->target_id,
                static_cast<uint32_t>(a->value.size()));
    return 0;
  });
  return record_load_result(db, rc);
}

uint32_t attributes_db_add(domain& d, attribute& a) {
  const uint64_t id = kt::uid_time_seq();
  const bool long_value = a.value.size() > ATTRIBUTE_INLINE_VALUE;
  if (long_value && write_value_file(d, id, a.value) != 0) return E_GENERIC;
  record rec(ATTRIBUTE_RECORD_SIZE);
  attribute_to_record(a, id, rec);
  const kt::filedb_fixed db = attributes_file(d);
  if (const uint32_t rc = record_result(db.insert(0, rec.data(), rec.data()), db.path().c_str());
      rc != E_OK) {
    if (long_value) remove_value_file(d, id);
    return rc;
  }
  a.id = id;
  return E_OK;
}

uint32_t attributes_db_edit(domain& d, const attribute& a) {
  const bool long_value = a.value.size() > ATTRIBUTE_INLINE_VALUE;
  if (long_value && write_value_file(d, a.id, a.value) != 0) return E_GENERIC;
  record rec(ATTRIBUTE_RECORD_SIZE);
  attribute_to_record(a, a.id, rec);
  const kt::filedb_fixed db = attributes_file(d);
  if (const uint32_t rc = record_result(db.edit(0, rec.data(), rec.data()), db.path().c_str());
      rc != E_OK) {
    return rc;
  }
  if (!long_value) remove_value_file(d, a.id);
  return E_OK;
}

uint32_t attributes_db_remove(domain& d, const attribute& a) {
  const kt::filedb_fixed db = attributes_file(d);
  // 1: the record is already gone from the file, which is what was wanted.
  const int rc = record_db_remove(db, a.id);
  if (rc == 0 || rc == 1) remove_value_file(d, a.id);
  return rc == 1 ? E_OK : record_result(rc, db.path().c_str());
}

uint32_t attributes_db_remove_list(domain& d, attribute_table& table) {
  std::vector<kt::ref_ptr<attribute>> all;
  {
    std::shared_lock lock(table.rwlock());
    table.for_each([&](const std::string&, kt::ref_ptr<attribute>& a) {
      if (a) all.push_back(a);
    });
  }
  uint32_t result = E_OK;
  for (const auto& a : all) {
    if (const uint32_t rc = attributes_db_remove(d, *a); rc != E_OK) result = rc;
  }
  return result;
}

void _attribute_value_set(attribute& a) {
  a.v_bool = false;
  a.v_number = 0;
  a.v_decimal = 0;
  switch (a.type) {
    case ATTR_TYPE_BOOLEAN:
      a.v_bool = !a.value.empty() && a.value[0] != 0;
      break;
    case ATTR_TYPE_NUMBER:
      a.v_number = std::strtoll(a.value.c_str(), nullptr, 10);
      break;
    case ATTR_TYPE_DECIMAL:
      a.v_decimal = std::strtod(a.value.c_str(), nullptr);
      break;
    default:
      break;
  }
}

std::string attribute_value_text(const attribute& a) {
  switch (a.type) {
    case ATTR_TYPE_BOOLEAN:
      return a.v_bool ? "1" : "0";
    case ATTR_TYPE_BINARY:
      return kt::base64encode_(a.value);
    default:
      return a.value;
  }
}

kt::xmldoc_node* attribute_xml_add(kt::xmldoc_node& parent, const attribute& a, bool full) {
  kt::xmldoc_node* n = parent.add_child(kt::xmldoc_node::create("a"));
  n->attr_addval("id", std::to_string(a.id));
  n->attr_addval("name", a.name);
  n->attr_addval("flags", std::to_string(a.flags));
  n->attr_addval("type", std::to_string(a.type));
  if (full) {
    n->attr_addval("ttype", std::to_string(a.ttype));
    n->attr_addval("target", std::to_string(a.target_id));
  }
  return n;
}

void attributes_to_xml(attribute_table& table, kt::xmldoc_node& element) {
  std::shared_lock lock(table.rwlock());
  table.for_each([&](const std::string&, kt::ref_ptr<attribute>& a) {
    if (!a) return;
    kt::xmldoc_node* n = attribute_xml_add(element, *a, true);
    if (!a->value.empty()) n->set_value(attribute_value_text(*a));
  });
}

std::unique_ptr<kt::xmldoc_node> attributes_to_xml(attribute_table& table) {
  std::unique_ptr<kt::xmldoc_node> element = kt::xmldoc_node::create("attributes");
  attributes_to_xml(table, *element);
  return element;
}

void domain_settings_load(domain& d) {
  uint32_t policy = 0;
  uint16_t api = 0;
  for (const setting& s : kSettings) {
    const kt::ref_ptr<attribute> a = d.attributes.get_rw(s.name);
    if (s.number != nullptr) {
      (d.*s.number).store(a ? setting_number(s, *a) : 0);
    } else if (a && setting_flag(*a)) {
      if (s.policy_bits != nullptr) policy |= s.bit;
      if (s.api_bits != nullptr) api = static_cast<uint16_t>(api | s.bit);
    }
  }
  d.password_policy.store(policy);
  d.nc_only.store(api);
}

int domain_setting_apply(domain& d, const attribute& a) {
  const setting* s = find_setting(a.name);
  if (s == nullptr) return 0;
  if (s->number != nullptr) {
    (d.*s->number).store(setting_number(*s, a));
  } else if (s->policy_bits != nullptr) {
    if (setting_flag(a)) {
      (d.*s->policy_bits).fetch_or(s->bit);
    } else {
      (d.*s->policy_bits).fetch_and(~s->bit);
    }
  } else if (setting_flag(a)) {
    (d.*s->api_bits).fetch_or(static_cast<uint16_t>(s->bit));
  } else {
    (d.*s->api_bits).fetch_and(static_cast<uint16_t>(~s->bit));
  }
  return 1;
}

uint32_t domain_setting_check(const attribute& a) {
  const setting* s = find_setting(a.name);
  if (s == nullptr || s->number == nullptr) return E_OK;
  if (a.type != ATTR_TYPE_NUMBER || a.v_number < s->min || a.v_number > s->max) {
    return E_VALUE_INVALID;
  }
  return E_OK;
}

}  // namespace orvane
